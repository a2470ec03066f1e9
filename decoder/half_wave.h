// The length rules of the signal: which half-wave lengths are short, long or bad, and which
// lengths a leader run accepts. Pure arithmetic, kept apart so it can be checked exactly.
#ifndef TONEGRAB_DECODER_HALF_WAVE_H
#define TONEGRAB_DECODER_HALF_WAVE_H

#include <algorithm>
#include <cmath>
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

// Lengths are compared with whole-number bounds from here on: a whole n is at least x exactly
// when it is at least ceil(x), and at most x exactly when it is at most floor(x). Bounds beyond
// any length that passes the sample-rate bounds are held at this value.
inline constexpr long double kFarBound = 0x1p40L;

inline int64_t LeastWholeAtOrAbove(long double x) {
  return static_cast<int64_t>(std::ceil(std::min(x, kFarBound)));
}

inline int64_t GreatestWholeAtOrBelow(long double x) {
  return static_cast<int64_t>(std::floor(std::min(x, kFarBound)));
}

// ClassifyLength and WithinRateBounds together, as four whole-number bounds, formed once the
// reference length r is known.
inline LengthBands BandsFor(float r, int32_t sampleRate) {
  const long double lr = r;
  const int64_t shortest = sampleRate / kShortestPerSecond;
  const int64_t longest = sampleRate / kLongestPerSecond;
  return {std::max(shortest, LeastWholeAtOrAbove(lr * kShortMin)),
          std::min(longest, GreatestWholeAtOrBelow(lr * kShortMax)),
          std::max(shortest, LeastWholeAtOrAbove(lr * kLongMin)),
          std::min(longest, GreatestWholeAtOrBelow(lr * kLongMax))};
}

// Returns 0 and sets *kind when n lies in the short or the long band, else 1. Without
// branches on the kind, which follows the data.
inline int ClassifyWithin(const LengthBands& bands, int64_t n, HalfWaveKind* kind) {
  const bool isShort = (n >= bands.shortMin) & (n <= bands.shortMax);
  const bool isLong = (n >= bands.longMin) & (n <= bands.longMax);
  if (!(isShort | isLong)) return 1;
  *kind = isShort ? kShortHalfWave : kLongHalfWave;
  return 0;
}

// Whether a leader run of `count` lengths adding up to `sum` goes on with n: n must lie within
// 40 % of their mean, the sum being multiplied by the factor before it is divided.
inline bool LeaderAcceptsExactly(float sum, int count, int64_t n) {
  const long double ls = sum;
  const long double ln = static_cast<long double>(n);
  return !(ln < ls * kShortMin / count || ln > ls * kShortMax / count);
}

// The leader search tests every half-wave of a noisy input, so the test is made in doubles
// where they decide it. sum * factor in double lies within 2^-53 (relative) of the exact
// product, and the long double bound within 2^-62 of the exact quotient; so when n * count
// (exact) lies more than 2^-50 away from the double product, n lies on the same side of the long
// double bound. Only lengths nearer than that, or too long for the product to be exact, are
// left to the long double test.
inline constexpr double kLeaderMargin = 0x1p-50;
inline constexpr int64_t kLeaderExactLength = int64_t{1} << 40;

inline bool LeaderAccepts(float sum, int count, int64_t n) {
  const double scaled = static_cast<double>(n) * count;
  const double low = static_cast<double>(sum) * kShortMin;
  const double high = static_cast<double>(sum) * kShortMax;
  // Bitwise operators: one branch, taken only near a bound.
  const bool near = (std::fabs(scaled - low) <= low * kLeaderMargin) |
                    (std::fabs(scaled - high) <= high * kLeaderMargin) | (n >= kLeaderExactLength);
  if (near) [[unlikely]]
    return LeaderAcceptsExactly(sum, count, n);
  return (scaled >= low) & (scaled <= high);
}

// The leader test in whole numbers, for sums up to 2^24 (where a float holds every whole sum
// exactly) and lengths below that: n is taken exactly when 3 sum <= 5 n count < 7 sum. The
// factors lie below 0.6 and 1.4 by more than 2^-56 (relative), far more than the long double
// products and quotients round, so a length at exactly 0.6 of the mean is taken and one at
// exactly 1.4 is not; every other length lies at least 1 / (5 count) away from a bound, which no
// rounding at these sizes crosses.
inline constexpr int64_t kWholeLeaderSum = int64_t{1} << 24;

// The same test on scaled = 5 n count, as a mask: all ones when n is taken, else 0. One
// unsigned comparison makes both: scaled - 3 sum wraps past 4 sum when it is negative.
inline int64_t LeaderTakesScaled(int64_t scaled, int64_t sum) {
  return -static_cast<int64_t>(static_cast<uint64_t>(scaled - 3 * sum) <
                               static_cast<uint64_t>(4 * sum));
}

inline bool LeaderAcceptsWhole(int64_t sum, int64_t count, int64_t n) {
  return LeaderTakesScaled(5 * n * count, sum) != 0;
}

// The leader sum with n added, rounded to single precision once, as the long double sum is. The
// sum is a whole number (it starts whole and is rounded to a whole float at every step), so
// below 2^52 the double sum of both is exact.
inline constexpr int64_t kExactSumLength = int64_t{1} << 52;

inline float LeaderSum(float sum, int64_t n) {
  if (sum < static_cast<float>(kExactSumLength) && n < kExactSumLength) [[likely]]
    return static_cast<float>(static_cast<double>(sum) + static_cast<double>(n));
  return static_cast<float>(sum + static_cast<long double>(n));
}

#endif
