// The leader: the search for a steady high tone, the speed it gives, and the edge of the first
// start bit, from which the bit clock takes over.
#include <algorithm>
#include <cmath>
#include <numbers>

#include "recover/stages.h"
#include "recover/window_parts.h"
#include "recover/window_vectors.h"

namespace recovery {
namespace {

// Leader: a steady tone in most windows, its phase advancing evenly, and in whole-bit windows
// the high tone well above the low one.
constexpr double kLeaderCoherence = 0.6;
// |1 - e^(-j w)|^2 for the high tone at nominal speed after decimation to about 11025 Hz: what
// taking differences does to its energy, roughly (the leader's level is measured again).
constexpr double kDifferenceGain = 1.6;
constexpr double kLeaderDominance = 3;
constexpr int kSearchResum = 1024;    // windows between two fresh sums
constexpr double kLeaderEdge = 0.25;  // of the leader's level: where it begins
constexpr int kFollowLevelBits = 32;  // a leader met inside a block: bits that give its level
constexpr int kLeaderFllWindows = 8;  // windows between two speed corrections
constexpr double kLeaderLost = 0.1;   // of the leader's level: the tone is gone
constexpr int kLeaderLostWindows = 8;
constexpr int kLeaderSteadyMin = 4;    // windows of high tone, two bits, before a start bit counts
constexpr double kStartBitRise = 0.3;  // of the leader's level: the low tone has begun
constexpr int kEdgeSteps = 12;         // start-bit edge search over 1.5 bits in 1/8 steps

// Where the leader found ending at `at` began: the search needs some of it to be sure, so the
// windows before are looked at again while they hold the high tone at its level.
double LeaderBegins(const Recover& r, double at, double length, double level) {
  while (Available(r, at - length, length)) {
    const Tones w = Window(r, at - length, length);
    const double e1 = Energy1(r, w);
    if (e1 < kLeaderEdge * level || e1 < kLeaderDominance * Energy0(r, w)) break;
    at -= length;
  }
  return at;
}

// The leader stage from `at` on, at the tracked speed and this level; the leader began at
// `known` or before.
void EnterLeader(Recover& r, double at, double known, double level) {
  r.t = at;
  r.leaderLevel = level;
  r.leaderStart = Seconds(r, LeaderBegins(r, known, r.bitLength, level));
  r.leaderWeak = 0;
  r.leaderWindows = 0;
  r.leaderSteady = 0;
  r.leaderSumRe = r.leaderSumIm = 0;
  r.leaderSumCount = 0;
  r.leaderRotRe[0] = r.leaderRotRe[1] = r.leaderRotIm[0] = r.leaderRotIm[1] = 0;
  r.stage = kStageLeader;
}

// The high tone's phase advances by 2 pi (true speed / assumed speed - 1) per half bit: the
// mean rotation of the trusted windows corrects the speed.
void AdjustLeaderSpeed(Recover& r) {
  const double m = std::sqrt(r.leaderSumRe * r.leaderSumRe + r.leaderSumIm * r.leaderSumIm);
  if (m > kLeaderCoherence * r.leaderSumCount && r.leaderSumCount > 0) {
    const double ratio = 1 + std::atan2(r.leaderSumIm, r.leaderSumRe) / (2 * std::numbers::pi);
    SetBitLength(r, r.bitLength / ratio);
  }
  r.leaderSumRe = r.leaderSumIm = 0;
  r.leaderSumCount = 0;
  // The rotations still waiting were measured against the old speed.
  r.leaderRotRe[0] = r.leaderRotRe[1] = r.leaderRotIm[0] = r.leaderRotIm[1] = 0;
}

double LowOverHigh(const Recover& r, double start) {
  const Tones w = Window(r, start, r.bitLength);
  return (Energy0(r, w) - Energy1(r, w)) / (r.leaderLevel + kTiny);
}

}  // namespace

void StartSearch(Recover& r, double at) {
  r.stage = kStageSearch;
  r.t = at;
  r.searchCount = 0;
  r.searchSumRe = r.searchSumIm = r.searchSumHigh = 0;
  std::fill(r.searchRotRe, r.searchRotRe + kRecoverSearchWindows, 0.0);
  std::fill(r.searchRotIm, r.searchRotIm + kRecoverSearchWindows, 0.0);
  std::fill(r.searchHigh, r.searchHigh + kRecoverSearchWindows, 0.0);
  SetBitLength(r, r.rate / kBitRate);
}

void FollowLeader(Recover& r, double at, int marks) {
  // The leader's level is the median of its mark bits' high tone. After a gap the first of them
  // may be noise that read as mark by chance: taken for the level, its weakness would make the
  // noise's low tone in the next window look like a start bit.
  const double length = r.bitLength;
  const int n = std::clamp(marks, 1, kFollowLevelBits);
  double high[kFollowLevelBits];
  for (int i = 0; i < n; ++i) high[i] = Energy1(r, Window(r, at + i * length, length));
  std::nth_element(high, high + n / 2, high + n);
  EnterLeader(r, at, at, high[n / 2]);
}

namespace {

// One step of the search.
inline bool SearchStep(Recover& r) {
  // Half-bit windows: one cycle of the high tone each, so that its phase advances by
  // 2 pi (speed - 1) from one to the next, unambiguous from half to one and a half times the
  // nominal speed. The two tones are not told apart in so short a window: that, and the speed,
  // are the leader's to settle.
  const double length = r.rate / kBitRate / 2;
  if (!Available(r, r.t - 1, length + 1)) {
    // Before the first sample, or behind the ring's oldest one (after a long stall): go on from
    // the oldest one kept.
    const double oldest =
        static_cast<double>(std::max<int64_t>(0, r.written - kRecoverRing + 1)) + 1;
    if (r.t >= oldest) return false;
    StartSearch(r, oldest);
    return true;
  }
  // The window of the samples' differences, one window less the one a sample earlier: a
  // constant, or a slow wave, would otherwise leak into so short a window and look steady.
  const Phasor u = HighToneOfChanges(r, r.t, length);
  const int slot = r.searchCount % kRecoverSearchWindows;
  const Phasor turn = r.searchCount > 0 ? UnitTurn(u, r.prevRef) : Phasor{0, 0};
  const double level = (u.re * u.re + u.im * u.im) * r.gain1 / kDifferenceGain;
  // The sums over the last kRecoverSearchWindows run along, each window added and the one it
  // replaces taken off; summed afresh now and then so that rounding cannot build up.
  r.searchSumRe += turn.re - r.searchRotRe[slot];
  r.searchSumIm += turn.im - r.searchRotIm[slot];
  r.searchSumHigh += level - r.searchHigh[slot];
  r.searchRotRe[slot] = turn.re;
  r.searchRotIm[slot] = turn.im;
  r.searchHigh[slot] = level;
  if (slot == 0 && r.searchCount % kSearchResum == 0) {
    r.searchSumRe = r.searchSumIm = r.searchSumHigh = 0;
    for (int i = 0; i < kRecoverSearchWindows; ++i) {
      r.searchSumRe += r.searchRotRe[i];
      r.searchSumIm += r.searchRotIm[i];
      r.searchSumHigh += r.searchHigh[i];
    }
  }
  r.prevRef = u;
  ++r.searchCount;
  r.t += length;
  if (r.searchCount <= kRecoverSearchWindows) return true;

  const double sumRe = r.searchSumRe, sumIm = r.searchSumIm, high = r.searchSumHigh;
  const double coherence = std::sqrt(sumRe * sumRe + sumIm * sumIm);
  // Written so that a window of no numbers is never taken for a leader.
  if (!(coherence > kLeaderCoherence * kRecoverSearchWindows)) return true;

  const double speed = 1 + std::atan2(sumIm, sumRe) / (2 * std::numbers::pi);
  // A steady tone outside the speeds followed (a hum, a test tone) is no leader.
  if (speed < kMinSpeed || speed > kMaxSpeed) return true;
  SetBitLength(r, r.rate / (kBitRate * speed));
  // The leader's level in whole-bit windows at its speed, four times that of half a bit.
  EnterLeader(r, r.t, r.t - r.bitLength, 4 * high / kRecoverSearchWindows);
  return true;
}

// Steps while the search lasts and the events have room.
inline bool SearchStepsAs(Recover& r, int room) {
  bool progressed = false;
  while (SearchStep(r)) {
    progressed = true;
    if (r.stage != kStageSearch || r.eventCount >= room) break;
  }
  return progressed;
}

#if defined(TONEGRAB_HAVE_AVX2_SCAN)
// Compiled for AVX2 with everything it calls inlined (flatten): called only when scanVariant
// says the processor has it.
TONEGRAB_AVX2 __attribute__((flatten)) bool SearchStepsAvx2(Recover& r, int room) {
  return SearchStepsAs(r, room);
}
#endif

}  // namespace

bool SearchSteps(Recover& r, int room) {
#if defined(TONEGRAB_HAVE_AVX2_SCAN)
  if (scanVariant == kScanAvx2) return SearchStepsAvx2(r, room);
#endif
  return SearchStepsAs(r, room);
}

// Follows the leader in half-bit steps, refining the speed from its phase, until a window holds
// mostly low tone: the first start bit. Half-bit steps put one window within a quarter bit of
// it, whatever the bit after it.
bool LeaderStep(Recover& r) {
  const double length = r.bitLength;
  if (!Available(r, r.t, length)) return false;
  const Tones w = Window(r, r.t, length);
  const double e0 = Energy0(r, w), e1 = Energy1(r, w);
  const Phasor u{w.re1, w.im1};
  const bool steady = e1 > kLeaderDominance * e0 && e1 > kLeaderLost * r.leaderLevel;
  if (r.leaderWindows > 0) {
    // The window that reaches into the start bit turns the phase too: a rotation is trusted
    // only two windows later, once the tone has gone on.
    const Phasor turn = steady ? UnitTurn(u, r.prevRef) : Phasor{0, 0};
    r.leaderSumRe += r.leaderRotRe[1];
    r.leaderSumIm += r.leaderRotIm[1];
    r.leaderRotRe[1] = r.leaderRotRe[0];
    r.leaderRotIm[1] = r.leaderRotIm[0];
    r.leaderRotRe[0] = turn.re;
    r.leaderRotIm[0] = turn.im;
    if (++r.leaderSumCount == kLeaderFllWindows) AdjustLeaderSpeed(r);
  }
  r.prevRef = u;
  ++r.leaderWindows;
  if (steady) r.leaderLevel += 0.1 * (e1 - r.leaderLevel);
  if (steady) ++r.leaderSteady;
  if (e0 - e1 > kStartBitRise * r.leaderLevel) {
    // A tone that is low tone at once was never a leader: the search's half-bit windows take a
    // tone of 1000 Hz or so for the high tone at 1.4 times the speed.
    if (r.leaderSteady < kLeaderSteadyMin) {
      RejectLeader(r, kRejectToneLost);
      StartSearch(r, r.t);
      return true;
    }
    AdjustLeaderSpeed(r);
    r.stage = kStageEdge;
    return true;
  }
  r.leaderWeak = steady ? 0 : r.leaderWeak + 1;
  if (r.leaderWeak > kLeaderLostWindows) {
    RejectLeader(r, kRejectToneLost);
    StartSearch(r, r.t);
    return true;
  }
  r.t += length / 2;
  return true;
}

// The first start bit begins where a window of low tone follows a window of high tone: the
// difference of the two windows peaks there.
bool EdgeStep(Recover& r) {
  const double length = r.bitLength, step = length / 8;
  const double first = r.t - length;
  const double last = first + kEdgeSteps * step;
  if (!Available(r, first - (kLeadBits + 1) * length, length) || !Available(r, last, length)) {
    if (Available(r, last, length)) {  // fell out of the ring: look again from here
      StartSearch(r, r.t);
      return true;
    }
    return false;
  }
  double score[kEdgeSteps + 1];
  int best = 0;
  for (int k = 0; k <= kEdgeSteps; ++k) {
    const double x = first + k * step;
    score[k] = LowOverHigh(r, x) - LowOverHigh(r, x - length);
    if (score[k] > score[best]) best = k;
  }
  double offset = 0;
  if (best > 0 && best < kEdgeSteps) {
    const double a = score[best - 1], b = score[best], c = score[best + 1];
    const double curve = a - 2 * b + c;
    if (curve < 0) offset = Clamp(0.5 * (a - c) / curve, -0.5, 0.5);
  }
  // Bits are decoded from a few bits before the edge on: the framing finds the first frame.
  StartBits(r, first + (best + offset) * step - kLeadBits * length);
  StartFraming(r);
  return true;
}

}  // namespace recovery
