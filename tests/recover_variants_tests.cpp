// The recovery mode's two variants, the plain code and the vector code the processor may allow:
// on recordings that take each vector step (16-bit mono and stereo conversion, decimation by 4
// and by 2, none, clicks), both must print, write and end alike, and decode the payload.
#include <gtest/gtest.h>

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
       o.channels = 2, o.clicks = {10, 0.3, 0.95}, o.snr = 20;
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

}  // namespace
