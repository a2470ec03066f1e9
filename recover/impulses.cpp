// Samples in: the decimated samples go into the ring, with clicks taken out on the way.
//
// A click (dust, crackle, a switch) is a short excursion far off the course the tones were on.
// The tones obey x[n] = a1 (x[n-1] + x[n-3]) - a2 x[n-2] - x[n-4] at the tracked bit rate, whatever
// their phases and mix, so the prediction error stays near the noise except where the tone
// changes; a click's error stands far out of it. Its samples are replaced by the prediction,
// which carries the tones through. An excursion that lasts longer than a click is the signal
// itself changing (a leader out of silence, the end of a dropout): its samples are put back.
#include <cmath>

#include "recover/stages.h"

namespace recovery {
namespace {

// The prediction error of a click against that of the signal around it, and against the
// signal's own size: the second keeps the changes of tone, whose error is a fraction of the
// signal's size, from being taken for clicks.
constexpr float kClickOverError = 8e9;
constexpr float kClickOverLevel = 1.2f;
constexpr float kScaleRate = 1.0f / 256;  // about two dozen bits
constexpr float kLevelRate = 1.0f / 256;

// The predictor for both tones, one and two cycles per bit: the product of the resonators
// 1 - 2 cos(w) z^-1 + z^-2, whose roots are the tones.
void Tune(Impulses& m, double omega) {
  const double c1 = std::cos(omega), c2 = std::cos(2 * omega);
  m.a1 = static_cast<float>(2 * (c1 + c2));
  m.a2 = static_cast<float>(2 + 4 * c1 * c2);
  m.omega = omega;
}

// The excursion under way has lasted too long for a click: its samples were the signal.
void PutBack(Recover& r, int64_t upTo) {
  Impulses& m = r.impulses;
  for (int i = 0; i < m.run; ++i) r.ring[(upTo - m.run + i) & kRingMask] = m.raw[i];
  m.run = 0;
}

}  // namespace

void ImpulsesInit(Impulses& m) {
  m = Impulses{};
  m.omega = -1;
}

void TakeDecimated(Recover& r, const float* x, int64_t count) {
  Impulses& m = r.impulses;
  if (m.omega != r.omega) Tune(m, r.omega);
  int64_t w = r.written;
  float* ring = r.ring;
  float scale = m.scale, level = m.level;
  for (int64_t i = 0; i < count; ++i, ++w) {
    const float v = x[i];
    if (w < 4) {
      ring[w & kRingMask] = v;
      continue;
    }
    const float p = m.a1 * (ring[(w - 1) & kRingMask] + ring[(w - 3) & kRingMask]) -
                    m.a2 * ring[(w - 2) & kRingMask] - ring[(w - 4) & kRingMask];
    const float error = std::fabs(v - p);
    // Written so that a sample of no number is never taken for a click.
    const bool click = error > kClickOverError * scale && error > kClickOverLevel * level;
    if (click && m.run < kRecoverClickMax) {
      m.raw[m.run++] = v;
      ring[w & kRingMask] = p;
      continue;
    }
    if (m.run == kRecoverClickMax) {
      PutBack(r, w);
      scale = error;
    } else if (m.run > 0) {
      ++m.clicks;
      m.run = 0;
    }
    ring[w & kRingMask] = v;
    scale += kScaleRate * (error - scale);
    level += kLevelRate * (std::fabs(v) - level);
  }
  m.scale = scale;
  m.level = level;
  r.written = w;
}

}  // namespace recovery
