// Takes combined: further captures of the same tape, each decoded alone by the recovery
// decoder, their blocks matched by content and order, and each byte decided from the evidence
// of every take that holds it. A byte damaged in one take comes back from the others; it stays
// damaged only where every take that holds it is in doubt there.
//
// Within two matched blocks the bytes are lined up one by one, so that a take that lost a byte
// at a slip, or kept one the others lost, still lines up: each byte of the combined block is a
// column that names the byte of each take it comes from.
//
// Held until all takes are decoded: 32 bytes for each decoded byte of each take, and a column
// of 36 bytes for each combined byte; an hour of data (432 000 bytes) holds 14 MiB a take and
// 16 MiB of columns. A take holds at most kTakeBytes bytes.
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
};

// A byte of a combined block: which byte of its block each take gives it (-1: none).
struct Column {
  int32_t at[kTakesMax];
};

// A block of the combined tape: which block of each take it is (-1: none), and its bytes.
struct MergedBlock {
  int block[kTakesMax];
  int first;                 // the first take that holds it
  double weight[kTakesMax];  // how much each take's evidence counts: how clearly it decoded
  std::vector<Column> columns;
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
