// The synthesizer's tape-side extras: what the benchmark scores against must be what is rendered.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "tests/support/synth.h"

namespace {

using synth::Bytes;

// The blocks a half-wave pattern carries, read back from the pattern itself.
struct Parsed {
  std::vector<Bytes> blocks;
  std::vector<size_t> leaders, gaps;  // half-waves; silent units between blocks
  size_t idleBits = 0, longestIdle = 0;
};

size_t RunOf(const std::string& p, size_t i, char c) {
  return std::min(p.find_first_not_of(c, i), p.size()) - i;
}

Parsed Parse(const std::string& p) {
  Parsed r;
  size_t silence = 0;
  for (size_t i = 0; i < p.size();) {
    if (p[i] != 'S') {
      silence += p[i] == '_' || p[i] == 'v';
      ++i;
      continue;
    }
    const size_t run = RunOf(p, i, 'S');
    i += run;
    if (i >= p.size() || p[i] != 'L') continue;  // the idle end of a block
    if (!r.blocks.empty()) r.gaps.push_back(silence);
    r.leaders.push_back(run), r.blocks.emplace_back(), silence = 0;
    while (p.compare(i, 2, "LL") == 0) {  // a start bit
      unsigned frame = 0;
      i += 2;
      for (int bit = 1; bit < 11; ++bit) {
        const bool one = p.compare(i, 4, "SSSS") == 0;
        frame |= unsigned(one) << bit, i += one ? 4 : 2;
      }
      r.blocks.back().push_back(uint8_t(frame >> 1));
      const size_t idle = RunOf(p, i, 'S');
      if (i + idle < p.size() && p[i + idle] == 'L') {
        EXPECT_EQ(idle % 4, 0u) << "at unit " << i;
        r.idleBits += idle / 4, r.longestIdle = std::max(r.longestIdle, idle / 4);
        i += idle;
      }
    }
  }
  return r;
}

TEST(SynthTapeSide, PatternCarriesEachBlocksPayloadLeaderAndGap) {
  synth::Options o;
  o.blocks = 4, o.distinctBlocks = true, o.leaders = {100, 2000, 50}, o.gaps = {1.5, 0.15};
  o.voiceBetween = 0.5, o.thump = -6, o.idle = {8, 0.3};
  const Bytes payload = synth::RandomBytes(60, 5);
  const std::vector<Bytes> blocks = synth::BlockPayloads(payload, o);
  ASSERT_EQ(blocks.size(), 4u);
  EXPECT_EQ(blocks[0], payload);
  EXPECT_NE(blocks[1], payload);
  EXPECT_NE(blocks[2], blocks[1]);
  const std::string p = synth::Pattern(payload, o);
  const Parsed r = Parse(p);
  EXPECT_EQ(r.blocks, blocks);
  EXPECT_EQ(r.leaders, (std::vector<size_t>{100, 2000, 50, 50}));
  EXPECT_EQ(r.gaps, (std::vector<size_t>{7200, 720, 720}));
  // Voice: the middle 0.5 s of the long gap, the whole of the short ones; a thump per leader.
  EXPECT_NE(p.find(std::string(2400, '_') + std::string(2400, 'v') + std::string(2400, '_')),
            std::string::npos);
  EXPECT_EQ(std::count(p.begin(), p.end(), 'v'), 2400 + 2 * 720);
  EXPECT_EQ(std::count(p.begin(), p.end(), '*'), 4);
  // Idle bits only lengthen the pattern, by 4 units each.
  EXPECT_GT(r.idleBits, 20u);
  EXPECT_LE(r.longestIdle, 8u);
  synth::Options plain = o;
  plain.idle = {};
  EXPECT_EQ(p.size(), synth::Pattern(payload, plain).size() + 4 * r.idleBits);
}

// Speed steps: the time the tape takes, piece by piece.
TEST(SynthTapeSide, SpeedStepsChangeTheDuration) {
  synth::Options o;
  o.leadIn = 0, o.leader = 4799, o.tail = synth::Tail::kSilence, o.tailLength = 0;  // 1 s of tape
  o.rate = 48000, o.steps = {{0.25, 2}, {0.5, 0.5}};
  // 0.25 s at speed 1, 0.25 s at 2 (0.5 s of tape), then the last 0.25 s of tape at 1.
  EXPECT_NEAR(double(synth::Samples(Bytes{}, o).size()) / 2, 0.75 * 48000, 1);
  o.steps = {{0.5, 0.8}};  // 0.5 s, then 0.5 s of tape at 0.8
  EXPECT_NEAR(double(synth::Samples(Bytes{}, o).size()) / 2, (0.5 + 0.5 / 0.8) * 48000, 1);
}

std::vector<double> Levels(const std::string& pattern, const synth::Options& o) {
  std::vector<double> v;
  synth::Render(pattern, o, [&](const uint8_t* p, size_t n) {
    for (size_t i = 0; i + 1 < n; i += 2) v.push_back(int16_t(p[i] | p[i + 1] << 8) / 32767.0);
  });
  return v;
}

double Peak(const std::vector<double>& v, size_t from, size_t to) {
  double m = 0;
  for (size_t i = from; i < to; ++i) m = std::max(m, std::abs(v[i]));
  return m;
}

// Voice, thump and clicks at the levels and rates asked for.
TEST(SynthTapeSide, AddedSoundsHaveTheirLevels) {
  synth::Options o;
  o.voiceDb = -6, o.thump = -3;
  const double voice = o.amplitude * std::pow(10, -6 / 20.0);
  const std::vector<double> v = Levels(std::string(4 * 4800, 'v'), o);  // 4 s
  EXPECT_NEAR(Peak(v, 0, v.size()), voice, 0.01);
  size_t silent = 0;  // pauses between syllables: silent 10 ms stretches
  for (size_t i = 0; i + 441 <= v.size(); i += 441) silent += Peak(v, i, i + 441) == 0;
  EXPECT_GT(silent, 40u);
  EXPECT_LT(silent, 200u);

  o.voiceDb = 0;
  std::string thumpAlone = synth::Blank(1);
  thumpAlone.insert(thumpAlone.begin(), '*');
  const std::vector<double> t = Levels(thumpAlone, o);
  const double thump = o.amplitude * std::pow(10, -3 / 20.0);
  EXPECT_NEAR(Peak(t, 0, 441), thump, 0.02);         // a sharp onset
  EXPECT_LT(Peak(t, 30000, t.size()), 0.3 * thump);  // decayed
  size_t crossings = 0;                              // 40-80 Hz: 8 to 16 in 0.1 s
  for (size_t i = 1; i < 4410; ++i) crossings += (t[i - 1] < 0) != (t[i] < 0);
  EXPECT_GE(crossings, 8u);
  EXPECT_LE(crossings, 17u);

  o.thump = -std::numeric_limits<double>::infinity(), o.clicks = {8, 0.0002, 0.9};
  const std::vector<double> c = Levels(synth::Blank(20), o);
  size_t clicks = 0;
  for (size_t i = 0; i < c.size();) {
    if (c[i] == 0) {
      ++i;
      continue;
    }
    const size_t from = i;
    while (i < c.size() && c[i] != 0) ++i;
    EXPECT_LE(i - from, 9u);  // 0.2 ms
    EXPECT_NEAR(Peak(c, from, i), 0.9 * 0.925, 0.08);
    ++clicks;
  }
  EXPECT_GT(clicks, 130u);  // 160 expected in 20 s; Poisson spread about 13
  EXPECT_LT(clicks, 190u);
}

std::vector<double> ChannelOf(const std::vector<double>& v, size_t c, size_t channels) {
  std::vector<double> out;
  for (size_t i = c; i < v.size(); i += channels) out.push_back(v[i]);
  return out;
}

double Mean(const std::vector<double>& a, const std::vector<double>& b) {  // of a * b
  double sum = 0;
  for (size_t i = 0; i < a.size(); ++i) sum += a[i] * b[i];
  return sum / double(a.size());
}

std::vector<double> Minus(std::vector<double> a, const std::vector<double>& b) {
  for (size_t i = 0; i < a.size(); ++i) a[i] -= b[i];
  return a;
}

// Copies: one tape on every channel, under each channel's own noise, polarity and delay.
TEST(SynthCopies, EachChannelCarriesTheSameTapeItsOwnWay) {
  synth::Options clean;
  clean.amplitude = 0.35;  // the noise at -3 dB seldom clips
  const std::string p = synth::Pattern(synth::RandomBytes(30, 3), clean);
  const std::vector<double> tape = Levels(p, clean);
  synth::Options one = clean;
  one.snr = -3;
  const std::vector<double> single = Levels(p, one);
  synth::Options o = clean;
  const double late = 10.5;  // samples
  o.copies = {{-3}, {clean.snr, false, true, late / o.rate}, {.noise = true}, {-3}};
  const std::vector<double> v = Levels(p, o);
  ASSERT_EQ(v.size(), 4 * (tape.size() + 11));  // the late copy's tape ends 11 samples later
  std::vector<double> ch[4];
  for (size_t c = 0; c < 4; ++c) ch[c] = ChannelOf(v, c, 4), ch[c].resize(tape.size());

  EXPECT_EQ(ch[0], single);  // the first copy: a single channel's recording, sample for sample
  // The late copy: inverted, and exactly between two samples: at every other sample of the tape
  // recorded at twice the rate.
  synth::Options twice = clean;
  twice.rate = 2 * o.rate;
  const std::vector<double> fine = Levels(p, twice);
  double off = 0;
  for (size_t k = 11; k < tape.size(); ++k)
    off = std::max(off, std::abs(ch[1][k] + fine[2 * k - 21]));
  EXPECT_LE(off, 1.5 / 32767);  // a step of quantization at most
  EXPECT_EQ(Peak(ch[1], 0, 10), 0);

  const double noise = 0.35 * 0.35 / 2 * std::pow(10, 0.3);
  EXPECT_NEAR(Mean(ch[2], ch[2]), noise, 0.05 * noise);  // noise alone, as loud as the first's
  EXPECT_NEAR(Mean(ch[2], tape), 0, 0.05 * Mean(tape, tape));
  const std::vector<double> n0 = Minus(ch[0], tape), n3 = Minus(ch[3], tape);
  EXPECT_NEAR(Mean(n3, n3), noise, 0.05 * noise);  // the last copy: its own noise, unrelated
  EXPECT_NEAR(Mean(n0, n3), 0, 0.05 * noise);

  one.noiseSeed = one.seed;  // another capture's noise only when the seed differs
  EXPECT_EQ(Levels(p, one), single);
  one.noiseSeed = 2;
  const std::vector<double> other = Levels(p, one), n = Minus(other, tape);
  EXPECT_NEAR(Mean(Minus(single, tape), n), 0, 0.05 * noise);
}

}  // namespace
