// Half-waves -> leader lock -> bits -> byte frames.
#include "audio/samples.h"
#include "decoder/half_wave.h"
#include "tape_reader.h"
#include "text/char_pair.h"

namespace {

// The leader search starts as if one half-wave of 8 samples had been accepted, and locks after
// 200 more; the sum of those 201 lengths is divided by 200.
constexpr float kLeaderStartSum = 8.0f;
constexpr int kLeaderCount = 200;
constexpr int kDataBits = 8;
constexpr int kShortsPerOneBit = 4;
constexpr int kLongsPerZeroBit = 2;

// A half-wave's length: the samples read up to and including the one that changes the level.
int64_t MeasureHalfWave(TapeReader& tr) {
  return SamplesToLevelChange(tr);
}

}  // namespace

int ReadHalfWave(TapeReader& tr, HalfWaveKind* kind) {
  return ClassifyWithin(tr.bands, MeasureHalfWave(tr), kind);
}

int Header(TapeReader& tr) {
  tr.halfWaveLength = kLeaderStartSum;
  int count = 1;
  while (count <= kLeaderCount) {
    const int64_t n = MeasureHalfWave(tr);
    if (LeaderAccepts(tr.halfWaveLength, count, n)) {
      tr.halfWaveLength = static_cast<float>(tr.halfWaveLength + static_cast<long double>(n));
      ++count;
    } else {  // inconsistent: a new run starts with this half-wave
      tr.halfWaveLength = static_cast<float>(n);
      count = 1;
    }
  }
  tr.halfWaveLength /= kLeaderCount;
  tr.bands = BandsFor(tr.halfWaveLength, tr.sampleRate);

  // Short half-waves may follow; the first long one opens the first start bit.
  HalfWaveKind kind = kShortHalfWave;
  do {
    if (ReadHalfWave(tr, &kind)) return 1;
  } while (kind == kShortHalfWave);
  return Rew(tr);
}

// Called just after the first long half-wave was measured: steps back so that it is measured
// again as the first half of a start bit.
int Rew(TapeReader& tr) {
  const int64_t frame = FrameBytes(tr);
  tr.level = 1 - tr.level;
  // Walk back one frame per pass (back two, read one) to the last sample of the half-wave before
  // the long one that lies past its threshold. That half-wave was read in this attempt, so the
  // walk never leaves the samples already read.
  do {
    StreamSkip(tr.input, -2 * frame);
  } while (!LevelChanged(tr));
  while (!LevelChanged(tr)) {
  }
  return 0;
}

int ReadBit(TapeReader& tr) {
  HalfWaveKind first = kShortHalfWave;
  if (ReadHalfWave(tr, &first)) return -1;
  const int rest = (first == kShortHalfWave ? kShortsPerOneBit : kLongsPerZeroBit) - 1;
  for (int i = 0; i < rest; ++i) {
    HalfWaveKind kind = first;
    if (ReadHalfWave(tr, &kind) || kind != first) return -1;
  }
  return first;
}

int ReadByte(TapeReader& tr, unsigned char* byte) {
  if (tr.isText) return ReadCharPair(tr, byte);
  *byte = 0;
  if (ReadBit(tr) != 0) return 1;  // start bit
  for (int k = 0; k < kDataBits; ++k) {
    const int bit = ReadBit(tr);
    if (bit < 0) return 1;
    *byte = static_cast<unsigned char>(*byte | bit << k);
  }
  if (ReadBit(tr) != 1 || ReadBit(tr) != 1) return 1;  // two stop bits
  return 0;
}
