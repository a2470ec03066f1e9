// The recovery decoder's steps: samples -> tone correlations -> leader -> bits -> frames.
#include "recover/recover.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>

namespace {

constexpr double kBitRate = 1200;      // bits per second at nominal speed
constexpr double kLowTone = 1200;      // Hz at nominal speed: one cycle per bit
constexpr double kHighTone = 2400;     // two cycles per bit
constexpr double kTargetRate = 11025;  // decimate to no less than this
constexpr double kMinInputRate = 6000;
constexpr double kMaxInputRate = kTargetRate * kMaxDecimation;
constexpr double kMinSpeed = 0.6;
constexpr double kMaxSpeed = 1.45;
constexpr int kRingMask = kRecoverRing - 1;
constexpr int kBitMask = kRecoverBits - 1;
constexpr double kTiny = 1e-30;
// A window's phase drifts by this fraction of a cycle per cycle before the tables are rebuilt.
constexpr double kTemplateTolerance = 1e-3;

// Leader: a steady tone in most windows, its phase advancing evenly, and in whole-bit windows
// the high tone well above the low one.
constexpr double kLeaderCoherence = 0.6;
// |1 - e^(-j w)|^2 for the high tone at nominal speed after decimation to about 11025 Hz: what
// taking differences does to its energy, roughly (the leader's level is measured again).
constexpr double kDifferenceGain = 1.6;
constexpr double kLeaderDominance = 3;
constexpr double kLeaderEdge = 0.25;   // of the leader's level: where it begins
constexpr int kLeaderFllWindows = 24;  // windows between two speed corrections
constexpr double kLeaderLost = 0.1;    // of the leader's level: the tone is gone
constexpr int kLeaderLostWindows = 8;
constexpr double kStartBitRise = 0.3;  // of the leader's level: the low tone has begun
constexpr int kEdgeSteps = 12;         // start-bit edge search over 1.5 bits in 1/8 steps
constexpr int kLeadBits = 6;           // leader bits decoded before the edge
constexpr int kFirstFrameSearch = 40;  // bits searched for the first frame

// Timing loop, proportional and integral, on the energy of a window between two bits.
constexpr double kTimingGain = 0.25;
constexpr double kSpeedGain = 0.02;
constexpr double kGardnerWeight = 0.3;  // once the phase times the bits
constexpr double kTimingConfident = 0.3;
constexpr double kTimingFloor = 0.01;  // of the signal's energy: a bit this weak does not time
// A bit this uncertain is decided again coherently, against the learnt phase of each tone.
constexpr double kUncertain = 0.5;
constexpr double kReferenceConfident = 0.6;
constexpr double kReferenceRate = 0.02;
constexpr int kReferenceMin = 8;  // confident bits of a tone before its phase is trusted
// 1 / (n + 1), but no less than kReferenceRate.
constexpr auto kFirstRates = [] {
  std::array<double, kReferenceMin * 4> rates{};
  for (size_t n = 0; n < rates.size(); ++n)
    rates[n] = 1.0 / static_cast<double>(n + 1) > kReferenceRate ? 1.0 / static_cast<double>(n + 1)
                                                                 : kReferenceRate;
  return rates;
}();

// Framing.
constexpr int kFrameBits = 11;  // start bit 0, eight data bits, two stop bits 1
constexpr int kLookFrames = 3;  // frames that must decode at a new alignment
constexpr int kMaxSlip = 5;     // bits an alignment may move
constexpr int kIdleBits = 22;   // more ones than framed data can hold: a leader
constexpr double kIdleConfident = 0.5;
constexpr double kPresent = 0.65;  // mean confidence of a frame that carries signal
constexpr int kSuspectFrames = 2;  // frames after damage whose unsure bits make them damaged
// After frames of damage, one good frame resumes the block; after more than this, or after the
// signal was gone, good frames must follow in a row: noise after the end of the data must not
// look like its return.
constexpr int kShortGap = 3;
constexpr double kSilent = 1e-4;  // of the signal's energy: silence
constexpr double kLevelRate = 0.01;

struct Tones {
  double re0, im0, re1, im1;
};

// atan2 to within 0.005 rad, at a fraction of the library's cost: it runs once per bit.
double FastAtan2(double y, double x) {
  const double ax = std::fabs(x), ay = std::fabs(y);
  const double a = std::min(ax, ay) / (std::max(ax, ay) + kTiny);
  const double s = a * a;
  double angle = ((-0.0464964749 * s + 0.15931422) * s - 0.327622764) * s * a + a;
  if (ay > ax) angle = std::numbers::pi / 2 - angle;
  if (x < 0) angle = std::numbers::pi - angle;
  return y < 0 ? -angle : angle;
}

// cos and sin of a small angle (|a| < 2), to within 1e-7: the windows need them once each.
Phasor Rotation(double a) {
  const double a2 = a * a;
  const double c = 1 + a2 * (-1.0 / 2 + a2 * (1.0 / 24 + a2 * (-1.0 / 720 + a2 * (1.0 / 40320))));
  const double s =
      a * (1 + a2 * (-1.0 / 6 + a2 * (1.0 / 120 + a2 * (-1.0 / 5040 + a2 * (1.0 / 362880)))));
  return {c, s};
}

// How far the phase turned from `before` to `u`, as a unit phasor: each window's turn counts
// alike, however loud, so that a few loud windows of noise do not look like a steady tone.
Phasor UnitTurn(const Phasor& u, const Phasor& before) {
  const double re = u.re * before.re + u.im * before.im;
  const double im = u.im * before.re - u.re * before.im;
  const double m = std::sqrt(re * re + im * im) + kTiny;
  return {re / m, im / m};
}

double Clamp(double v, double lo, double hi) {
  return std::min(std::max(v, lo), hi);
}

// The tones' phasors e^(-j omega n) and e^(-j 2 omega n) for the samples of a window, built
// again only when the bit rate has moved enough to matter.
void BuildTemplates(Recover& r) {
  const Phasor step = Rotation(r.omega);  // e^(j omega)
  double re = 1, im = 0;
  for (int n = 0; n < kRecoverWindowMax; ++n) {
    r.low[0][n] = static_cast<float>(re);
    r.low[1][n] = static_cast<float>(-im);
    r.high[0][n] = static_cast<float>(re * re - im * im);
    r.high[1][n] = static_cast<float>(-2 * re * im);
    const double next = re * step.re - im * step.im;
    im = re * step.im + im * step.re;
    re = next;
  }
}

// Runs once per bit: divisions only where the length moved enough to need them.
void SetBitLength(Recover& r, double length) {
  r.bitLength = Clamp(length, r.shortestBit, r.longestBit);
  if (std::fabs(r.bitLength - r.templateLength) > kTemplateTolerance * r.bitLength) {
    r.omega = 2 * std::numbers::pi / r.bitLength;
    BuildTemplates(r);
    r.templateLength = r.bitLength;
  }
  if (std::fabs(r.bitLength - r.gainBitLength) > 0.005 * r.bitLength) {
    const double speed = r.rate / (kBitRate * r.bitLength);
    const double g0 = DecimatorGain(r.decimator.factor, r.inputRate, kLowTone * speed);
    const double g1 = DecimatorGain(r.decimator.factor, r.inputRate, kHighTone * speed);
    r.gain0 = 1 / (g0 * g0);
    r.gain1 = 1 / (g1 * g1);
    r.gainBitLength = r.bitLength;
  }
}

double Speed(const Recover& r) {
  return r.rate / (kBitRate * r.bitLength);
}

// ---- Sample stage ----

// Keeps a run of decimated samples in the ring. DC and hum need no filter: every window spans
// whole cycles of both tones, which a constant or a slow wave does not correlate with.
void TakeDecimated(Recover& r, const float* x, int64_t count) {
  int64_t written = r.written;
  for (int64_t i = 0; i < count; ++i) r.ring[written++ & kRingMask] = x[i];
  r.written = written;
}

// ---- Windows over the ring ----

bool Available(const Recover& r, double start, double length) {
  const double oldest = static_cast<double>(std::max<int64_t>(0, r.written - kRecoverRing + 1));
  return start >= oldest && start + length + 2 < static_cast<double>(r.written);
}

// Correlations of the samples in [start, start + length) with the two tones at the current
// bit rate, one and two cycles per bit, in phase with the window's start. A sample covers
// [n, n + 1) and counts by its overlap with the window. The sums run over fixed tables, so
// that the compiler can do several samples at once; the window's own phase is one rotation.
Tones Window(const Recover& r, double start, double length) {
  const int64_t first = static_cast<int64_t>(std::floor(start));
  const int64_t last = static_cast<int64_t>(std::floor(start + length));
  const int count = static_cast<int>(last - first + 1);
  const double lead = start - static_cast<double>(first);
  // The samples straight from the ring where they do not wrap around its end.
  float copy[kRecoverWindowMax];
  const float* v = r.ring + (first & kRingMask);
  if ((first & kRingMask) + count > kRecoverRing) {
    for (int i = 0; i < count; ++i) copy[i] = r.ring[(first + i) & kRingMask];
    v = copy;
  }
  float a0 = 0, b0 = 0, a1 = 0, b1 = 0;
  for (int i = 0; i < count; ++i) {
    a0 += v[i] * r.low[0][i];
    b0 += v[i] * r.low[1][i];
    a1 += v[i] * r.high[0][i];
    b1 += v[i] * r.high[1][i];
  }
  // The first and last samples count only by their overlap with the window: take off the rest.
  const float outFirst = static_cast<float>(count == 1 ? 1 - length : lead);
  const float outLast =
      static_cast<float>(count == 1 ? 0 : static_cast<double>(last + 1) - start - length);
  const float f = v[0] * outFirst, l = v[count - 1] * outLast;
  a0 -= f * r.low[0][0] + l * r.low[0][count - 1];
  b0 -= f * r.low[1][0] + l * r.low[1][count - 1];
  a1 -= f * r.high[0][0] + l * r.high[0][count - 1];
  b1 -= f * r.high[1][0] + l * r.high[1][count - 1];
  // Sample n lies (n - first) from the tables' origin, which is lead before the window's start.
  const Phasor z = Rotation(r.omega * lead);
  const double z2r = z.re * z.re - z.im * z.im, z2i = 2 * z.re * z.im;
  return {a0 * z.re - b0 * z.im, a0 * z.im + b0 * z.re, a1 * z2r - b1 * z2i, a1 * z2i + b1 * z2r};
}

double Energy0(const Recover& r, const Tones& w) {
  return (w.re0 * w.re0 + w.im0 * w.im0) * r.gain0;
}

double Energy1(const Recover& r, const Tones& w) {
  return (w.re1 * w.re1 + w.im1 * w.im1) * r.gain1;
}

// ---- Events ----

void Emit(Recover& r, const RecoverEvent& e) {
  r.events[r.eventCount++] = e;
}

// Time in the recording of a position in the ring: the decimator delays the samples.
double Seconds(const Recover& r, double samples) {
  const double delay = (r.decimator.taps - 1) / (2.0 * r.decimator.factor);
  return std::max(0.0, (samples - delay) / r.rate);
}

double MeanSpeed(const Recover& r) {
  // The mean bit length gives the mean speed.
  if (r.speedCount == 0) return Speed(r);
  return r.rate / (kBitRate * r.speedSum / static_cast<double>(r.speedCount));
}

void EmitByte(Recover& r, const RecoverFrame& f, bool damaged) {
  if (!r.blockOpen) {
    r.blockOpen = true;
    Emit(r, {kBlockStart, 0, 0, r.blockStart, r.blockStart, Speed(r), 0});
  }
  Emit(r, {kBlockByte, damaged, f.value, Seconds(r, f.time), Seconds(r, f.endTime), Speed(r),
           f.quality});
  r.blockLastEnd = Seconds(r, f.endTime);
}

void EndBlock(Recover& r) {
  if (r.blockOpen) Emit(r, {kBlockEnd, 0, 0, r.blockStart, r.blockLastEnd, MeanSpeed(r), 0});
  r.blockOpen = false;
  r.pendingCount = 0;
}

void StartSearch(Recover& r, double at) {
  r.stage = kStageSearch;
  r.t = at;
  r.searchCount = 0;
  SetBitLength(r, r.rate / kBitRate);
}

// ---- Framing ----

const RecoverBit& Bit(const Recover& r, int64_t k) {
  return r.bits[k & kBitMask];
}

bool FrameFits(const Recover& r, int64_t at) {
  return Bit(r, at).value == 0 && Bit(r, at + 9).value == 1 && Bit(r, at + 10).value == 1;
}

bool FramePresent(const Recover& r, int64_t at) {
  double sum = 0;
  for (int i = 0; i < kFrameBits; ++i) sum += Bit(r, at + i).confidence;
  return sum > kPresent * kFrameBits;
}

bool FrameGood(const Recover& r, int64_t at) {
  return at >= 0 && at + kFrameBits <= r.bitCount && FrameFits(r, at) && FramePresent(r, at);
}

bool GoodAhead(const Recover& r, int64_t at, int frames) {
  for (int i = 0; i < frames; ++i) {
    if (!FrameGood(r, at + int64_t{i} * kFrameBits)) return false;
  }
  return true;
}

RecoverFrame FrameAt(const Recover& r, int64_t at) {
  unsigned value = 0;
  float confidence = 0;
  for (int i = 0; i < 8; ++i) value |= unsigned{Bit(r, at + 1 + i).value} << i;
  for (int i = 0; i < kFrameBits; ++i) confidence += Bit(r, at + i).confidence;
  return {static_cast<unsigned char>(value), confidence / kFrameBits, Bit(r, at).time,
          Bit(r, at + kFrameBits - 1).time + r.bitLength};
}

// The move, within kMaxSlip bits of the next frame, to the alignment at which the following
// frames decode; the nearest one wins, and 0 when there is none.
int FindSlip(const Recover& r, int64_t next) {
  for (int d = 0; d <= kMaxSlip; ++d) {
    for (int sign = 1; sign >= -1; sign -= 2) {
      if (GoodAhead(r, next + sign * d, kLookFrames)) return sign * d;
      if (d == 0) break;
    }
  }
  return 0;
}

bool IdleRun(const Recover& r, int64_t at) {
  if (at + kIdleBits > r.bitCount) return false;
  for (int i = 0; i < kIdleBits; ++i) {
    const RecoverBit& b = Bit(r, at + i);
    if (b.value != 1 || b.confidence < kIdleConfident) return false;
  }
  return true;
}

void Hold(Recover& r, int64_t at) {
  if (r.pendingCount == 0) r.pendingSilent = false;
  if (!FramePresent(r, at)) r.pendingSilent = true;
  r.pending[r.pendingCount++] = FrameAt(r, at);
}

void Flush(Recover& r) {
  for (int i = 0; i < r.pendingCount; ++i) EmitByte(r, r.pending[i], true);
  if (r.pendingCount > 0) r.suspect = kSuspectFrames;
  r.pendingCount = 0;
}

// Right after damage the clock may still be settling: a frame there that fits but holds an
// unsure bit is reported as damaged too.
bool Unsure(const Recover& r, int64_t at) {
  for (int i = 0; i < kFrameBits; ++i) {
    if (Bit(r, at + i).confidence < kUncertain) return true;
  }
  return false;
}

// Decoding begins a few bits inside the leader, on the clock the start-bit edge gave: the first
// frame is the first start bit after the leader's ones at which frames go on decoding. A noisy
// edge found a few bits late or early costs nothing. Returns true once framed.
bool FindFirstFrame(Recover& r) {
  const int64_t need = kFrameBits * kLookFrames + kMaxSlip;
  for (;;) {
    const int64_t at = r.frameStart;
    if (r.bitCount < at + (r.inputEnded ? kFrameBits : need)) return false;
    if (Bit(r, at).value == 0 && FrameGood(r, at) &&
        (r.inputEnded || GoodAhead(r, at + kFrameBits, kLookFrames - 1))) {
      r.framed = true;
      // A frame just before, begun by a start bit, is a damaged first byte, not leader.
      if (at >= kFrameBits && Bit(r, at - kFrameBits).value == 0) Hold(r, at - kFrameBits);
      return true;
    }
    // Noise may spoil one of the first frames: remember the start bit with the most good
    // frames among the next few, the earliest of equals, for when no run of three turns up.
    if (Bit(r, at).value == 0) {
      int good = 0;
      for (int k = 0; k < kLookFrames; ++k) good += FrameGood(r, at + k * kFrameBits);
      if (good > r.bestFirstGood) {
        r.bestFirstGood = good;
        r.bestFirst = at;
      }
    }
    if (++r.frameStart > kFirstFrameSearch) {
      if (r.bestFirstGood == 0) {  // no data follows this leader
        StartSearch(r, r.t);
        return false;
      }
      r.frameStart = r.bestFirst;
      r.framed = true;
      return true;
    }
  }
}

// Turns bits into bytes as far as the lookahead allows. Returns false when the block ended and
// the search for the next leader has begun.
bool TakeFrames(Recover& r) {
  const int64_t lookahead = kFrameBits * (1 + kLookFrames) + kMaxSlip;
  if (!r.framed && !FindFirstFrame(r)) return r.stage == kStageData;
  for (;;) {
    const int64_t at = r.frameStart;
    if (r.bitCount < at + (r.inputEnded ? kFrameBits : lookahead)) return true;
    if (IdleRun(r, at)) {
      EndBlock(r);
      StartSearch(r, Bit(r, at).time);
      return false;
    }
    if (FrameGood(r, at) &&
        (r.pendingCount == 0 || (!r.pendingSilent && r.pendingCount <= kShortGap) ||
         GoodAhead(r, at + kFrameBits, kLookFrames - 1))) {
      Flush(r);
      const bool unsure = r.suspect > 0 && Unsure(r, at);
      if (r.suspect > 0) --r.suspect;
      EmitByte(r, FrameAt(r, at), unsure);
      r.frameStart += kFrameBits;
      continue;
    }
    // A frame that does not decode waits: it is written, as damaged, only once good frames
    // follow, so that what lies after the end of the data never becomes bytes.
    if (r.pendingCount == kRecoverPending) {
      EndBlock(r);
      StartSearch(r, r.t);
      return false;
    }
    const int slip = FindSlip(r, at + kFrameBits);
    Hold(r, at);
    r.frameStart += kFrameBits + slip;
  }
}

// ---- Bit stage ----

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

bool SearchStep(Recover& r) {
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
  const Tones w = Window(r, r.t, length), before = Window(r, r.t - 1, length);
  const Phasor u{w.re1 - before.re1, w.im1 - before.im1};
  const int slot = r.searchCount % kRecoverSearchWindows;
  const Phasor turn = r.searchCount > 0 ? UnitTurn(u, r.prevRef) : Phasor{0, 0};
  r.searchRotRe[slot] = turn.re;
  r.searchRotIm[slot] = turn.im;
  r.searchHigh[slot] = (u.re * u.re + u.im * u.im) * r.gain1 / kDifferenceGain;
  r.prevRef = u;
  ++r.searchCount;
  r.t += length;
  if (r.searchCount <= kRecoverSearchWindows) return true;

  double sumRe = 0, sumIm = 0, high = 0;
  for (int i = 0; i < kRecoverSearchWindows; ++i) {
    sumRe += r.searchRotRe[i];
    sumIm += r.searchRotIm[i];
    high += r.searchHigh[i];
  }
  const double coherence = std::sqrt(sumRe * sumRe + sumIm * sumIm);
  // Written so that a window of no numbers is never taken for a leader.
  if (!(coherence > kLeaderCoherence * kRecoverSearchWindows)) return true;

  const double speed = 1 + std::atan2(sumIm, sumRe) / (2 * std::numbers::pi);
  SetBitLength(r, r.rate / (kBitRate * speed));
  // The leader's level in whole-bit windows at its speed, four times that of half a bit.
  r.leaderLevel = 4 * high / kRecoverSearchWindows;
  r.leaderStart = Seconds(r, LeaderBegins(r, r.t - r.bitLength, r.bitLength, r.leaderLevel));
  r.leaderWeak = 0;
  r.leaderWindows = 0;
  r.leaderSumRe = r.leaderSumIm = 0;
  r.leaderSumCount = 0;
  r.leaderRotRe[0] = r.leaderRotRe[1] = r.leaderRotIm[0] = r.leaderRotIm[1] = 0;
  r.stage = kStageLeader;
  return true;
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
  if (e0 - e1 > kStartBitRise * r.leaderLevel) {
    AdjustLeaderSpeed(r);
    r.stage = kStageEdge;
    return true;
  }
  r.leaderWeak = steady ? 0 : r.leaderWeak + 1;
  if (r.leaderWeak > kLeaderLostWindows) {
    StartSearch(r, r.t);
    return true;
  }
  r.t += length / 2;
  return true;
}

// Low tone minus high tone, as a fraction of the leader's level.
double LowOverHigh(const Recover& r, double start) {
  const Tones w = Window(r, start, r.bitLength);
  return (Energy0(r, w) - Energy1(r, w)) / (r.leaderLevel + kTiny);
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
  r.t = first + (best + offset) * step - kLeadBits * length;
  r.stage = kStageData;
  r.prevBit = 1;
  r.prevTimed = true;
  r.pendingAdjust = r.pendingLate = 0;
  r.ref0Re = r.ref0Im = r.ref1Re = r.ref1Im = 0;
  r.ref0Count = r.ref1Count = 0;
  r.signalLevel = r.leaderLevel;
  r.bitCount = 0;
  r.frameStart = 0;
  r.framed = false;
  r.bestFirst = 0;
  r.bestFirstGood = 0;
  r.pendingCount = 0;
  r.suspect = 0;
  r.blockOpen = false;
  r.blockStart = r.leaderStart;
  r.speedSum = 0;
  r.speedCount = 0;
  return true;
}

// Decides a bit again from the tones' phases learnt on confident bits: coherent detection,
// which holds up at a lower signal-to-noise ratio than the energies alone.
int CoherentBit(const Recover& r, const Phasor& u0, const Phasor& u1) {
  const double m0 = std::sqrt(r.ref0Re * r.ref0Re + r.ref0Im * r.ref0Im);
  const double m1 = std::sqrt(r.ref1Re * r.ref1Re + r.ref1Im * r.ref1Im);
  const double c0 = (u0.re * r.ref0Re + u0.im * r.ref0Im) / (m0 + kTiny) * std::sqrt(r.gain0);
  const double c1 = (u1.re * r.ref1Re + u1.im * r.ref1Im) / (m1 + kTiny) * std::sqrt(r.gain1);
  return c1 > c0;
}

// The mean phase of a tone's confident bits: the first few count alike, later ones less;
// louder bits weigh more, as they are surer.
void LearnReference(double* re, double* im, int* count, const Phasor& u) {
  const double rate = *count < kReferenceMin * 4 ? kFirstRates[*count] : kReferenceRate;
  ++*count;
  *re += rate * (u.re - *re);
  *im += rate * (u.im - *im);
}

bool DataStep(Recover& r) {
  const double length = r.bitLength;
  const double mid = r.t - length / 2;
  if (!Available(r, r.t, length)) return false;
  if (!Available(r, mid, length)) {  // fell out of the ring: look again from here
    EndBlock(r);
    StartSearch(r, r.t);
    return true;
  }
  const Tones w = Window(r, r.t, length);
  const double e0 = Energy0(r, w), e1 = Energy1(r, w);
  const double strongest = std::max(e0, e1);
  // The confidence is |e1 - e0| / (e1 + e0); far below the signal's level there is no signal,
  // only what the filters leave of silence. The tests below multiply instead of dividing, so
  // that the decisions need not wait for the division.
  const double difference = std::fabs(e1 - e0), total = e1 + e0 + kTiny;
  const bool audible = strongest > kSilent * r.signalLevel;
  const auto surerThan = [&](double c) { return audible && difference > c * total; };
  const double confidence = audible ? difference / total : 0;
  // Only a bit that stands out of the noise floor moves the clock: noise alone, as in a
  // dropout, would walk it away.
  const bool confident = surerThan(kReferenceConfident);
  const bool timed = surerThan(kTimingConfident) && strongest > kTimingFloor * r.signalLevel;
  if (confident) r.signalLevel += kLevelRate * (strongest - r.signalLevel);
  int bit = e1 > e0;
  const Phasor u0{w.re0, w.im0}, u1{w.re1, w.im1};
  const bool learnt = r.ref0Count >= kReferenceMin && r.ref1Count >= kReferenceMin;
  if (!surerThan(kUncertain) && learnt) bit = CoherentBit(r, u0, u1);
  if (confident) {
    if (bit)
      LearnReference(&r.ref1Re, &r.ref1Im, &r.ref1Count, u1);
    else
      LearnReference(&r.ref0Re, &r.ref0Im, &r.ref0Count, u0);
  }

  // Timing, two ways. A window straddling two different bits holds equal parts of both tones
  // when the clock is right: the tone that dominates it tells which way the clock is off, in
  // absolute terms but only at changes and noisily. And every confident bit's phase, against
  // the phase learnt for its tone, tells how far the clock moved since: precise, fast enough
  // for flutter, but blind to an offset the learnt phases have taken up.
  double late = 0;
  const bool havePhase = (bit ? r.ref1Count : r.ref0Count) >= kReferenceMin;
  if (havePhase && timed) {
    const Phasor& u = bit ? u1 : u0;
    const double refRe = bit ? r.ref1Re : r.ref0Re, refIm = bit ? r.ref1Im : r.ref0Im;
    const double angle = FastAtan2(u.im * refRe - u.re * refIm, u.re * refRe + u.im * refIm);
    late = angle / ((bit ? 2 : 1) * r.omega);
  }
  if (bit != r.prevBit && timed && r.prevTimed) {
    const Tones m = Window(r, mid, length);
    const double m0 = Energy0(r, m), m1 = Energy1(r, m);
    const double lean = (m1 - m0) / (m1 + m0 + kTiny);  // > 0: more of the high tone
    late += (havePhase ? kGardnerWeight : 1) * (bit ? lean : -lean) * length / 4;
  }
  late = Clamp(late, -length / 4, length / 4);
  // The correction applies from the bit after next: the next bit's window then does not wait
  // for this one's decision, and the two can be worked out side by side.
  const double adjust = r.pendingAdjust;
  r.pendingAdjust = -kTimingGain * late;
  if (r.pendingLate != 0) SetBitLength(r, length - kSpeedGain * r.pendingLate);
  r.pendingLate = late;

  RecoverBit& b = r.bits[r.bitCount & kBitMask];
  b.value = static_cast<uint8_t>(bit);
  b.confidence = static_cast<float>(confidence);
  b.time = r.t;
  ++r.bitCount;
  r.prevBit = bit;
  r.prevTimed = timed;
  r.speedSum += r.bitLength;
  ++r.speedCount;
  r.t += length + adjust;
  TakeFrames(r);
  return true;
}

void FinishBlock(Recover& r) {
  if (r.stage == kStageData) {
    TakeFrames(r);
    EndBlock(r);
  }
  r.stage = kStageSearch;
}

}  // namespace

