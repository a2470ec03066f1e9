// Interop tests: a synthesized recording goes through real audio tools (sox, ffmpeg, found on
// PATH) and the tonegrab binary must decode the files they write.
//
// Containers the tools write, read from the file headers (sox 14.4.2, ffmpeg 5.1); the layout
// column pins them, so a tool version that writes something else shows up here:
//  - sox: WAVE_FORMAT_EXTENSIBLE (tag FFFE, 40-byte "fmt ", then a "fact" chunk) for 24 and
//    32-bit samples and for more than two channels; plain PCM (tag 1) otherwise; no LIST chunk.
//  - ffmpeg: WAVE_FORMAT_EXTENSIBLE for samples wider than 16 bits, more than two channels and
//    rates above 48000 Hz; a "LIST" chunk right after "fmt " in every file unless -bitexact.
//    Its mono to 4-channel upmix puts the signal on channel 3 (front centre) only.
//  - Float samples: tag 3 from sox, extensible float from ffmpeg; both decode like integers.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "tests/support/run.h"
#include "tests/support/synth.h"
#include "tests/support/tools.h"

namespace {

using synth::Bytes;

// How the run ends: all 64 bytes; the file read as text, 0 bytes; "Read error!", no byte.
enum class End { kPayload, kText, kReadError };

struct Case {
  const char* name;
  const char* command;  // the tool and its arguments after the input file; OUT: the file written
  const char* layout;   // format tag and chunk ids of the file written
  int channel = 0;      // answer to the channel question, 0 when none is asked
  End end = End::kPayload;
};

const Case kCases[] = {
    {"sox_8bit", "sox -b 8 OUT", "1 fmt data"},
    {"sox_16bit", "sox -b 16 OUT", "1 fmt data"},
    {"sox_24bit", "sox -b 24 OUT", "FFFE fmt fact data"},
    {"sox_32bit", "sox -b 32 OUT", "FFFE fmt fact data"},
    {"sox_stereo_both", "sox OUT remix 1 1", "1 fmt data", 1},
    {"sox_stereo_right", "sox OUT remix 0 1", "1 fmt data", 2},
    {"sox_4ch_all", "sox OUT remix 1 1 1 1", "FFFE fmt fact data", 1},
    {"sox_4ch_third", "sox OUT remix 0 0 1 0", "FFFE fmt fact data", 3},
    {"sox_11025Hz", "sox -r 11025 OUT", "1 fmt data"},
    {"sox_22050Hz", "sox -r 22050 OUT", "1 fmt data"},
    {"sox_32000Hz", "sox -r 32000 OUT", "1 fmt data"},
    {"sox_48000Hz", "sox -r 48000 OUT", "1 fmt data"},
    {"sox_96000Hz", "sox -r 96000 OUT", "1 fmt data"},
    {"tape_lowpass", "sox OUT lowpass 6000", "1 fmt data"},
    {"tape_highpass", "sox OUT highpass 300", "1 fmt data"},
    {"tape_gain_6dB", "sox OUT gain -6", "1 fmt data"},
    {"tape_fast", "sox OUT speed 1.04", "1 fmt data"},
    {"tape_slow", "sox OUT speed 0.96", "1 fmt data"},
    {"tape_inverted", "sox OUT vol -1", "1 fmt data"},
    {"tape_all_8bit", "sox -b 8 OUT highpass 300 lowpass 6000 gain -6 speed 1.04", "1 fmt data"},
    {"tape_all_22050Hz", "sox -r 22050 OUT highpass 300 lowpass 4000 speed 0.96", "1 fmt data"},
    // Peaks at 17.5 % of full scale, below the detector thresholds: no level change ever.
    {"tape_gain_12dB", "sox OUT gain -12", "1 fmt data", 0, End::kReadError},
    {"sox_float", "sox -e floating-point OUT", "3 fmt fact data", 0, End::kPayload},
    {"ffmpeg_u8", "ffmpeg -c:a pcm_u8 OUT", "1 fmt LIST data"},
    {"ffmpeg_s16", "ffmpeg -c:a pcm_s16le OUT", "1 fmt LIST data"},
    {"ffmpeg_s16_bitexact", "ffmpeg -bitexact -c:a pcm_s16le OUT", "1 fmt data"},
    {"ffmpeg_s24", "ffmpeg -c:a pcm_s24le OUT", "FFFE fmt LIST data"},
    {"ffmpeg_s32", "ffmpeg -c:a pcm_s32le OUT", "FFFE fmt LIST data"},
    {"ffmpeg_metadata", "ffmpeg -metadata title=SideA -c:a pcm_s16le OUT", "1 fmt LIST data"},
    {"ffmpeg_stereo", "ffmpeg -ac 2 -c:a pcm_s16le OUT", "1 fmt LIST data", 2},
    {"ffmpeg_4ch", "ffmpeg -ac 4 -c:a pcm_s16le OUT", "FFFE fmt LIST data", 3},
    {"ffmpeg_96000Hz", "ffmpeg -ar 96000 -c:a pcm_s16le OUT", "FFFE fmt LIST data"},
    {"ffmpeg_float", "ffmpeg -c:a pcm_f32le OUT", "FFFE fmt fact LIST data", 0, End::kPayload},
};

void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}

