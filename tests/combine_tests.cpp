// Beyond one recording: -c all combines the channels, --take combines further captures. Each
// case is one that a single recording cannot decode, or one where combining must cost nothing.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "tests/support/listing.h"
#include "tests/support/run.h"
#include "tests/support/synth.h"

namespace {

using synth::Bytes;

std::string Masked(const std::string& text) {
  static const std::regex time(R"(\d+:\d\d:\d\d\.\d\d\d)"), speed(R"([+-]\d+\.\d %)"),
      repaired(R"(\d+ bytes? repaired)");
  return std::regex_replace(std::regex_replace(std::regex_replace(text, time, "T"), speed, "S"),
                            repaired, "N repaired");
}

class Combine : public testing::Test {
 protected:
  RunResult Tonegrab(std::vector<std::string> args) {
    args.insert(args.begin(), {TONEGRAB_BIN, "--recover", "-y"});
    RunResult r = ::Run(args, "", dir.path(), 60);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.signal, 0);
    return r;
  }
  // The bytes the run wrote to out.bin, after a run with `args`.
  Bytes Decoded(std::vector<std::string> args) {
    args.push_back("out.bin");
    Tonegrab(args);
    return ReadFile(dir / "out.bin");
  }
  TempDir dir;
};

synth::Copy Copy(double snr, bool invert = false, double delayMs = 0) {
  synth::Copy c;
  c.snr = snr, c.invert = invert, c.delay = delayMs / 1000;
  return c;
}

synth::Copy Noise() {
  synth::Copy c;
  c.noise = true;
  return c;
}

// ---- Channels ----

struct Channels {
  const char* name;
  std::vector<synth::Copy> copies;
  bool eachAloneShort;  // no channel alone gives every byte on every seed
  bool inverted;        // what -v is to tell of channel 2
  double delayMs;
};

void PrintTo(const Channels& c, std::ostream* os) {
  *os << c.name;
}

const Channels kChannels[] = {
    {"both_noisy", {Copy(-2), Copy(-3)}, true, false, 0},
    {"inverted_and_late", {Copy(-2), Copy(-2, true, 0.4)}, true, true, 0.4},
    {"one_dead", {Copy(6), Noise()}, false, false, 0},
    {"late_beyond_reach", {Copy(3), Copy(3, false, 1.5)}, false, false, 0},
};

class ChannelMix : public Combine, public testing::WithParamInterface<Channels> {};

// -c all gives every byte, clean, where the channels alone do not; -v tells how channel 2 was
// turned and moved; a channel without the signal changes nothing, the whole text included.
TEST_P(ChannelMix, EveryByteFromTheChannelsTogether) {
  const Channels& p = GetParam();
  bool someAloneShort = false;
  for (uint64_t seed : {1, 2}) {
    synth::Options o;
    o.seed = seed, o.leader = 4800, o.copies = p.copies;
    const Bytes payload = synth::RandomBytes(256, seed + 60);
    WriteFile(dir / "in.wav", synth::Wav(payload, o));
    SCOPED_TRACE("seed " + std::to_string(seed));
    const RunResult all = Tonegrab({"-v", "-c", "all", "in.wav", "out.bin"});
    EXPECT_EQ(ReadFile(dir / "out.bin"), payload) << all.out << all.err;
    EXPECT_EQ(all.status, 0) << all.out;
    if (p.copies[1].noise || p.copies[1].delay > 0.001) {
      EXPECT_NE(all.err.find("channel 2 left out: no signal in step with the others\n"),
                std::string::npos)
          << all.err;
      // A channel of noise alone changes nothing, not a millisecond; one out of step is left
      // out once its data shows it (its leader matched a cycle on).
      if (p.copies[1].noise) {
        const RunResult one = Tonegrab({"-v", "-c", "1", "in.wav", "one.bin"});
        EXPECT_EQ(one.out, std::regex_replace(all.out, std::regex("out\\.bin"), "one.bin"));
        EXPECT_EQ(one.status, all.status);
      }
      continue;
    }
    std::smatch m;
    ASSERT_TRUE(std::regex_search(
        all.err, m, std::regex(R"(channel 2 weight (\d\.\d\d), (\w+), delay ([+-]\d\.\d{3}) ms)")))
        << all.err;
    EXPECT_GT(std::stod(m[1]), 0.3);
    EXPECT_EQ(m[2], p.inverted ? "inverted" : "upright");
    EXPECT_NEAR(std::stod(m[3]), p.delayMs, 0.03);
    for (const char* channel : {"1", "2"})
      someAloneShort |= Decoded({"-q", "-c", channel, "in.wav"}) != payload;
  }
  if (p.eachAloneShort) {
    EXPECT_TRUE(someAloneShort) << "the case does not need combining";
  }
}

