// Unit tests of the arithmetic, the detector and the input stream, on real temporary files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "audio/samples.h"
#include "combine/takes.h"
#include "decoder/half_wave.h"
#include "read_ahead.h"
#include "tape_reader.h"

[[noreturn]] void EndOnReadError() {
  std::fputs("Read error!\n", stdout);
  std::fflush(stdout);
  std::exit(1);
}

namespace {

using Bytes = std::vector<unsigned char>;

// A reader over a temporary file holding `bytes`; the file is unlinked at once.
struct FileReader {
  TapeReader tr{};
  explicit FileReader(const Bytes& bytes) {
    char path[] = "/tmp/tonegrab-unit-XXXXXX";
    const int fd = mkstemp(path);
    unlink(path);
    EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    StreamAttach(tr.input, fd);
  }
  ~FileReader() { close(tr.input.fd); }
};

// 'S' short, 'L' long, 'B' bad for each length from 1 up.
std::string Classes(float r, int maxLength) {
  std::string out;
  for (int n = 1; n <= maxLength; ++n) {
    HalfWaveKind kind = kShortHalfWave;
    out += ClassifyLength(r, n, &kind) ? 'B' : kind == kShortHalfWave ? 'S' : 'L';
  }
  return out;
}

TEST(HalfWaveBands, WholeNumberProductsFallInsideOnlyAtTheShortLowerBound) {
  struct Case {
    float r;
    const char* classes;  // lengths 1 to 26
  } const cases[] = {
      {2000.0f / 200, "BBBBBSSSSSSSSBBBLLLLLLLBBB"},  // 6..13 short, 17..23 long
      {2010.0f / 200, "BBBBBBSSSSSSSSBBLLLLLLLLBB"},  // a leader of equal tens: 10.05
      {2008.0f / 200, "BBBBBBSSSSSSSSBBLLLLLLLLBB"},  // the same, keeping the starting 8.0
  };
  for (const Case& c : cases) EXPECT_EQ(Classes(c.r, 26), c.classes) << "r = " << c.r;
}

TEST(HalfWaveBands, SampleRateBoundsAreIntegerQuotients) {
  struct Case {
    int32_t rate;
    int64_t shortest, longest;
  } const cases[] = {{44100, 6, 88}, {22050, 3, 44}, {8000, 1, 16}, {0, 0, 0}};
  for (const Case& c : cases) {
    EXPECT_FALSE(WithinRateBounds(c.rate, c.shortest - 1)) << c.rate;
    EXPECT_TRUE(WithinRateBounds(c.rate, c.shortest)) << c.rate;
    EXPECT_TRUE(WithinRateBounds(c.rate, c.longest)) << c.rate;
    EXPECT_FALSE(WithinRateBounds(c.rate, c.longest + 1)) << c.rate;
  }
}

TEST(LeaderSearch, AcceptsWithinFortyPercentOfTheMean) {
  EXPECT_TRUE(LeaderAccepts(8.0f, 1, 11));  // 11.2 is the upper bound
  EXPECT_FALSE(LeaderAccepts(8.0f, 1, 12));
  EXPECT_TRUE(LeaderAccepts(10.0f, 1, 6));    // 0.6 * 10 rounds just below 6
  EXPECT_FALSE(LeaderAccepts(10.0f, 1, 14));  // 1.4 * 10 rounds just below 14
  EXPECT_FALSE(LeaderAccepts(1000.0f, 100, 14));
}

// 16-bit mono square wave of half-waves of the given lengths, in a minimal WAV. It starts low,
// where the detector starts, so the first length is measured one sample longer.
Bytes SquareWav(const std::vector<int>& lengths) {
  const unsigned char header[] = {'R', 'I', 'F',  'F',  0,   0,   0,   0, 'W', 'A', 'V',
                                  'E', 'f', 'm',  't',  ' ', 16,  0,   0, 0,   1,   0,
                                  1,   0,   0x44, 0xAC, 0,   0,   0,   0, 0,   0,   2,
                                  0,   16,  0,    'd',  'a', 't', 'a', 0, 0,   0,   0};
  Bytes wav(header, header + sizeof header);
  int sign = -1;
  for (int n : lengths) {
    const auto v = static_cast<uint16_t>(sign * 20000);
    for (int i = 0; i < n; ++i) {
      wav.push_back(static_cast<unsigned char>(v));
      wav.push_back(static_cast<unsigned char>(v >> 8));
    }
    sign = -sign;
  }
  return wav;
}

TEST(LeaderSearch, LearnsTheReferenceLengthAndStepsBackOntoTheFirstLongHalfWave) {
  struct Case {
    std::vector<int> before;  // half-waves ahead of the 200 tens
    float r;
  } const cases[] = {
      {{9}, 2008.0f / 200},      // the first ten is accepted after the starting 8.0
      {{9, 20}, 2010.0f / 200},  // 20 restarts the run, the ten after it restarts it again
  };
  for (const Case& c : cases) {
    std::vector<int> lengths = c.before;
    lengths.insert(lengths.end(), 200 + 5, 10);
    lengths.insert(lengths.end(), {20, 20, 10, 10, 10, 10, 10});  // a start bit, a 1 bit
    FileReader f(SquareWav(lengths));
    ASSERT_EQ(CheckWav(f.tr), 0);
    EXPECT_EQ(Header(f.tr), 0);
    EXPECT_EQ(f.tr.halfWaveLength, c.r);
    EXPECT_EQ(ReadBit(f.tr), 0);
    EXPECT_EQ(ReadBit(f.tr), 1);
  }
}

TEST(LevelDetector, EightBitThresholdsWithHysteresis) {
  // Each row: a sample and the level after it, starting from level 0.
  const int rows[][2] = {{152, 0}, {153, 1}, {104, 1}, {103, 0}, {128, 0}, {255, 1}, {0, 0}};
  Bytes wav = SquareWav({});
  wav[34] = 8;  // bits per sample
  for (const auto& row : rows) wav.push_back(static_cast<unsigned char>(row[0]));
  FileReader f(wav);
  ASSERT_EQ(CheckWav(f.tr), 0);
  EXPECT_EQ(f.tr.lowThreshold, 103);
  EXPECT_EQ(f.tr.highThreshold, 153);
  for (const auto& row : rows) {
    LevelChanged(f.tr);
    EXPECT_EQ(f.tr.level, row[1]) << "sample " << row[0];
  }
}

TEST(LevelDetector, ThresholdsForEachWidth) {
  const int32_t rows[][3] = {
      {16, -6553, 6553}, {24, -1677721, 1677721}, {32, -429496729, 429496729}};
  for (const auto& row : rows) {
    Bytes wav = SquareWav({});
    wav[34] = static_cast<unsigned char>(row[0]);
    FileReader f(wav);
    ASSERT_EQ(CheckWav(f.tr), 0);
    EXPECT_EQ(f.tr.lowThreshold, row[1]);
    EXPECT_EQ(f.tr.highThreshold, row[2]);
  }
}

TEST(SampleValues, LittleEndianWithTheSignOfTheirWidth) {
  struct Case {
    Bytes bytes;
    int32_t value;
  } const cases[] = {
      {{0xFF}, 255},
      {{0x00, 0x80}, -32768},
      {{0xFF, 0x7F}, 32767},
      {{0x00, 0x00, 0x80}, -8388608},
      {{0xFF, 0xFF, 0xFF}, -1},
      {{0x01, 0x02, 0x03}, 0x030201},
      {{0x00, 0x00, 0x00, 0x80}, INT32_MIN},
      {{0xFF, 0xFF, 0xFF, 0x7F}, INT32_MAX},
  };
  for (const Case& c : cases) {
    FileReader f(c.bytes);
    EXPECT_EQ(ReadValue(f.tr.input, static_cast<int>(c.bytes.size())), c.value);
  }
}

TEST(SampleValues, EndOfInputInsideAValueIsAReadError) {
  EXPECT_EXIT(
      {
        FileReader f({0x01});
        ReadValue(f.tr.input, 2);
      },
      testing::ExitedWithCode(1), "");
}

// Moves over a file many windows long, across refills: every byte read must be the file's
// byte at that position, whether each refill reads or the next window was read ahead. Random
// moves, forwards and backwards, and jumps, which the read-ahead cannot foresee; and reading
// on a frame or so at a time with short steps back, as the decoder does, which it foresees.
TEST(InputStream, ServesEveryPositionAcrossRefills) {
  struct Case {
    const char* name;
    bool ahead;
    int64_t back, forward;  // each move lies in [-back, forward)
  };
  const Case cases[] = {{"random", false, kInputKeepBehind, kInputKeepBehind},
                        {"random_read_ahead", true, kInputKeepBehind, kInputKeepBehind},
                        {"onwards_read_ahead", true, 64, kAheadSlack / 2}};
  const int64_t size = 12 * kInputBufferSize + 123;
  Bytes bytes(static_cast<size_t>(size));
  std::mt19937 rng(7);
  for (auto& b : bytes) b = static_cast<unsigned char>(rng());
  for (const Case& c : cases) {
    FileReader f(bytes);
    InputStream& in = f.tr.input;
    auto ahead = std::make_unique<ReadAhead>();
    bool lent = false;
    uint64_t fills = 0;
    if (c.ahead) {
      StreamGet(in);  // the first window, from which the read-ahead goes on
      ASSERT_TRUE(ReadAheadStart(in, *ahead));
    }
    for (int i = 0; i < 40000; ++i) {
      const int64_t step = static_cast<int64_t>(rng() % (c.back + c.forward)) - c.back;
      if (i % 500 == 0 && c.back == c.forward) {
        StreamSeek(in, static_cast<int64_t>(rng() % (size + 10)));
      } else if (!StreamSkip(in, step)) {
        EXPECT_LT(StreamTell(in) + step, 0);
      }
      if (StreamTell(in) > size + 10) StreamSeek(in, 0);
      const int64_t pos = StreamTell(in);
      const int got = StreamGet(in);
      ASSERT_EQ(got, pos < size ? bytes[static_cast<size_t>(pos)] : -1) << c.name << " at " << pos;
      lent |= in.buf != in.own;
      if (c.ahead && in.fills != fills) {  // a refill: the thread reads on while this one waits
        fills = in.fills;
        usleep(200);
      }
    }
    // Reading on, the windows come from the read-ahead.
    EXPECT_TRUE(lent || c.back == c.forward) << c.name;
    ReadAheadStop(in);
  }
}

// The whole-number bounds answer as the long double products do, for every length and every
// reference length a leader of whole lengths can give (sums of 201 lengths, divided by 200 in
// single precision) at the usual rates, and for random reference lengths at random rates.
TEST(HalfWaveBands, WholeNumberBoundsAnswerAsTheProducts) {
  const auto same = [](float r, int32_t rate, int64_t n) {
    HalfWaveKind before = kShortHalfWave, after = kShortHalfWave;
    const int old = WithinRateBounds(rate, n) ? ClassifyLength(r, n, &before) : 1;
    const int now = ClassifyWithin(BandsFor(r, rate), n, &after);
    return old == now && (old != 0 || before == after);
  };
  for (const int32_t rate : {8000, 11025, 16000, 22050, 32000, 44100, 48000, 96000}) {
    const int64_t longest = rate / kLongestPerSecond;
    // Beyond longest / 0.6 no length within the rate bounds lies in either band.
    for (int64_t sum = 201; sum <= 200 * (longest * 5 / 3 + 2); ++sum) {
      float r = static_cast<float>(sum);
      r /= 200;
      for (int64_t n = 0; n <= longest + 1; ++n)
        ASSERT_TRUE(same(r, rate, n)) << "rate " << rate << " r " << r << " n " << n;
    }
  }
  std::mt19937 rng(19);
  std::uniform_real_distribution<float> anyR(0.5f, 20000.0f);
  for (int i = 0; i < 200000; ++i) {
    const float r = anyR(rng);
    const int32_t rate = static_cast<int32_t>(rng() % 10000000);
    for (const double factor : {kShortMin, kShortMax, kLongMin, kLongMax}) {
      const int64_t near = static_cast<int64_t>(r * factor);
      for (int64_t n = near - 1; n <= near + 2; ++n)
        ASSERT_TRUE(same(r, rate, n)) << "rate " << rate << " r " << r << " n " << n;
    }
  }
}

// The leader test in doubles, and in whole numbers where the sum allows, answers as the long
// double test, at every count, for whole sums and the lengths around both bounds (where the
// products are whole numbers too).
TEST(LeaderSearch, FasterTestsAnswerAsTheLongDoubleTest) {
  const auto same = [](float s, int count, int64_t n) {
    const bool exact = LeaderAcceptsExactly(s, count, n);
    return LeaderAccepts(s, count, n) == exact &&
           (s > static_cast<float>(kWholeLeaderSum) ||
            LeaderAcceptsWhole(static_cast<int64_t>(s), count, n) == exact);
  };
  for (int count = 1; count <= 200; ++count) {
    for (int64_t sum = count; sum <= 40 * count + 3000; ++sum) {
      const int64_t low = sum * 6 / (10 * count), high = sum * 14 / (10 * count);
      for (const int64_t n : {low - 1, low, low + 1, high - 1, high, high + 1, high + 2})
        ASSERT_TRUE(same(static_cast<float>(sum), count, n))
            << "sum " << sum << " count " << count << " n " << n;
    }
  }
  std::mt19937_64 rng(200);
  for (int i = 0; i < 1000000; ++i) {
    const int count = static_cast<int>(rng() % 200) + 1;
    const float s = i % 2 ? static_cast<float>(rng() % (int64_t{1} << (rng() % 40)) + count)
                          : static_cast<float>(kWholeLeaderSum - rng() % 1000);
    const int64_t n = static_cast<int64_t>(s * (rng() % 2 ? 0.6 : 1.4) / count) +
                      static_cast<int64_t>(rng() % 3) - 1;
    ASSERT_TRUE(same(s, count, n)) << "sum " << s << " count " << count << " n " << n;
  }
}

// The level changes of a word of masks, all found at once, are those a walk along its bits
// finds, from either level, whatever part of the word is kept.
TEST(LeaderSearch, LevelChangesOfAWordAreThoseOfAWalk) {
  std::mt19937_64 rng(2400);
  for (int i = 0; i < 200000; ++i) {
    const uint64_t marked = rng() & rng(), high = marked & rng(), low = marked & ~high;
    const unsigned start = static_cast<unsigned>(rng() & 1);
    unsigned walked = start, level = start;
    uint64_t expected = 0;
    for (int b = 0; b < 64; ++b) {
      if ((high >> b & 1) && walked == 0) expected |= uint64_t{1} << b, walked = 1;
      if ((low >> b & 1) && walked == 1) expected |= uint64_t{1} << b, walked = 0;
    }
    ASSERT_EQ(LevelChangesInWord(high, low, &level), expected) << std::hex << high << " " << low;
    ASSERT_EQ(level, walked);
  }
}

// Raw samples of random half-waves: runs past the high threshold, past the low one and in
// between, of 1 to 150 frames, in the chosen channel of `channels`.
Bytes RandomSignal(int bytes, int channels, int64_t frames, std::mt19937& rng) {
  const int64_t full = int64_t{1} << (8 * bytes - 1);
  const int64_t high = static_cast<int64_t>(kThresholdFraction * static_cast<double>(full));
  Bytes out;
  while (static_cast<int64_t>(out.size()) < frames * bytes * channels) {
    const int64_t run = 1 + rng() % (rng() % 4 == 0 ? 150 : 20);
    const int kind = static_cast<int>(rng() % 3);
    for (int64_t i = 0; i < run; ++i) {
      for (int c = 0; c < channels; ++c) {
        // At, just past or short of a threshold, or anywhere in the other channels.
        int64_t v = kind == 0   ? high + static_cast<int64_t>(rng() % 3) - 1
                    : kind == 1 ? -high + static_cast<int64_t>(rng() % 3) - 1
                                : static_cast<int64_t>(rng() % (2 * high)) - high + 1;
        if (c != 0) v = static_cast<int64_t>(rng() % (2 * full)) - full;
        if (bytes == 1) v += kUnsignedCentre;
        for (int b = 0; b < bytes; ++b) out.push_back(static_cast<unsigned char>(v >> (8 * b)));
      }
    }
  }
  return out;
}

// A reader over raw samples, as CheckWav and the channel choice would leave it.
void SetRawFormat(TapeReader& tr, int bytes, int channels, int64_t channelOffset, int level) {
  tr.bitsPerSample = static_cast<int16_t>(8 * bytes);
  tr.channelCount = static_cast<int16_t>(channels);
  tr.sampleCoding = kIntegerSamples;
  tr.highThreshold = IntegerThreshold(8 * bytes);
  tr.lowThreshold = -tr.highThreshold;
  if (bytes == 1) {
    tr.highThreshold += kUnsignedCentre;
    tr.lowThreshold += kUnsignedCentre;
  }
  tr.level = level;
  StreamSeek(tr.input, channelOffset);
}

// The vector scan and the plain one measure the same half-waves, across refills and the steps
// back the decoder makes, for every width and frame the vector scan takes (and one it leaves
// to the plain scan).
TEST(LevelScan, VectorAndPlainScansMeasureTheSameHalfWaves) {
#if defined(TONEGRAB_HAVE_AVX2_SCAN)
  if (!__builtin_cpu_supports("avx2")) GTEST_SKIP() << "no AVX2 on this processor";
  std::mt19937 rng(1200);
  for (const int bytes : {1, 2, 4}) {
    for (const int channels : {1, 2, 3}) {
      const int64_t frames = 3 * kInputBufferSize / (bytes * channels) + 999;
      const Bytes signal = RandomSignal(bytes, channels, frames, rng);
      const int64_t frameBytes = bytes * channels;
      auto plain = std::make_unique<FileReader>(signal);
      auto vector = std::make_unique<FileReader>(signal);
      TapeReader& a = plain->tr;
      TapeReader& b = vector->tr;
      // The chosen channel is the first; a second channel's offset puts it elsewhere in the frame.
      const int64_t offset = channels > 1 ? bytes : 0;
      SetRawFormat(a, bytes, channels, offset, 0);
      SetRawFormat(b, bytes, channels, offset, 0);
      int64_t halfWaves = 0;
      // Up to the last long run, so that no scan meets the end of the input.
      while (StreamTell(a.input) < static_cast<int64_t>(signal.size()) - 400 * frameBytes) {
        int64_t na = 0, nb = 0;
        switch (bytes) {
          case 1:
            na = SamplesToLevelChange<1, kIntegerSamples, kScanPlain>(a);
            nb = SamplesToLevelChange<1, kIntegerSamples, kScanAvx2>(b);
            break;
          case 2:
            na = SamplesToLevelChange<2, kIntegerSamples, kScanPlain>(a);
            nb = SamplesToLevelChange<2, kIntegerSamples, kScanAvx2>(b);
            break;
          default:
            na = SamplesToLevelChange<4, kIntegerSamples, kScanPlain>(a);
            nb = SamplesToLevelChange<4, kIntegerSamples, kScanAvx2>(b);
        }
        ++halfWaves;
        ASSERT_EQ(na, nb) << bytes << " bytes, " << channels << " channels, half-wave "
                          << halfWaves;
        ASSERT_EQ(StreamTell(a.input), StreamTell(b.input));
        ASSERT_EQ(a.level, b.level);
        if (rng() % 50 == 0) {  // a step back into what was read, as Rew makes
          const int64_t back = static_cast<int64_t>(rng() % 60) * frameBytes;
          StreamSkip(a.input, -back);
          StreamSkip(b.input, -back);
        }
      }
      EXPECT_GT(halfWaves, 1000);
    }
  }
#else
  GTEST_SKIP() << "the vector scan is built for x86-64 only";
#endif
}

// The leader search as first written, one half-wave at a time through the plain scan, with the
// test and the sum in long double; after the lock, the same steps as the decoder's.
template <int kBytes>
int LeaderSearchOneByOne(TapeReader& tr) {
  float sum = 8.0f;
  int count = 1;
  while (count <= 200) {
    const int64_t n = SamplesToLevelChange<kBytes, kIntegerSamples, kScanPlain>(tr);
    const bool accepted = LeaderAcceptsExactly(sum, count, n);
    sum = accepted ? static_cast<float>(sum + static_cast<long double>(n)) : static_cast<float>(n);
    count = accepted ? count + 1 : 1;
  }
  tr.halfWaveLength = sum;
  tr.halfWaveLength /= 200;
  tr.bands = BandsFor(tr.halfWaveLength, tr.sampleRate);
  HalfWaveKind kind = kShortHalfWave;
  do {
    if (ReadHalfWave(tr, &kind)) return 1;
  } while (kind == kShortHalfWave);
  return Rew(tr);
}

// Half-waves of `length` frames (the level moved at their last frame), in the chosen channel.
void AppendHalfWaves(Bytes& out, int bytes, int channels, int64_t length, int count, int& level,
                     std::mt19937& rng, int jitter) {
  const int64_t full = int64_t{1} << (8 * bytes - 1);
  const int64_t high = static_cast<int64_t>(kThresholdFraction * static_cast<double>(full));
  for (int k = 0; k < count; ++k) {
    const int64_t n =
        std::max<int64_t>(1, length + (jitter ? rng() % (2 * jitter + 1) : 0) - jitter);
    level = 1 - level;
    for (int64_t i = 0; i < n; ++i) {
      for (int c = 0; c < channels; ++c) {
        int64_t v = c != 0      ? 0
                    : i + 1 < n ? static_cast<int64_t>(rng() % high) * (level ? -1 : 1)
                                : (level ? high + 1 : -high - 1);
        if (bytes == 1) v += kUnsignedCentre;
        for (int b = 0; b < bytes; ++b) out.push_back(static_cast<unsigned char>(v >> (8 * b)));
      }
    }
  }
}

// The search over the masks finds each leader where the search one half-wave at a time finds it,
// and leaves the stream, the level and the learnt length alike: through noise, runs that fall
// just short, leaders that straddle refills, for every width and frame the masks take (and
// three channels, which they do not), and with sums that outgrow the whole-number test.
TEST(LeaderSearch, SearchOverMasksFindsTheLeadersOneByOneFinds) {
  struct Case {
    int bytes, channels;
    int64_t leaderLength;  // frames per half-wave of a leader
    int jitter, leaders;
  };
  const Case cases[] = {{1, 1, 9, 1, 12},  {1, 2, 14, 3, 12},  {2, 1, 9, 0, 12},
                        {2, 2, 18, 3, 12}, {4, 1, 10, 2, 12},  {4, 2, 9, 1, 12},
                        {2, 3, 12, 2, 6},  {1, 1, 90001, 7, 1}};
  std::mt19937 rng(4800);
  for (const Case& c : cases) {
    Bytes signal;
    int level = 0;
    for (int l = 0; l < c.leaders; ++l) {
      AppendHalfWaves(signal, c.bytes, c.channels, 3, 30000 + static_cast<int>(rng() % 9000), level,
                      rng, 2);      // noise
      if (c.leaderLength < 1000) {  // one short of a lock
        AppendHalfWaves(signal, c.bytes, c.channels, c.leaderLength, 199, level, rng, c.jitter);
        AppendHalfWaves(signal, c.bytes, c.channels, 1, 1, level, rng, 0);
      }
      AppendHalfWaves(signal, c.bytes, c.channels, c.leaderLength, 260, level, rng, c.jitter);
      AppendHalfWaves(signal, c.bytes, c.channels, 2 * c.leaderLength, 3, level, rng, 0);
    }
    AppendHalfWaves(signal, c.bytes, c.channels, 7, 2000, level, rng, 3);
    auto one = std::make_unique<FileReader>(signal);
    auto masks = std::make_unique<FileReader>(signal);
    TapeReader& a = one->tr;
    TapeReader& b = masks->tr;
    for (TapeReader* tr : {&a, &b}) {
      SetRawFormat(*tr, c.bytes, c.channels, 0, 0);
      tr->sampleRate = c.leaderLength > 1000 ? 10000000 : 44100;
    }
    for (int l = 0; l < c.leaders; ++l) {
      int ra = 0;
      switch (c.bytes) {
        case 1:
          ra = LeaderSearchOneByOne<1>(a);
          break;
        case 2:
          ra = LeaderSearchOneByOne<2>(a);
          break;
        default:
          ra = LeaderSearchOneByOne<4>(a);
      }
      const int rb = Header(b);
      const std::string where = std::to_string(c.bytes) + " bytes, " + std::to_string(c.channels) +
                                " channels, leader " + std::to_string(l);
      ASSERT_EQ(ra, rb) << where;
      ASSERT_EQ(StreamTell(a.input), StreamTell(b.input)) << where;
      ASSERT_EQ(a.level, b.level) << where;
      ASSERT_EQ(a.halfWaveLength, b.halfWaveLength) << where;
      // 201 lengths over 200
      EXPECT_NEAR(a.halfWaveLength, c.leaderLength * 1.005, c.jitter + 0.5) << where;
    }
  }
}

}  // namespace

