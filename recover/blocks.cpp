// Blocks: where one begins, when the data after a leader counts as a block, and where it ends.
//
// A leader, once its first start bit is found, opens a candidate. Its frames are held until
// kConfirmRun of them in a row decode; only then is the block announced, with them. A leader
// whose frames never get so far (noise, voice, hum, a steady tone that happened to look like
// one) is rejected, and nothing of it is written. A block ends where its frames end: at a new
// leader (a run of mark longer than idle line can be, or after a gap a shorter one), when its
// signal has been gone for long, or at the end of the input.
#include "recover/stages.h"

namespace recovery {
namespace {

constexpr int kConfirmRun = 4;
// Mark bits that make a leader: without a gap, more than framed data and idle line hold; after
// a gap (frames without data), more than framed data alone holds, so a short leader of 12 bits
// or so after a pause starts a block of its own.
constexpr int kLeaderBits = 22;
constexpr int kGapLeaderBits = 11;

// The speed of the block's written frames: the mean bit length gives it. Bits after the data
// (a gap, voice) do not count, though the clock runs on through them.
double MeanSpeed(const Recover& r) {
  if (r.speedCount == 0) return Speed(r);
  return r.rate / (kBitRate * r.speedSum / static_cast<double>(r.speedCount));
}

void EmitByte(Recover& r, const RecoverFrame& f, bool damaged) {
  const double bitLength = (f.endTime - f.time) / kFrameBits;
  r.speedSum += bitLength;
  ++r.speedCount;
  RecoverEvent e{kBlockByte,
                 damaged,
                 f.value,
                 Seconds(r, f.time),
                 Seconds(r, f.endTime),
                 r.rate / (kBitRate * bitLength),
                 f.quality,
                 {}};
  std::copy(f.soft, f.soft + 8, e.soft);
  Emit(r, e);
  r.blockLastEnd = Seconds(r, f.endTime);
}

// Enough frames decoded in a row: the block is announced with the frames held so far.
void Announce(Recover& r) {
  r.blockOpen = true;
  Emit(r, {kBlockStart, 0, 0, r.blockStart, r.blockStart, Speed(r), 0, {}});
  for (int i = 0; i < r.probationCount; ++i) EmitByte(r, r.probation[i], r.probationDamaged[i]);
  r.probationCount = 0;
}

// Why a leader's data did not become a block.
RecoverRejection WhyNoBlock(const Recover& r) {
  return r.probationCount > 0 ? kRejectFewFrames : kRejectNoFrames;
}

// Bits a leader's data has to become a block in: the frames held on probation, with room for
// damage and idle line among them.
constexpr int64_t kCandidateBits = 2 * kRecoverProbation * kFrameBits;

}  // namespace

double Seconds(const Recover& r, double samples) {
  // The decimator delays the samples.
  const double delay = (r.decimator.taps - 1) / (2.0 * r.decimator.factor);
  return std::max(0.0, (samples - delay) / r.rate);
}

void Emit(Recover& r, const RecoverEvent& e) {
  r.events[r.eventCount++] = e;
}

void DeliverFrame(Recover& r, const RecoverFrame& f, bool damaged, bool fits) {
  if (r.stage != kStageData) return;  // rejected while the frames were delivered
  if (r.blockOpen) {
    EmitByte(r, f, damaged);
    return;
  }
  r.probation[r.probationCount] = f;
  r.probationDamaged[r.probationCount] = damaged;
  ++r.probationCount;
  r.goodRun = fits ? r.goodRun + 1 : 0;
  if (r.goodRun >= kConfirmRun) {
    Announce(r);
  } else if (r.probationCount == kRecoverProbation) {
    GiveUpCandidate(r, kRejectFewFrames);
  }
}

double CandidateRestart(const Recover& r) {
  if (r.probationCount > 0) return r.probation[0].time;
  return r.bitCount > kFirstFrameSearch ? Bit(r, kFirstFrameSearch).time : r.t;
}

void GiveUpCandidate(Recover& r, RecoverRejection why, double from) {
  RejectLeader(r, why);
  r.probationCount = 0;
  r.pendingCount = 0;
  StartSearch(r, from);
}

void GiveUpCandidate(Recover& r, RecoverRejection why) {
  GiveUpCandidate(r, why, CandidateRestart(r));
}

bool CandidateExpired(Recover& r) {
  if (r.blockOpen || r.frameStart < kCandidateBits) return false;
  GiveUpCandidate(r, WhyNoBlock(r));
  return true;
}

// The block ends where a leader, `marks` mark bits, begins at bit k: the leader is followed at the
// block's speed. A leader's data that never became a block has no speed to trust (noise or voice
// may have pulled its clock anywhere): the search takes the new leader from its start.
void NewLeaderAt(Recover& r, int64_t k, int marks) {
  const double at = Bit(r, k).time;
  if (!r.blockOpen) {
    GiveUpCandidate(r, WhyNoBlock(r), at);
    return;
  }
  EndBlock(r);
  FollowLeader(r, at, marks);
}

bool LeaderEndsBlock(Recover& r, int64_t at) {
  if (MarkRun(r, at, kLeaderBits) == kLeaderBits) {
    NewLeaderAt(r, at, kLeaderBits);
    return true;
  }
  if (r.pendingCount < kLongGap) return false;
  // After a gap the leader may begin anywhere, not only where a start bit was due.
  for (int64_t k = at; k < at + kFrameBits + kMaxSlip; ++k) {
    if (MarkRun(r, k, kGapLeaderBits) == kGapLeaderBits) {
      NewLeaderAt(r, k, kGapLeaderBits);
      return true;
    }
  }
  return false;
}

void EndBlock(Recover& r) {
  if (r.blockOpen)
    Emit(r, {kBlockEnd, 0, 0, r.blockStart, r.blockLastEnd, MeanSpeed(r), 0, {}});
  else if (r.stage == kStageData)
    RejectLeader(r, WhyNoBlock(r));
  r.blockOpen = false;
  r.pendingCount = 0;
  r.probationCount = 0;
}

void RejectLeader(Recover& r, RecoverRejection why) {
  Emit(r, {kLeaderRejected,
           0,
           static_cast<unsigned char>(why),
           r.leaderStart,
           Seconds(r, r.t),
           Speed(r),
           0,
           {}});
}

}  // namespace recovery

const char* RecoverRejectionText(int why) {
  switch (why) {
    case kRejectToneLost:
      return "the tone went before a start bit";
    case kRejectNoFrames:
      return "no frame decodes after it";
    default:
      return "frames decode after it, but too few in a row for data";
  }
}
