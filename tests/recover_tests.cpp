// The recovery mode end to end: worn recordings from the synthesizer, decoded by the built tool
// with --recover; console text, status, output files and the label track.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "tests/support/listing.h"
#include "tests/support/run.h"
#include "tests/support/synth.h"

namespace {

using synth::Bytes;

// A block's listing: its last line ended, then an empty line.
std::string Listing(const Bytes& bytes) {
  return ExpectedListing(bytes) + (bytes.size() % 16 ? "\n\n" : "\n");
}

// Times and speeds vary with the recording; the layout around them does not.
std::string Masked(const std::string& text) {
  static const std::regex time(R"(\d+:\d\d:\d\d\.\d\d\d)"), speed(R"([+-]\d+\.\d %)");
  return std::regex_replace(std::regex_replace(text, time, "T"), speed, "S");
}

// The console of a run that decoded these blocks into these files, none damaged.
std::string Clean(const std::vector<std::pair<std::string, Bytes>>& blocks) {
  std::string s = "\n", summary;
  for (size_t i = 0; i < blocks.size(); ++i) {
    const auto& [file, bytes] = blocks[i];
    s += "Block " + std::to_string(i + 1) + ": \"" + file + "\" from T\n" + Listing(bytes);
    summary += file + ": T-T, " + std::to_string(bytes.size()) + " bytes, 0 damaged, speed S\n";
  }
  return s + summary;
}

class Recover : public testing::Test {
 protected:
  RunResult Tonegrab(std::vector<std::string> args, const std::string& answers = "") {
    args.insert(args.begin(), {TONEGRAB_BIN, "--recover"});
    RunResult r = ::Run(args, answers, dir.path());
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.signal, 0);
    return r;
  }
  Bytes Get(const std::string& name) const { return ReadFile(dir / name); }
  TempDir dir;
};

struct Worn {
  const char* name;
  void (*impair)(synth::Options&);
  const char* speed;  // the summary's speed, where the recording fixes it
};

void PrintTo(const Worn& w, std::ostream* os) {
  *os << w.name;
}

const Worn kWorn[] = {
    {"clean", [](synth::Options&) {}, "+0.0 %"},
    {"noise_0dB", [](synth::Options& o) { o.snr = 0; }, nullptr},
    {"slow", [](synth::Options& o) { o.speed = 0.85; }, "-15.0 %"},
    {"far_too_slow", [](synth::Options& o) { o.speed = 0.7; }, "-30.0 %"},
    {"far_too_fast", [](synth::Options& o) { o.speed = 1.4; }, "+40.0 %"},
    {"wow",
     [](synth::Options& o) {
       o.wow = {0.16, 2};
     },
     nullptr},
    {"flutter",
     [](synth::Options& o) {
       o.flutter = {0.03, 15};
     },
     nullptr},
    {"dc_and_hum", [](synth::Options& o) { o.amplitude = 0.2, o.dc = 0.4, o.hum = 6; }, nullptr},
    {"quiet_8bit", [](synth::Options& o) { o.bits = 8, o.amplitude = 0.16; }, nullptr},
    {"stereo_right", [](synth::Options& o) { o.channels = 2, o.signalChannel = 1; }, nullptr},
};

class WornTest : public Recover, public testing::WithParamInterface<Worn> {};

TEST_P(WornTest, RecoversEveryByte) {
  synth::Options o;
  GetParam().impair(o);
  const Bytes payload = synth::RandomBytes(200, 7);
  WriteFile(dir / "in.wav", synth::Wav(payload, o));
  const RunResult r = Tonegrab(o.channels > 1 ? std::vector<std::string>{"-c", "2", "in.wav"}
                                              : std::vector<std::string>{"in.wav"});
  EXPECT_EQ(Masked(r.out), Clean({{"out.bin", payload}}));
  if (GetParam().speed) {
    EXPECT_NE(r.out.find(std::string("speed ") + GetParam().speed), r.out.npos);
  }
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(Get("out.bin"), payload);
}

INSTANTIATE_TEST_SUITE_P(Recordings, WornTest, testing::ValuesIn(kWorn),
                         [](const auto& info) { return std::string(info.param.name); });

// On a clean recording the recovery mode writes what the exact decoder writes, also when that
// stops short of the end.
TEST_F(Recover, WritesWhatTheExactDecoderWrites) {
  const Bytes payload = synth::RandomBytes(100, 3);
  for (const auto& [bits, rate, tail] :
       {std::tuple{8, 22050, synth::Tail::kSilence}, std::tuple{24, 48000, synth::Tail::kBadStop},
        std::tuple{16, 11025, synth::Tail::kNoise}}) {
    synth::Options o;
    o.bits = bits, o.rate = rate, o.tail = tail;
    WriteFile(dir / "in.wav", synth::Wav(payload, o));
    const RunResult exact = ::Run({TONEGRAB_BIN, "-y", "in.wav", "exact.bin"}, "", dir.path());
    const RunResult r = Tonegrab({"-q", "-y", "in.wav"});
    EXPECT_EQ(Get("out.bin"), Get("exact.bin")) << bits << " bits, " << rate << " Hz";
    EXPECT_EQ(r.status, 0);
  }
}

