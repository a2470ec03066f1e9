// The tone windows: the plain one and the one in AVX2 vectors (only where the processor has it),
// the same numbers, each table's sum formed in the same order (recover/window_vectors.cpp says
// which); and which of them a window takes.
#ifndef TONEGRAB_RECOVER_WINDOW_VECTORS_H
#define TONEGRAB_RECOVER_WINDOW_VECTORS_H

#include "recover/window_parts.h"

#if defined(TONEGRAB_HAVE_AVX2_SCAN)

namespace recovery {
namespace vectors {

// The products of the four samples from v[4 g] with the tables there: low cos and sin in the
// halves of *low, high cos and sin in those of *high.
TONEGRAB_AVX2 inline void GroupProducts(const Recover& r, const float* v, int g, __m256* low,
                                        __m256* high) {
  const __m256 x = _mm256_broadcast_ps(reinterpret_cast<const __m128*>(v + 4 * g));
  *low = _mm256_mul_ps(x, _mm256_load_ps(r.grouped[g]));
  *high = _mm256_mul_ps(x, _mm256_load_ps(r.grouped[g] + 8));
}

// Lane masks and indices by the samples past the last group (0 to 3): of each half, the lanes
// of the samples there (all of a whole group); and each lane the place of the last sample in
// its group. Loaded, not built.
struct alignas(32) Lanes {
  int32_t v[8];
};
inline constexpr Lanes kKeep[4] = {{-1, -1, -1, -1, -1, -1, -1, -1},
                                   {-1, 0, 0, 0, -1, 0, 0, 0},
                                   {-1, -1, 0, 0, -1, -1, 0, 0},
                                   {-1, -1, -1, 0, -1, -1, -1, 0}};
inline constexpr Lanes kPlace[4] = {{0, 0, 0, 0, 0, 0, 0, 0},
                                    {1, 1, 1, 1, 1, 1, 1, 1},
                                    {2, 2, 2, 2, 2, 2, 2, 2},
                                    {3, 3, 3, 3, 3, 3, 3, 3}};

TONEGRAB_AVX2 inline __m256 LanesOf(const Lanes& l) {
  return _mm256_load_ps(reinterpret_cast<const float*>(l.v));
}

// The four tables' correlations with the window's samples, one to a lane. v holds the count
// rounded up to a multiple of four.
TONEGRAB_AVX2 inline __m128 Sums(const Recover& r, const float* v, const Span& w) {
  const unsigned count = static_cast<unsigned>(w.count), groups = count / 4, rest = count % 4;
  __m256 low = _mm256_setzero_ps(), high = _mm256_setzero_ps();
  if (groups > 0) GroupProducts(r, v, 0, &low, &high);
  for (unsigned m = 1; m < groups; ++m) {
    __m256 l, h;
    GroupProducts(r, v, static_cast<int>(m), &l, &h);
    low = _mm256_add_ps(low, l);
    high = _mm256_add_ps(high, h);
  }
  // The samples past the last whole group: a group's worth read, the ones past the window's
  // end as zeros.
  if (rest != 0) {
    const __m256 keep = LanesOf(kKeep[rest]);
    const __m256 x =
        _mm256_and_ps(_mm256_broadcast_ps(reinterpret_cast<const __m128*>(v + 4 * groups)), keep);
    const __m256 pl = _mm256_mul_ps(x, _mm256_load_ps(r.grouped[groups]));
    const __m256 ph = _mm256_mul_ps(x, _mm256_load_ps(r.grouped[groups] + 8));
    if (groups > 0) {
      low = _mm256_add_ps(low, pl);
      high = _mm256_add_ps(high, ph);
    } else {
      low = pl;
      high = ph;
    }
  }
  // Lanes 0 and 2, 1 and 3, then the pairs, into each half's first element.
  const __m256 hl = _mm256_add_ps(low, _mm256_permute_ps(low, 0x4e));
  const __m256 hh = _mm256_add_ps(high, _mm256_permute_ps(high, 0x4e));
  __m256 sumLow = _mm256_add_ps(hl, _mm256_permute_ps(hl, 0xb1));
  __m256 sumHigh = _mm256_add_ps(hh, _mm256_permute_ps(hh, 0xb1));
  // The first and last samples count only by their overlap with the window: the tables' first
  // entries lead each half already, the last ones are moved there.
  const __m256 f = _mm256_set1_ps(v[0] * w.outFirst), l = _mm256_set1_ps(v[count - 1] * w.outLast);
  const float* lastGroup = r.grouped[(count - 1) / 4];
  const __m256i lastAt = _mm256_castps_si256(LanesOf(kPlace[(count - 1) % 4]));
  const __m256 lastLow = _mm256_permutevar_ps(_mm256_load_ps(lastGroup), lastAt);
  const __m256 lastHigh = _mm256_permutevar_ps(_mm256_load_ps(lastGroup + 8), lastAt);
  sumLow = _mm256_sub_ps(_mm256_sub_ps(sumLow, _mm256_mul_ps(f, _mm256_load_ps(r.grouped[0]))),
                         _mm256_mul_ps(l, lastLow));
  sumHigh =
      _mm256_sub_ps(_mm256_sub_ps(sumHigh, _mm256_mul_ps(f, _mm256_load_ps(r.grouped[0] + 8))),
                    _mm256_mul_ps(l, lastHigh));
  // The first element of each half, in the order of the tables.
  const __m128 lows =
      _mm_unpacklo_ps(_mm256_castps256_ps128(sumLow), _mm256_extractf128_ps(sumLow, 1));
  const __m128 highs =
      _mm_unpacklo_ps(_mm256_castps256_ps128(sumHigh), _mm256_extractf128_ps(sumHigh, 1));
  return _mm_movelh_ps(lows, highs);
}

// Sums over the window w of the ring: its samples read a group of four at a time.
TONEGRAB_AVX2 inline __m128 SumsOver(const Recover& r, const Span& w) {
  float copy[kRecoverWindowMax];
  return Sums(r, RingRun(r, w.first, (w.count + 3) & ~3, copy), w);
}

// Rotation (recover/stages.h), cos and sin side by side: the same products and sums in each.
TONEGRAB_AVX2 inline __m128d Rotation(double a) {
  const __m128d a2 = _mm_set1_pd(a * a);
  __m128d p = _mm_setr_pd(1.0 / 40320, 1.0 / 362880);
  p = _mm_add_pd(_mm_setr_pd(-1.0 / 720, -1.0 / 5040), _mm_mul_pd(a2, p));
  p = _mm_add_pd(_mm_setr_pd(1.0 / 24, 1.0 / 120), _mm_mul_pd(a2, p));
  p = _mm_add_pd(_mm_setr_pd(-1.0 / 2, -1.0 / 6), _mm_mul_pd(a2, p));
  p = _mm_add_pd(_mm_set1_pd(1), _mm_mul_pd(a2, p));
  return _mm_mul_pd(_mm_setr_pd(1, a), p);
}

}  // namespace vectors

// The window's correlations, as WindowPlain (recover/window_vectors.cpp) gives them: inline, for
// the bit clock's steps compiled for AVX2 (recover/bit_clock.cpp).
TONEGRAB_AVX2 inline Tones WindowInVectors(const Recover& r, double start, double length) {
  const Span w = SpanOf(start, length);
  const __m128 s = vectors::SumsOver(r, w);
  // Sample n lies (n - first) from the tables' origin, which is lead before the window's start.
  const __m128d z = vectors::Rotation(r.omega * w.lead);  // re, im
  const double re = _mm_cvtsd_f64(z), im = _mm_cvtsd_f64(_mm_unpackhi_pd(z, z));
  const __m128d z2 = _mm_setr_pd(re * re - im * im, 2 * re * im);
  // Each tone's a z - j b z, in parts: a re - b im, a im + b re.
  const __m128d low = _mm_cvtps_pd(s), high = _mm_cvtps_pd(_mm_movehl_ps(s, s));
  const __m128d t0 = _mm_addsub_pd(_mm_mul_pd(_mm_unpacklo_pd(low, low), z),
                                   _mm_mul_pd(_mm_unpackhi_pd(low, low), _mm_shuffle_pd(z, z, 1)));
  const __m128d t1 =
      _mm_addsub_pd(_mm_mul_pd(_mm_unpacklo_pd(high, high), z2),
                    _mm_mul_pd(_mm_unpackhi_pd(high, high), _mm_shuffle_pd(z2, z2, 1)));
  Tones t;
  _mm_storeu_pd(&t.re0, t0);
  _mm_storeu_pd(&t.re1, t1);
  return t;
}

// The four tables' sums over the window, before its turn to its start (ToneSums).
TONEGRAB_AVX2 inline ToneSums ToneSumsInVectors(const Recover& r, const Span& w) {
  ToneSums t;
  _mm_storeu_ps(t.s, vectors::SumsOver(r, w));
  return t;
}

}  // namespace recovery

