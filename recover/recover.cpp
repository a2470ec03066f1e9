// The recovery decoder's driver: readies the record, feeds the samples in and runs the stages,
// each to its own file (recover/stages.h lists them).
#include "recover/recover.h"

#include <algorithm>

#include "recover/stages.h"

namespace {

using namespace recovery;

constexpr double kTargetRate = 11025;  // decimate to no less than this
constexpr double kMinInputRate = 6000;
constexpr double kMaxInputRate = kTargetRate * kMaxDecimation;

// The input has ended: the block under way ends with its last complete frame.
void FinishBlock(Recover& r) {
  if (r.stage == kStageData) {
    TakeFrames(r);
    if (r.stage == kStageData) EndBlock(r);
  }
  r.stage = kStageSearch;
}

}  // namespace

bool RecoverRateSupported(double sampleRate) {
  return sampleRate >= kMinInputRate && sampleRate <= kMaxInputRate;
}

int RecoverInit(Recover& r, double sampleRate) {
  if (!RecoverRateSupported(sampleRate)) return 1;
  const int factor = std::max(1, static_cast<int>(sampleRate / kTargetRate));
  r.inputRate = sampleRate;
  r.rate = sampleRate / factor;
  DecimatorInit(r.decimator, factor);
  r.written = 0;
  r.gainBitLength = 0;
  r.templateLength = 0;
  r.nominal.tables = r.nominal.gains = false;
  r.shortestBit = r.rate / (kBitRate * kMaxSpeed);
  r.longestBit = r.rate / (kBitRate * kMinSpeed);
  // A window touches at most two samples more than its length's whole part, and the vector
  // windows read the tables a group of four at a time.
  r.tableLength = std::min(kRecoverWindowMax, (static_cast<int>(r.longestBit) + 2 + 3) / 4 * 4);
  r.eventCount = 0;
  r.inputEnded = false;
  r.blockOpen = false;
  r.pendingCount = 0;
  r.probationCount = 0;
  StartSearch(r, 0);
  ImpulsesInit(r.impulses, r.rate);
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

void RecoverPushDecimated(Recover& r, const float* samples, int64_t count) {
  TakeDecimated(r, samples, count);
}

void RecoverWatch(Impulses& m, const float* samples, int64_t count, int64_t at) {
  WatchClicks(m, samples, count, at);
}

void RecoverPushWatched(Recover& r, const float* samples, int64_t count, const ClickSpan* spans,
                        int64_t marked) {
  TakeWatched(r, samples, count, spans, marked);
}

void RecoverFinish(Recover& r) {
  r.inputEnded = true;
  r.framesDue = 0;  // the frames' lookahead ends with the input
}

int RecoverStep(Recover& r) {
  constexpr int kRoom = kRecoverEvents - kRecoverPending - kRecoverProbation - 8;
  while (r.eventCount < kRoom) {
    bool progressed = false;
    switch (r.stage) {
      case kStageSearch:
        progressed = SearchSteps(r, kRoom);
        break;
      case kStageLeader:
        progressed = LeaderStep(r);
        break;
      case kStageEdge:
        progressed = EdgeStep(r);
        break;
      case kStageData:
        progressed = DataSteps(r, kRoom);
        break;
    }
    if (!progressed) {
      if (r.inputEnded) FinishBlock(r);
      break;
    }
  }
  return r.eventCount;
}
