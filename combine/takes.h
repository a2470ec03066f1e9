// Takes combined: further captures of the same tape, each decoded alone by the recovery
// decoder, their blocks matched by content and order, and each byte decided from the evidence
// of every take that holds it. A byte damaged in one take comes back from the others; it stays
// damaged only where every take that holds it is in doubt there.
//
// A take's bytes are held with their evidence until all takes are decoded: 32 bytes a decoded
// byte, 14 MiB a take for an hour of data, and at most kTakeBytes bytes a take.
#ifndef TONEGRAB_COMBINE_TAKES_H
#define TONEGRAB_COMBINE_TAKES_H

#include <cstdint>
#include <vector>

#include "recover/recover.h"

inline constexpr int kTakesMax = 9;             // the input and eight more
inline constexpr int64_t kTakeBytes = 1 << 22;  // bytes held a take: 9.7 hours of data

struct TakeByte {
  double time;     // seconds, the take's own clock
  float duration;  // of the frame
  float quality;
  int8_t soft[8];
  uint8_t value, damaged;
};

struct TakeBlock {
  double start, end, speed;
  int64_t first, count;  // its bytes in Take::bytes
};

struct Take {
  std::vector<TakeBlock> blocks;
  std::vector<TakeByte> bytes;
  bool full;  // more bytes than kTakeBytes: the rest were not held
};

// A block of the combined tape: which block of each take it is (-1: none) and where that
// block's first byte falls among the combined block's bytes.
struct MergedBlock {
  int block[kTakesMax];
  int64_t offset[kTakesMax];
  int64_t length;
  int first;                 // the first take that holds it
  double weight[kTakesMax];  // how much each take's evidence counts: how clearly it decoded
};

// Each take's clock against the first take's: first = offset + scale * own.
struct TakeClock {
  double offset, scale;
};

struct MergedTape {
  std::vector<MergedBlock> blocks;
  TakeClock clock[kTakesMax];
  int takes;
};

struct CombinedByte {
  uint8_t value;
  bool damaged;
  bool repaired;         // damaged in a take that holds it, clean from the others
  double time, endTime;  // the first take's clock
  float quality;
  double speed;
};

// Keeps a decoder event of a take; false when the take holds more bytes than it may.
bool TakeKeep(Take& t, const RecoverEvent& e);
// Matches the takes' blocks (takes[0] is the input) into one sequence.
void MergeTakes(const Take* takes, int count, MergedTape* tape);
// The combined block's byte at `position`.
CombinedByte CombineByte(const Take* takes, const MergedTape& tape, const MergedBlock& b,
                         int64_t position);
// Where a combined block starts and ends, and its speed, in the first take's clock.
void MergedSpan(const Take* takes, const MergedTape& tape, const MergedBlock& b, double* start,
                double* end, double* speed);

#endif
