// Half-waves -> leader lock -> bits -> byte frames.
#include <bit>

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

// Every step below is made once for each sample format and scan variant, so that the scan of
// the samples is inlined into the steps that use it: kBytes bytes per sample, coded as kCoding.
#define TONEGRAB_FORMAT_TEMPLATE template <int kBytes, SampleCoding kCoding, ScanVariant kVariant>
#define TONEGRAB_FORMAT kBytes, kCoding, kVariant

// A half-wave's length: the samples read up to and including the one that changes the level.
TONEGRAB_FORMAT_TEMPLATE
int64_t MeasureHalfWave(TapeReader& tr) {
  return SamplesToLevelChange<TONEGRAB_FORMAT>(tr);
}

TONEGRAB_FORMAT_TEMPLATE
int ReadHalfWaveAs(TapeReader& tr, HalfWaveKind* kind) {
  return ClassifyWithin(tr.bands, MeasureHalfWave<TONEGRAB_FORMAT>(tr), kind);
}

#if defined(TONEGRAB_HAVE_AVX2_SCAN)
// A leader run as the search over the masks keeps it: whole-number sum and count, and where the
// half-wave being measured began (less one frame), as an offset from the masks' origin.
struct LeaderRun {
  int64_t sum;
  int64_t count;
  int64_t last;
  int shift;
};

// Takes the half-waves that end at the level changes at[0..changes); returns how many it took:
// all of them, unless the leader is found (its last half-wave is the last taken) or the sum
// would outgrow the whole-number test (the one that would is not taken).
//
// Each test waits on the one before it, so the loop is laid out to keep that wait short: the
// answer is a mask (noise makes either answer as likely, so a branch would often be wrong), and
// the product 5 n count is formed from the count before the last test, both ways that test may
// go, so that no multiplication waits on the answer.
inline int64_t TakeLeaderHalfWaves(LeaderRun& run, const int32_t* at, int64_t changes) {
  int64_t sum = run.sum;
  int64_t before = run.count - 1;  // the count before the last test, and that test's mask
  int64_t goesOn = -1;
  int64_t i = 0;
  for (; i < changes; ++i) {
    const int64_t n = (at[i] - run.last) >> run.shift;
    if (n > kWholeLeaderSum - sum) [[unlikely]]
      break;
    const int64_t fiveN = 5 * n;
    const int64_t count = 1 + (before & goesOn);
    const int64_t scaled = fiveN + (goesOn & (before * fiveN));  // 5 n count
    goesOn = LeaderTakesScaled(scaled, sum);
    before = count;
    sum = n + (sum & goesOn);  // a new run starts from this half-wave alone
    run.last = at[i];
    if (count == kLeaderCount && goesOn != 0) [[unlikely]] {
      ++i;
      break;
    }
  }
  run.sum = sum;
  run.count = 1 + (before & goesOn);
  return i;
}

// The masks' words are read this many at a time, their level changes listed before any is taken.
inline constexpr int64_t kLeaderWords = 16;

// The leader search over the masks of this window: the level changes of a stretch of words are
// found together, without a branch on where they lie, and each test then waits only on the
// sum and count before it, so that noise, where nearly every half-wave starts a new run, goes
// at the pace of the test. Goes on while the masks can be filled; leaves the stream and the
// level just after the last half-wave it took, for the scan of the samples to go on from.
template <int kBytes>
void LeaderSearchInMasks(TapeReader& tr, float* sum, int* count) {
  LevelMasks& m = tr.masks;
  InputStream& in = tr.input;
  const int64_t frameBytes = m.frameBytes;
  const int64_t from = in.cur - m.origin;
  if (m.fills != in.fills || m.base != in.base || from < 0 || (from & (frameBytes - 1)) != 0 ||
      !(*sum < static_cast<float>(kWholeLeaderSum)))
    return;
  const int64_t stop = in.len - kScanSlack<kBytes, kIntegerSamples> - frameBytes;
  LeaderRun run{static_cast<int64_t>(*sum), *count, from - frameBytes, m.shift};
  unsigned level = static_cast<unsigned>(tr.level);
  uint64_t keep = ~uint64_t{0} << (from & 63);
  int32_t at[kLeaderWords * 64 + kChangeSlack];
  for (int64_t w = from >> 6; run.count <= kLeaderCount; w += kLeaderWords) {
    if (w + kLeaderWords > m.words)
      FillMasks<kBytes>(m, in.buf, stop, frameBytes, tr.highThreshold, tr.lowThreshold,
                        w + kLeaderWords);
    const int64_t end = std::min(w + kLeaderWords, m.words);
    if (w >= end) break;
    const int64_t changes = ListLevelChanges(m, w, end, keep, &level, at);
    keep = ~uint64_t{0};
    if (TakeLeaderHalfWaves(run, at, changes) < changes || end < w + kLeaderWords) break;
  }
  if (run.last < from) return;
  in.cur = m.origin + run.last + frameBytes;
  tr.level = static_cast<int>((m.high[run.last >> 6] >> (run.last & 63)) & 1);
  *sum = static_cast<float>(run.sum);
  *count = static_cast<int>(run.count);
}
#endif

