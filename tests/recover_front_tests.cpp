// The recovery mode's front end: where the blocks and the label track go, what is refused
// before any file is touched, and what a recording without a block leaves. Each case runs the
// built tool on a two-block recording or a silent one.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <regex>
#include <set>

#include "tests/support/listing.h"
#include "tests/support/run.h"
#include "tests/support/synth.h"

namespace {

using synth::Bytes;

// 32 bytes: each block's listing ends with a full line, then one empty line.
const Bytes kPayload = synth::RandomBytes(32, 4);
const std::string kOld = "old contents\n";

Bytes ToBytes(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

std::string Masked(const std::string& text) {
  static const std::regex time(R"(\d+:\d\d:\d\d\.\d\d\d)"), speed(R"([+-]\d+\.\d %)");
  return std::regex_replace(std::regex_replace(text, time, "T"), speed, "S");
}

std::string Listing() {
  return ExpectedListing(kPayload) + "\n";
}

class RecoverFront : public testing::Test {
 protected:
  void SetUp() override {
    synth::Options o;
    o.blocks = 2, o.gap = 1;
    WriteFile(dir / "two.wav", synth::Wav(kPayload, o));
    o = {}, o.leader = 0, o.tail = synth::Tail::kNoise, o.tailLength = 1;
    WriteFile(dir / "silent.wav", synth::Wav({}, o));
  }
  RunResult Tonegrab(std::vector<std::string> args) {
    args.insert(args.begin(), {TONEGRAB_BIN, "--recover"});
    RunResult r = ::Run(args, "", dir.path());
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.signal, 0);
    return r;
  }
  // Every file in the directory but the recordings, with its contents.
  std::map<std::string, Bytes> Files() const {
    std::map<std::string, Bytes> files;
    for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
      const std::string name = e.path().filename();
      if (name != "two.wav" && name != "silent.wav") files[name] = ReadFile(e.path());
    }
    return files;
  }
  TempDir dir;
};

struct FrontCase {
  const char* name;
  std::vector<std::string> args;
  std::vector<std::string> existing;  // files holding kOld before the run
  std::string out, err;               // masked; "=" in out: both blocks' bytes
  int status;
  std::vector<std::string> written;  // files holding kPayload afterwards; the others as before
};

std::vector<FrontCase> FrontCases() {
  const std::string summary = "T-T, 32 bytes, 0 damaged, speed S\n";
  const std::string noSignal = "\n\tNo signal found in \"silent.wav\"\n\n";
  return {
      {"StandardOutput",
       {"two.wav", "-"},
       {},
       "=",
       "\nBlock 1: standard output at 0x0000 from T\n" + Listing() +
           "Block 2: standard output at 0x0020 from T\n" + Listing() +
           "standard output at 0x0000: " + summary + "standard output at 0x0020: " + summary,
       0,
       {}},
      {"HiddenName",
       {"-q", "two.wav", ".tape"},
       {},
       ".tape: " + summary + ".tape-2: " + summary,
       "",
       0,
       {".tape", ".tape-2"}},
      {"LabelsOverOutput",
       {"-y", "--labels=tape.bin", "two.wav", "tape.bin"},
       {"tape.bin"},
       "\tLabel track and output are the same file \"tape.bin\"\n\n",
       "",
       1,
       {}},
      {"LabelsOverABlockFile",
       {"-y", "--labels=./out-2.bin", "two.wav"},
       {"out.bin"},
       "\tLabel track \"./out-2.bin\" is the file of block 2 of the output\n\n",
       "",
       1,
       {}},
      {"LabelsOverInput",
       {"-y", "--labels=two.wav", "two.wav", "tape.bin"},
       {"tape.bin"},
       "\tLabel track and input are the same file \"two.wav\"\n\n",
       "",
       1,
       {}},
      {"LabelsOnStandardOutput",
       {"--labels=-", "two.wav", "-"},
       {},
       "",
       "\tLabel track \"-\" is standard output, where the bytes go\n\n",
       1,
       {}},
      {"LabelsCannotBeCreated",
       {"--labels=nodir/l.txt", "two.wav"},
       {},
       "\tError creating file \"nodir/l.txt\"\n\n",
       "tonegrab: nodir/l.txt: No such file or directory\n",
       1,
       {}},
      {"NoSignalNoFile", {"--labels=l.txt", "silent.wav"}, {}, noSignal, "", 1, {}},
      {"NoSignalKeepsFiles",
       {"-y", "--labels=l.txt", "silent.wav", "tape.bin"},
       {"tape.bin", "l.txt"},
       noSignal,
       "",
       1,
       {}},
  };
}

void PrintTo(const FrontCase& c, std::ostream* os) {
  *os << c.name;
}

class FrontTest : public RecoverFront, public testing::WithParamInterface<FrontCase> {};

TEST_P(FrontTest, ConsoleStatusAndFiles) {
  const FrontCase& c = GetParam();
  std::map<std::string, Bytes> expected;
  for (const std::string& name : c.existing) {
    WriteFile(dir / name, ToBytes(kOld));
    expected[name] = ToBytes(kOld);
  }
  for (const std::string& name : c.written) expected[name] = kPayload;
  const Bytes input = ReadFile(dir / "two.wav");
  const RunResult r = Tonegrab(c.args);
  Bytes both = kPayload;
  both.insert(both.end(), kPayload.begin(), kPayload.end());
  if (c.out == "=")
    EXPECT_EQ(ToBytes(r.out), both);
  else
    EXPECT_EQ(Masked(r.out), c.out);
  EXPECT_EQ(Masked(r.err), c.err);
  EXPECT_EQ(r.status, c.status);
  EXPECT_EQ(Files(), expected);
  EXPECT_EQ(ReadFile(dir / "two.wav"), input);
}

INSTANTIATE_TEST_SUITE_P(Recover, FrontTest, testing::ValuesIn(FrontCases()),
                         [](const auto& info) { return std::string(info.param.name); });

// The label of each damaged byte names the offsets the summary gives.
TEST_F(RecoverFront, LabelsNameTheSummarysDamagedBytes) {
  synth::Options o;
  o.snr = 30, o.dips = {{1.0, 0.02, -50}};
  WriteFile(dir / "worn.wav", synth::Wav(synth::RandomBytes(256, 5), o));
  const RunResult r = Tonegrab({"-q", "--labels=l.txt", "worn.wav"});
  EXPECT_EQ(r.status, 2);
  std::smatch m;
  ASSERT_TRUE(std::regex_search(r.out, m, std::regex("\tdamaged 0x([0-9A-F]+)-0x([0-9A-F]+) ")))
      << r.out;
  std::set<unsigned long> summary, labelled;
  for (unsigned long i = std::stoul(m[1], nullptr, 16); i <= std::stoul(m[2], nullptr, 16); ++i)
    summary.insert(i);
  const Bytes labels = ReadFile(dir / "l.txt");
  const std::string text(labels.begin(), labels.end());
  const std::regex damaged("\tblock 1 byte 0x([0-9A-F]+) damaged\n");
  for (auto it = std::sregex_iterator(text.begin(), text.end(), damaged);
       it != std::sregex_iterator(); ++it)
    labelled.insert(std::stoul((*it)[1], nullptr, 16));
  EXPECT_FALSE(summary.empty());
  EXPECT_EQ(labelled, summary);
}

}  // namespace
