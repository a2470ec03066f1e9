// The small signal-processing pieces of the recovery decoder: a decimator that keeps the band of
// the two tones, a high-pass filter against DC and hum, and an oscillator that follows the bit
// rate. Each is a plain record and a step function.
#ifndef TONEGRAB_RECOVER_FILTERS_H
#define TONEGRAB_RECOVER_FILTERS_H

#include <cmath>
#include <cstdint>
#include <numbers>

// A third-order cascaded integrator-comb decimator: three running sums at the input rate, three
// differences at the output rate. Its nulls fall on the frequencies that would fold onto the
// tones. Integer arithmetic wraps exactly, so the sums never drift whatever the length.
struct Decimator {
  int factor;
  int phase;
  uint64_t sum1, sum2, sum3;
  uint64_t last1, last2, last3;
  double scale;  // undoes the fixed point and the factor^3 gain
};

inline constexpr double kDecimatorFixedPoint = 16777216.0;  // 2^24 per full scale

inline void DecimatorInit(Decimator& d, int factor) {
  d = Decimator{};
  d.factor = factor;
  d.scale = 1.0 / (kDecimatorFixedPoint * factor * factor * factor);
}

// Takes one input sample; returns true with *out set when an output sample is due.
inline bool DecimatorStep(Decimator& d, float x, float* out) {
  d.sum1 += static_cast<uint64_t>(static_cast<int64_t>(x * kDecimatorFixedPoint));
  d.sum2 += d.sum1;
  d.sum3 += d.sum2;
  if (++d.phase < d.factor) return false;
  d.phase = 0;
  const uint64_t c1 = d.sum3 - d.last1;
  d.last1 = d.sum3;
  const uint64_t c2 = c1 - d.last2;
  d.last2 = c1;
  const uint64_t c3 = c2 - d.last3;
  d.last3 = c2;
  *out = static_cast<float>(static_cast<double>(static_cast<int64_t>(c3)) * d.scale);
  return true;
}

// Magnitude of the decimator's response at `hz`, input rate `rate`.
inline double DecimatorGain(int factor, double rate, double hz) {
  const double x = std::numbers::pi * hz / rate;
  if (factor == 1 || x == 0) return 1;
  const double g = std::sin(factor * x) / (factor * std::sin(x));
  return std::fabs(g * g * g);
}

// Second-order Butterworth high-pass (bilinear transform), transposed direct form II.
struct Biquad {
  float b0, b1, b2, a1, a2;
  float z1, z2;
};

inline void HighPassInit(Biquad& f, double cutoff, double rate) {
  const double k = std::tan(std::numbers::pi * cutoff / rate);
  const double q = std::numbers::sqrt2 / 2;
  const double norm = 1 / (1 + k / q + k * k);
  f.b0 = static_cast<float>(norm);
  f.b1 = static_cast<float>(-2 * norm);
  f.b2 = static_cast<float>(norm);
  f.a1 = static_cast<float>(2 * (k * k - 1) * norm);
  f.a2 = static_cast<float>((1 - k / q + k * k) * norm);
  f.z1 = f.z2 = 0;
}

inline float BiquadStep(Biquad& f, float x) {
  const float y = f.b0 * x + f.z1;
  f.z1 = f.b1 * x - f.a1 * y + f.z2;
  f.z2 = f.b2 * x - f.a2 * y;
  return y;
}

// Magnitude of the filter's response at `hz`.
inline double BiquadGain(const Biquad& f, double rate, double hz) {
  const double w = 2 * std::numbers::pi * hz / rate;
  const double c1 = std::cos(w), s1 = std::sin(w), c2 = std::cos(2 * w), s2 = std::sin(2 * w);
  const double nr = f.b0 + f.b1 * c1 + f.b2 * c2, ni = -(f.b1 * s1 + f.b2 * s2);
  const double dr = 1 + f.a1 * c1 + f.a2 * c2, di = -(f.a1 * s1 + f.a2 * s2);
  return std::sqrt((nr * nr + ni * ni) / (dr * dr + di * di));
}

#endif
