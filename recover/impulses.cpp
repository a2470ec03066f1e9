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

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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
constexpr int kPeakBlock = 8;
// The same over a block of kPeakBlock samples at its largest.
const float kBlockAttack = 1 - std::pow(1 - kPeakAttack, static_cast<float>(kPeakBlock));
// Samples below the threshold between two above it, within one excursion: a click rings, and
// the peaks of a signal that grows louder come every half cycle.
constexpr int kHole = 4;
// Samples on each side of the excursion that go with it: the decimator spreads a click over
// its taps, so its rise and decay lie below the threshold.
constexpr int kGuard = 1;

// The held peak after a sample (or a block's largest) of this size: it climbs a share of the
// way to a larger one, and decays otherwise.
inline float HeldPeak(float peak, float size, float attack, float decay) {
  return size > peak ? peak + attack * (size - peak) : peak * decay;
}

// Blocks of kPeakBlock samples from x[i] on while none of them reaches the threshold: each
// moves the held peak once. Returns where it stopped: at a block that reaches the threshold, or
// with less than a block left. The held peak's step is a chain from block to block, and it
// sets the pace here: the vector form keeps the chain in one register and takes the climb or
// the decay without a branch (which one is as good as random on a tone). The same numbers as
// the plain form below, in the same order.
int64_t QuietBlocks(const float* x, int64_t i, int64_t count, float* held, float blockDecay) {
#if defined(__SSE2__)
  static_assert(kPeakBlock == 8);
  const __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
  const __m128 over = _mm_set_ss(kClickOverPeak), attack = _mm_set_ss(kBlockAttack);
  const __m128 decay = _mm_set_ss(blockDecay);
  __m128 peak = _mm_set_ss(*held);
  for (; i + kPeakBlock <= count; i += kPeakBlock) {
    const __m128 a = _mm_and_ps(_mm_loadu_ps(x + i), magnitude);
    const __m128 b = _mm_and_ps(_mm_loadu_ps(x + i + 4), magnitude);
    // max_ps(v, t) is t where v is no number, as std::max(t, v) is; among numbers the order
    // of the comparisons does not matter.
    __m128 top = _mm_max_ps(a, _mm_max_ps(b, _mm_setzero_ps()));
    top = _mm_max_ps(top, _mm_movehl_ps(top, top));
    top = _mm_max_ps(top, _mm_shuffle_ps(top, top, 1));
    // Written so that a sample of no number is never taken for a click.
    if (_mm_comigt_ss(top, _mm_mul_ss(over, peak))) break;
    const __m128 climbed = _mm_add_ss(peak, _mm_mul_ss(attack, _mm_sub_ss(top, peak)));
    const __m128 decayed = _mm_mul_ss(peak, decay);
    const __m128 larger = _mm_cmpgt_ss(top, peak);
    peak = _mm_or_ps(_mm_and_ps(larger, climbed), _mm_andnot_ps(larger, decayed));
  }
  *held = _mm_cvtss_f32(peak);
#else
  float peak = *held;
  for (; i + kPeakBlock <= count; i += kPeakBlock) {
    float top = 0;
    for (int j = 0; j < kPeakBlock; ++j) top = std::max(top, std::fabs(x[i + j]));
    if (top > kClickOverPeak * peak) break;
    peak = HeldPeak(peak, top, kBlockAttack, blockDecay);
  }
  *held = peak;
#endif
  return i;
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
  m.blockDecay = std::pow(m.decay, static_cast<float>(kPeakBlock));
  m.lastClickEnd = -1;
}

void KeepDecimated(Recover& r, const float* x, int64_t count) {
  const int64_t start = r.written;
  // The samples into the ring, a plain copy of each contiguous stretch.
  for (int64_t done = 0; done < count;) {
    const int64_t at = (start + done) & kRingMask;
    const int64_t n = std::min<int64_t>(count - done, kRecoverRing - at);
    std::copy(x + done, x + done + n, r.ring + at);
    done += n;
  }
  r.written = start + count;
}

void WatchClicks(Impulses& m, const float* x, int64_t count, int64_t start) {
  // The watch's state in locals: the ring's stores cannot touch them. Outside an excursion it
  // goes a block at a time: a block whose largest sample stays below the threshold moves the
  // held peak once, by the block's attack or decay.
  float peak = m.peak;
  const float decay = m.decay, blockDecay = m.blockDecay;
  int64_t i = 0;
  while (i < count) {
    if (m.run == 0) {
      i = QuietBlocks(x, i, count, &peak, blockDecay);
      if (i == count) break;
    }
    const int64_t end = std::min<int64_t>(count, i + kPeakBlock);
    for (; i < end; ++i) {
      const float v = x[i];
      const float size = std::fabs(v);
      const bool above = size > kClickOverPeak * peak;
      if (m.run == 0 && !above) {
        peak = HeldPeak(peak, size, kPeakAttack, decay);
        continue;
      }
      if (m.run == 0) m.quiet = 0;
      m.quiet = above ? 0 : m.quiet + 1;
      if (m.quiet <= kHole) {  // within the excursion, for now
        m.raw[m.run++] = v;
        if (m.run == kRecoverClickMax) {
          m.peak = peak;
          TakeExcursion(m);
          peak = m.peak;
        }
        continue;
      }
      // The excursion ended kHole samples ago: a click.
      const int64_t w = start + i;
      MarkClick(m, w - m.run - kGuard, w - kHole - 1 + kGuard);
      m.run = 0;
      peak = HeldPeak(peak, size, kPeakAttack, decay);
    }
  }
  m.peak = peak;
}

void TakeDecimated(Recover& r, const float* x, int64_t count) {
  const int64_t start = r.written;
  KeepDecimated(r, x, count);
  WatchClicks(r.impulses, x, count, start);
}

void TakeWatched(Recover& r, const float* x, int64_t count, const ClickSpan* spans,
                 int64_t marked) {
  KeepDecimated(r, x, count);
  Impulses& m = r.impulses;
  const int64_t given = std::min<int64_t>(marked, kRecoverClickSpans);
  m.clicks += marked - given;  // those the given ones would have written over
  for (int64_t i = 0; i < given; ++i) MarkClick(m, spans[i].first, spans[i].last);
}

}  // namespace recovery