TONEGRAB_FORMAT_TEMPLATE
int HeaderAs(TapeReader& tr) {
  // The running sum is kept here, not in the reader, so that it stays in a register: each test
  // depends on the sum the last one left.
  float sum = kLeaderStartSum;
  int count = 1;
  while (count <= kLeaderCount) {
#if defined(TONEGRAB_HAVE_AVX2_SCAN)
    if constexpr (kVariant == kScanAvx2 && kVectorScanned<kBytes, kCoding>) {
      LeaderSearchInMasks<kBytes>(tr, &sum, &count);
      if (count > kLeaderCount) break;
    }
#endif
    const int64_t n = MeasureHalfWave<TONEGRAB_FORMAT>(tr);
    // Inconsistent: a new run starts with this half-wave. Chosen without a branch, as noise
    // makes either answer as likely.
    const bool accepted = LeaderAccepts(sum, count, n);
    const float grown = LeaderSum(sum, n);
    const float restart = static_cast<float>(n);
    sum = accepted ? grown : restart;
    count = accepted ? count + 1 : 1;
  }
  tr.halfWaveLength = sum;
  tr.halfWaveLength /= kLeaderCount;
  tr.bands = BandsFor(tr.halfWaveLength, tr.sampleRate);

  // Short half-waves may follow; the first long one opens the first start bit.
  HalfWaveKind kind = kShortHalfWave;
  do {
    if (ReadHalfWaveAs<TONEGRAB_FORMAT>(tr, &kind)) return 1;
  } while (kind == kShortHalfWave);
  return Rew(tr);
}

TONEGRAB_FORMAT_TEMPLATE
int ReadBitAs(TapeReader& tr) {
  HalfWaveKind first = kShortHalfWave;
  if (ReadHalfWaveAs<TONEGRAB_FORMAT>(tr, &first)) return -1;
  const int rest = (first == kShortHalfWave ? kShortsPerOneBit : kLongsPerZeroBit) - 1;
  for (int i = 0; i < rest; ++i) {
    HalfWaveKind kind = first;
    if (ReadHalfWaveAs<TONEGRAB_FORMAT>(tr, &kind) || kind != first) return -1;
  }
  return first;
}

TONEGRAB_FORMAT_TEMPLATE
int ReadFrameAs(TapeReader& tr, unsigned char* byte) {
  *byte = 0;
  // The bits are gathered in a local: a store through the byte pointer could change any field
  // of the reader, which every later half-wave would then load again.
  unsigned value = 0;
  if (ReadBitAs<TONEGRAB_FORMAT>(tr) != 0) return 1;  // start bit
  for (int k = 0; k < kDataBits; ++k) {
    const int bit = ReadBitAs<TONEGRAB_FORMAT>(tr);
    if (bit < 0) return 1;
    value |= static_cast<unsigned>(bit) << k;
  }
  // two stop bits
  if (ReadBitAs<TONEGRAB_FORMAT>(tr) != 1 || ReadBitAs<TONEGRAB_FORMAT>(tr) != 1) return 1;
  *byte = static_cast<unsigned char>(value);
  return 0;
}

