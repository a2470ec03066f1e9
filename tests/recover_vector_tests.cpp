// The recovery decoder's vector steps against its plain ones, number for number: this suite
// runs with TONEGRAB_SCAN=plain (tests/CMakeLists.txt), so that Window and Decimate take the
// plain code, and calls the vector code directly where the processor has it.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "decoder/level_scan.h"
#include "recover/recover.h"
#include "recover/stages.h"
#include "recover/window_parts.h"
#include "recover/window_vectors.h"

namespace {

bool HaveAvx2() {
#if defined(__x86_64__)
  return __builtin_cpu_supports("avx2");
#else
  return false;
#endif
}

bool Same(double a, double b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

Recover decoder;  // large: not on the stack

TEST(VectorSteps, RunWithThePlainVariant) {
  EXPECT_EQ(scanVariant, kScanPlain);
}

// Windows of every length the speeds followed allow, at any phase, over the whole ring (its end
// included, where a window's samples wrap round), at rates from the lowest to the highest the
// decoder works at after decimation.
TEST(VectorSteps, WindowsGiveTheSameNumbers) {
#if defined(TONEGRAB_HAVE_AVX2_SCAN)
  if (!HaveAvx2()) GTEST_SKIP() << "no AVX2 here";
  std::mt19937_64 random(3);
  std::uniform_real_distribution<float> sample(-1, 1);
  for (const double rate : {8000.0, 11025.0, 16000.0, 22049.0}) {
    ASSERT_EQ(RecoverInit(decoder, rate), 0);
    for (float& s : decoder.ring) s = sample(random);
    decoder.written = 3 * kRecoverRing;
    std::uniform_real_distribution<double> length(decoder.shortestBit, decoder.longestBit);
    std::uniform_real_distribution<double> start(2 * kRecoverRing + 1, 3 * kRecoverRing - 64);
    int differ = 0;
    for (int i = 0; i < 20000; ++i) {
      recovery::SetBitLength(decoder, length(random));
      const double at = i % 8 == 0 ? 3 * kRecoverRing - 40 + 0.37 * (i % 64) : start(random);
      const recovery::Tones a = recovery::Window(decoder, at, decoder.bitLength);
      const recovery::Tones b = recovery::WindowAvx2(decoder, at, decoder.bitLength);
      differ +=
          !Same(a.re0, b.re0) || !Same(a.im0, b.im0) || !Same(a.re1, b.re1) || !Same(a.im1, b.im1);
    }
    EXPECT_EQ(differ, 0) << rate << " Hz";
  }
#else
  GTEST_SKIP() << "no vector variant on this processor";
#endif
}

// Decimation by 2 and by 4 (the outputs of one push that lie wholly in it: those the vector code
// takes on).
TEST(VectorSteps, DecimatorGivesTheSameNumbers) {
#if defined(__x86_64__)
  if (!HaveAvx2()) GTEST_SKIP() << "no AVX2 here";
  std::mt19937_64 random(5);
  std::uniform_real_distribution<float> sample(-1, 1);
  std::vector<float> in(20000);
  for (float& s : in) s = sample(random);
  for (const int factor : {2, 4}) {
    Decimator d;
    DecimatorInit(d, factor);
    std::vector<float> plain(in.size()), vector(in.size());
    const int64_t made = Decimate(d, in.data(), static_cast<int64_t>(in.size()), plain.data());
    const int64_t outputs = (static_cast<int64_t>(in.size()) - d.taps) / factor + 1;
    ASSERT_EQ(made, outputs);
    const int64_t vectored = DecimateAvx2(d, in.data(), outputs, vector.data());
    EXPECT_EQ(vectored, outputs / 8 * 8);
    EXPECT_EQ(std::memcmp(plain.data(), vector.data(), vectored * sizeof(float)), 0)
        << "factor " << factor;
  }
#else
  GTEST_SKIP() << "no vector variant on this processor";
#endif
}

}  // namespace