// ---- Takes combined, on the decoder's events as two takes would give them ----

namespace {

struct TakeCase {
  const char* name;
  std::vector<int> damaged1, damaged2;  // bytes each take could not decode (garbled there)
  std::vector<int> lost2;               // bytes the second take lost at a slip
  int wrong2;                           // a byte the second take decoded cleanly but wrongly; -1
  std::vector<int> damaged;             // what the combined block reports damaged
  int repaired;
};

constexpr int kTakeLength = 100;

uint8_t TapeByte(int i) {
  return static_cast<uint8_t>(i * 37 + 11);
}

// A take of the tape's block: each byte as an event, with the evidence of its bits.
Take MakeTake(const std::vector<int>& damaged, const std::vector<int>& lost, int wrong) {
  Take t;
  const auto has = [](const std::vector<int>& v, int i) {
    return std::find(v.begin(), v.end(), i) != v.end();
  };
  TakeKeep(t, RecoverEvent{kBlockStart, 0, 0, 1.0, 1.0, 1, 0, {}});
  for (int i = 0; i < kTakeLength; ++i) {
    if (has(lost, i)) continue;
    const bool bad = has(damaged, i);
    const uint8_t value = bad ? TapeByte(i) ^ 0x5A : i == wrong ? TapeByte(i) ^ 0x07 : TapeByte(i);
    RecoverEvent e{kBlockByte, bad, value, 1.0 + i * 0.01, 1.0 + (i + 1) * 0.01, 1, 0.9f, {}};
    for (int b = 0; b < 8; ++b)
      e.soft[b] = static_cast<int8_t>(((value >> b) & 1 ? 1 : -1) * (bad ? 10 : 100));
    TakeKeep(t, e);
  }
  TakeKeep(t, RecoverEvent{kBlockEnd, 0, 0, 1.0, 1.0 + kTakeLength * 0.01, 1, 0, {}});
  return t;
}

const TakeCase kTakeCases[] = {
    {"damage_apart", {70, 71, 72}, {10, 11, 12}, {}, -1, {}, 6},
    {"a_lost_byte", {70, 71, 72}, {10, 11, 12}, {50}, -1, {}, 6},
    {"damaged_in_both", {40}, {40}, {}, -1, {40}, 0},
    {"clean_but_different", {}, {}, {}, 30, {30}, 0},
};

void PrintTo(const TakeCase& c, std::ostream* os) {
  *os << c.name;
}

class TakesCombined : public testing::TestWithParam<TakeCase> {};

// Every byte of the block comes back in its place; damaged only where no take decoded it
// cleanly or clean takes differ; the bytes a take could not decode that the other gave, counted.
TEST_P(TakesCombined, EachByteFromTheTakesThatHoldIt) {
  const TakeCase& c = GetParam();
  Take takes[2] = {MakeTake(c.damaged1, {}, -1), MakeTake(c.damaged2, c.lost2, c.wrong2)};
  MergedTape tape;
  MergeTakes(takes, 2, &tape);
  ASSERT_EQ(tape.blocks.size(), 1u);
  const MergedBlock& b = tape.blocks[0];
  ASSERT_EQ(b.columns.size(), size_t{kTakeLength});
  std::vector<int> damaged;
  int repaired = 0;
  for (int i = 0; i < kTakeLength; ++i) {
    const CombinedByte byte = CombineByte(takes, tape, b, i);
    if (byte.damaged) damaged.push_back(i);
    repaired += byte.repaired;
    if (!byte.damaged) {
      EXPECT_EQ(byte.value, TapeByte(i)) << "byte " << i;
    }
    EXPECT_NEAR(byte.time, 1.0 + i * 0.01, 1e-6) << "byte " << i;
  }
  EXPECT_EQ(damaged, c.damaged);
  EXPECT_EQ(repaired, c.repaired);
}

INSTANTIATE_TEST_SUITE_P(Cases, TakesCombined, testing::ValuesIn(kTakeCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace

namespace {

// Three takes, one of them clean but wrong at a byte: the two that agree outvote it.
TEST(TakesCombinedThree, TwoCleanTakesOutvoteAThird) {
  Take takes[3] = {MakeTake({}, {}, -1), MakeTake({}, {}, 30), MakeTake({60}, {}, -1)};
  MergedTape tape;
  MergeTakes(takes, 3, &tape);
  ASSERT_EQ(tape.blocks.size(), 1u);
  int damaged = 0, repaired = 0;
  for (int i = 0; i < kTakeLength; ++i) {
    const CombinedByte byte = CombineByte(takes, tape, tape.blocks[0], i);
    EXPECT_EQ(byte.value, TapeByte(i)) << "byte " << i;
    damaged += byte.damaged;
    repaired += byte.repaired;
  }
  EXPECT_EQ(damaged, 0);
  EXPECT_EQ(repaired, 2);  // byte 30, which one take had wrong, and byte 60, damaged in one
}

}  // namespace
