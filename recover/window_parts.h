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

// `count` samples of the ring from `from`, straight from it where they do not wrap around its
// end, else copied into `copy`.
inline const float* RingRun(const Recover& r, int64_t from, int count, float* copy) {
  const int64_t at = from & kRingMask;
  if (at + count <= kRecoverRing) return r.ring + at;
  for (int i = 0; i < count; ++i) copy[i] = r.ring[(from + i) & kRingMask];
  return copy;
}

}  // namespace recovery

#endif
