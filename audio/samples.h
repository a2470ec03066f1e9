// Samples of the chosen channel and the two-threshold level detector. Inline: this is the
// innermost loop of the decoder, run once per sample frame.
#ifndef TONEGRAB_AUDIO_SAMPLES_H
#define TONEGRAB_AUDIO_SAMPLES_H

#include <bit>
#include <cstdint>
#include <cstring>

#include "audio/sample_value.h"
#include "decoder/level_scan.h"
#include "tape_reader.h"

// 8-bit samples are unsigned: silence, the centre of their range, is 128.
inline constexpr int32_t kUnsignedCentre = 128;

// Reads byte by byte across a refill; ends the process at the end of input.
int32_t ReadValueSlow(InputStream& in, int count);

inline int32_t ReadValue(InputStream& in, int count) {
  if (const unsigned char* p = StreamPeek(in, count)) {
    in.cur += count;
    return DecodeValue(p, count);
  }
  return ReadValueSlow(in, count);
}

inline int BytesPerSample(const TapeReader& tr) {
  return tr.bitsPerSample / 8;
}

inline int64_t FrameBytes(const TapeReader& tr) {
  return static_cast<int64_t>(BytesPerSample(tr)) * tr.channelCount;
}

// The detector's thresholds lie this fraction of full scale above and below the centre.
inline constexpr double kThresholdFraction = 0.2;

// The high threshold of signed integer samples of `bits` bits, in whole units toward the
// centre; the low one is its negative.
inline int32_t IntegerThreshold(int bits) {
  return static_cast<int32_t>(kThresholdFraction * static_cast<double>(uint32_t{1} << (bits - 1)));
}

// Floats are copied as they lie in memory, and the audio library writes its samples in the
// machine's order: both readings assume a little-endian machine, as the WAV format is.
static_assert(std::endian::native == std::endian::little);

inline double FloatValue(const unsigned char* p, int bytes) {
  if (bytes == 8) {
    double d;
    std::memcpy(&d, p, sizeof d);
    return d;
  }
  float f;
  std::memcpy(&f, p, sizeof f);
  return f;
}

// The frame's sample of the chosen channel when the window lacks part of it: refills, or ends
// the process at the end of input.
const unsigned char* NextSampleSlow(TapeReader& tr);

// The chosen channel's sample in the next frame; the stream moves on by one whole frame.
inline const unsigned char* NextSample(TapeReader& tr) {
  const int64_t frame = FrameBytes(tr);
  if (const unsigned char* p = StreamPeek(tr.input, frame)) {
    tr.input.cur += frame;
    return p;
  }
  return NextSampleSlow(tr);
}

// The next integer sample of the chosen channel.
inline int32_t ReadSample(TapeReader& tr) {
  const int bytes = BytesPerSample(tr);
  return DecodeValue(NextSample(tr), bytes);
}

// The detector has hysteresis: only a sample past the threshold opposite to the current level
// (at or above the high one from level 0, at or below the low one from level 1) changes it.
// Float samples are compared with the fraction itself.
template <int kLevel>
inline bool ChangesLevelFrom(const TapeReader& tr, int32_t s) {
  return kLevel ? s <= tr.lowThreshold : s >= tr.highThreshold;
}

template <int kLevel>
inline bool ChangesLevelFrom(const TapeReader&, double s) {
  return kLevel ? s <= -kThresholdFraction : s >= kThresholdFraction;
}

// 0.2f lies above 0.2 by less than the float spacing there, so no float lies between them: a
// float sample reaches 0.2f exactly when it reaches 0.2, and the scan compares without widening.
inline constexpr float kFloatThreshold = static_cast<float>(kThresholdFraction);
static_assert(kFloatThreshold >= kThresholdFraction &&
              kFloatThreshold - kThresholdFraction < 0x1p-26);

template <int kLevel>
inline bool ChangesLevelFrom(const TapeReader&, float s) {
  return kLevel ? s <= -kFloatThreshold : s >= kFloatThreshold;
}

