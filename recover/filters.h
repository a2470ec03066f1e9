// The decimator of the recovery decoder: it keeps the band of the two tones at a quarter or so
// of the work. A plain record and a step function.
#ifndef TONEGRAB_RECOVER_FILTERS_H
#define TONEGRAB_RECOVER_FILTERS_H

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>

// A decimator whose response is that of three cascaded moving sums of `factor` samples (a
// third-order integrator-comb filter), computed directly as a short FIR: its nulls fall on the
// frequencies that would fold onto the tones, and no running sum can drift.
inline constexpr int kMaxDecimation = 96;
inline constexpr int kMaxDecimatorTaps = 3 * kMaxDecimation - 2;

struct Decimator {
  int factor;
  int taps;
  float weight[kMaxDecimatorTaps];
  float history[kMaxDecimatorTaps];  // the last taps - 1 inputs not yet used up, then free
  int held;                          // inputs in history
};

inline void DecimatorInit(Decimator& d, int factor) {
  d.factor = factor;
  d.taps = 3 * factor - 2;
  d.held = 0;
  // The convolution of three boxcars of `factor` ones, scaled to unit gain at DC.
  double w[kMaxDecimatorTaps] = {};
  for (int a = 0; a < factor; ++a)
    for (int b = 0; b < factor; ++b)
      for (int c = 0; c < factor; ++c) w[a + b + c] += 1;
  const double scale = 1.0 / (static_cast<double>(factor) * factor * factor);
  for (int i = 0; i < d.taps; ++i) d.weight[i] = static_cast<float>(w[i] * scale);
}

// One output: the weighted sum of d.taps inputs from p, in four chains so that the additions
// overlap.
inline float DecimatorOutput(const Decimator& d, const float* p) {
  float a = 0, b = 0, c = 0, e = 0;
  int k = 0;
  for (; k + 4 <= d.taps; k += 4) {
    a += d.weight[k] * p[k];
    b += d.weight[k + 1] * p[k + 1];
    c += d.weight[k + 2] * p[k + 2];
    e += d.weight[k + 3] * p[k + 3];
  }
  for (; k < d.taps; ++k) a += d.weight[k] * p[k];
  return (a + b) + (c + e);
}

template <int kFactor>
inline float FixedOutput(const Decimator& d, const float* p) {
  constexpr int kTaps = 3 * kFactor - 2;
  float y[kTaps];
  for (int k = 0; k < kTaps; ++k) y[k] = d.weight[k] * p[k];
  float sum = 0;
  for (int k = 0; k < kTaps; ++k) sum += y[k];
  return sum;
}

// The first `outputs` outputs of FixedOutput from `in` on (output j from in + factor j), for
// factors 2 and 4, several at a time where the processor allows (recover/decimator_vectors.cpp);
// returns how many it made, maybe none: the rest are Decimate's.
int64_t DecimateInVectors(const Decimator& d, const float* in, int64_t outputs, float* out);
#if defined(__x86_64__)
// The same in AVX2, whatever the variant chosen: only where the processor has AVX2.
int64_t DecimateAvx2(const Decimator& d, const float* in, int64_t outputs, float* out);
#endif

// Decimates `count` input samples into `out` (room for count / factor + 1); returns how many
// output samples there are. Inputs not yet used up wait in the history.
inline int64_t Decimate(Decimator& d, const float* in, int64_t count, float* out) {
  // Outputs whose inputs begin in the history are formed in a joined copy.
  float joined[2 * kMaxDecimatorTaps];
  const int64_t lead = std::min<int64_t>(count, d.taps);
  for (int i = 0; i < d.held; ++i) joined[i] = d.history[i];
  for (int64_t i = 0; i < lead; ++i) joined[d.held + i] = in[i];
  const int64_t total = d.held + count;
  int64_t made = 0, at = 0;
  for (; at < d.held && at + d.taps <= d.held + lead; at += d.factor)
    out[made++] = DecimatorOutput(d, joined + at);
  // The decimator's hottest loop: in vectors where they serve, and the common factors get a
  // loop the compiler can unroll.
  if (at + d.taps <= total) {
    const int64_t done =
        DecimateInVectors(d, in + (at - d.held), (total - at - d.taps) / d.factor + 1, out + made);
    made += done;
    at += done * d.factor;
  }
  switch (d.factor) {
    case 2:
      for (; at + d.taps <= total; at += 2) out[made++] = FixedOutput<2>(d, in + (at - d.held));
      break;
    case 4:
      for (; at + d.taps <= total; at += 4) out[made++] = FixedOutput<4>(d, in + (at - d.held));
      break;
    default:
      for (; at + d.taps <= total; at += d.factor)
        out[made++] = DecimatorOutput(d, in + (at - d.held));
  }
  // Keep what the next outputs need.
  const int64_t keep = total - at;
  for (int64_t i = 0; i < keep; ++i) {
    const int64_t from = at + i;
    d.history[i] = from < d.held ? d.history[from] : in[from - d.held];
  }
  d.held = static_cast<int>(keep);
  return made;
}

// Magnitude of the decimator's response at `hz`, input rate `rate`.
inline double DecimatorGain(int factor, double rate, double hz) {
  const double x = std::numbers::pi * hz / rate;
  if (factor == 1 || x == 0) return 1;
  const double g = std::sin(factor * x) / (factor * std::sin(x));
  return std::fabs(g * g * g);
}

#endif