// "TAG id id ... data": the format tag in hex and the chunk ids up to the sample data.
std::string Layout(const Bytes& b) {
  auto le = [&b](size_t at, int n) {
    uint32_t v = 0;
    for (int i = 0; i < n && at + i < b.size(); ++i) v |= uint32_t(b[at + i]) << (8 * i);
    return v;
  };
  char tag[8];
  std::snprintf(tag, sizeof tag, "%X", unsigned(le(20, 2)));
  std::string s = tag;
  for (size_t at = 12; at + 8 <= b.size(); at += 8 + le(at + 4, 4) + (le(at + 4, 4) & 1)) {
    std::string id(b.begin() + long(at), b.begin() + long(at) + 4);
    id.erase(id.find_last_not_of(' ') + 1);
    s.append(1, ' ').append(id);
    if (id == "data") break;
  }
  return s;
}

class Interop : public testing::TestWithParam<Case> {
 protected:
  TempDir dir;
};

TEST_P(Interop, DecodesWhatTheToolWrote) {
  const Case& c = GetParam();
  std::istringstream command(c.command);
  std::string word;
  command >> word;
  const std::string tool = FindOnPath(word);
  if (tool.empty()) {
    // CI installs both tools, so there a missing one is a failure, never a silent skip.
    if (std::getenv("CI")) FAIL() << word << " is not installed";
    std::fprintf(stderr, "\n*** %s is NOT INSTALLED: %s is not tested ***\n\n", word.c_str(),
                 c.name);
    GTEST_SKIP() << word << " is not installed";
  }
  synth::Options o;  // 44100 Hz, 16-bit, mono
  o.tail = synth::Tail::kNoise;
  const Bytes payload = synth::RandomBytes(64, 2024);
  const Bytes wav = synth::Wav(payload, o);
  WriteFile(dir / "in.wav", wav);

  std::vector<std::string> args = {tool, "-nostdin", "-v", "error", "-i", dir / "in.wav"};
  if (word == "sox") args = {tool, "-D", dir / "in.wav"};  // -D: no dither, same file every run
  while (command >> word) args.push_back(word == "OUT" ? dir / "tool.wav" : word);
  const RunResult made = ::Run(args, "", dir.path(), 60);
  ASSERT_EQ(made.status, 0) << c.command << " failed: " << made.err;
  EXPECT_EQ(Layout(ReadFile(dir / "tool.wav")), c.layout);

  const std::string answer = c.channel ? std::to_string(c.channel) + "\n" : "";
  const RunResult r = ::Run({TONEGRAB_BIN, "tool.wav", "out.bin"}, answer, dir.path());
  const char* last = c.end == End::kPayload ? "\n64 bytes\n"
                     : c.end == End::kText  ? "\n0 bytes\n"
                                            : "Read error!\n";
  EXPECT_EQ(r.status, c.end == End::kReadError ? 1 : 0) << r.out;
  EXPECT_TRUE(r.out.ends_with(last)) << r.out;
  EXPECT_EQ(ReadFile(dir / "out.bin"), c.end == End::kPayload ? payload : Bytes{});
}

INSTANTIATE_TEST_SUITE_P(AudioTools, Interop, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case>& info) { return info.param.name; });

}  // namespace
