// The recovery mode's two variants, the plain code and the vector code the processor may allow:
// on recordings that take each vector step (16-bit mono and stereo conversion, decimation by 4
// and by 2, none, clicks), both must print, write and end alike, and decode the payload. And its
// two ways of reading, ahead in a second thread and as the input comes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "tests/support/run.h"
#include "tests/support/synth.h"

namespace {

using synth::Bytes;

struct Recording {
  const char* name;
  void (*make)(synth::Options&);
  const char* channel;
  int status;  // 0: every byte decoded; 2: some damaged
};

void PrintTo(const Recording& c, std::ostream* os) {
  *os << c.name;
}

const Recording kRecordings[] = {
    {"mono_44100_noise", [](synth::Options& o) { o.snr = 4; }, "1", 0},
    {"stereo_48000_right_wow",
     [](synth::Options& o) {
       o.rate = 48000, o.channels = 2, o.signalChannel = 1, o.wow = {0.12, 2};
     },
     "2", 0},
    {"mono_22050_slow", [](synth::Options& o) { o.rate = 22050, o.speed = 0.92, o.snr = 8; }, "1",
     0},
    {"mono_11025_fast", [](synth::Options& o) { o.rate = 11025, o.speed = 1.1; }, "1", 0},
    {"stereo_clicks_noise",
     [](synth::Options& o) {
       o.channels = 2, o.clicks = {10, 0.0003, 0.95}, o.snr = 20;
     },
     "1", 0},
    {"mono_noise_minus_1dB", [](synth::Options& o) { o.snr = -1; }, "1", 2},
};

class Variants : public testing::TestWithParam<Recording> {
 protected:
  // The whole console of one run in the directory `where`, TONEGRAB_SCAN set as given.
  std::string Decode(const char* scan, const std::string& where) {
    std::filesystem::create_directory(dir / where);
    if (scan)
      setenv("TONEGRAB_SCAN", scan, 1);
    else
      unsetenv("TONEGRAB_SCAN");
    const RunResult r = ::Run(
        {TONEGRAB_BIN, "--recover", "-v", "-y", "-c", GetParam().channel, "../in.wav", "out.bin"},
        "", dir / where);
    unsetenv("TONEGRAB_SCAN");
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.status, GetParam().status) << r.out;
    return r.out + r.err;
  }
  TempDir dir;
};

TEST_P(Variants, DecodeAlike) {
  synth::Options o;
  GetParam().make(o);
  const Bytes payload = synth::RandomBytes(300, 11);
  WriteFile(dir / "in.wav", synth::Wav(payload, o));
  const std::string plain = Decode("plain", "plain");
  EXPECT_EQ(Decode(nullptr, "chosen"), plain);
  const Bytes bytes = ReadFile(dir / "plain/out.bin");
  EXPECT_EQ(ReadFile(dir / "chosen/out.bin"), bytes);
  if (GetParam().status == 0) {
    EXPECT_EQ(bytes, payload);
  } else {
    EXPECT_EQ(bytes.size(), payload.size());
  }
}

INSTANTIATE_TEST_SUITE_P(Recordings, Variants, testing::ValuesIn(kRecordings),
                         [](const auto& info) { return std::string(info.param.name); });

// A file this tool reads itself is read and decimated by a second thread while the decoder
// works; standard input is read as it comes, one read after another. Both must print, write and
// end alike: every block file, the record of the recording (the samples it was given) and the
// whole console, over recordings long enough to take the thread's slots round many times.
struct Reading {
  const char* name;
  void (*make)(synth::Options&);
  const char* channel;
  int status;
  bool blockTwoTaken;  // a directory where block 2's file would go: the run ends at block 2
  bool take = false;   // a second capture, the noise its own, combined with --take
};

void PrintTo(const Reading& c, std::ostream* os) {
  *os << c.name;
}