template <class Sample>
inline bool ChangesLevel(const TapeReader& tr, Sample s) {
  return tr.level ? ChangesLevelFrom<1>(tr, s) : ChangesLevelFrom<0>(tr, s);
}

// Reads one sample; true when it moved the level.
template <SampleCoding kCoding>
inline bool LevelChangedAs(TapeReader& tr) {
  bool changes;
  if constexpr (kCoding == kFloatSamples)
    changes = ChangesLevel(tr, FloatValue(NextSample(tr), BytesPerSample(tr)));
  else
    changes = ChangesLevel(tr, ReadSample(tr));
  if (!changes) return false;
  tr.level = 1 - tr.level;
  return true;
}

inline bool LevelChanged(TapeReader& tr) {
  return tr.sampleCoding == kFloatSamples ? LevelChangedAs<kFloatSamples>(tr)
                                          : LevelChangedAs<kIntegerSamples>(tr);
}

// The scan reads a 24-bit sample with one 4-byte load and shifts the byte after it out; it
// therefore needs one byte more than the frame.
template <int kBytes, SampleCoding kCoding>
inline constexpr int64_t kScanSlack = kBytes == 3 ? 1 : 0;

template <int kBytes, SampleCoding kCoding>
inline auto ScanValue(const unsigned char* p) {
  if constexpr (kCoding == kFloatSamples && kBytes == 4) {
    float f;
    std::memcpy(&f, p, sizeof f);
    return f;
  } else if constexpr (kCoding == kFloatSamples) {
    return FloatValue(p, kBytes);
  } else if constexpr (kBytes == 3) {
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return static_cast<int32_t>(v << 8) >> 8;
  } else {
    return DecodeValue(p, kBytes);
  }
}

// Where a scan of the window stopped: the offset in the buffer, and the frames passed over.
struct ScanStop {
  int64_t at;
  int64_t frames;
};

// From offset `at`, the first frame up to offset `stop` whose sample changes the level, or the
// first offset past stop. The level is a template argument so that the loop holds no test of it.
template <int kBytes, SampleCoding kCoding, int kLevel>
inline ScanStop FindLevelChange(const TapeReader& tr, const unsigned char* buf, int64_t at,
                                int64_t stop, int64_t frameBytes) {
  int64_t frames = 0;
  while (at <= stop && !ChangesLevelFrom<kLevel>(tr, ScanValue<kBytes, kCoding>(buf + at))) {
    at += frameBytes;
    ++frames;
  }
  return {at, frames};
}

// The vector scan takes integer samples of 1, 2 or 4 bytes, one or two channels.
template <int kBytes, SampleCoding kCoding>
inline constexpr bool kVectorScanned = kCoding == kIntegerSamples&& kBytes != 3;

// The same search in vector instructions, for the vector variant and the frames it takes; false
// when it does not apply. The vector variant is inlined only into code compiled for AVX2.
template <int kBytes, SampleCoding kCoding, ScanVariant kVariant>
inline bool FindLevelChangeInVectors(TapeReader& tr, const unsigned char* buf, int64_t at,
                                     int64_t stop, int64_t frameBytes, ScanStop* found) {
#if defined(TONEGRAB_HAVE_AVX2_SCAN)
  if constexpr (kVariant == kScanAvx2 && kVectorScanned<kBytes, kCoding>) {
    if (frameBytes != kBytes && frameBytes != 2 * kBytes) return false;
    LevelMasks& m = tr.masks;
    const InputStream& in = tr.input;
    if (m.fills != in.fills || m.base != in.base || ((at - m.origin) & (frameBytes - 1)) != 0) {
      m.fills = in.fills;  // a new window: its masks are filled from scratch
      m.base = in.base;
      m.origin = at & (frameBytes - 1);
      m.words = 0;
      m.frameBytes = frameBytes;
      m.shift = std::countr_zero(static_cast<uint64_t>(frameBytes));
    }
    const int64_t to = FindThresholdInMasks<kBytes>(m, buf, at, stop, frameBytes, tr.highThreshold,
                                                    tr.lowThreshold, tr.level);
    *found = {to, (to - at) >> m.shift};
    return true;
  }
#endif
  (void)tr, (void)buf, (void)at, (void)stop, (void)frameBytes, (void)found;
  return false;
}

