// Tone correlation: a window of the ring against the two tones at the tracked bit rate.
#include <cmath>
#include <numbers>

#include "decoder/level_scan.h"
#include "recover/filters.h"
#include "recover/stages.h"
#include "recover/window_parts.h"

namespace recovery {
namespace {

// A window's phase drifts by this fraction of a cycle per cycle before the tables are rebuilt.
constexpr double kTemplateTolerance = 1e-3;
// The decimator's unequal gain on the tones is undone once the length moved this much.
constexpr double kGainTolerance = 5e-3;

// The tones' phasors e^(-j omega n) and e^(-j 2 omega n) for the samples of a window, built
// again only when the bit rate has moved enough to matter.
void BuildTemplates(Recover& r) {
  const Phasor step = Rotation(r.omega);  // e^(j omega)
  double re = 1, im = 0;
  for (int n = 0; n < kRecoverWindowMax; ++n) {
    r.low[0][n] = static_cast<float>(re);
    r.low[1][n] = static_cast<float>(-im);
    r.high[0][n] = static_cast<float>(re * re - im * im);
    r.high[1][n] = static_cast<float>(-2 * re * im);
    const double next = re * step.re - im * step.im;
    im = re * step.im + im * step.re;
    re = next;
  }
}

constexpr int kTerms = 4;       // cos and sin of each tone
constexpr double kRidge = 0.3;  // in samples' weight: a pull towards no tone

// Solves a x = b in place (Gaussian elimination with partial pivoting); false when singular.
bool Solve(double a[kTerms][kTerms], double* b) {
  for (int c = 0; c < kTerms; ++c) {
    int pivot = c;
    for (int i = c + 1; i < kTerms; ++i)
      if (std::fabs(a[i][c]) > std::fabs(a[pivot][c])) pivot = i;
    if (!(std::fabs(a[pivot][c]) > 1e-6)) return false;
    std::swap(a[c], a[pivot]);
    std::swap(b[c], b[pivot]);
    for (int i = c + 1; i < kTerms; ++i) {
      const double f = a[i][c] / a[c][c];
      for (int j = c; j < kTerms; ++j) a[i][j] -= f * a[c][j];
      b[i] -= f * b[c];
    }
  }
  for (int c = kTerms - 1; c >= 0; --c) {
    for (int j = c + 1; j < kTerms; ++j) b[c] -= a[c][j] * b[j];
    b[c] /= a[c][c];
  }
  return true;
}

bool InClick(const Impulses& m, int64_t n) {
  const int64_t kept = std::min<int64_t>(m.clicks, kRecoverClickSpans);
  for (int64_t i = 0; i < kept; ++i) {
    const ClickSpan& c = m.spans[i];
    if (n >= c.first && n <= c.last) return true;
  }
  return false;
}

bool MeetsClick(const Impulses& m, double start, double length) {
  if (start > static_cast<double>(m.lastClickEnd)) return false;  // the common case
  const int64_t kept = std::min<int64_t>(m.clicks, kRecoverClickSpans);
  for (int64_t i = 0; i < kept; ++i) {
    const ClickSpan& c = m.spans[i];
    if (static_cast<double>(c.last) + 1 > start && static_cast<double>(c.first) < start + length)
      return true;
  }
  return false;
}

// A window with a click in it: the two tones fitted, by least squares, to the samples it has
// besides the click, and given as the correlations of the whole window would give them, each
// sample weighed by its overlap with the window as there.
Tones WindowAroundClick(const Recover& r, double start, double length) {
  const Span span = SpanOf(start, length);
  double a[kTerms][kTerms] = {}, b[kTerms] = {};
  for (int64_t n = span.first; n <= span.last; ++n) {
    if (InClick(r.impulses, n)) continue;
    const double from = std::max(start, static_cast<double>(n));
    const double to = std::min(start + length, static_cast<double>(n + 1));
    const double weight = to - from;
    if (!(weight > 0)) continue;
    const double t = static_cast<double>(n) - start;  // as the tables place it
    const double terms[kTerms] = {std::cos(r.omega * t), std::sin(r.omega * t),
                                  std::cos(2 * r.omega * t), std::sin(2 * r.omega * t)};
    const double v = weight * r.ring[n & kRingMask];
    for (int i = 0; i < kTerms; ++i) {
      b[i] += terms[i] * v;
      for (int j = 0; j < kTerms; ++j) a[i][j] += weight * terms[i] * terms[j];
    }
  }
  // A little weight towards no tone at all keeps a fit to few samples from inventing one.
  for (int i = 0; i < kTerms; ++i) a[i][i] += kRidge;
  if (!Solve(a, b)) return {0, 0, 0, 0};
  // A cos wt + B sin wt over the whole window correlates as (length / 2) (A - jB).
  const double half = length / 2;
  return {half * b[0], -half * b[1], half * b[2], -half * b[3]};
}

#if defined(TONEGRAB_HAVE_AVX2_SCAN)
// The four tables' entries at n, one to a lane.
TONEGRAB_AVX2 inline __m128 TablesAt(const Recover& r, int n) {
  return _mm_setr_ps(r.low[0][n], r.low[1][n], r.high[0][n], r.high[1][n]);
}

// The products of four samples from v[n] with each of the four tables there.
TONEGRAB_AVX2 inline void ProductsAt(const Recover& r, const float* v, int n, __m128 p[4]) {
  const __m128 x = _mm_loadu_ps(v + n);
  p[0] = _mm_mul_ps(x, _mm_load_ps(r.low[0] + n));
  p[1] = _mm_mul_ps(x, _mm_load_ps(r.low[1] + n));
  p[2] = _mm_mul_ps(x, _mm_load_ps(r.high[0] + n));
  p[3] = _mm_mul_ps(x, _mm_load_ps(r.high[1] + n));
}

// Window's four sums in one vector, without a branch on the count: the same numbers, added in
// the order the compiler gives Window's plain loop (lane l of each table summing the products
// of every fourth sample from l; the lanes in pairs; then the samples past the last group of
// four in the order it takes them), so that both variants decode alike. v must hold the count
// rounded up to a multiple of four.
TONEGRAB_AVX2 inline __m128 VectorSums(const Recover& r, const float* v, const Span& w) {
  const int count = w.count, groups = count / 4, rest = count % 4;
  __m128 lanes[4] = {};  // of each table, lane l over the samples 4 m + l
  for (int m = 0; m < groups; ++m) {
    __m128 p[4];
    ProductsAt(r, v, 4 * m, p);
    for (int t = 0; t < 4; ++t) lanes[t] = m == 0 ? p[t] : _mm_add_ps(lanes[t], p[t]);
  }
  // Turned so that vector l holds each table's lane l, one table to a lane.
  _MM_TRANSPOSE4_PS(lanes[0], lanes[1], lanes[2], lanes[3]);
  const __m128 even = _mm_add_ps(lanes[0], lanes[2]), odd = _mm_add_ps(lanes[1], lanes[3]);
  __m128 p[4];  // the samples past the last group: a group's worth read, as many used as there are
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

// Window without a click, in vectors.
TONEGRAB_AVX2 Tones VectorWindow(const Recover& r, double start, double length) {
  const Span w = SpanOf(start, length);
  float copy[kRecoverWindowMax];
  const float* v = RingRun(r, w.first, (w.count + 3) & ~3, copy);
  const __m128 s = VectorSums(r, v, w);
  const Phasor z = Rotation(r.omega * w.lead);
  const double z2r = z.re * z.re - z.im * z.im, z2i = 2 * z.re * z.im;
  // Each tone's a z - b j z, as the plain code forms its parts: a re - b im, a im + b re.
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
#endif

}  // namespace

// Runs once per bit: divisions only where the length moved enough to need them.
void SetBitLength(Recover& r, double length) {
  r.bitLength = Clamp(length, r.shortestBit, r.longestBit);
  if (std::fabs(r.bitLength - r.templateLength) > kTemplateTolerance * r.bitLength) {
    r.omega = 2 * std::numbers::pi / r.bitLength;
    BuildTemplates(r);
    r.templateLength = r.bitLength;
  }
  if (std::fabs(r.bitLength - r.gainBitLength) > kGainTolerance * r.bitLength) {
    const double speed = r.rate / (kBitRate * r.bitLength);
    const double g0 = DecimatorGain(r.decimator.factor, r.inputRate, kLowTone * speed);
    const double g1 = DecimatorGain(r.decimator.factor, r.inputRate, kHighTone * speed);
    r.gain0 = 1 / (g0 * g0);
    r.gain1 = 1 / (g1 * g1);
    r.gainBitLength = r.bitLength;
  }
}

Phasor HighToneOfChanges(const Recover& r, double start, double length) {
  const Span w = SpanOf(start, length);
  // The samples from the one before the window's first: a change is a sample less that one.
  float copy[kRecoverWindowMax + 1];
  const float* v = RingRun(r, w.first - 1, w.count + 1, copy);
  float a1 = 0, b1 = 0;
  for (int i = 0; i < w.count; ++i) {
    const float d = v[i + 1] - v[i];
    a1 += d * r.high[0][i];
    b1 += d * r.high[1][i];
  }
  const float f = (v[1] - v[0]) * w.outFirst, l = (v[w.count] - v[w.count - 1]) * w.outLast;
  a1 -= f * r.high[0][0] + l * r.high[0][w.count - 1];
  b1 -= f * r.high[1][0] + l * r.high[1][w.count - 1];
  const Phasor z = Rotation(r.omega * w.lead);
  const double z2r = z.re * z.re - z.im * z.im, z2i = 2 * z.re * z.im;
  return {a1 * z2r - b1 * z2i, a1 * z2i + b1 * z2r};
}

// Correlations of the samples in [start, start + length) with the two tones at the current
// bit rate, one and two cycles per bit, in phase with the window's start. The sums run over
// fixed tables, so that the compiler can do several samples at once; the window's own phase
// is one rotation.
Tones Window(const Recover& r, double start, double length) {
  if (MeetsClick(r.impulses, start, length)) return WindowAroundClick(r, start, length);
#if defined(TONEGRAB_HAVE_AVX2_SCAN)
  if (scanVariant == kScanAvx2) return WindowAvx2(r, start, length);
#endif
#if defined(TONEGRAB_HAVE_AVX2_SCAN)
  if (scanVariant == kScanAvx2) return VectorWindow(r, start, length);
#endif
  const Span w = SpanOf(start, length);
  const int count = w.count;
  float copy[kRecoverWindowMax];
  const float* v = RingRun(r, w.first, count, copy);
  float a0 = 0, b0 = 0, a1 = 0, b1 = 0;
  for (int i = 0; i < count; ++i) {
    a0 += v[i] * r.low[0][i];
    b0 += v[i] * r.low[1][i];
    a1 += v[i] * r.high[0][i];
    b1 += v[i] * r.high[1][i];
  }
  // The first and last samples count only by their overlap with the window: take off the rest.
  const float f = v[0] * w.outFirst, l = v[count - 1] * w.outLast;
  a0 -= f * r.low[0][0] + l * r.low[0][count - 1];
  b0 -= f * r.low[1][0] + l * r.low[1][count - 1];
  a1 -= f * r.high[0][0] + l * r.high[0][count - 1];
  b1 -= f * r.high[1][0] + l * r.high[1][count - 1];
  // Sample n lies (n - first) from the tables' origin, which is lead before the window's start.
  const Phasor z = Rotation(r.omega * w.lead);
  const double z2r = z.re * z.re - z.im * z.im, z2i = 2 * z.re * z.im;
  return {a0 * z.re - b0 * z.im, a0 * z.im + b0 * z.re, a1 * z2r - b1 * z2i, a1 * z2i + b1 * z2r};
}

}  // namespace recovery
