// A tape side with --recover: worn recordings swept over the kinds of damage a side brings, a
// whole side in one file, and recordings that hold no block at all.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <set>
#include <string>

#include "tests/support/listing.h"
#include "tests/support/run.h"
#include "tests/support/synth.h"

namespace {

using synth::Bytes;

std::string Masked(const std::string& text) {
  static const std::regex time(R"(\d+:\d\d:\d\d\.\d\d\d)"), speed(R"([+-]\d+\.\d %)");
  return std::regex_replace(std::regex_replace(text, time, "T"), speed, "S");
}

class TapeSide : public testing::Test {
 protected:
  RunResult Tonegrab(std::vector<std::string> args) {
    args.insert(args.begin(), {TONEGRAB_BIN, "--recover", "-y"});
    RunResult r = ::Run(args, "", dir.path());
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.signal, 0);
    return r;
  }
  // A quiet run that wrote exactly these blocks, to b.bin, b-2.bin, ...: its whole console text,
  // its status and every file.
  void ExpectExactly(const RunResult& r, const std::vector<Bytes>& blocks) const {
    std::string expected;
    for (size_t i = 0; i < blocks.size(); ++i) {
      const std::string name = i == 0 ? "b.bin" : "b-" + std::to_string(i + 1) + ".bin";
      expected +=
          name + ": T-T, " + std::to_string(blocks[i].size()) + " bytes, 0 damaged, speed S\n";
      EXPECT_EQ(ReadFile(dir / name), blocks[i]) << name;
    }
    EXPECT_EQ(Masked(r.out), expected);
    EXPECT_EQ(r.status, 0);
  }
  std::set<std::string> Files() const {
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir.path()))
      names.insert(e.path().filename());
    return names;
  }
  TempDir dir;
};

// ---- Worn recordings: what is reported is what is wrong ----

struct Worn {
  const char* name;
  void (*impair)(synth::Options&);
  double speed;  // the tape's mean speed against nominal, where it is steady; 0 where it is not
};

void PrintTo(const Worn& w, std::ostream* os) {
  *os << w.name;
}

const Worn kSweep[] = {
    {"noise_2dB", [](synth::Options& o) { o.snr = 2; }, 1},
    {"slow_noisy", [](synth::Options& o) { o.speed = 0.93, o.snr = 8; }, 0.93},
    {"fast_hum", [](synth::Options& o) { o.speed = 1.12, o.amplitude = 0.3, o.hum = 3; }, 1.12},
    {"dropout",
     [](synth::Options& o) {
       o.snr = 30, o.dips = {{1.3, 0.02, -50}};
     },
     1},
    {"dropout_in_noise",
     [](synth::Options& o) {
       o.snr = 3, o.dips = {{1.5, 0.02, -60}, {2.2, 0.02, -60}};
     },
     1},
    {"clicks",
     [](synth::Options& o) {
       o.snr = 20, o.clicks = {10, 0.0003, 0.95};
     },
     1},
    {"clicks_quiet_tape",
     [](synth::Options& o) {
       o.amplitude = 0.2, o.clicks = {10, 0.0003, 0.95};
     },
     1},
    {"wow_8Hz",
     [](synth::Options& o) {
       o.wow = {0.07, 8};
     },
     0},
    {"flutter_30Hz",
     [](synth::Options& o) {
       o.flutter = {0.04, 30};
     },
     0},
    {"motor_step",
     [](synth::Options& o) {
       o.steps = {{1.2, 0.93}}, o.snr = 10;
     },
     0},
    {"idle_line",
     [](synth::Options& o) {
       o.idle = {8, 0.3}, o.snr = 10;
     },
     1},
    {"rate_11025", [](synth::Options& o) { o.rate = 11025, o.snr = 6; }, 1},
    {"rate_8000", [](synth::Options& o) { o.rate = 8000, o.snr = 8; }, 1},
};

class Sweep : public TapeSide, public testing::WithParamInterface<Worn> {};

