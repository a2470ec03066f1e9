// Samples in: the decimated samples go into the ring, and clicks are marked on the way.
//
// A click (dust, crackle, a switch) is a short excursion far above the signal's usual peak.
// Its samples, with the rise and decay on either side, are marked as missing: a window that
// meets them fits the two tones to the samples it has left (tones.cpp), so the bit it falls in
// keeps its tone instead of a burst of every frequency that could turn the decision or jolt
// the clock. An excursion that lasts longer than a click is the signal itself changing (a
// leader out of silence, the end of a dropout) and is taken as it is.
#include <algorithm>
#include <cmath>

#include "recover/stages.h"

namespace recovery {
namespace {

// Far above: this many times the signal's recent peak, held with a slow decay so that it
// follows the signal with hum or noise on it, the peaks of noise included, and the threshold
// stays clear of them at any signal-to-noise ratio.
constexpr float kClickOverPeak = 1.8f;
constexpr double kPeakHold = 0.05;  // seconds in which the held peak falls to 1/e
// A click's rise, still below the threshold, must not lift the threshold with it: the held
// peak climbs only at this share of the way per sample, a couple of cycles to a new level.
constexpr float kPeakAttack = 0.05f;
// Samples below the threshold between two above it, within one excursion: a click rings, and
// the peaks of a signal that grows louder come every half cycle.
constexpr int kHole = 4;
// Samples on each side of the excursion that go with it: the decimator spreads a click over
// its taps, so its rise and decay lie below the threshold.
constexpr int kGuard = 1;

// Keeps the held peak up to date with a sample taken as it is.
void TakePeak(Impulses& m, float v) {
  const float size = std::fabs(v);
  m.peak = size > m.peak ? m.peak + kPeakAttack * (size - m.peak) : m.peak * m.decay;
}

// The excursion under way has lasted too long for a click: it was the signal, and the held
// peak is taken from it.
void TakeExcursion(Impulses& m) {
  m.peak = 0;
  for (int i = 0; i < m.run; ++i) m.peak = std::max(m.peak, std::fabs(m.raw[i]));
  m.run = 0;
}

void MarkClick(Impulses& m, int64_t first, int64_t last) {
  m.spans[m.clicks % kRecoverClickSpans] = {first, last};
  ++m.clicks;
  m.lastClickEnd = last;
}

}  // namespace

void ImpulsesInit(Impulses& m, double rate) {
  m = Impulses{};
  m.decay = static_cast<float>(std::exp(-1 / (kPeakHold * rate)));
  m.lastClickEnd = -1;
}

void TakeDecimated(Recover& r, const float* x, int64_t count) {
  Impulses& m = r.impulses;
  int64_t w = r.written;
  float* ring = r.ring;
  for (int64_t i = 0; i < count; ++i, ++w) {
    const float v = x[i];
    r.changes[w & kRingMask] = v - ring[(w - 1) & kRingMask];
    ring[w & kRingMask] = v;
    // Written so that a sample of no number is never taken for a click.
    const bool above = std::fabs(v) > kClickOverPeak * m.peak;
    if (m.run == 0 && !above) {
      TakePeak(m, v);
      continue;
    }
    if (m.run == 0) m.quiet = 0;
    m.quiet = above ? 0 : m.quiet + 1;
    if (m.quiet <= kHole) {  // within the excursion, for now
      m.raw[m.run++] = v;
      if (m.run == kRecoverClickMax) TakeExcursion(m);
      continue;
    }
    // The excursion ended kHole samples ago: a click.
    MarkClick(m, w - m.run - kGuard, w - kHole - 1 + kGuard);
    m.run = 0;
    TakePeak(m, v);
  }
  r.written = w;
}

}  // namespace recovery