const Reading kReadings[] = {
    // Decimated by 4; noise, clicks and voice between three blocks.
    {"mono_44100_three_blocks",
     [](synth::Options& o) {
       o.blocks = 3, o.distinctBlocks = true, o.voiceBetween = 1, o.snr = 3,
       o.clicks = {10, 0.0003, 0.95};
     },
     "1", 2, false},
    // Crackle on a weak signal: more clicks in a read than the windows look back on.
    {"mono_crackle",
     [](synth::Options& o) {
       o.clicks = {200, 0.0005, 0.95}, o.amplitude = 0.2, o.snr = 10;
     },
     "1", 2, false},
    // Not decimated: the samples read go to the decoder as they are.
    {"mono_11025", [](synth::Options& o) { o.rate = 11025, o.blocks = 2, o.snr = 6; }, "1", 2,
     false},
    // Decimated by 2, the second channel of two.
    {"stereo_22050_right",
     [](synth::Options& o) {
       o.rate = 22050, o.channels = 2, o.signalChannel = 1, o.blocks = 2, o.wow = {0.1, 2};
     },
     "2", 0, false},
    // Two channels of the same tape, mixed (-v tells their weights at each block).
    {"two_channels_mixed",
     [](synth::Options& o) {
       o.blocks = 2, o.copies = {{2}, {3, false, true, 0.0004}};
     },
     "all", 0, false},
    // A second take, read ahead and decimated by the thread whatever the input is.
    {"two_takes",
     [](synth::Options& o) {
       o.snr = 2, o.dips = {{3, 0.02, -60}};
     },
     "1", 0, false, true},
    // The run ends while the thread still reads.
    {"ends_at_block_2", [](synth::Options& o) { o.blocks = 3, o.distinctBlocks = true; }, "1", 1,
     true},
};

class Readings : public testing::TestWithParam<Reading> {
 protected:
  // The console and status of one run in `where`, and every file it wrote there.
  std::string Decode(const std::string& where, bool piped) {
    std::filesystem::create_directory(dir / where);
    if (GetParam().blockTwoTaken) std::filesystem::create_directory(dir / (where + "/out-2.bin"));
    const Bytes wav = ReadFile(dir / "in.wav");
    std::vector<std::string> args = {TONEGRAB_BIN, "--recover",        "-v",     "-y",
                                     "-c",         GetParam().channel, "--json", "r.json"};
    if (GetParam().take) args.insert(args.end(), {"--take", "../take.wav"});
    args.insert(args.end(), {piped ? "-" : "../in.wav", "out.bin"});
    const RunResult r = ::Run(args, piped ? std::string(wav.begin(), wav.end()) : "", dir / where);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.status, GetParam().status) << r.out << r.err;
    std::string all = r.out + r.err;
    std::vector<std::string> names;  // in order: a directory lists them in any
    for (const auto& f : std::filesystem::directory_iterator(dir / where))
      if (f.is_regular_file()) names.push_back(f.path().filename().string());
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
      const Bytes b = ReadFile(dir / (where + "/" + name));
      all += "\n== " + name + "\n" + std::string(b.begin(), b.end());
    }
    // The record names the input: the one thing that may differ.
    for (size_t at; (at = all.find("\"../in.wav\"")) != std::string::npos;)
      all.replace(at, 11, "\"-\"");
    return all;
  }
  TempDir dir;
};

TEST_P(Readings, FileAndStandardInputAlike) {
  synth::Options o;
  GetParam().make(o);
  const Bytes payload = synth::RandomBytes(1500, 5);
  WriteFile(dir / "in.wav", synth::Wav(payload, o));
  if (GetParam().take) {
    o.noiseSeed = 9, o.dips = {{7, 0.02, -60}};
    WriteFile(dir / "take.wav", synth::Wav(payload, o));
  }
  const std::string piped = Decode("piped", true);
  EXPECT_NE(piped.find("== out.bin"), std::string::npos);
  EXPECT_EQ(Decode("file", false), piped);
}

INSTANTIATE_TEST_SUITE_P(Recordings, Readings, testing::ValuesIn(kReadings),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