INSTANTIATE_TEST_SUITE_P(Recordings, ChannelMix, testing::ValuesIn(kChannels),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Combine, AllChannelsOnlyWithTheRecoveryDecoder) {
  const RunResult r = ::Run({TONEGRAB_BIN, "-c", "all", "in.wav"}, "", dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "tonegrab: -c all goes with --recover: without it, choose one channel\n"
            "Try \"tonegrab --help\".\n");
}

// ---- Takes ----

// A take of `payload`: its own noise, its own dropouts.
Bytes Take(const Bytes& payload, synth::Options o, uint64_t noiseSeed,
           std::vector<synth::Dip> dips) {
  o.noiseSeed = noiseSeed, o.dips = std::move(dips);
  return synth::Wav(payload, o);
}

// The WAV of `wav`'s samples from `seconds` on: a capture that began later.
Bytes From(const Bytes& wav, const synth::Options& o, double seconds) {
  const size_t frameBytes = size_t(o.bits / 8), header = 44;
  const size_t cut = header + size_t(seconds * o.rate) * frameBytes;
  Bytes out = synth::WavHeader(synth::Format::Of(o), wav.size() - cut);
  out.insert(out.end(), wav.begin() + long(cut), wav.end());
  return out;
}

struct Takes {
  const char* name;
  double snr;
  std::vector<synth::Dip> first, second;
  double speed, rate;  // the second take's
  bool invert;
  double leadIn;
};

void PrintTo(const Takes& t, std::ostream* os) {
  *os << t.name;
}

const Takes kTakes[] = {
    {"dropouts_apart", -1, {{1.3, 0.02, -60}}, {{2.2, 0.02, -60}}, 1, 44100, false, 0.05},
    {"faster_inverted_later", -1, {{1.5, 0.02, -60}}, {{2.6, 0.02, -60}}, 1.03, 48000, true, 0.75},
};

class TakeMix : public Combine, public testing::WithParamInterface<Takes> {};

