// Unit tests of the arithmetic, the detector and the input stream, on real temporary files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "audio/samples.h"
#include "decoder/half_wave.h"
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

// Random moves over a file several buffers long, forwards and backwards, across refills: every
// byte read must be the file's byte at that position.
TEST(InputStream, ServesEveryPositionAcrossRefills) {
  const int64_t size = 3 * kInputBufferSize + 123;
  Bytes bytes(static_cast<size_t>(size));
  std::mt19937 rng(7);
  for (auto& b : bytes) b = static_cast<unsigned char>(rng());
  FileReader f(bytes);
  InputStream& in = f.tr.input;
  for (int i = 0; i < 20000; ++i) {
    const int64_t step = static_cast<int64_t>(rng() % (2 * kInputKeepBehind)) - kInputKeepBehind;
    if (i % 500 == 0) {
      StreamSeek(in, static_cast<int64_t>(rng() % (size + 10)));
    } else if (!StreamSkip(in, step)) {
      EXPECT_LT(StreamTell(in) + step, 0);
    }
    const int64_t pos = StreamTell(in);
    const int c = StreamGet(in);
    ASSERT_EQ(c, pos < size ? bytes[static_cast<size_t>(pos)] : -1) << "at " << pos;
  }
}

}  // namespace
