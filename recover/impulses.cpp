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
// Samples below the level between two above it, within one excursion: a click rings, and the
// peaks of a signal that grows louder come every half cycle.
constexpr int kHole = 4;

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
    const bool above = v * v > kClickOverLevel * kClickOverLevel * power;
    if (m.run > 0 || above) {
      if (m.run == 0) ring[(w - 1) & kRingMask] = 0;  // the click's rise, below the level
      m.quiet = above ? 0 : m.quiet + 1;
      if (m.quiet <= kHole) {  // within the excursion, for now
        m.raw[m.run++] = v;
        ring[w & kRingMask] = 0;
        if (m.run == kRecoverClickMax) PutBack(r, w + 1, &power);
        continue;
      }
      // The excursion ended kHole samples ago: it was a click, and those samples were not, but
      // for the first, its decay.
      for (int k = 1; k < kHole; ++k) ring[(w - k) & kRingMask] = m.raw[m.run - k];
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