// Two takes, each damaged where the other is not: every byte comes back, nothing is reported
// damaged, and the summary tells which takes hold the block and that bytes were repaired.
TEST_P(TakeMix, EachTakeRepairsTheOther) {
  const Takes& p = GetParam();
  for (uint64_t seed : {1, 2}) {
    synth::Options o;
    o.seed = seed, o.leader = 4800, o.snr = p.snr;
    const Bytes payload = synth::RandomBytes(256, seed + 80);
    WriteFile(dir / "a.wav", Take(payload, o, 10 + seed, p.first));
    synth::Options second = o;
    second.speed = p.speed, second.rate = int(p.rate), second.invert = p.invert;
    second.leadIn = p.leadIn;
    WriteFile(dir / "b.wav", Take(payload, second, 20 + seed, p.second));
    SCOPED_TRACE("seed " + std::to_string(seed));
    EXPECT_NE(Decoded({"-q", "a.wav"}), payload) << "the first take alone is whole";
    EXPECT_NE(Decoded({"-q", "b.wav"}), payload) << "the second take alone is whole";

    const RunResult r = Tonegrab({"a.wav", "--take", "b.wav", "out.bin"});
    EXPECT_EQ(ReadFile(dir / "out.bin"), payload);
    EXPECT_EQ(Masked(r.out), "\nBlock 1: \"out.bin\" from T\n" + ExpectedListing(payload) +
                                 "\nout.bin: T-T, 256 bytes, 0 damaged, speed S\n"
                                 "\tfound in takes 1, 2; N repaired from other takes\n");
    EXPECT_EQ(r.status, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Captures, TakeMix, testing::ValuesIn(kTakes),
                         [](const auto& info) { return std::string(info.param.name); });

// A side of three blocks, and a take that began after the first: the blocks are matched by
// their bytes, the first comes from the one take that has it, in its place, at its time in the
// input's clock; the other two are repaired from each other.
TEST_F(Combine, ATakeThatMissesABlock) {
  synth::Options o;
  o.blocks = 3, o.distinctBlocks = true, o.leaders = {2400}, o.gaps = {1.0}, o.snr = 4;
  const Bytes first = synth::RandomBytes(64, 5);
  const std::vector<Bytes> blocks = synth::BlockPayloads(first, o);
  const Bytes full = Take(first, o, 31, {{2.9, 0.02, -60}});
  const Bytes late = From(Take(first, o, 32, {{5.0, 0.02, -60}}), o, 1.6);
  for (const bool lateFirst : {false, true}) {
    WriteFile(dir / "full.wav", full);
    WriteFile(dir / "late.wav", late);
    const RunResult r = Tonegrab({"-q", lateFirst ? "late.wav" : "full.wav", "--take",
                                  lateFirst ? "full.wav" : "late.wav", "side.bin"});
    SCOPED_TRACE(r.out + r.err);
    EXPECT_EQ(ReadFile(dir / "side.bin"), blocks[0]);
    EXPECT_EQ(ReadFile(dir / "side-2.bin"), blocks[1]);
    EXPECT_EQ(ReadFile(dir / "side-3.bin"), blocks[2]);
    const std::string alone = lateFirst ? "2" : "1";
    EXPECT_EQ(Masked(r.out),
              "side.bin: T-T, 64 bytes, 0 damaged, speed S\n"
              "\tfound in take " +
                  alone +
                  "\n"
                  "side-2.bin: T-T, 64 bytes, 0 damaged, speed S\n"
                  "\tfound in takes 1, 2; N repaired from other takes\n"
                  "side-3.bin: T-T, 64 bytes, 0 damaged, speed S\n"
                  "\tfound in takes 1, 2; N repaired from other takes\n");
    // Block 1 in the input's clock: where it is, or, before the input began, at its start.
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.out, m, std::regex(R"(side\.bin: 0:00:0(\d\.\d{3}))")));
    if (lateFirst)
      EXPECT_EQ(m[1], "0.000");
    else
      EXPECT_NEAR(std::stod(m[1]), 0.05, 0.05);
    EXPECT_EQ(r.status, 0);
  }
}

}  // namespace

namespace {

// A take that cannot be combined ends the run before anything is decoded: the whole message,
// status 1, and the output as it was.
TEST_F(Combine, TakesThatCannotBeCombined) {
  synth::Options o;
  WriteFile(dir / "in.wav", synth::Wav(synth::RandomBytes(32, 3), o));
  WriteFile(dir / "notes.txt", Bytes{'h', 'i', '\n'});
  Bytes cut = synth::Wav(synth::RandomBytes(32, 3), o);
  cut.resize(30);
  WriteFile(dir / "cut.wav", cut);
  o.channels = 2;
  WriteFile(dir / "stereo.wav", synth::Wav(synth::RandomBytes(32, 3), o));
  struct Case {
    std::vector<std::string> args;
    std::string out, err;
  };
  const Case cases[] = {
      {{"in.wav", "--take", "gone.wav"},
       "\tError opening take \"gone.wav\"\n\n",
       "tonegrab: gone.wav: No such file or directory\n"},
      {{"in.wav", "--take", "notes.txt"},
       "\tCannot combine take \"notes.txt\": it is not a recording\n\n",
       "tonegrab: notes.txt: cannot combine this take: it is not a recording\n"},
      {{"in.wav", "--take", "cut.wav"},
       "\tCannot combine take \"cut.wav\": the file ends inside its header\n\n",
       "tonegrab: cut.wav: cannot combine this take: the file ends inside its header\n"},
      {{"-c", "2", "stereo.wav", "--take", "in.wav", "--take", "stereo.wav"}, "", ""},
      {{"in.wav", "--take", "out.bin"},
       "\tTake and output are the same file \"out.bin\"\n\n",
       "tonegrab: out.bin: a take is read, the output written: name another output\n"},
  };
  for (const Case& c : cases) {
    WriteFile(dir / "out.bin", Bytes{'k', 'e', 'e', 'p'});
    std::vector<std::string> args = c.args;
    args.push_back("out.bin");
    const RunResult r = Tonegrab(args);
    if (c.out.empty()) {  // a mono take beside a stereo input gives its one channel
      EXPECT_EQ(r.status, 0) << r.out << r.err;
      continue;
    }
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(ReadFile(dir / "out.bin"), (Bytes{'k', 'e', 'e', 'p'}));
  }
}

}  // namespace
