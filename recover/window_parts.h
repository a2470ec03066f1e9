// What the tone windows' two variants share: where a window lies over the ring, and the
// windows without a click (recover/window_vectors.cpp) that Window (recover/tones.cpp) hands
// over to.
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

// Window for a window without a click.
Tones WindowPlain(const Recover& r, double start, double length);
#if defined(TONEGRAB_HAVE_AVX2_SCAN)
// The same in vectors, the same numbers. Only where the processor has AVX2.
Tones WindowAvx2(const Recover& r, double start, double length);
#endif

}  // namespace recovery

#endif
