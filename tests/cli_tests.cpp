// End-to-end tests: run the tonegrab binary in a fresh directory and check its console text,
// exit status and output file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <numeric>
#include <thread>

#include "tests/support/listing.h"
#include "tests/support/run.h"
#include "tests/support/synth.h"

namespace {

using synth::Bytes;
using synth::Shape;
using synth::Tail;

// Console of a run that decoded `bytes` and stopped normally.
std::string Completed(const Bytes& bytes, const std::string& dots = "") {
  return "\n\n" + dots + ExpectedListing(bytes) + "\n" + std::to_string(bytes.size()) + " bytes\n";
}

Bytes Iota(size_t n) {
  Bytes b(n);
  std::iota(b.begin(), b.end(), uint8_t(0));
  return b;
}

Bytes ToBytes(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

class Cli : public testing::Test {
 protected:
  void Put(const std::string& name, const Bytes& data) { WriteFile(dir / name, data); }
  void Put(const std::string& name, const std::string& text) { Put(name, ToBytes(text)); }
  Bytes Get(const std::string& name) const { return ReadFile(dir / name); }
  bool Exists(const std::string& name) const { return std::filesystem::exists(dir / name); }
  RunResult Tonegrab(std::vector<std::string> args, const std::string& answers = "") {
    args.insert(args.begin(), TONEGRAB_BIN);
    RunResult r = ::Run(args, answers, dir.path());
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.signal, 0);
    return r;
  }
  TempDir dir;
};

// ---- The synthesizer itself ----

TEST(Synth, HalfWavePattern) {
  synth::Options o;
  o.leadIn = o.tailLength = 0, o.leader = 3;
  const std::string frame41 = "LLSSSSLLLLLLLLLLSSSSLLSSSSSSSS";
  EXPECT_EQ(synth::Pattern(Bytes{0x41}, o), "SSS" + frame41 + std::string(12, 'S'));
  o.tail = Tail::kBadStop;
  EXPECT_EQ(synth::Pattern(Bytes{0x41, 0x41}, o),
            "SSS" + frame41 + frame41.substr(0, 26) + "LL" + std::string(8, 'S'));
  o.tail = Tail::kSilence, o.tailLength = 0.001;
  EXPECT_EQ(synth::Pattern(Bytes{}, o), "SSSS_____");
  EXPECT_EQ(synth::CharPairs(Bytes{0x00, 0xFF, 0x41, 0x0C}), "00o3@130");
}

TEST(Synth, SamplesAndHeader) {
  synth::Options o;  // 9600 Hz: a short half-wave is two samples; 8-bit samples are unsigned
  o.rate = 9600, o.bits = 8, o.shape = Shape::kSquare, o.leadIn = 0, o.leader = 2;
  o.tail = Tail::kSilence, o.tailLength = 1 / 4800.0;
  EXPECT_EQ(synth::Samples(Bytes{}, o), (Bytes{217, 217, 39, 39, 217, 217, 128, 128}));
  o.bits = 16, o.channels = 2, o.signalChannel = 1, o.otherLevel = 0, o.leader = 0;
  EXPECT_EQ(synth::Samples(Bytes{}, o),
            (Bytes{0, 0, 0x99, 0x59, 0, 0, 0x99, 0x59, 0, 0, 0, 0, 0, 0, 0, 0}));
  // Fractional timing: 1000 + 1 short half-waves at 44100 Hz, 8% faster, span 8515.45 frames.
  o = {}, o.leadIn = 0, o.leader = 1000, o.tail = Tail::kSilence, o.tailLength = 0, o.speed = 1.08;
  EXPECT_EQ(synth::Samples(Bytes{}, o).size(), 2u * 8516);
  const Bytes expected = {'R', 'I', 'F',  'F',  0x0C, 0x04, 0,    0,    'W',  'A', 'V',
                          'E', 'f', 'm',  't',  ' ',  16,   0,    0,    0,    1,   0,
                          2,   0,   0x44, 0xAC, 0,    0,    0x10, 0xB1, 2,    0,   4,
                          0,   16,  0,    'd',  'a',  't',  'a',  0xE8, 0x03, 0,   0};
  EXPECT_EQ(synth::WavHeader({1, 2, 44100, 16}, 1000), expected);
  const Bytes ext =
      synth::WavBuilder().Riff().Fmt({0xFFFE, 1, 8000, 24, synth::kFloatGuid, 4}).Build();
  ASSERT_EQ(ext.size(), 12u + 8 + 40);
  EXPECT_EQ(Bytes(ext.begin() + 36, ext.begin() + 45), (Bytes{22, 0, 24, 0, 4, 0, 0, 0, 3}));
}

// Wow moves the tape's position by the speed's integral, so every wave stays whole: the exact
// decoder, which keeps the timing the leader taught it, still reads a gentle wow.
class SynthImpairment : public Cli {};

TEST_F(SynthImpairment, GentleWowDecodes) {
  synth::Options o;
  o.wow = {0.02, 2};
  const Bytes payload = Iota(256);
  Put("in.wav", synth::Wav(payload, o));
  const RunResult r = Tonegrab({"in.wav"});
  EXPECT_EQ(r.out, Completed(payload));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(Get("out.bin"), payload);
}

// ---- Round trips of all 256 byte values ----

struct RoundTrip {
  int rate, bits, channels, channel;  // channel 1-based
  double speed;
  Shape shape = Shape::kSine;
  double noise = 0;
};

std::string Name(const RoundTrip& p) {
  return std::to_string(p.rate) + "Hz_" + std::to_string(p.bits) + "bit_ch" +
         std::to_string(p.channel) + "of" + std::to_string(p.channels) + "_speed" +
         std::to_string(int(p.speed * 100 + 0.5)) + (p.shape == Shape::kSquare ? "_square" : "") +
         (p.noise > 0 ? "_noisy" : "");
}
void PrintTo(const RoundTrip& p, std::ostream* os) {
  *os << Name(p);
}

class RoundTripTest : public Cli, public testing::WithParamInterface<RoundTrip> {};

TEST_P(RoundTripTest, DecodesEveryByteValue) {
  const RoundTrip& p = GetParam();
  synth::Options o;
  o.rate = p.rate, o.bits = p.bits, o.channels = p.channels, o.signalChannel = p.channel - 1;
  o.speed = p.speed, o.shape = p.shape, o.noise = p.noise;
  const Bytes payload = Iota(256);
  Put("in.wav", synth::Wav(payload, o));
  const bool ask = p.channels > 1;
  const RunResult r = Tonegrab({"in.wav"}, ask ? std::to_string(p.channel) + "\n" : "");
  const std::string question =
      ask ? "\tSelect channel (1-" + std::to_string(p.channels) + "): " : "";
  EXPECT_EQ(r.out, question + Completed(payload));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(Get("out.bin"), payload);
}

// Each rate with each sample width, both speed extremes (11025 Hz only at nominal speed: one
// sample is 43% of a short half-wave there), stereo with the signal on either channel.
INSTANTIATE_TEST_SUITE_P(
    Formats, RoundTripTest,
    testing::Values(RoundTrip{11025, 8, 1, 1, 1.0}, RoundTrip{11025, 16, 2, 2, 1.0, Shape::kSquare},
                    RoundTrip{11025, 24, 1, 1, 1.0}, RoundTrip{11025, 32, 2, 1, 1.0},
                    RoundTrip{22050, 8, 1, 1, 0.92}, RoundTrip{22050, 16, 2, 1, 1.08},
                    RoundTrip{22050, 24, 1, 1, 1.08}, RoundTrip{22050, 32, 2, 2, 0.92},
                    RoundTrip{44100, 8, 2, 2, 1.08},
                    RoundTrip{44100, 16, 1, 1, 1.0, Shape::kSine, 0.1},
                    RoundTrip{44100, 24, 2, 1, 0.92},
                    RoundTrip{44100, 32, 1, 1, 1.08, Shape::kSquare},
                    RoundTrip{48000, 8, 1, 1, 0.92}, RoundTrip{48000, 16, 2, 2, 0.92},
                    RoundTrip{48000, 24, 3, 3, 1.08}, RoundTrip{48000, 32, 1, 1, 1.08}),
    [](const auto& info) { return Name(info.param); });

// ---- How a recording ends, and failed leader attempts ----

struct Ending {
  const char* name;
  Tail tail;
  size_t sent, delivered;
  int falseLeaders = 0;
  bool readError = false;
};

void PrintTo(const Ending& e, std::ostream* os) {
  *os << e.name;
}

class EndingTest : public Cli, public testing::WithParamInterface<Ending> {};

TEST_P(EndingTest, ListsDeliveredBytes) {
  const Ending& p = GetParam();
  synth::Options o;
  o.tail = p.tail, o.falseLeaders = p.falseLeaders;
  const Bytes sent = synth::RandomBytes(p.sent, 7),
              delivered(sent.begin(), sent.begin() + long(p.delivered));
  Put("in.wav", synth::Wav(sent, o));
  const RunResult r = Tonegrab({"in.wav"});
  const std::string dots(size_t(p.falseLeaders), '.');
  EXPECT_EQ(r.out, p.readError ? "\n\n" + dots + ExpectedListing(delivered) + "Read error!\n"
                               : Completed(delivered, dots));
  EXPECT_EQ(r.status, p.readError ? 1 : 0);
  EXPECT_EQ(Get("out.bin"), delivered);
  // Standard error names the input and how far the run got.
  const std::string got = p.sent == 0 ? "before a leader was found\n"
                          : p.delivered == 1
                              ? ", after 1 byte\n"
                              : ", after " + std::to_string(p.delivered) + " bytes\n";
  EXPECT_TRUE(p.readError ? r.err.starts_with("tonegrab: in.wav: the input ended at 0:00:0") &&
                                r.err.ends_with(got)
                          : r.err.empty())
      << r.err;
}

INSTANTIATE_TEST_SUITE_P(
    Tails, EndingTest,
    testing::Values(Ending{"Idle", Tail::kIdle, 20, 20}, Ending{"Noise", Tail::kNoise, 20, 20},
                    Ending{"BadStopBit", Tail::kBadStop, 20, 19},
                    Ending{"Silence", Tail::kSilence, 20, 20, 0, true},
                    Ending{"SilenceAfterFullLine", Tail::kSilence, 32, 32, 0, true},
                    Ending{"SilenceAfterOneByte", Tail::kSilence, 1, 1, 0, true},
                    Ending{"SilenceAfterLeader", Tail::kSilence, 0, 0, 0, true},
                    Ending{"OneFalseLeader", Tail::kIdle, 5, 5, 1},
                    Ending{"ThreeFalseLeaders", Tail::kIdle, 17, 17, 3},
                    Ending{"FalseLeadersThenSilence", Tail::kSilence, 3, 3, 2, true}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Listing layout and character-pair text input ----

TEST_F(Cli, ListingLayout) {
  Put("16.txt", synth::CharPairs(Iota(16)));
  EXPECT_EQ(Tonegrab({"16.txt", "16.bin"}).out,
            "\n\n0000:  00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F \n\n16 bytes\n");
  Put("17.txt", synth::CharPairs(Iota(17)));
  EXPECT_EQ(Tonegrab({"17.txt", "17.bin"}).out,
            "\n\n0000:  00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F \n0010:  10 \n17 bytes\n");
  const Bytes big = synth::RandomBytes(0x10001, 3);
  Put("big.txt", synth::CharPairs(big));
  const RunResult r = Tonegrab({"big.txt", "big.bin"});
  EXPECT_NE(r.out.find("\nFFF0:  "), std::string::npos);
  EXPECT_TRUE(
      r.out.ends_with("\n10000:  " + ExpectedListing({big.back()}).substr(7) + "\n65537 bytes\n"));
  EXPECT_TRUE(r.out == Completed(big));
  EXPECT_EQ(Get("big.bin"), big);
}

TEST_F(Cli, CharacterPairText) {
  // clang-format off
  const std::pair<std::string, Bytes> cases[] = {
      {"", {}},       {"00", {0x00}},    {"o3", {0xFF}},        {"@1", {0x41}},
      {"30", {0x0C}}, {"00010", {0, 1}}, {"0001\n0203", {0, 1}}, {"0004", {0}},
      {"0/", {}},     {"p0", {}},        {" 00", {}},           {"\2600", {}},
      {synth::CharPairs(Iota(256)), Iota(256)}};
  // clang-format on
  for (const auto& [text, bytes] : cases) {
    SCOPED_TRACE(testing::PrintToString(text));
    Put("in.txt", text);
    std::filesystem::remove(dir / "out.bin");
    const RunResult r = Tonegrab({"in.txt"});
    EXPECT_EQ(r.out, Completed(bytes));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(Get("out.bin"), bytes);
  }
}

// ---- Command line, overwrite question and channel question ----

TEST_F(Cli, Usage) {
  const std::vector<std::string> argLists[] = {{}, {"a", "b", "c"}};
  for (const auto& args : argLists) {
    const RunResult r = Tonegrab(args);
    EXPECT_EQ(r.out, "Usage: tonegrab <inputfile> [<outputfile>]\n\n");
    EXPECT_EQ(r.status, 1);
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST_F(Cli, MissingInput) {
  const std::vector<std::string> argLists[] = {{"nosuch.wav"}, {"no/such.wav", "o.bin"}};
  for (const auto& args : argLists) {
    const RunResult r = Tonegrab(args);
    EXPECT_EQ(r.out, "\tError opening file \"" + args[0] + "\"\n\n");
    EXPECT_EQ(r.err, "tonegrab: " + args[0] + ": No such file or directory\n");
    EXPECT_EQ(r.status, 1);
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST_F(Cli, OverwriteQuestion) {
  const struct {
    std::string answer, output;
    bool accepted;
  } cases[] = {{"n\n", "out.bin", false},  {"N", "out.bin", false},   {"", "out.bin", false},
               {" y\n", "out.bin", false}, {"\ny\n", "o.bin", false}, {"y\n", "out.bin", true},
               {"Y", "out.bin", true},     {"yes\n", "o.bin", true}};
  Put("in.txt", "0001");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answer);
    Put(c.output, "old");
    const RunResult r =
        Tonegrab(c.output == "out.bin" ? std::vector<std::string>{"in.txt"}
                                       : std::vector<std::string>{"in.txt", c.output},
                 c.answer);
    const std::string question = "\tOverwrite \"" + c.output + "\"? ";
    EXPECT_EQ(r.out, c.accepted ? question + Completed({0, 1}) : question);
    EXPECT_EQ(r.status, c.accepted ? 0 : 1);
    EXPECT_EQ(Get(c.output), (c.accepted ? Bytes{0, 1} : ToBytes("old")));
  }
}

TEST_F(Cli, ChannelQuestion) {
  enum Outcome { kRefused, kDecoded, kSilentChannel };
  const struct {
    std::string answers;
    bool existing;
    Outcome outcome;
  } cases[] = {
      {"0\n", false, kRefused}, {"3\n", false, kRefused},      {"x\n", false, kRefused},
      {"", false, kRefused},    {"-1\n", false, kRefused},     {"yes\n2\n", true, kRefused},
      {"2\n", false, kDecoded}, {" \n\t2\n", false, kDecoded}, {"y\n2\n", true, kDecoded},
      {"y2\n", true, kDecoded}, {"1\n", false, kSilentChannel}};
  synth::Options o;
  o.channels = 2, o.signalChannel = 1;  // channel 1 carries only low-level noise
  const Bytes payload = {0xC3, 0x00, 0x5A};
  Put("in.wav", synth::Wav(payload, o));
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.answers));
    std::filesystem::remove(dir / "out.bin");
    if (c.existing) Put("out.bin", "old");
    const RunResult r = Tonegrab({"in.wav"}, c.answers);
    const std::string question =
        std::string(c.existing ? "\tOverwrite \"out.bin\"? " : "") + "\tSelect channel (1-2): ";
    const std::string rest[] = {"", Completed(payload), "\n\nRead error!\n"};
    EXPECT_EQ(r.out, question + rest[c.outcome]);
    EXPECT_EQ(r.status, c.outcome == kDecoded ? 0 : 1);
    // A refused answer leaves an existing file as it was.
    const Bytes before = c.existing ? ToBytes("old") : Bytes{};
    EXPECT_EQ(Get("out.bin"), c.outcome == kRefused   ? before
                              : c.outcome == kDecoded ? payload
                                                      : Bytes{});
    // A refused answer leaves no new file either.
    EXPECT_EQ(Exists("out.bin"), c.existing || c.outcome != kRefused);
  }
}

// ---- WAV container variants ----

struct Container {
  std::string name;
  Bytes file;
  bool decodes;
  int channels = 1;  // the signal is on the last one
};
void PrintTo(const Container& c, std::ostream* os) {
  *os << c.name;
}

const Bytes kPayload = {0x12, 0x34, 0x56, 0xFF};

std::vector<Container> Containers() {
  using synth::WavBuilder;
  synth::Options o;
  const Bytes mono = synth::Samples(kPayload, o);
  o.channels = 2, o.signalChannel = 1;
  const Bytes stereo16 = synth::Samples(kPayload, o);
  o.bits = 24;
  const Bytes stereo24 = synth::Samples(kPayload, o);
  const synth::Format pcm;
  auto ext = [](int16_t bits, const synth::Guid& guid) {
    return synth::Format{0xFFFE, 2, 44100, bits, guid, 3};
  };
  auto wav = [](const synth::Format& f, const Bytes& samples) {
    return WavBuilder().Riff().Fmt(f).Data(samples).Build();
  };
  return {
      {"Canonical", wav(pcm, mono), true},
      {"ChunkBeforeFmt", WavBuilder().Riff().Chunk("LIST", {1, 2}).Fmt(pcm).Data(mono).Build(),
       true},
      {"ChunksBeforeData",  // odd-sized with a pad byte, then even-sized
       WavBuilder()
           .Riff()
           .Fmt(pcm)
           .Chunk("junk", {1, 2, 3})
           .Chunk("LIST", {1, 2})
           .Data(mono)
           .Build(),
       true},
      {"DataSize0", WavBuilder().Riff().Fmt(pcm).Data(mono, 0).Build(), true},
      {"DataSizeMax", WavBuilder().Riff().Fmt(pcm).Data(mono, 0xFFFFFFFF).Build(), true},
      {"FloatTag", wav({3, 1, 44100, 32}, synth::FloatSamples(mono, 32)), true},
      {"Channels0", wav({1, 0, 44100, 16}, mono), false},
      {"Extensible16", wav(ext(16, synth::kPcmGuid), stereo16), true, 2},
      {"Extensible24", wav(ext(24, synth::kPcmGuid), stereo24), true, 2},
      {"ExtensibleFloat", wav(ext(32, synth::kFloatGuid), synth::FloatSamples(stereo16, 32)), true,
       2},
  };
}

class ContainerTest : public Cli, public testing::WithParamInterface<Container> {};

// A refused file is read as text from its first byte: "RI" is no character pair.
TEST_P(ContainerTest, DecodesOrReadsAsText) {
  const Container& c = GetParam();
  Put("in.wav", c.file);
  const bool ask = c.decodes && c.channels > 1;
  const RunResult r = Tonegrab({"in.wav"}, c.channels > 1 ? "2\n" : "");
  EXPECT_EQ(r.out,
            (ask ? "\tSelect channel (1-2): " : "") + Completed(c.decodes ? kPayload : Bytes{}));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(Get("out.bin"), c.decodes ? kPayload : Bytes{});
}

INSTANTIATE_TEST_SUITE_P(Wav, ContainerTest, testing::ValuesIn(Containers()),
                         [](const auto& info) { return info.param.name; });

// ---- Faults the tool reports instead of misbehaving ----

TEST_F(Cli, UnwritableOutput) {
  Put("in.txt", "000102");
  RunResult r = Tonegrab({"in.txt", "nodir/x.bin"});
  EXPECT_EQ(r.out, "\tError creating file \"nodir/x.bin\"\n\n");
  EXPECT_EQ(r.err, "tonegrab: nodir/x.bin: No such file or directory\n");
  EXPECT_EQ(r.status, 1);
  // A device is written without the overwrite question.
  r = Tonegrab({"in.txt", "/dev/full"});
  EXPECT_EQ(r.out, "\n\n0000:  00 01 02 \n\tError writing file \"/dev/full\"\n\n");
  EXPECT_EQ(r.err, "tonegrab: /dev/full: No space left on device\n");
  EXPECT_EQ(r.status, 1);
  // A directory is asked about, as any file that can be opened for reading, and then cannot be
  // written.
  std::filesystem::create_directory(dir / "d");
  r = Tonegrab({"in.txt", "d"}, "y");
  EXPECT_EQ(r.out, "\tOverwrite \"d\"? \tError creating file \"d\"\n\n");
  EXPECT_EQ(r.err, "tonegrab: d: Is a directory\n");
  EXPECT_EQ(r.status, 1);
}

TEST_F(Cli, InputNamedAsOutput) {
  Put("in.txt", "000102");
  std::filesystem::create_symlink("in.txt", dir / "link.txt");
  std::filesystem::create_hard_link(dir / "in.txt", dir / "hard.txt");
  const std::pair<std::string, std::string> cases[] = {
      {"in.txt", "in.txt"},   {"in.txt", "./in.txt"}, {"in.txt", dir / "in.txt"},
      {"in.txt", "link.txt"}, {"link.txt", "in.txt"}, {"hard.txt", "in.txt"}};
  for (const auto& [in, out] : cases) {
    SCOPED_TRACE(in + " -> " + out);
    const RunResult r = Tonegrab({in, out}, "y\n");
    EXPECT_EQ(r.out, "\tInput and output are the same file \"" + out + "\"\n\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(Get("in.txt"), ToBytes("000102"));
  }
}

TEST_F(Cli, UnseekableInput) {
  ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);
  std::thread writer([this] {
    const int fd = open((dir / "pipe").c_str(), O_WRONLY);
    if (fd < 0) return;
    if (write(fd, "000102", 6) < 0) {  // the reader may be gone already
    }
    close(fd);
  });
  const RunResult r = Tonegrab({"pipe"});
  close(open((dir / "pipe").c_str(), O_RDONLY | O_NONBLOCK));  // frees a writer still waiting
  writer.join();
  // A FIFO is read as its data arrives.
  EXPECT_EQ(r.out, Completed({0, 1, 2}));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(Get("out.bin"), (Bytes{0, 1, 2}));
}

}  // namespace
