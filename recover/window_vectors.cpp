// A tone window without a click: four sums of the window's samples against the tables, then
// the window's phase. The sums used to be a loop whose additions the compiler was free to
// reorder, and the numbers then hung on the compiler and its options; they are written out
// here, in a file compiled with the order kept as written, in the order GCC 12 gave that loop
// in the optimised build (so that the decoder's results stay as they were): each table's sum in
// four lanes, lane l over every fourth sample from l; the lanes in pairs; the samples past the
// last group of four in an order that depends on how many there are; the first sample's excess
// taken off, then the last one's. The plain form and the vector form give the same numbers; the
// vector one works out every case of the length modulo four and picks one, without the branch
// on it, which moves with the window's phase from bit to bit.
#include "recover/window_parts.h"

namespace recovery {
namespace {

// The correlations of `count` samples from v with the four tables, before the first and last
// samples' excess is taken off. Each table's lanes are a row that the compiler can do at once.
void PlainSums(const float* v, const float* const tables[4], int count, float sums[4]) {
  const int groups = count / 4, rest = count % 4;
  float lane[4][4] = {};  // of each table, lane l over the samples 4 m + l
  for (int m = 0; m < groups; ++m)
    for (int t = 0; t < 4; ++t)
      for (int l = 0; l < 4; ++l) {
        const float p = v[4 * m + l] * tables[t][4 * m + l];
        lane[t][l] = m == 0 ? p : lane[t][l] + p;
      }
  const int n = 4 * groups;
  for (int t = 0; t < 4; ++t) {
    const float even = lane[t][0] + lane[t][2], odd = lane[t][1] + lane[t][3];
    const float* c = tables[t];
    switch (rest) {
      case 1:
        sums[t] = (even + odd) + v[n] * c[n];
        break;
      case 2:
        sums[t] = ((even + odd) + v[n] * c[n]) + v[n + 1] * c[n + 1];
        break;
      case 3:
        sums[t] = ((even + v[n] * c[n]) + (odd + v[n + 1] * c[n + 1])) + v[n + 2] * c[n + 2];
        break;
      default:
        sums[t] = even + odd;
    }
  }
}

}  // namespace

Tones WindowPlain(const Recover& r, double start, double length) {
  const Span w = SpanOf(start, length);
  const int count = w.count;
  float copy[kRecoverWindowMax];
  const float* v = RingRun(r, w.first, count, copy);
  const float* const tables[4] = {r.low[0], r.low[1], r.high[0], r.high[1]};
  float s[4];
  PlainSums(v, tables, count, s);
  // The first and last samples count only by their overlap with the window: take off the rest.
  const float f = v[0] * w.outFirst, l = v[count - 1] * w.outLast;
  for (int t = 0; t < 4; ++t) s[t] = (s[t] - f * tables[t][0]) - l * tables[t][count - 1];
  // Sample n lies (n - first) from the tables' origin, which is lead before the window's start.
  const Phasor z = Rotation(r.omega * w.lead);
  const double z2r = z.re * z.re - z.im * z.im, z2i = 2 * z.re * z.im;
  return {s[0] * z.re - s[1] * z.im, s[0] * z.im + s[1] * z.re, s[2] * z2r - s[3] * z2i,
          s[2] * z2i + s[3] * z2r};
}

}  // namespace recovery

#if defined(TONEGRAB_HAVE_AVX2_SCAN)

