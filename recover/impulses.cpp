// Samples in: the decimated samples go into the ring, with clicks taken out on the way.
//
// A click (dust, crackle, a switch) is a short excursion far above the signal's level. Its
// samples are set to nothing: the window of the bit it falls in then holds a little less of
// the tones, instead of a burst of every frequency that could turn the decision or jolt the
// clock. An excursion that lasts longer than a click is the signal itself changing (a leader
// out of silence, the end of a dropout): its samples are put back as they were.
#include <cmath>

#include "recover/stages.h"

namespace recovery {
namespace {

// Far above: this many times the signal's root mean square, well past the peaks of the tones
// (1.4 times) with noise on them, and past most peaks of noise alone.
constexpr float kClickOverLevel = 3;
constexpr float kPowerRate = 1.0f / 64;  // about seven bits at nominal speed

// The excursion under way has lasted too long for a click: its samples were the signal, and
// the level is taken from them.
void PutBack(Recover& r, int64_t upTo, float* power) {
  Impulses& m = r.impulses;
  float sum = 0;
  for (int i = 0; i < m.run; ++i) {
    r.ring[(upTo - m.run + i) & kRingMask] = m.raw[i];
    sum += m.raw[i] * m.raw[i];
  }
  *power = sum / static_cast<float>(m.run);
  m.run = 0;
}

}  // namespace

void ImpulsesInit(Impulses& m) {
  m = Impulses{};
}

void TakeDecimated(Recover& r, const float* x, int64_t count) {
  Impulses& m = r.impulses;
  int64_t w = r.written;
  float* ring = r.ring;
  float power = m.power;
  for (int64_t i = 0; i < count; ++i, ++w) {
    const float v = x[i];
    const bool click = v * v > kClickOverLevel * kClickOverLevel * power;
    if (click && m.run < kRecoverClickMax) {
      m.raw[m.run++] = v;
      ring[w & kRingMask] = 0;
      continue;
    }
    if (m.run == kRecoverClickMax) {
      PutBack(r, w, &power);
    } else if (m.run > 0) {
      ++m.clicks;
      m.run = 0;
    }
    ring[w & kRingMask] = v;
    power += kPowerRate * (v * v - power);
  }
  m.power = power;
  r.written = w;
}

}  // namespace recovery
