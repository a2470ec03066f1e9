// Samples of the chosen channel as fractions of full scale, many at a time: the form the
// recovery decoder reads, whatever the sample width and coding (floats are already fractions).
#include <algorithm>
#include <cmath>

#include "audio/samples.h"
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

template <int kBytes, SampleCoding kCoding = kIntegerSamples>
int64_t ConvertFrames(const unsigned char* p, int64_t frames, int64_t frameBytes, float* out) {
  const float scale = kCoding == kFloatSamples ? 1.0f : FullScaleInverse(kBytes);
  constexpr int32_t kCentre = kBytes == 1 ? kUnsignedCentre : 0;
  for (int64_t i = 0; i < frames; ++i) {
    const unsigned char* s = p + i * frameBytes;
    if constexpr (kCoding == kFloatSamples)
      out[i] = BoundedFraction(FloatValue(s, kBytes));
    else
      out[i] = static_cast<float>(DecodeValue(s, kBytes) - kCentre) * scale;
  }
  return frames;
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
      return ConvertFrames<2>(p, frames, frameBytes, out);
    case 3:
      return ConvertFrames<3>(p, frames, frameBytes, out);
    default:
      return ConvertFrames<4>(p, frames, frameBytes, out);
  }
}

}  // namespace

int64_t ReadFractions(TapeReader& tr, float* out, int64_t max) {
  InputStream& in = tr.input;
  const int bytes = BytesPerSample(tr);
  const int64_t frameBytes = FrameBytes(tr);
  int64_t done = 0;
  while (done < max) {
    if (in.cur < 0 || in.cur + bytes > in.len) {
      if (!SampleFill(tr) || in.cur + bytes > in.len) break;
    }
    // Whole frames in the window, and a last sample whose frame the file may cut short.
    int64_t frames = (in.len - in.cur) / frameBytes;
    if (frames == 0) frames = 1;
    if (frames > max - done) frames = max - done;
    done += Convert(tr, in.buf + in.cur, frames, frameBytes, out + done);
    in.cur += frames * frameBytes;
  }
  return done;
}

int64_t ReadFrameFractions(TapeReader& tr, float* out, int64_t max) {
  InputStream& in = tr.input;
  const int bytes = BytesPerSample(tr);
  const int64_t frameBytes = FrameBytes(tr);
  int64_t done = 0;
  while (done < max) {
    if (in.cur < 0 || in.cur + frameBytes > in.len) {
      if (!SampleFill(tr) || in.cur + frameBytes > in.len) break;
    }
    const int64_t frames = std::min((in.len - in.cur) / frameBytes, max - done);
    Convert(tr, in.buf + in.cur, frames * tr.channelCount, bytes, out + done * tr.channelCount);
    in.cur += frames * frameBytes;
    done += frames;
  }
  return done;
}
