// Frames: bits into bytes. A frame is a start bit 0, eight data bits and two stop bits 1. Its
// alignment is kept from the frames themselves, through damage and through idle line (mark
// bits where a start bit is due, which carry nothing).
#include <algorithm>

#include "recover/stages.h"

namespace recovery {
namespace {

constexpr int kLookFrames = 3;    // frames that must decode at a new alignment
constexpr int kResumeFrames = 4;  // frames in a row that resume a block after damage
// After a long gap, more: voice or music there can decode as a few frames in a row.
constexpr int kResumeAfterLongGap = 8;
constexpr int kMaxIdle = 21;            // mark bits where a start bit is due, short of a leader
constexpr double kIdleConfident = 0.5;  // a mark bit that counts towards a leader
constexpr double kIdleClear = 0.7;      // one that counts as idle line
constexpr double kPresent = 0.65;       // mean confidence of a frame that carries signal
constexpr int kSuspectFrames = 2;       // frames after damage whose unsure bits make them damaged
constexpr double kUnsure = 0.5;
// A bit decided on almost nothing: its frame may fit and yet hold it wrong.
constexpr double kDoubt = 0.05;
constexpr int kForeignFrames = 8;
// How far the clock may be off the block's mean speed as a gap begins (wow and flutter at
// their worst), before it is set back to it.
constexpr double kGapSpeedSlack = 0.08;
// Bits a frame is decided with beyond its own: the frames that confirm it, a slip, and idle
// line between them.
constexpr int64_t kLookahead =
    kFrameBits * (1 + kResumeAfterLongGap) + kMaxSlip + int64_t{kResumeAfterLongGap} * kMaxIdle;

// The bits of the frame at `at`, straight from the ring where they do not wrap around its end,
// else copied into `copy`: a frame's checks then index them directly, bit by bit.
const RecoverBit* FrameBits(const Recover& r, int64_t at, RecoverBit* copy) {
  const int64_t first = at & kBitMask;
  if (first + kFrameBits <= kRecoverBits) return r.bits + first;
  for (int i = 0; i < kFrameBits; ++i) copy[i] = Bit(r, at + i);
  return copy;
}

bool FrameFits(const Recover& r, int64_t at) {
  return Bit(r, at).value == 0 && Bit(r, at + 9).value == 1 && Bit(r, at + 10).value == 1;
}

bool FramePresent(const Recover& r, int64_t at) {
  RecoverBit copy[kFrameBits];
  const RecoverBit* b = FrameBits(r, at, copy);
  double sum = 0;
  for (int i = 0; i < kFrameBits; ++i) sum += b[i].confidence;
  return sum > kPresent * kFrameBits;
}

bool FrameGood(const Recover& r, int64_t at) {
  return at >= 0 && at + kFrameBits <= r.bitCount && FrameFits(r, at) && FramePresent(r, at);
}

// Clear mark bits from `at` on, up to one more than idle line can hold. A mark that a click
// struck is clear if it was decided clearly without the click (its sure).
int ClearMarks(const Recover& r, int64_t at) {
  int n = 0;
  while (n <= kMaxIdle && at + n < r.bitCount && Bit(r, at + n).value == 1 &&
         std::max(Bit(r, at + n).confidence, Bit(r, at + n).sure) >= kIdleClear)
    ++n;
  return n;
}

// Every bit of the frame at `at` clear.
bool FrameClear(const Recover& r, int64_t at) {
  for (int i = 0; i < kFrameBits; ++i)
    if (Bit(r, at + i).confidence < kIdleClear) return false;
  return true;
}

// Whether a frame that decodes begins at `at`, after idle line or without; or the data ends
// there (the input, the signal, or a leader begins) after a clear frame at `before`.
bool FrameFollows(const Recover& r, int64_t before, int64_t at) {
  const int idle = ClearMarks(r, at);
  if (at + idle + kFrameBits <= r.bitCount && FrameGood(r, at + idle)) return true;
  if (!FrameClear(r, before)) return false;
  if (at + kFrameBits > r.bitCount) return r.inputEnded;
  return idle > kMaxIdle || !FramePresent(r, at + idle);
}

// Past the idle line at `at`, when frames that decode follow it; else `at`. A start bit
// misread in noise must not pass for idle line: the ones must be clear, and two frames must
// follow them.
int64_t SkipIdle(const Recover& r, int64_t at) {
  const int idle = ClearMarks(r, at);
  if (idle == 0 || idle > kMaxIdle) return at;
  const int64_t next = at + idle;
  return FrameGood(r, next) && FrameFollows(r, next, next + kFrameBits) ? next : at;
}

// Where the frame after the one at `at` begins.
int64_t NextFrame(const Recover& r, int64_t at) {
  return SkipIdle(r, at + kFrameBits);
}

bool GoodAhead(const Recover& r, int64_t at, int frames) {
  for (int i = 0; i < frames; ++i, at = NextFrame(r, at)) {
    if (!FrameGood(r, at)) return false;
  }
  return true;
}

// x rounded to the nearest whole number, halves away from zero (as std::lround, without the
// library call), for |x| well inside the range of an int.
int RoundHalfAway(double x) {
  const int whole = static_cast<int>(x);  // towards zero
  const double part = x - whole;          // exact
  return whole + (part >= 0.5) - (part <= -0.5);
}

RecoverFrame FrameAt(const Recover& r, int64_t at) {
  RecoverBit copy[kFrameBits];
  const RecoverBit* b = FrameBits(r, at, copy);
  unsigned value = 0;
  float confidence = 0;
  for (int i = 0; i < 8; ++i) value |= unsigned{b[1 + i].value} << i;
  for (int i = 0; i < kFrameBits; ++i) confidence += b[i].confidence;
  // The frame ends a bit after its last bit begins, a bit as long as its own bits were: the
  // clock may have moved on since.
  const double start = b[0].time, lastBit = b[kFrameBits - 1].time;
  RecoverFrame f{static_cast<unsigned char>(value),
                 confidence / kFrameBits,
                 start,
                 lastBit + (lastBit - start) / (kFrameBits - 1),
                 {}};
  for (int i = 0; i < 8; ++i)
    f.soft[i] = static_cast<int8_t>(RoundHalfAway(kSoftScale * Clamp(b[1 + i].soft, -1, 1)));
  return f;
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

void Hold(Recover& r, int64_t at) {
  if (r.pendingCount == 0) r.pendingSilent = false;
  // A gap begins: the speed holds through it. Noise in the frames before the gap was noticed
  // (a dropout's) may have pulled the clock far off the block's speed, and held there it would
  // keep every frame after the gap from decoding: it holds at the block's mean speed instead.
  if (r.pendingCount == kShortGap && r.speedCount > 0) {
    const double mean = r.speedSum / static_cast<double>(r.speedCount);
    if (std::fabs(r.bitLength / mean - 1) > kGapSpeedSlack) SetBitLength(r, mean);
  }
  if (!FramePresent(r, at)) r.pendingSilent = true;
  r.pending[r.pendingCount++] = FrameAt(r, at);
}

void Flush(Recover& r) {
  for (int i = 0; i < r.pendingCount; ++i) DeliverFrame(r, r.pending[i], true, false);
  if (r.pendingCount > 0) r.suspect = kSuspectFrames;
  r.pendingCount = 0;
}

// Right after damage the clock may still be settling: a frame there that fits but holds an
// unsure bit is reported as damaged too.
bool Unsure(const Recover& r, int64_t at) {
  RecoverBit copy[kFrameBits];
  const RecoverBit* b = FrameBits(r, at, copy);
  bool unsure = false;
  for (int i = 0; i < kFrameBits; ++i) unsure |= b[i].confidence < kUnsure;
  return unsure;
}

// A frame that fits but holds a bit decided on almost nothing may hold a wrong bit.
bool InDoubt(const Recover& r, int64_t at) {
  RecoverBit copy[kFrameBits];
  const RecoverBit* b = FrameBits(r, at, copy);
  bool doubt = false;
  for (int i = 0; i < kFrameBits; ++i) doubt |= b[i].sure < kDoubt;
  return doubt;
}

// Frames between the leader's ones and the first frame found, where the clock was still
// settling on the speed: each that fits (start bit 0, stop bits 1), and the one just before
// the first frame if it has its start bit, is a damaged first byte, not leader.
void HoldFirstBytes(Recover& r, int64_t first) {
  int64_t k = kLeadBits - 1;
  while (k < first && Bit(r, k).value == 1) ++k;  // the leader's ones
  while (k + kFrameBits <= first - kFrameBits) {
    if (FrameFits(r, k)) {
      Hold(r, k);
      k += kFrameBits;
    } else {
      ++k;
    }
  }
  const int64_t before = first - kFrameBits;
  if (before >= k && Bit(r, before).value == 0) Hold(r, before);
}

// Decoding begins a few bits inside the leader, on the clock the start-bit edge gave: the first
// frame is the first start bit after the leader's ones at which frames go on decoding. A noisy
// edge found a few bits late or early costs nothing. Returns true once framed.
bool FindFirstFrame(Recover& r) {
  for (;;) {
    const int64_t at = r.frameStart;
    if (r.bitCount < at + (r.inputEnded ? kFrameBits : kLookahead)) return false;
    if (Bit(r, at).value == 0 && FrameGood(r, at) &&
        (r.inputEnded || GoodAhead(r, NextFrame(r, at), kLookFrames - 1))) {
      r.framed = true;
      HoldFirstBytes(r, at);
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
        GiveUpCandidate(r, kRejectNoFrames);
        return false;
      }
      r.frameStart = r.bestFirst;
      r.framed = true;
      return true;
    }
  }
}

}  // namespace

int MarkRun(const Recover& r, int64_t at, int limit) {
  int n = 0;
  for (; n < limit && at + n < r.bitCount; ++n) {
    const RecoverBit& b = Bit(r, at + n);
    if (b.value != 1 || b.confidence < kIdleConfident) break;
  }
  return n;
}

void StartFraming(Recover& r) {
  r.frameStart = 0;
  r.framesDue = 0;
  r.framed = false;
  r.bestFirst = 0;
  r.bestFirstGood = 0;
  r.pendingCount = 0;
  r.suspect = 0;
  r.blockOpen = false;
  r.probationCount = 0;
  r.goodRun = 0;
  r.blockStart = r.leaderStart;
  r.speedSum = 0;
  r.speedCount = 0;
  r.foreignRun = 0;
}

void TakeFrames(Recover& r) {
  if (!r.framed && !FindFirstFrame(r)) return;
  while (r.stage == kStageData) {
    const int64_t at = r.frameStart;
    r.framesDue = at + (r.inputEnded ? kFrameBits : kLookahead);
    if (r.bitCount < r.framesDue) return;
    r.framesDue = 0;
    if (CandidateExpired(r) || LeaderEndsBlock(r, at)) return;
    const int64_t past = SkipIdle(r, at);
    if (past != at) {  // the line idles: nothing to write
      r.frameStart = past;
      continue;
    }
    if (FrameGood(r, at) &&
        (r.pendingCount == 0 || (!r.pendingSilent && r.pendingCount <= kShortGap) ||
         GoodAhead(r, NextFrame(r, at),
                   (r.pendingCount >= kLongGap ? kResumeAfterLongGap : kResumeFrames) - 1))) {
      Flush(r);
      r.foreignRun = 0;
      const bool unsure = (r.suspect > 0 && Unsure(r, at)) || InDoubt(r, at);
      if (r.suspect > 0) --r.suspect;
      DeliverFrame(r, FrameAt(r, at), unsure, true);
      r.frameStart += kFrameBits;
      continue;
    }
    // A frame that does not decode waits: it is written, as damaged, only once good frames
    // follow, so that what lies after the end of the data never becomes bytes.
    // Held so long, the signal has gone: the search goes on from this frame, not from the
    // clock, which runs the frames' lookahead ahead of it and would pass over a leader there.
    if (r.pendingCount == kRecoverPending) {
      EndBlock(r);
      StartSearch(r, Bit(r, at).time);
      return;
    }
    // Loud frames that do not fit, one after another, are no dropout: something else (voice,
    // music) has taken the data's place, and the block has ended.
    r.foreignRun = FramePresent(r, at) ? r.foreignRun + 1 : 0;
    if (r.foreignRun == 1) r.foreignStart = Bit(r, at).time;
    if (r.blockOpen && r.foreignRun == kForeignFrames) {
      // The search goes over them again: a leader may be among them.
      EndBlock(r);
      StartSearch(r, r.foreignStart);
      return;
    }
    const int slip = FindSlip(r, at + kFrameBits);
    Hold(r, at);
    r.frameStart += kFrameBits + slip;
  }
}

}  // namespace recovery
