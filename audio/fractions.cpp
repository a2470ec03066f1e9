// Samples of the chosen channel as fractions of full scale, many at a time: the form the
// recovery decoder reads, whatever the sample width and coding (floats are already fractions).
#include <algorithm>
#include <cmath>
#include <cstring>

#include "audio/samples.h"
#include "decoder/level_scan.h"
#include "tape_reader.h"

namespace {

// A float file may hold NaN, infinities or values far past full scale (a damaged or hostile
// file). The recovery decoder's sums need finite numbers of sane size: such a sample becomes
// silence, or this bound, 60 dB above full scale, which no real recording reaches.
constexpr double kFloatBound = 1000;

float BoundedFraction(double v) {
  if (std::isnan(v)) return 0.0f;
  return static_cast<float>(std::clamp(v, -kFloatBound, kFloatBound));
}

// 1 / 2^(bits - 1): full scale of a signed sample of that width maps to 1.
float FullScaleInverse(int bytes) {
  return 1.0f / static_cast<float>(uint32_t{1} << (8 * bytes - 1));
}

// kFrameBytes, when not 0, is the frame's size, known here so that the compiler can do several
// samples at once.
template <int kBytes, SampleCoding kCoding = kIntegerSamples, int64_t kFrameBytes = 0>
int64_t ConvertFrames(const unsigned char* p, int64_t frames, int64_t frameBytes, float* out) {
  const float scale = kCoding == kFloatSamples ? 1.0f : FullScaleInverse(kBytes);
  constexpr int32_t kCentre = kBytes == 1 ? kUnsignedCentre : 0;
  const int64_t stride = kFrameBytes != 0 ? kFrameBytes : frameBytes;
  for (int64_t i = 0; i < frames; ++i) {
    const unsigned char* s = p + i * stride;
    if constexpr (kCoding == kFloatSamples) {
      out[i] = BoundedFraction(FloatValue(s, kBytes));
    } else if constexpr (kBytes == 2) {
      int16_t v;
      std::memcpy(&v, s, sizeof v);
      out[i] = static_cast<float>(v) * scale;
    } else {
      out[i] = static_cast<float>(DecodeValue(s, kBytes) - kCentre) * scale;
    }
  }
  return frames;
}

#if defined(TONEGRAB_HAVE_AVX2_SCAN)
// 16-bit samples, one or two channels, 16 or 8 at a time: the same numbers as ConvertFrames
// (every 16-bit value and its scaled fraction are exact in a float). Reads no byte past the
// last frame's sample.
TONEGRAB_AVX2 int64_t Convert16Avx2(const unsigned char* p, int64_t frames, int64_t frameBytes,
                                    float* out) {
  const __m256 scale = _mm256_set1_ps(FullScaleInverse(2));
  int64_t i = 0;
  if (frameBytes == 2) {
    for (; i + 16 <= frames; i += 16) {
      __m128i a, b;
      std::memcpy(&a, p + 2 * i, sizeof a);
      std::memcpy(&b, p + 2 * i + 16, sizeof b);
      _mm256_storeu_ps(out + i, _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_cvtepi16_epi32(a)), scale));
      _mm256_storeu_ps(out + i + 8,
                       _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_cvtepi16_epi32(b)), scale));
    }
  } else {
    // Eight frames of 4 bytes a load, the chosen sample in the low half of each 32-bit lane;
    // the last load ends 2 bytes into the frame after it.
    for (; i + 9 <= frames; i += 8) {
      __m256i v;
      std::memcpy(&v, p + 4 * i, sizeof v);
      v = _mm256_srai_epi32(_mm256_slli_epi32(v, 16), 16);
      _mm256_storeu_ps(out + i, _mm256_mul_ps(_mm256_cvtepi32_ps(v), scale));
    }
  }
  return i + ConvertFrames<2>(p + i * frameBytes, frames - i, frameBytes, out + i);
}
#endif

// 16-bit samples of one or two channels, the common recordings, with the frame's size known.
int64_t Convert16(const unsigned char* p, int64_t frames, int64_t frameBytes, float* out) {
#if defined(TONEGRAB_HAVE_AVX2_SCAN)
  if (scanVariant == kScanAvx2 && (frameBytes == 2 || frameBytes == 4))
    return Convert16Avx2(p, frames, frameBytes, out);
#endif
  if (frameBytes == 2) return ConvertFrames<2, kIntegerSamples, 2>(p, frames, frameBytes, out);
  if (frameBytes == 4) return ConvertFrames<2, kIntegerSamples, 4>(p, frames, frameBytes, out);
  return ConvertFrames<2>(p, frames, frameBytes, out);
}

int64_t Convert(const TapeReader& tr, const unsigned char* p, int64_t frames, int64_t frameBytes,
                float* out) {
  if (tr.sampleCoding == kFloatSamples) {
    return BytesPerSample(tr) == 8 ? ConvertFrames<8, kFloatSamples>(p, frames, frameBytes, out)
                                   : ConvertFrames<4, kFloatSamples>(p, frames, frameBytes, out);
  }
  switch (BytesPerSample(tr)) {
    case 1:
      return ConvertFrames<1>(p, frames, frameBytes, out);
    case 2:
      return Convert16(p, frames, frameBytes, out);
    case 3:
      return ConvertFrames<3>(p, frames, frameBytes, out);
    default:
      return ConvertFrames<4>(p, frames, frameBytes, out);
  }
}

// Up to `max` frames' samples into `out`: the chosen channel's, one a frame, or with `whole`
// every channel's, the frame's samples one after another.
int64_t ReadSamples(TapeReader& tr, float* out, int64_t max, bool whole) {
  InputStream& in = tr.input;
  const int bytes = BytesPerSample(tr);
  const int64_t frameBytes = FrameBytes(tr);
  const int64_t need = whole ? frameBytes : bytes;  // what a frame's turn needs in the window
  const int64_t lanes = whole ? tr.channelCount : 1;
  const int64_t stride = whole ? bytes : frameBytes;
  int64_t done = 0;
  while (done < max) {
    if (in.cur < 0 || in.cur + need > in.len) {
      if (!SampleFill(tr) || in.cur + need > in.len) break;
    }
    // Whole frames in the window, and for one channel a last sample whose frame the file may
    // cut short.
    int64_t frames = std::max<int64_t>(1, (in.len - in.cur) / frameBytes);
    if (frames > max - done) frames = max - done;
    Convert(tr, in.buf + in.cur, frames * lanes, stride, out + done * lanes);
    in.cur += frames * frameBytes;
    done += frames;
  }
  return done;
}

}  // namespace

int64_t ReadFractions(TapeReader& tr, float* out, int64_t max) {
  return ReadSamples(tr, out, max, false);
}

int64_t ReadFrameFractions(TapeReader& tr, float* out, int64_t max) {
  return ReadSamples(tr, out, max, true);
}