int RecoverInit(Recover& r, double sampleRate) {
  if (!(sampleRate >= kMinInputRate && sampleRate <= kMaxInputRate)) return 1;
  const int factor = std::max(1, static_cast<int>(sampleRate / kTargetRate));
  r.inputRate = sampleRate;
  r.rate = sampleRate / factor;
  DecimatorInit(r.decimator, factor);
  r.written = 0;
  r.gainBitLength = 0;
  r.templateLength = 0;
  r.shortestBit = r.rate / (kBitRate * kMaxSpeed);
  r.longestBit = r.rate / (kBitRate * kMinSpeed);
  r.eventCount = 0;
  r.inputEnded = false;
  r.blockOpen = false;
  r.pendingCount = 0;
  StartSearch(r, 0);
  return 0;
}

void RecoverPush(Recover& r, const float* samples, int64_t count) {
  if (r.decimator.factor == 1) {
    TakeDecimated(r, samples, count);
    return;
  }
  float decimated[kRecoverPushMax];
  while (count > 0) {
    const int64_t n = std::min<int64_t>(count, kRecoverPushMax);
    TakeDecimated(r, decimated, Decimate(r.decimator, samples, n, decimated));
    samples += n;
    count -= n;
  }
}

void RecoverFinish(Recover& r) {
  r.inputEnded = true;
}

int RecoverStep(Recover& r) {
  while (r.eventCount < kRecoverEvents - kRecoverPending - 8) {
    bool progressed = false;
    switch (r.stage) {
      case kStageSearch:
        progressed = SearchStep(r);
        break;
      case kStageLeader:
        progressed = LeaderStep(r);
        break;
      case kStageEdge:
        progressed = EdgeStep(r);
        break;
      case kStageData:
        progressed = DataStep(r);
        break;
    }
    if (!progressed) {
      if (r.inputEnded) FinishBlock(r);
      break;
    }
  }
  return r.eventCount;
}
