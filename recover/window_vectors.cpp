// A tone window without a click: four sums of the window's samples against the tables, then
// the window's phase. The sums are written out in one order, in a file compiled with the order
// kept as written, so that the numbers do not hang on the compiler and its options, and the
// plain form and the vector form give the same numbers: each table's sum in four lanes, lane l
// over every fourth sample from l, the last group's missing samples counting as zeros; lanes 0
// and 2, and 1 and 3, added, then the two pairs; the first sample's excess taken off, then the
// last one's.
#include "recover/window_vectors.h"

#include <algorithm>
#include <bit>
#include <cstdint>

namespace recovery {
namespace {

// Of the last group, the samples within the window (by how many are): the others count as zeros.
constexpr uint32_t kKeepBits[4][4] = {
    {~0u, ~0u, ~0u, ~0u}, {~0u, 0, 0, 0}, {~0u, ~0u, 0, 0}, {~0u, ~0u, ~0u, 0}};

// The correlations of `count` samples from v (the count rounded up to a multiple of four) with
// the four tables, before the first and last samples' excess is taken off. Each table's lanes
// are a row that the compiler can do at once.
void PlainSums(const float* v, const float* const tables[4], int count, float sums[4]) {
  const int groups = count / 4, rest = count % 4;
  float lane[4][4] = {};  // of each table, lane l over the samples 4 m + l
  for (int m = 0; m < groups; ++m)
    for (int t = 0; t < 4; ++t)
      for (int l = 0; l < 4; ++l) {
        const float p = v[4 * m + l] * tables[t][4 * m + l];
        lane[t][l] = m == 0 ? p : lane[t][l] + p;
      }
  if (rest != 0) {
    const int n = 4 * groups;
    for (int t = 0; t < 4; ++t)
      for (int l = 0; l < 4; ++l) {
        const float x =
            std::bit_cast<float>(std::bit_cast<uint32_t>(v[n + l]) & kKeepBits[rest][l]);
        const float p = x * tables[t][n + l];
        lane[t][l] = groups == 0 ? p : lane[t][l] + p;
      }
  }
  for (int t = 0; t < 4; ++t) sums[t] = (lane[t][0] + lane[t][2]) + (lane[t][1] + lane[t][3]);
}

}  // namespace

void ToneSumsPlain(const Recover& r, const Span& w, float s[4]) {
  const int count = w.count;
  float copy[kRecoverWindowMax];
  const float* v = RingRun(r, w.first, (count + 3) & ~3, copy);
  const float* const tables[4] = {r.low[0], r.low[1], r.high[0], r.high[1]};
  PlainSums(v, tables, count, s);
  // The first and last samples count only by their overlap with the window: take off the rest.
  const float f = v[0] * w.outFirst, l = v[count - 1] * w.outLast;
  for (int t = 0; t < 4; ++t) s[t] = (s[t] - f * tables[t][0]) - l * tables[t][count - 1];
}

Tones WindowPlain(const Recover& r, double start, double length) {
  const Span w = SpanOf(start, length);
  float s[4];
  ToneSumsPlain(r, w, s);
  // Sample n lies (n - first) from the tables' origin, which is lead before the window's start.
  const Phasor z = Rotation(r.omega * w.lead);
  const double z2r = z.re * z.re - z.im * z.im, z2i = 2 * z.re * z.im;
  return {s[0] * z.re - s[1] * z.im, s[0] * z.im + s[1] * z.re, s[2] * z2r - s[3] * z2i,
          s[2] * z2i + s[3] * z2r};
}

}  // namespace recovery

#if defined(TONEGRAB_HAVE_AVX2_SCAN)

namespace recovery {

TONEGRAB_AVX2 __attribute__((flatten)) Tones WindowAvx2(const Recover& r, double start,
                                                        double length) {
  return WindowAs<kScanAvx2>(r, start, length);
}

}  // namespace recovery

#endif