// Every byte of the block file that differs from what was recorded is in the label track as
// damaged, and no more than a few are; the file has the block's length; the summary's speed is
// the recording's.
TEST_P(Sweep, ReportsExactlyWhatItCouldNotRead) {
  for (uint64_t seed : {1, 2}) {
    synth::Options o;
    o.seed = seed;
    GetParam().impair(o);
    const Bytes payload = synth::RandomBytes(256, seed + 40);
    WriteFile(dir / "in.wav", synth::Wav(payload, o));
    const RunResult r = Tonegrab({"-q", "--labels=l.txt", "in.wav", "out.bin"});
    SCOPED_TRACE("seed " + std::to_string(seed) + "\n" + r.out + r.err);
    const Bytes out = ReadFile(dir / "out.bin");
    ASSERT_EQ(out.size(), payload.size());
    const Bytes labels = ReadFile(dir / "l.txt");
    const std::string text(labels.begin(), labels.end());
    std::set<size_t> damaged;
    const std::regex line(R"(block 1 byte 0x([0-9A-F]{4}) damaged)");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), line);
         it != std::sregex_iterator(); ++it)
      damaged.insert(std::stoul((*it)[1], nullptr, 16));
    for (size_t i = 0; i < out.size(); ++i) {
      if (out[i] != payload[i]) {
        EXPECT_TRUE(damaged.count(i)) << "byte " << i << " unreported";
      }
    }
    EXPECT_LE(damaged.size(), 8u);
    EXPECT_EQ(r.status, damaged.empty() ? 0 : 2);
    if (GetParam().speed != 0) {
      std::smatch m;
      ASSERT_TRUE(std::regex_search(r.out, m, std::regex(R"(speed ([+-]\d+\.\d) %)")));
      EXPECT_NEAR(1 + std::stod(m[1]) / 100, GetParam().speed, 0.005);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Recordings, Sweep, testing::ValuesIn(kSweep),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- A side in one file ----

// Three blocks of their own bytes: voice before the first, a short gap and a short leader
// before the second, a long gap before the third, idle line in all of them. Each comes out as
// its own file, exactly, with the whole console text of a clean run.
TEST_F(TapeSide, EveryBlockToItsOwnFileAndNothingElse) {
  synth::Options o;
  o.blocks = 3, o.distinctBlocks = true;
  o.gaps = {0.15, 1.6};
  o.leaders = {600, 50, 300};
  o.voiceBefore = 1.5;
  o.idle = {6, 0.2};
  o.snr = 20;
  const Bytes first = synth::RandomBytes(48, 21);
  WriteFile(dir / "side.wav", synth::Wav(first, o));
  const std::vector<Bytes> blocks = synth::BlockPayloads(first, o);
  ASSERT_EQ(blocks.size(), 3u);

  const RunResult r = Tonegrab({"side.wav", "tape.bin"});
  const char* names[] = {"tape.bin", "tape-2.bin", "tape-3.bin"};
  std::string expected = "\n", summary;
  for (size_t i = 0; i < blocks.size(); ++i) {
    expected += "Block " + std::to_string(i + 1) + ": \"" + names[i] + "\" from T\n" +
                ExpectedListing(blocks[i]) + "\n";
    summary += std::string(names[i]) + ": T-T, 48 bytes, 0 damaged, speed S\n";
  }
  EXPECT_EQ(Masked(r.out), expected + summary);
  EXPECT_EQ(r.status, 0);
  for (size_t i = 0; i < blocks.size(); ++i) EXPECT_EQ(ReadFile(dir / names[i]), blocks[i]);
  EXPECT_EQ(Files(), (std::set<std::string>{"side.wav", "tape.bin", "tape-2.bin", "tape-3.bin"}));
}

// Gaps around the longest the frames are held through, in silence and in noise, with leaders
// long and short: every block comes out whole, from its first byte, as its own file. What
// follows a gap must be found from the frame where the block ended, not from the bits already
// decoded past it; a short leader after a noisy gap is followed at its own level, not at that
// of a noise bit that read as its first mark.
TEST_F(TapeSide, EveryBlockWholeAfterAnyGap) {
  struct Case {
    double gap;
    int leader;  // of the blocks after the first
    double snr;  // 0: none
  };
  const Case cases[] = {{2.2, 400, 0},  {2.4, 400, 0},  {2.5, 400, 0}, {2.7, 400, 0},
                        {2.4, 400, 10}, {2.6, 400, 10}, {3.5, 200, 8}, {0.8, 50, 12},
                        {1.2, 50, 12},  {1.6, 50, 12},  {2.0, 50, 12}};
  for (const Case& c : cases) {
    for (uint64_t seed : {3, 4}) {
      synth::Options o;
      o.seed = seed;
      o.blocks = 3, o.distinctBlocks = true;
      o.gaps = {c.gap};
      o.leaders = {400, c.leader};
      if (c.snr != 0) o.snr = c.snr;
      const Bytes first = synth::RandomBytes(120, seed);
      WriteFile(dir / "side.wav", synth::Wav(first, o));
      const std::vector<Bytes> blocks = synth::BlockPayloads(first, o);
      const RunResult r = Tonegrab({"-q", "side.wav", "b.bin"});
      SCOPED_TRACE("gap " + std::to_string(c.gap) + " leader " + std::to_string(c.leader) +
                   " snr " + std::to_string(c.snr) + " seed " + std::to_string(seed) + "\n" +
                   r.out);
      ExpectExactly(r, blocks);
      EXPECT_EQ(Files(), (std::set<std::string>{"side.wav", "b.bin", "b-2.bin", "b-3.bin"}));
      for (const char* name : {"b.bin", "b-2.bin", "b-3.bin"}) std::filesystem::remove(dir / name);
    }
  }
}

// Clicks as loud as the signal, some turning a half-cycle of a tone over: idle line between the
// frames stays idle line through them (no byte is made of it), and a side of three blocks comes
// out as exactly its blocks.
TEST_F(TapeSide, ClicksInIdleLineMakeNoBytes) {
  for (uint64_t seed : {1, 2, 4}) {
    synth::Options o;
    o.seed = seed;
    o.blocks = 3, o.distinctBlocks = true;
    o.gaps = {0.3};
    o.amplitude = 0.5;
    o.idle = {8, 0.2};
    o.clicks = {8, 0.2e-3, 0.95};
    const Bytes first = synth::RandomBytes(120, seed);
    WriteFile(dir / "side.wav", synth::Wav(first, o));
    const std::vector<Bytes> blocks = synth::BlockPayloads(first, o);
    const RunResult r = Tonegrab({"-q", "side.wav", "b.bin"});
    SCOPED_TRACE("seed " + std::to_string(seed) + "\n" + r.out);
    ExpectExactly(r, blocks);
  }
}

// Clicks that spoil a bit where the tape was clean, with flutter moving the tones: every byte
// that differs from what was recorded is reported damaged.
TEST_F(TapeSide, ClicksThatSpoilABitAreReported) {
  for (uint64_t seed : {1, 6}) {
    synth::Options o;
    o.seed = seed;
    o.blocks = 3, o.distinctBlocks = true;
    o.gaps = {0.3};
    o.amplitude = 0.5;
    o.clicks = {8, 0.2e-3, 0.95};
    o.flutter = {0.03, 20};
    const Bytes first = synth::RandomBytes(200, seed);
    WriteFile(dir / "side.wav", synth::Wav(first, o));
    const std::vector<Bytes> blocks = synth::BlockPayloads(first, o);
    const RunResult r = Tonegrab({"-q", "--labels=l.txt", "side.wav", "b.bin"});
    SCOPED_TRACE("seed " + std::to_string(seed) + "\n" + r.out);
    const Bytes labels = ReadFile(dir / "l.txt");
    const std::string text(labels.begin(), labels.end());
    const char* names[] = {"b.bin", "b-2.bin", "b-3.bin"};
    bool anyDamaged = false;
    for (size_t b = 0; b < blocks.size(); ++b) {
      const Bytes out = ReadFile(dir / names[b]);
      ASSERT_EQ(out.size(), blocks[b].size()) << names[b];
      for (size_t i = 0; i < out.size(); ++i) {
        char label[48];
        std::snprintf(label, sizeof label, "block %zu byte 0x%04zX damaged", b + 1, i);
        const bool damaged = text.find(label) != std::string::npos;
        anyDamaged = anyDamaged || damaged;
        if (out[i] != blocks[b][i]) {
          EXPECT_TRUE(damaged) << names[b] << " byte " << i;
        }
      }
    }
    EXPECT_EQ(r.status, anyDamaged ? 2 : 0);
  }
}

// ---- Nothing to find ----

struct Empty {
  const char* name;
  void (*make)(synth::Options&);
};

void PrintTo(const Empty& e, std::ostream* os) {
  *os << e.name;
}

const Empty kEmpty[] = {
    {"white_noise", [](synth::Options& o) { o.snr = 0; }},
    {"tone_1000Hz", [](synth::Options& o) { o.tone = 1000; }},
    {"tone_2400Hz", [](synth::Options& o) { o.tone = 2400; }},
    {"voice", [](synth::Options& o) { o.voiceBefore = 8, o.amplitude = 0.5; }},
};

// A recording of `seconds` without data: the impairments of `o` alone.
Bytes BlankWav(const synth::Options& o, double seconds) {
  Bytes samples;
  const std::string pattern = o.voiceBefore > 0 ? synth::Pattern({}, o) : synth::Blank(seconds);
  synth::Render(pattern, o,
                [&](const uint8_t* p, size_t n) { samples.insert(samples.end(), p, p + n); });
  Bytes wav = synth::WavHeader(synth::Format::Of(o), samples.size());
  wav.insert(wav.end(), samples.begin(), samples.end());
  return wav;
}

class Nothing : public TapeSide, public testing::WithParamInterface<Empty> {};

// No block, no file: the existing output is kept as it was.
TEST_P(Nothing, OpensNoBlockAndTouchesNoFile) {
  synth::Options o;
  o.leader = 0;
  GetParam().make(o);
  WriteFile(dir / "in.wav", BlankWav(o, 10));
  WriteFile(dir / "out.bin", Bytes{7, 7, 7});
  const RunResult r = Tonegrab({"in.wav"});
  EXPECT_EQ(r.out, "\n\tNo signal found in \"in.wav\"\n\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(ReadFile(dir / "out.bin"), (Bytes{7, 7, 7}));
  EXPECT_EQ(Files(), (std::set<std::string>{"in.wav", "out.bin"}));
}

INSTANTIATE_TEST_SUITE_P(Recordings, Nothing, testing::ValuesIn(kEmpty),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