#endif

namespace recovery {

// The four tables' sums over the window w, before the window's turn to its start: as WindowPlain
// forms them (recover/window_vectors.cpp).
void ToneSumsPlain(const Recover& r, const Span& w, float s[4]);

// Correlations of the samples in [start, start + length) with the two tones at the current bit
// rate, one and two cycles per bit, over fixed tables, the window's own phase one rotation, for a
// window that meets no click (recover/window_vectors.cpp).
Tones WindowPlain(const Recover& r, double start, double length);
#if defined(TONEGRAB_HAVE_AVX2_SCAN)
// The same in vectors, the same numbers; the clicks too, as Window. Only where the processor has
// AVX2.
Tones WindowAvx2(const Recover& r, double start, double length);
#endif

// A window, its variant chosen when compiled: fitted around the clicks it meets, else the plain
// sums or the vector ones.
template <ScanVariant kVariant>
inline Tones WindowAs(const Recover& r, double start, double length) {
  if (WindowMeetsClick(r, start, length)) return WindowAroundClick(r, start, length);
#if defined(TONEGRAB_HAVE_AVX2_SCAN)
  if constexpr (kVariant == kScanAvx2) return WindowInVectors(r, start, length);
#endif
  return WindowPlain(r, start, length);
}

// The two tones' energies over a window, as Energy0 and Energy1 of WindowAs give them but for
// the window's turn to its start, which leaves a correlation's size as it is (to rounding): for
// the window between two bits, whose phase nothing asks. The turn is a fifth of a window's work.
template <ScanVariant kVariant>
inline ToneEnergies WindowEnergiesAs(const Recover& r, double start, double length) {
  if (WindowMeetsClick(r, start, length)) {
    const Tones t = WindowAroundClick(r, start, length);
    return {Energy0(r, t), Energy1(r, t)};
  }
  const Span w = SpanOf(start, length);
  ToneSums s;
#if defined(TONEGRAB_HAVE_AVX2_SCAN)
  if constexpr (kVariant == kScanAvx2)
    s = ToneSumsInVectors(r, w);
  else
#endif
    ToneSumsPlain(r, w, s.s);
  return {Energy0(r, {s.s[0], s.s[1], s.s[2], s.s[3]}),
          Energy1(r, {s.s[0], s.s[1], s.s[2], s.s[3]})};
}

// The same with the variant the processor allows, chosen as it runs.
inline Tones Window(const Recover& r, double start, double length) {
#if defined(TONEGRAB_HAVE_AVX2_SCAN)
  if (scanVariant == kScanAvx2) return WindowAvx2(r, start, length);
#endif
  return WindowAs<kScanPlain>(r, start, length);
}

}  // namespace recovery

#endif
