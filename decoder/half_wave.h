// The length rules of the signal: which half-wave lengths are short, long or bad, and which
// lengths a leader run accepts. Pure arithmetic, kept apart so it can be checked exactly.
#ifndef TONEGRAB_DECODER_HALF_WAVE_H
#define TONEGRAB_DECODER_HALF_WAVE_H

#include <cstdint>

#include "tape_reader.h"

// Band factors around the reference length r. The products are formed in long double (a 64-bit
// significand on x86-64) and compared with the length unrounded: when r times a factor is a
// whole number, that length is short at 0.6 r but outside the bands at 1.4 r, 1.6 r and 2.4 r,
// because these doubles lie just below 0.6, 1.4, 2.4 and just above 1.6.
inline constexpr double kShortMin = 0.6;
inline constexpr double kShortMax = 1.4;
inline constexpr double kLongMin = 1.6;
inline constexpr double kLongMax = 2.4;

// A half-wave must also last between 1/7000 and 1/500 of a second (integer sample counts).
inline constexpr int32_t kShortestPerSecond = 7000;
inline constexpr int32_t kLongestPerSecond = 500;

// Returns 0 and sets *kind when n lies in the short or the long band around r, else 1.
inline int ClassifyLength(float r, int64_t n, HalfWaveKind* kind) {
  const long double lr = r;
  const long double ln = static_cast<long double>(n);
  if (ln >= lr * kShortMin && ln <= lr * kShortMax) {
    *kind = kShortHalfWave;
    return 0;
  }
  if (ln >= lr * kLongMin && ln <= lr * kLongMax) {
    *kind = kLongHalfWave;
    return 0;
  }
  return 1;
}

inline bool WithinRateBounds(int32_t sampleRate, int64_t n) {
  return n <= sampleRate / kLongestPerSecond && n >= sampleRate / kShortestPerSecond;
}

// Whether a leader run of `count` lengths adding up to `sum` goes on with n: n must lie within
// 40 % of their mean, the sum being multiplied by the factor before it is divided.
inline bool LeaderAccepts(float sum, int count, int64_t n) {
  const long double ls = sum;
  const long double ln = static_cast<long double>(n);
  return !(ln < ls * kShortMin / count || ln > ls * kShortMax / count);
}

#endif