#undef TONEGRAB_FORMAT
#undef TONEGRAB_FORMAT_TEMPLATE

#if defined(TONEGRAB_HAVE_AVX2_SCAN)
// The steps compiled for AVX2, each with everything it calls inlined (flatten), so that no
// function compiled for AVX2 is reached from anywhere else. Called only when scanVariant says
// the processor has it.
#define TONEGRAB_AVX2_STEP(name, step, ...)                              \
  template <int kBytes>                                                  \
  TONEGRAB_AVX2 __attribute__((flatten)) int name(__VA_ARGS__) {         \
    return step<kBytes, kIntegerSamples, kScanAvx2>(TONEGRAB_AVX2_ARGS); \
  }
#define TONEGRAB_AVX2_ARGS tr
TONEGRAB_AVX2_STEP(HeaderAvx2, HeaderAs, TapeReader& tr)
TONEGRAB_AVX2_STEP(ReadBitAvx2, ReadBitAs, TapeReader& tr)
#undef TONEGRAB_AVX2_ARGS
#define TONEGRAB_AVX2_ARGS tr, out
TONEGRAB_AVX2_STEP(ReadHalfWaveAvx2, ReadHalfWaveAs, TapeReader& tr, HalfWaveKind* out)
TONEGRAB_AVX2_STEP(ReadFrameAvx2, ReadFrameAs, TapeReader& tr, unsigned char* out)
#undef TONEGRAB_AVX2_ARGS
#undef TONEGRAB_AVX2_STEP

// The vector scan takes 8-, 16- and 32-bit integer samples.
#define TONEGRAB_AVX2_FORMATS(step, ...)                                \
  if (scanVariant == kScanAvx2 && tr.sampleCoding == kIntegerSamples) { \
    switch (BytesPerSample(tr)) {                                       \
      case 1:                                                           \
        return step##Avx2<1>(__VA_ARGS__);                              \
      case 2:                                                           \
        return step##Avx2<2>(__VA_ARGS__);                              \
      case 4:                                                           \
        return step##Avx2<4>(__VA_ARGS__);                              \
    }                                                                   \
  }
#else
#define TONEGRAB_AVX2_FORMATS(step, ...)
#endif

// Calls step<bytes, coding, variant>(args...) for the recording's sample format and the scan
// variant of this processor.
#define TONEGRAB_FOR_FORMAT(step, avx2Step, ...)                                        \
  do {                                                                                  \
    TONEGRAB_AVX2_FORMATS(avx2Step, __VA_ARGS__)                                        \
    if (tr.sampleCoding == kFloatSamples)                                               \
      return BytesPerSample(tr) == 8 ? step<8, kFloatSamples, kScanPlain>(__VA_ARGS__)  \
                                     : step<4, kFloatSamples, kScanPlain>(__VA_ARGS__); \
    switch (BytesPerSample(tr)) {                                                       \
      case 1:                                                                           \
        return step<1, kIntegerSamples, kScanPlain>(__VA_ARGS__);                       \
      case 2:                                                                           \
        return step<2, kIntegerSamples, kScanPlain>(__VA_ARGS__);                       \
      case 3:                                                                           \
        return step<3, kIntegerSamples, kScanPlain>(__VA_ARGS__);                       \
      default:                                                                          \
        return step<4, kIntegerSamples, kScanPlain>(__VA_ARGS__);                       \
    }                                                                                   \
  } while (false)

}  // namespace

int ReadHalfWave(TapeReader& tr, HalfWaveKind* kind) {
  TONEGRAB_FOR_FORMAT(ReadHalfWaveAs, ReadHalfWave, tr, kind);
}

int Header(TapeReader& tr) {
  TONEGRAB_FOR_FORMAT(HeaderAs, Header, tr);
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
  TONEGRAB_FOR_FORMAT(ReadBitAs, ReadBit, tr);
}

int ReadByte(TapeReader& tr, unsigned char* byte) {
  if (tr.isText) return ReadCharPair(tr, byte);
  TONEGRAB_FOR_FORMAT(ReadFrameAs, ReadFrame, tr, byte);
}