namespace recovery {
namespace {

// The four tables' entries at n, one to a lane: low cos, low sin, high cos, high sin.
TONEGRAB_AVX2 inline __m128 TablesAt(const Recover& r, int n) {
  return _mm_setr_ps(r.low[0][n], r.low[1][n], r.high[0][n], r.high[1][n]);
}

// The products of the four samples from v[n] with each table there, vector t of table t.
TONEGRAB_AVX2 inline void ProductsAt(const Recover& r, const float* v, int n, __m128 p[4]) {
  const __m128 x = _mm_loadu_ps(v + n);
  p[0] = _mm_mul_ps(x, _mm_load_ps(r.low[0] + n));
  p[1] = _mm_mul_ps(x, _mm_load_ps(r.low[1] + n));
  p[2] = _mm_mul_ps(x, _mm_load_ps(r.high[0] + n));
  p[3] = _mm_mul_ps(x, _mm_load_ps(r.high[1] + n));
}

// The four tables' correlations with the window's samples, one to a lane. v holds the count
// rounded up to a multiple of four.
TONEGRAB_AVX2 inline __m128 Sums(const Recover& r, const float* v, const Span& w) {
  const int count = w.count, groups = count / 4, rest = count % 4;
  __m128 lanes[4] = {};  // of each table, lane l over the samples 4 m + l
  for (int m = 0; m < groups; ++m) {
    __m128 p[4];
    ProductsAt(r, v, 4 * m, p);
    for (int t = 0; t < 4; ++t) lanes[t] = m == 0 ? p[t] : _mm_add_ps(lanes[t], p[t]);
  }
  // Turned so that vector l holds lane l of every table, one table to a lane.
  _MM_TRANSPOSE4_PS(lanes[0], lanes[1], lanes[2], lanes[3]);
  const __m128 even = _mm_add_ps(lanes[0], lanes[2]), odd = _mm_add_ps(lanes[1], lanes[3]);
  // The samples past the last group: a group's worth read, as many used as there are.
  __m128 p[4];
  ProductsAt(r, v, rest != 0 ? 4 * groups : 0, p);
  _MM_TRANSPOSE4_PS(p[0], p[1], p[2], p[3]);
  const __m128 whole = _mm_add_ps(even, odd);
  const __m128 one = _mm_add_ps(whole, p[0]);
  const __m128 two = _mm_add_ps(one, p[1]);
  const __m128 three = _mm_add_ps(_mm_add_ps(_mm_add_ps(even, p[0]), _mm_add_ps(odd, p[1])), p[2]);
  const __m128i left = _mm_set1_epi32(rest);
  __m128 s = whole;
  s = _mm_blendv_ps(s, one, _mm_castsi128_ps(_mm_cmpeq_epi32(left, _mm_set1_epi32(1))));
  s = _mm_blendv_ps(s, two, _mm_castsi128_ps(_mm_cmpeq_epi32(left, _mm_set1_epi32(2))));
  s = _mm_blendv_ps(s, three, _mm_castsi128_ps(_mm_cmpeq_epi32(left, _mm_set1_epi32(3))));
  // The first and last samples count only by their overlap with the window.
  const __m128 f = _mm_set1_ps(v[0] * w.outFirst), l = _mm_set1_ps(v[count - 1] * w.outLast);
  return _mm_sub_ps(_mm_sub_ps(s, _mm_mul_ps(f, TablesAt(r, 0))),
                    _mm_mul_ps(l, TablesAt(r, count - 1)));
}

}  // namespace

TONEGRAB_AVX2 Tones WindowAvx2(const Recover& r, double start, double length) {
  const Span w = SpanOf(start, length);
  float copy[kRecoverWindowMax];
  const __m128 s = Sums(r, RingRun(r, w.first, (w.count + 3) & ~3, copy), w);
  // Sample n lies (n - first) from the tables' origin, which is lead before the window's start.
  const Phasor z = Rotation(r.omega * w.lead);
  const double z2r = z.re * z.re - z.im * z.im, z2i = 2 * z.re * z.im;
  // Each tone's a z - j b z, in parts: a re - b im, a im + b re.
  const __m128d low = _mm_cvtps_pd(s), high = _mm_cvtps_pd(_mm_movehl_ps(s, s));
  const __m128d t0 = _mm_addsub_pd(_mm_mul_pd(_mm_unpacklo_pd(low, low), _mm_setr_pd(z.re, z.im)),
                                   _mm_mul_pd(_mm_unpackhi_pd(low, low), _mm_setr_pd(z.im, z.re)));
  const __m128d t1 = _mm_addsub_pd(_mm_mul_pd(_mm_unpacklo_pd(high, high), _mm_setr_pd(z2r, z2i)),
                                   _mm_mul_pd(_mm_unpackhi_pd(high, high), _mm_setr_pd(z2i, z2r)));
  Tones t;
  _mm_storeu_pd(&t.re0, t0);
  _mm_storeu_pd(&t.re1, t1);
  return t;
}

}  // namespace recovery

#endif