// The vector variant's common case, from the masks alone: they were made for this window and
// the half-wave ends within the two words its start lies in. Returns its length as
// SamplesToLevelChange does, or 0 when this does not apply. A set bit stands for a frame that
// lies wholly in the window (decoder/level_scan.h), so its sample is taken as LevelChanged
// would take it.
inline int64_t HalfWaveFromMasks(TapeReader& tr) {
  InputStream& in = tr.input;
  const LevelMasks& m = tr.masks;
  const int64_t off = in.cur - m.origin;
  const uint64_t w = static_cast<uint64_t>(off) >> 6;  // huge when off < 0
  if (m.fills != in.fills || m.base != in.base || (off & (m.frameBytes - 1)) != 0 ||
      w + 1 >= static_cast<uint64_t>(m.words))
    return 0;
  const uint64_t* mask = tr.level ? m.low : m.high;
  const uint64_t first = mask[w] & (~uint64_t{0} << (off & 63));
  const uint64_t second = mask[w + 1];
  if ((first | second) == 0) return 0;
  const int64_t at = m.origin + 64 * static_cast<int64_t>(w) +
                     (first != 0 ? std::countr_zero(first) : 64 + std::countr_zero(second));
  const int64_t n = ((at - in.cur) >> m.shift) + 1;
  in.cur = at + m.frameBytes;
  tr.level = 1 - tr.level;
  return n;
}

// Reads samples up to and including the one that changes the level; returns how many. The
// frames the buffer holds are scanned in one loop; the rest, and the end of input, go through
// LevelChanged.
template <int kBytes, SampleCoding kCoding, ScanVariant kVariant = kScanPlain>
inline int64_t SamplesToLevelChange(TapeReader& tr) {
  if constexpr (kVariant == kScanAvx2 && kVectorScanned<kBytes, kCoding>) {
    if (const int64_t n = HalfWaveFromMasks(tr)) [[likely]]
      return n;
  }
  InputStream& in = tr.input;
  const int64_t frameBytes = FrameBytes(tr);
  int64_t n = 1;
  for (;;) {
    if (in.cur >= 0 && in.cur < in.len) {
      // The last offset at which a whole frame (and the scan's slack) lies in the window.
      const int64_t stop = in.len - kScanSlack<kBytes, kCoding> - frameBytes;
      ScanStop found;
      if (!FindLevelChangeInVectors<kBytes, kCoding, kVariant>(tr, in.buf, in.cur, stop, frameBytes,
                                                               &found))
        found = tr.level
                    ? FindLevelChange<kBytes, kCoding, 1>(tr, in.buf, in.cur, stop, frameBytes)
                    : FindLevelChange<kBytes, kCoding, 0>(tr, in.buf, in.cur, stop, frameBytes);
      n += found.frames;
      in.cur = found.at;
      if (found.at <= stop) {  // this frame's sample changes the level: read it as LevelChanged
        in.cur += frameBytes;
        tr.level = 1 - tr.level;
        return n;
      }
    }
    if (LevelChangedAs<kCoding>(tr)) return n;
    ++n;
  }
}

// Float samples, out of line (audio/wav.cpp), so that they leave the integer scan's inlined
// code as it was.
int64_t FloatSamplesToLevelChange(TapeReader& tr);

inline int64_t SamplesToLevelChange(TapeReader& tr) {
  if (tr.sampleCoding == kFloatSamples) [[unlikely]]
    return FloatSamplesToLevelChange(tr);
  switch (BytesPerSample(tr)) {
    case 1:
      return SamplesToLevelChange<1, kIntegerSamples>(tr);
    case 2:
      return SamplesToLevelChange<2, kIntegerSamples>(tr);
    case 3:
      return SamplesToLevelChange<3, kIntegerSamples>(tr);
    default:
      return SamplesToLevelChange<4, kIntegerSamples>(tr);
  }
}

#endif