// Signal gone for three frames: the file keeps its length, the damage is reported on the console
// and in the label track at its offsets and times, and everything after it is recovered.
TEST_F(Recover, ReportsTheBytesADropoutTook) {
  synth::Options o;
  o.snr = 30, o.dips = {{1.0, 0.02, -50}};
  const Bytes payload = synth::RandomBytes(256, 5);
  WriteFile(dir / "in.wav", synth::Wav(payload, o));
  const RunResult r = Tonegrab({"--labels", "labels.txt", "in.wav"});
  EXPECT_EQ(r.status, 2);
  const Bytes out = Get("out.bin");
  ASSERT_EQ(out.size(), payload.size());
  std::smatch m;
  const std::string masked = Masked(r.out);
  ASSERT_TRUE(
      std::regex_search(masked, m,
                        std::regex("\nout.bin: T-T, 256 bytes, ([123]) damaged, speed S\n"
                                   "\tdamaged 0x00([0-9A-F]{2})-0x00([0-9A-F]{2}) from T\n$")))
      << r.out;
  const size_t first = std::stoul(m[2], nullptr, 16), last = std::stoul(m[3], nullptr, 16);
  EXPECT_EQ(last - first + 1, std::stoul(m[1]));
  for (size_t i = 0; i < out.size(); ++i) {
    if (i >= first && i <= last) continue;
    EXPECT_EQ(out[i], payload[i]) << "byte " << i;
  }
  // The damaged bytes lie where the dip is: 1.00 s to 1.02 s.
  const auto labels = ReadFile(dir / "labels.txt");
  const std::string text(labels.begin(), labels.end());
  const std::regex line(R"((\d+\.\d{6})\t(\d+\.\d{6})\t([^\t\n]+)\n)");
  size_t damaged = 0, blocks = 0;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), line); it != std::sregex_iterator();
       ++it) {
    const double start = std::stod((*it)[1]), end = std::stod((*it)[2]);
    EXPECT_LT(start, end);
    if ((*it)[3].str().find("damaged") != std::string::npos) {
      ++damaged;
      EXPECT_GT(end, 0.99);
      EXPECT_LT(start, 1.03);
    } else {
      ++blocks;
      EXPECT_EQ((*it)[3].str().substr(0, 24), "block 1: 256 bytes, spee");
    }
  }
  EXPECT_EQ(damaged, std::stoul(m[1]));
  EXPECT_EQ(blocks, 1u);
  EXPECT_EQ(std::regex_replace(text, line, ""), "");  // nothing but label lines
}

// Every block goes to its own file; an existing one is asked about; the second block may start
// with the opposite polarity.
TEST_F(Recover, DecodesEveryBlockIntoItsOwnFile) {
  synth::Options o;
  o.blocks = 2, o.gap = 1, o.flipSecond = true;
  const Bytes payload = synth::RandomBytes(40, 9);
  WriteFile(dir / "in.wav", synth::Wav(payload, o));
  std::filesystem::create_directory(dir / "d.x");
  WriteFile(dir / "d.x/tape-2", Bytes{1, 2, 3});
  const RunResult r = Tonegrab({"in.wav", "d.x/tape"}, "y");
  EXPECT_EQ(Masked(r.out), Masked("\nBlock 1: \"d.x/tape\" from T\n" + Listing(payload) +
                                  "\tOverwrite \"d.x/tape-2\"? Block 2: \"d.x/tape-2\" from T\n" +
                                  Listing(payload) +
                                  "d.x/tape: T-T, 40 bytes, 0 damaged, speed S\n"
                                  "d.x/tape-2: T-T, 40 bytes, 0 damaged, speed S\n"));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(Get("d.x/tape"), payload);
  EXPECT_EQ(Get("d.x/tape-2"), payload);
}

TEST_F(Recover, SaysWhenThereIsNoSignal) {
  synth::Options o;
  o.leader = 0, o.tail = synth::Tail::kNoise, o.tailLength = 1;
  WriteFile(dir / "in.wav", synth::Wav({}, o));
  const RunResult r = Tonegrab({"in.wav"});
  EXPECT_EQ(r.out, "\n\tNo signal found in \"in.wav\"\n\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(Get("out.bin"), Bytes{});
}

}  // namespace
