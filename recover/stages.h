// The recovery decoder's steps, one file each, in the order the data passes them:
//   impulses.cpp   samples: decimation, clicks taken out, the ring
//   tones.cpp      a window's correlation with the two tones at the tracked bit rate
//   leader.cpp     the leader: search, speed, the first start bit's edge
//   bit_clock.cpp  bits: each one decided, and the timing loop that places the next
//   framing.cpp    frames: start and stop bits, alignment, the idle line
//   blocks.cpp     where a block begins, when a leader's data counts as a block, where it ends
// recover.cpp runs them. This header holds what they share.
#ifndef TONEGRAB_RECOVER_STAGES_H
#define TONEGRAB_RECOVER_STAGES_H

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>

#include "decoder/level_scan.h"
#include "recover/recover.h"

namespace recovery {

inline constexpr double kBitRate = 1200;   // bits per second at nominal speed
inline constexpr double kLowTone = 1200;   // Hz at nominal speed: one cycle per bit
inline constexpr double kHighTone = 2400;  // two cycles per bit
inline constexpr int kRingMask = kRecoverRing - 1;
inline constexpr int kBitMask = kRecoverBits - 1;
inline constexpr double kTiny = 1e-30;
inline constexpr double kMinSpeed = 0.6;  // the speeds followed, against nominal
inline constexpr double kMaxSpeed = 1.45;
inline constexpr int kFrameBits = 11;  // start bit 0, eight data bits, two stop bits 1
// The newest samples in the ring may still turn out to be part of a click.
inline constexpr int kClickLag = kRecoverClickMax + 2;
inline constexpr int kMaxSlip = 5;  // bits a frame alignment may move
// Frames without data, about 46 ms: more than a dropout, a gap in the block's frames.
inline constexpr int kLongGap = 5;
inline constexpr int kLeadBits = 6;  // leader bits decoded before the first start bit's edge
inline constexpr int kFirstFrameSearch = 40;  // bits after the leader searched for the first frame

struct Tones {
  double re0, im0, re1, im1;
};

inline double Clamp(double v, double lo, double hi) {
  return std::min(std::max(v, lo), hi);
}

// ---- tones.cpp, and the small steps every stage takes, here to be inlined ----
// atan2 to within 0.005 rad, at a fraction of the library's cost: it runs once per bit.
inline double FastAtan2(double y, double x) {
  const double ax = std::fabs(x), ay = std::fabs(y);
  const double a = std::min(ax, ay) / (std::max(ax, ay) + kTiny);
  const double s = a * a;
  double angle = ((-0.0464964749 * s + 0.15931422) * s - 0.327622764) * s * a + a;
  if (ay > ax) angle = std::numbers::pi / 2 - angle;
  if (x < 0) angle = std::numbers::pi - angle;
  // The sign by copying, not by a branch: the bit clock's phase errors fall either side of 0
  // as a coin does, and a branch on them was guessed wrong half the time (7 % of a run). Only
  // y = -0 comes out otherwise, as -0, which no sum or comparison after it tells from 0.
  return std::copysign(angle, y);
}

// cos and sin of a small angle (|a| < 2), to within 1e-7: the windows need them once each.
inline Phasor Rotation(double a) {
  const double a2 = a * a;
  const double c = 1 + a2 * (-1.0 / 2 + a2 * (1.0 / 24 + a2 * (-1.0 / 720 + a2 * (1.0 / 40320))));
  const double s =
      a * (1 + a2 * (-1.0 / 6 + a2 * (1.0 / 120 + a2 * (-1.0 / 5040 + a2 * (1.0 / 362880)))));
  return {c, s};
}

// How far the phase turned from `before` to `u`, as a unit phasor: each window's turn counts
// alike, however loud, so that a few loud windows of noise do not look like a steady tone.
inline Phasor UnitTurn(const Phasor& u, const Phasor& before) {
  const double re = u.re * before.re + u.im * before.im;
  const double im = u.im * before.re - u.re * before.im;
  const double m = std::sqrt(re * re + im * im) + kTiny;
  return {re / m, im / m};
}

// A window's phase drifts by this fraction of a cycle per cycle before the tables are rebuilt.
inline constexpr double kTemplateTolerance = 1e-3;
// The decimator's unequal gain on the tones is undone once the length moved this much.
inline constexpr double kGainTolerance = 5e-3;
// The tables and the gains for the tracked bit length (recover/tones.cpp).
void RetuneTables(Recover& r);
void RetuneGains(Recover& r);

// Sets the tracked bit length (decimated samples), within the speeds followed. It runs once per
// bit: the tables and gains are worked out again only where the length moved enough to need it.
inline void SetBitLength(Recover& r, double length) {
  r.bitLength = Clamp(length, r.shortestBit, r.longestBit);
  if (std::fabs(r.bitLength - r.templateLength) > kTemplateTolerance * r.bitLength) RetuneTables(r);
  if (std::fabs(r.bitLength - r.gainBitLength) > kGainTolerance * r.bitLength) RetuneGains(r);
}
// The newest samples may still turn out to be a click and be replaced: they wait.
inline bool Available(const Recover& r, double start, double length) {
  const double oldest = static_cast<double>(std::max<int64_t>(0, r.written - kRecoverRing + 1));
  return start >= oldest && start + length + 2 + kClickLag < static_cast<double>(r.written);
}

// The window's correlations with the two tones, in phase with its start: Window, and WindowAs
// for a variant chosen when compiled, in recover/window_vectors.h. One that meets a click is
// fitted around it (recover/tones.cpp).
Tones WindowAroundClick(const Recover& r, double start, double length);
// Whether the window [start, start + length) meets one of the clicks kept (recover/tones.cpp).
bool MeetsClick(const Impulses& m, double start, double length);
// The same for a window of the ring: only one that begins before the last click's end can meet
// one, and most are told so without a look at the clicks.
inline bool WindowMeetsClick(const Recover& r, double start, double length) {
  return start <= static_cast<double>(r.impulses.lastClickEnd) &&
         MeetsClick(r.impulses, start, length);
}
// The high tone's correlation over the same window of the samples' changes (each sample less
// the one before), the leader search's measure: a constant or a slow wave leaks into so short a
// window otherwise. The same as the difference of the windows at start and start - 1.
Phasor HighToneOfChanges(const Recover& r, double start, double length);  // window_parts.h

inline double Speed(const Recover& r) {
  return r.rate / (kBitRate * r.bitLength);
}
inline double Energy0(const Recover& r, const Tones& w) {
  return (w.re0 * w.re0 + w.im0 * w.im0) * r.gain0;
}
inline double Energy1(const Recover& r, const Tones& w) {
  return (w.re1 * w.re1 + w.im1 * w.im1) * r.gain1;
}

// ---- impulses.cpp ----
void ImpulsesInit(Impulses& m, double rate);
// Keeps decimated samples in the ring, and marks the clicks among them for the windows.
void TakeDecimated(Recover& r, const float* x, int64_t count);
// The two halves of it: the samples into the ring; the click watch over samples from the
// decimated sample `start` on, which depends on nothing else and can run in another thread.
void KeepDecimated(Recover& r, const float* x, int64_t count);
void WatchClicks(Impulses& m, const float* x, int64_t count, int64_t start);
// The samples into the ring with the clicks a watch marked among them: `marked` clicks, the
// last of them (up to kRecoverClickSpans, all the windows look at) in `spans`, oldest first.
void TakeWatched(Recover& r, const float* x, int64_t count, const ClickSpan* spans, int64_t marked);

// ---- leader.cpp ----
void StartSearch(Recover& r, double at);
// A leader met inside a block, found as `marks` mark bits from `at` (decimated samples) on:
// followed at the block's speed, without the search.
void FollowLeader(Recover& r, double at, int marks);
// Searches in steps of half a bit while no leader turns up, until the events reach `room`;
// false when not one step could be taken (the samples are not there yet).
bool SearchSteps(Recover& r, int room);
bool LeaderStep(Recover& r);
bool EdgeStep(Recover& r);

// ---- bit_clock.cpp ----
// The bit clock's state for a new block, its first bit at `at`.
void StartBits(Recover& r, double at);
// Decodes bits while the block lasts, until the events reach `room`; false when not one bit
// could be decoded (the samples are not there yet).
bool DataSteps(Recover& r, int room);

// ---- framing.cpp ----
inline const RecoverBit& Bit(const Recover& r, int64_t k) {
  return r.bits[k & kBitMask];
}
void StartFraming(Recover& r);
// After frames of damage, one good frame resumes the block; after more than this, or after the
// signal was gone, good frames must follow in a row: noise after the end of the data must not
// look like its return.
inline constexpr int kShortGap = 3;
// More frames of the block held than a short stretch of damage: a gap, a dropout or the end.
inline bool InGap(const Recover& r) {
  return r.pendingCount > kShortGap;
}
// Turns the bits decoded so far into frames, as far as the lookahead allows.
void TakeFrames(Recover& r);
// The same after each bit, where a frame may be due: most bits only add to the lookahead.
inline void TakeDueFrames(Recover& r) {
  if (!r.framed || r.bitCount >= r.framesDue) TakeFrames(r);
}
// Confident mark bits from `at` on, up to `limit`.
int MarkRun(const Recover& r, int64_t at, int limit);

// ---- blocks.cpp ----
// Time in the recording of a position in the ring, in seconds.
double Seconds(const Recover& r, double samples);
void Emit(Recover& r, const RecoverEvent& e);
// A frame of the block under way: damaged or not, and whether its start and stop bits fit.
void DeliverFrame(Recover& r, const RecoverFrame& f, bool damaged, bool fits);
// Whether a new block's leader begins at bit `at`, where a start bit was due: the block then
// ends and the leader is followed.
bool LeaderEndsBlock(Recover& r, int64_t at);
// The block's signal is gone, or the input ended: the block ends with its last frame.
void EndBlock(Recover& r);
// The leader found did not lead to data.
void RejectLeader(Recover& r, RecoverRejection why);
// Its data was not found or did not decode: the search goes on from `from`, by default where
// the data was taken to begin, so that a real leader there is not passed over and the same one
// is not found again.
void GiveUpCandidate(Recover& r, RecoverRejection why);
void GiveUpCandidate(Recover& r, RecoverRejection why, double from);
// A leader's data has not become a block in the bits it has for that: given up.
bool CandidateExpired(Recover& r);

}  // namespace recovery

#endif
