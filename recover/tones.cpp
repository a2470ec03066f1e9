// Tone correlation: a window of the ring against the two tones at the tracked bit rate.
#include <algorithm>
#include <cmath>
#include <numbers>

#include "decoder/level_scan.h"
#include "recover/filters.h"
#include "recover/stages.h"
#include "recover/window_parts.h"

namespace recovery {
namespace {

// The tones' phasors e^(-j omega n) and e^(-j 2 omega n) for the samples of a window, built
// again only when the bit rate has moved enough to matter: as far as a window may reach.
void BuildTemplates(Recover& r) {
  const Phasor step = Rotation(r.omega);  // e^(j omega)
  double re = 1, im = 0;
  for (int n = 0; n < r.tableLength; ++n) {
    const float low0 = static_cast<float>(re), low1 = static_cast<float>(-im);
    const float high0 = static_cast<float>(re * re - im * im);
    const float high1 = static_cast<float>(-2 * re * im);
    r.low[0][n] = low0;
    r.low[1][n] = low1;
    r.high[0][n] = high0;
    r.high[1][n] = high1;
    // The same four, four samples at a time side by side.
    float* g = r.grouped[n / 4] + n % 4;
    g[0] = low0;
    g[4] = low1;
    g[8] = high0;
    g[12] = high1;
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

}  // namespace

bool MeetsClick(const Impulses& m, double start, double length) {
  const int64_t kept = std::min<int64_t>(m.clicks, kRecoverClickSpans);
  for (int64_t i = 0; i < kept; ++i) {
    const ClickSpan& c = m.spans[i];
    if (static_cast<double>(c.last) + 1 > start && static_cast<double>(c.first) < start + length)
      return true;
  }
  return false;
}

void RetuneTables(Recover& r) {
  NominalTones& n = r.nominal;
  const bool nominal = r.bitLength == r.rate / kBitRate;
  r.templateLength = r.bitLength;
  if (nominal && n.tables) {  // the same numbers as building them again
    r.omega = n.omega;
    std::copy(&n.low[0][0], &n.low[0][0] + 2 * kRecoverWindowMax, &r.low[0][0]);
    std::copy(&n.high[0][0], &n.high[0][0] + 2 * kRecoverWindowMax, &r.high[0][0]);
    std::copy(&n.grouped[0][0], &n.grouped[0][0] + 4 * kRecoverWindowMax, &r.grouped[0][0]);
    return;
  }
  r.omega = 2 * std::numbers::pi / r.bitLength;
  BuildTemplates(r);
  if (!nominal) return;
  n.omega = r.omega;
  std::copy(&r.low[0][0], &r.low[0][0] + 2 * kRecoverWindowMax, &n.low[0][0]);
  std::copy(&r.high[0][0], &r.high[0][0] + 2 * kRecoverWindowMax, &n.high[0][0]);
  std::copy(&r.grouped[0][0], &r.grouped[0][0] + 4 * kRecoverWindowMax, &n.grouped[0][0]);
  n.tables = true;
}

void RetuneGains(Recover& r) {
  NominalTones& n = r.nominal;
  const bool nominal = r.bitLength == r.rate / kBitRate;
  r.gainBitLength = r.bitLength;
  if (nominal && n.gains) {
    r.gain0 = n.gain0;
    r.gain1 = n.gain1;
    return;
  }
  const double speed = r.rate / (kBitRate * r.bitLength);
  const double g0 = DecimatorGain(r.decimator.factor, r.inputRate, kLowTone * speed);
  const double g1 = DecimatorGain(r.decimator.factor, r.inputRate, kHighTone * speed);
  r.gain0 = 1 / (g0 * g0);
  r.gain1 = 1 / (g1 * g1);
  if (!nominal) return;
  n.gain0 = r.gain0;
  n.gain1 = r.gain1;
  n.gains = true;
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

}  // namespace recovery
