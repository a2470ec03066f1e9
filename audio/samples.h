// Samples of the chosen channel and the two-threshold level detector. Inline: this is the
// innermost loop of the decoder, run once per sample frame.
#ifndef TONEGRAB_AUDIO_SAMPLES_H
#define TONEGRAB_AUDIO_SAMPLES_H

#include <cstdint>

#include "tape_reader.h"

// Little-endian value of `count` bytes (1 to 4). One byte is unsigned (8-bit samples are);
// wider values are two's complement of their own width.
inline int32_t DecodeValue(const unsigned char* p, int count) {
  switch (count) {
    case 1:
      return p[0];
    case 2:
      return static_cast<int16_t>(p[0] | p[1] << 8);
    case 3:
      return static_cast<int32_t>(static_cast<uint32_t>(p[0] | p[1] << 8 | p[2] << 16) << 8) >> 8;
    default:
      return static_cast<int32_t>(p[0] | p[1] << 8 | p[2] << 16 |
                                  static_cast<uint32_t>(p[3]) << 24);
  }
}

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

// The next sample of the chosen channel; the stream moves on by one whole frame.
inline int32_t ReadSample(TapeReader& tr) {
  const int bytes = BytesPerSample(tr);
  const int64_t frame = FrameBytes(tr);
  if (const unsigned char* p = StreamPeek(tr.input, frame)) {
    tr.input.cur += frame;
    return DecodeValue(p, bytes);
  }
  const int32_t value = ReadValueSlow(tr.input, bytes);
  if (!StreamSkip(tr.input, frame - bytes)) EndOnReadError();
  return value;
}

// Reads one sample; true when it moved the level. Between the thresholds the level holds.
inline bool LevelChanged(TapeReader& tr) {
  const int32_t before = tr.level;
  const int32_t s = ReadSample(tr);
  if (s >= tr.highThreshold) tr.level = 1;
  if (s <= tr.lowThreshold) tr.level = 0;
  return tr.level != before;
}

#endif
