// What the tone windows share: where a window lies over the ring.
#ifndef TONEGRAB_RECOVER_WINDOW_PARTS_H
#define TONEGRAB_RECOVER_WINDOW_PARTS_H

#include <cmath>
#include <cstdint>

#include "decoder/level_scan.h"
#include "recover/stages.h"

namespace recovery {

// Where a window lies over the ring: the samples it touches, and how much of the first and last
// of them lies outside it. A sample covers [n, n + 1) and counts by its overlap with the window.
struct Span {
  int64_t first, last;
  int count;
  double lead;  // the window begins this far into its first sample
  float outFirst, outLast;
};

inline Span SpanOf(double start, double length) {
  Span s;
  const double end = start + length;
  s.first = static_cast<int64_t>(std::floor(start));
  s.last = static_cast<int64_t>(std::floor(end));
  s.count = static_cast<int>(s.last - s.first + 1);
  s.lead = start - static_cast<double>(s.first);
  s.outFirst = static_cast<float>(s.count == 1 ? 1 - length : s.lead);
  s.outLast = static_cast<float>(s.count == 1 ? 0 : static_cast<double>(s.last + 1) - end);
  return s;
}

// The four tables' sums over a window, before its turn to its start; and a window's energies.
struct ToneSums {
  float s[4];
};
struct ToneEnergies {
  double e0, e1;
};

// `count` samples of the ring from `from`, straight from it where they do not wrap around its
// end, else copied into `copy`.
inline const float* RingRun(const Recover& r, int64_t from, int count, float* copy) {
  const int64_t at = from & kRingMask;
  if (at + count <= kRecoverRing) return r.ring + at;
  for (int i = 0; i < count; ++i) copy[i] = r.ring[(from + i) & kRingMask];
  return copy;
}

// The high tone's correlation over a window of the samples' changes (recover/stages.h), inline
// for the search's steps.
inline Phasor HighToneOfChanges(const Recover& r, double start, double length) {
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

}  // namespace recovery

#endif
