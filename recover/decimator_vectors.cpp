// The decimator's common factors, 2 and 4, in AVX2 where the processor has it: eight outputs at
// a time, one to a lane. Each lane takes the same products and adds them in the same order as
// FixedOutput (recover/filters.h) does for its output, so that every output is the same number.
// The lanes want inputs a factor apart: the inputs are first dealt out by phase (input f m + p
// to phase p, place m), after which tap k of output j is place j + k / f of phase k % f.
#include <algorithm>
#include <cstring>

#include "decoder/level_scan.h"
#include "recover/filters.h"

namespace {

// Outputs worked out between two dealings, and the places of each phase they need.
constexpr int64_t kOutputsAtOnce = 512;
constexpr int64_t kPlaces = kOutputsAtOnce + 8;

#if defined(TONEGRAB_HAVE_AVX2_SCAN)

// Phase p, place m, of the inputs x[f m + p] for the places whose inputs are all among the
// `inputs` there; of the last place, only the inputs there are.
template <int kFactor>
TONEGRAB_AVX2 void DealPhases(const float* x, int64_t inputs, float (*phase)[kPlaces]) {
  int64_t m = 0;
  if constexpr (kFactor == 4) {
    // Groups of four inputs: eight a step, transposed four by four in each half of a vector.
    for (; 4 * (m + 8) <= inputs; m += 8) {
      const float* g = x + 4 * m;
      const __m256 r0 = _mm256_loadu2_m128(g + 16, g), r1 = _mm256_loadu2_m128(g + 20, g + 4);
      const __m256 r2 = _mm256_loadu2_m128(g + 24, g + 8), r3 = _mm256_loadu2_m128(g + 28, g + 12);
      const __m256 t0 = _mm256_unpacklo_ps(r0, r1), t1 = _mm256_unpackhi_ps(r0, r1);
      const __m256 t2 = _mm256_unpacklo_ps(r2, r3), t3 = _mm256_unpackhi_ps(r2, r3);
      _mm256_storeu_ps(phase[0] + m, _mm256_shuffle_ps(t0, t2, 0x44));
      _mm256_storeu_ps(phase[1] + m, _mm256_shuffle_ps(t0, t2, 0xEE));
      _mm256_storeu_ps(phase[2] + m, _mm256_shuffle_ps(t1, t3, 0x44));
      _mm256_storeu_ps(phase[3] + m, _mm256_shuffle_ps(t1, t3, 0xEE));
    }
  } else {
    static_assert(kFactor == 2);
    for (; 2 * (m + 8) <= inputs; m += 8) {
      const __m256 a = _mm256_loadu_ps(x + 2 * m), b = _mm256_loadu_ps(x + 2 * m + 8);
      const __m256 even = _mm256_shuffle_ps(a, b, 0x88), odd = _mm256_shuffle_ps(a, b, 0xDD);
      _mm256_storeu_ps(phase[0] + m,
                       _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(even), 0xD8)));
      _mm256_storeu_ps(phase[1] + m,
                       _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(odd), 0xD8)));
    }
  }
  for (; kFactor * m < inputs; ++m)
    for (int p = 0; p < kFactor && kFactor * m + p < inputs; ++p) phase[p][m] = x[kFactor * m + p];
}

// `outputs` outputs, a multiple of eight, from the phases: FixedOutput's sum, 0 and then each
// tap's product in turn.
template <int kFactor>
TONEGRAB_AVX2 void SumPhases(const Decimator& d, const float (*phase)[kPlaces], int64_t outputs,
                             float* out) {
  constexpr int kTaps = 3 * kFactor - 2;
  __m256 weight[kTaps];
  for (int k = 0; k < kTaps; ++k) weight[k] = _mm256_set1_ps(d.weight[k]);
  for (int64_t j = 0; j < outputs; j += 8) {
    __m256 sum = _mm256_setzero_ps();
    for (int k = 0; k < kTaps; ++k)
      sum = _mm256_add_ps(
          sum, _mm256_mul_ps(weight[k], _mm256_loadu_ps(phase[k % kFactor] + j + k / kFactor)));
    _mm256_storeu_ps(out + j, sum);
  }
}

template <int kFactor>
TONEGRAB_AVX2 int64_t DecimateBy(const Decimator& d, const float* in, int64_t outputs, float* out) {
  constexpr int kTaps = 3 * kFactor - 2;
  alignas(32) float phase[kFactor][kPlaces];
  int64_t made = 0;
  while (outputs - made >= 8) {
    const int64_t n = std::min<int64_t>(kOutputsAtOnce, (outputs - made) & ~int64_t{7});
    DealPhases<kFactor>(in + kFactor * made, kFactor * (n - 1) + kTaps, phase);
    SumPhases<kFactor>(d, phase, n, out + made);
    made += n;
  }
  return made;
}

#endif

}  // namespace

#if defined(TONEGRAB_HAVE_AVX2_SCAN)
int64_t DecimateAvx2(const Decimator& d, const float* in, int64_t outputs, float* out) {
  if (d.factor == 4) return DecimateBy<4>(d, in, outputs, out);
  if (d.factor == 2) return DecimateBy<2>(d, in, outputs, out);
  return 0;
}
#endif

int64_t DecimateInVectors(const Decimator& d, const float* in, int64_t outputs, float* out) {
#if defined(TONEGRAB_HAVE_AVX2_SCAN)
  if (scanVariant == kScanAvx2) return DecimateAvx2(d, in, outputs, out);
#endif
  (void)d, (void)in, (void)outputs, (void)out;
  return 0;
}
