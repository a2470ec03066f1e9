// Hostile and broken inputs: every run must end by itself, in bounded time, with a documented
// result, and keep every decoded byte.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <limits>
#include <string>
#include <tuple>

#include "tests/support/run.h"
#include "tests/support/synth.h"
#include "tests/support/tools.h"

namespace {

using synth::Bytes;

const std::string kTool = TONEGRAB_BIN;
const std::string kNoBytes = "\n\n\n0 bytes\n";  // read as text, nothing decoded
const std::string kReadError = "Read error!\n";  // the input ended inside the header
constexpr int kBoundSeconds = 20;

// A short 16-bit mono recording of a few bytes, followed by silence.
const Bytes& Signal() {
  static const Bytes samples = [] {
    synth::Options o;
    o.tail = synth::Tail::kSilence;
    const Bytes payload = {0x12, 0x34};
    return synth::Samples(payload, o);
  }();
  return samples;
}

Bytes WithFormat(const synth::Format& f) {
  return synth::WavBuilder().Riff().Fmt(f).Data(Signal()).Build();
}

synth::Format Pcm(int16_t channels = 1, int32_t rate = 44100, int16_t bits = 16) {
  synth::Format f;
  f.channels = channels;
  f.rate = rate;
  f.bits = bits;
  return f;
}

// Header fields patched in place: offset, size, value.
Bytes Patched(Bytes wav, size_t offset, int size, uint32_t value) {
  for (int i = 0; i < size; ++i) wav[offset + i] = static_cast<uint8_t>(value >> (8 * i));
  return wav;
}

struct Case {
  const char* name;
  Bytes input;
  std::string answers;
  int status;
  std::string console;  // exact, or, when it starts with '*', the end of the console text
};

void Check(const Case& c) {
  TempDir dir;
  WriteFile(dir / "in", c.input);
  const RunResult r = Run({kTool, "in"}, c.answers, dir.path(), kBoundSeconds);
  ASSERT_FALSE(r.timedOut);
  ASSERT_EQ(r.signal, 0);
  EXPECT_EQ(r.status, c.status);
  if (c.console.starts_with('*')) {
    EXPECT_TRUE(r.out.ends_with(c.console.substr(1))) << r.out;
  } else {
    EXPECT_EQ(r.out, c.console);
  }
  // The two line ends before the listing mark a decode that started: only that leaves a file.
  const bool started = r.out.find("\n\n") != std::string::npos && !r.out.ends_with("\n\n");
  EXPECT_EQ(access((dir / "out.bin").c_str(), F_OK) == 0, started);
}

std::vector<Case> DocumentedCases() {
  const Bytes good = WithFormat(Pcm());
  const Bytes chunkThenEnd =
      synth::WavBuilder().Riff().Fmt(Pcm()).Raw({'o', 'd', 'd', ' '}).U32(3).Raw({1, 2, 3}).Build();
  const std::string silenceEnd = "*" + kReadError;
  const Case cases[] = {
      {"decodes", good, "", 1, "\n\n0000:  12 34 " + kReadError},
      {"empty file", {}, "", 0, kNoBytes},
      {"one byte", {'0'}, "", 0, kNoBytes},
      {"chunk size 0xFFFFFFFF",
       synth::WavBuilder()
           .Riff()
           .Fmt(Pcm())
           .Raw({'L', 'I', 'S', 'T'})
           .U32(0xFFFFFFFF)
           .Data(Signal())
           .Build(),
       "", 1, kReadError},
      {"chunk size 0x7FFFFFFF",
       synth::WavBuilder()
           .Riff()
           .Fmt(Pcm())
           .Raw({'L', 'I', 'S', 'T'})
           .U32(0x7FFFFFFF)
           .Data(Signal())
           .Build(),
       "", 1, kReadError},
      {"format size 0xFFFFFFFF", Patched(good, 16, 4, 0xFFFFFFFF), "", 1, kReadError},
      {"odd chunk at the end", chunkThenEnd, "", 1, kReadError},
      {"no data chunk", synth::WavBuilder().Riff().Fmt(Pcm()).Build(), "", 1, kReadError},
      {"format size 0", Patched(good, 16, 4, 0), "", 1, silenceEnd},
      {"format size 15", Patched(good, 16, 4, 15), "", 1, silenceEnd},
      {"0 channels", WithFormat(Pcm(0)), "", 0, kNoBytes},
      {"-1 channels", WithFormat(Pcm(-1)), "", 0, kNoBytes},
      {"32767 channels", WithFormat(Pcm(32767)), "32767\n", 1,
       "\tSelect channel (1-32767): \n\n" + kReadError},
      {"65535 channels", Patched(good, 22, 2, 65535), "", 0, kNoBytes},
      {"rate 0", WithFormat(Pcm(1, 0)), "", 1, silenceEnd},
      {"rate 1", WithFormat(Pcm(1, 1)), "", 1, silenceEnd},
      {"rate -1", WithFormat(Pcm(1, -1)), "", 1, silenceEnd},
      {"rate 2^31-1", WithFormat(Pcm(1, 0x7FFFFFFF)), "", 1, silenceEnd},
      {"0 bits", WithFormat(Pcm(1, 44100, 0)), "", 0, kNoBytes},
      {"7 bits", WithFormat(Pcm(1, 44100, 7)), "", 0, kNoBytes},
      {"12 bits", WithFormat(Pcm(1, 44100, 12)), "", 0, kNoBytes},
      {"40 bits", WithFormat(Pcm(1, 44100, 40)), "", 0, kNoBytes},
      {"65535 bits", Patched(good, 34, 2, 65535), "", 0, kNoBytes},
      {"silence", synth::WavBuilder().Riff().Fmt(Pcm()).Data(Bytes(200000, 0)).Build(), "", 1,
       "\n\n" + kReadError},
      {"full-scale square noise",
       synth::WavBuilder().Riff().Fmt(Pcm(1, 44100, 8)).Data(synth::RandomBytes(300000, 5)).Build(),
       "", 1, silenceEnd},
  };
  return {std::begin(cases), std::end(cases)};
}

TEST(HostileInput, EndsWithTheDocumentedResult) {
  for (const Case& c : DocumentedCases()) {
    SCOPED_TRACE(c.name);
    Check(c);
  }
}

// The recovery decoder on the same inputs ends by itself with one of its statuses, whatever
// the header says (absurd rates and channel counts included).
TEST(HostileInput, RecoveryEndsByItself) {
  for (const Case& c : DocumentedCases()) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    WriteFile(dir / "in", c.input);
    const RunResult r =
        ::Run({kTool, "--recover", "-y", "in"}, c.answers, dir.path(), kBoundSeconds);
    ASSERT_FALSE(r.timedOut);
    ASSERT_EQ(r.signal, 0);
    EXPECT_TRUE(r.status == 0 || r.status == 1 || r.status == 2) << r.status;
    EXPECT_TRUE(r.out.ends_with("\n")) << r.out;
  }
}

// Float samples that are no numbers, infinite or far past full scale (a damaged file) read as
// silence or as 60 dB over full scale, in both decoders: each run matches that of the file
// holding those stand-ins, and ends by itself.
TEST(HostileInput, FloatsPastFullScaleReadAsTheirStandIns) {
  const Bytes floats = synth::FloatSamples(Signal(), 32);
  const float kNaN = std::numeric_limits<float>::quiet_NaN();
  const float kInf = std::numeric_limits<float>::infinity();
  // Every `step`th sample: near a zero crossing, or in a half-wave (then of its sign).
  const struct {
    const char* name;
    size_t step;
    float bad[3], standIn[3];  // near zero, positive, negative
  } cases[] = {
      {"no numbers near zero", 37, {kNaN, 0, 0}, {0, 0, 0}},
      {"no numbers and infinities", 37, {kNaN, kInf, -kInf}, {0, 1000, -1000}},
      {"far past full scale", 1499, {0, 1e30f, -1e30f}, {0, 1000, -1000}},
  };
  synth::Format f = Pcm(1, 44100, 32);
  f.tag = 3;
  for (const auto& c : cases) {
    Bytes damaged = floats, standIns = floats;
    for (size_t i = 0; i + 4 <= floats.size(); i += 4 * c.step) {
      float x;
      std::memcpy(&x, &floats[i], 4);
      const int k = x > 0.2f ? 1 : x < -0.2f ? 2 : 0;
      if (c.bad[k] == 0) continue;
      std::memcpy(&damaged[i], &c.bad[k], 4);
      std::memcpy(&standIns[i], &c.standIn[k], 4);
    }
    for (const char* mode : {"--recover", "--yes"}) {
      SCOPED_TRACE(std::string(c.name) + " " + mode);
      RunResult runs[2];
      std::vector<uint8_t> outputs[2];
      for (int i = 0; i < 2; ++i) {
        TempDir dir;
        WriteFile(dir / "in",
                  synth::WavBuilder().Riff().Fmt(f).Data(i ? standIns : damaged).Build());
        runs[i] = ::Run({kTool, mode, "-y", "in", "out"}, "", dir.path(), kBoundSeconds);
        ASSERT_FALSE(runs[i].timedOut);
        outputs[i] = ReadFile(dir / "out");
      }
      EXPECT_EQ(runs[0].out, runs[1].out);
      EXPECT_EQ(runs[0].status, runs[1].status);
      EXPECT_EQ(outputs[0], outputs[1]);
    }
  }
}

// A file cut anywhere in its header: before the format fields are complete the tags do not
// match and it is read as text; from the format chunk's size on, the input ends inside a value.
TEST(HostileInput, HeaderCutAtEveryByte) {
  const Bytes good = WithFormat(Pcm());
  for (size_t cut = 0; cut <= 44; ++cut) {
    SCOPED_TRACE("cut at " + std::to_string(cut));
    const Bytes input(good.begin(), good.begin() + static_cast<long>(cut));
    Check({"", input, "", cut < 16 ? 0 : 1,
           cut < 16   ? kNoBytes
           : cut < 44 ? kReadError
                      : "\n\n" + kReadError});
  }
}

// The WAV forms our reader added: floats, chunks before "fmt ", RF64 and its ds64 sizes.
TEST(HostileInput, NewWavFormsEndWithTheDocumentedResult) {
  using synth::WavBuilder;
  const Bytes floats = synth::FloatSamples(Signal(), 32);
  synth::Format f32 = Pcm(1, 44100, 32), f16 = Pcm();
  f32.tag = f16.tag = 3;
  const Bytes nan = {0, 0, 0xC0, 0x7F};
  Bytes nans;
  for (int i = 0; i < 50000; ++i) nans.insert(nans.end(), nan.begin(), nan.end());
  const std::string decodes = "\n\n0000:  12 34 " + kReadError;
  const Bytes big = {'b', 'i', 'g', ' '};
  // A mu-law WAV whose LIST chunk, longer than the file, keeps the audio library's open from
  // ending (a fuzzer's find): the call is abandoned after its processor time.
  Bytes stall = synth::WavBuilder()
                    .Raw({'R', 'I', 'F', 'F', 0xac, 0x07, 0, 0, 'W', 'A', 'V', 'E'})
                    .Raw({'f', 'm', 't', ' ', 0x12, 0, 0, 0, 0x07, 0, 0x2b, 0, 0, 0x11, 0x71, 0})
                    .Raw({0x11, 0xd5, 0xff, 0xff, 0x2e, 0x2e, 0x2e, 0x2e, 0x04, 0})
                    .Raw({'f', 'a', 'c', 't', 4, 0, 0, 0, 0x7a, 0x07, 0, 0})
                    .Raw({'L', 'I', 'S', 'T', 0x7a, 0x07, 0, 0})
                    .Build();
  stall.resize(77, 0xff);
  stall[0x46] = 0xf7;
  stall[0x4a] = 'o';
  const Case cases[] = {
      {"float", WavBuilder().Riff().Fmt(f32).Data(floats).Build(), "", 1, decodes},
      {"float of 16 bits", WavBuilder().Riff().Fmt(f16).Data(floats).Build(), "", 0, kNoBytes},
      {"float, 0 channels", Patched(WavBuilder().Riff().Fmt(f32).Data(floats).Build(), 22, 2, 0),
       "", 0, kNoBytes},
      {"float NaN samples", WavBuilder().Riff().Fmt(f32).Data(nans).Build(), "", 1,
       "\n\n" + kReadError},
      {"JUNK first, size 0xFFFFFFFF",
       WavBuilder()
           .Riff()
           .Raw({'J', 'U', 'N', 'K'})
           .U32(0xFFFFFFFF)
           .Fmt(Pcm())
           .Data(Signal())
           .Build(),
       "", 1, kReadError},
      {"JUNK and no format", WavBuilder().Riff().Chunk("JUNK", Bytes(28, 0)).Build(), "", 1,
       kReadError},
      {"data before the format", WavBuilder().Riff().Data(Signal()).Build(), "", 1, kReadError},
      {"RF64", WavBuilder().Rf64().Ds64(0, 0).Fmt(Pcm()).Data(Signal(), 0xFFFFFFFF).Build(), "", 1,
       decodes},
      {"ds64 data size 2^64-1",
       WavBuilder().Rf64().Ds64(~0ull, ~0ull).Fmt(Pcm()).Data(Signal(), 0xFFFFFFFF).Build(), "", 1,
       decodes},
      {"ds64 table length 2^32-1",
       WavBuilder().Rf64().Ds64(0, 0, {}, 0xFFFFFFFF).Fmt(Pcm()).Data(Signal()).Build(), "", 1,
       decodes},
      {"ds64 size 0xFFFFFFFF",
       WavBuilder()
           .Rf64()
           .Raw({'d', 's', '6', '4'})
           .U32(0xFFFFFFFF)
           .Fmt(Pcm())
           .Data(Signal())
           .Build(),
       "", 1, kReadError},
      {"chunk not in the ds64 table",
       WavBuilder().Rf64().Ds64(0, 0).Fmt(Pcm()).Raw(big).U32(0xFFFFFFFF).Data(Signal()).Build(),
       "", 1, kReadError},
      {"ds64 table: a chunk of 2^63-1 bytes",
       WavBuilder()
           .Rf64()
           .Ds64(0, 0, {{"big ", ~0ull >> 1}})
           .Fmt(Pcm())
           .Raw(big)
           .U32(0xFFFFFFFF)
           .Data(Signal())
           .Build(),
       "", 1, kReadError},
      {"ds64 table: the format chunk 2^40 bytes",
       Patched(WavBuilder()
                   .Rf64()
                   .Ds64(0, 0, {{"fmt ", uint64_t{1} << 40}})
                   .Fmt(Pcm())
                   .Data(Signal())
                   .Build(),
               64, 4, 0xFFFFFFFF),
       "", 1, kReadError},
      {"an unknown sample coding", Patched(WithFormat(Pcm()), 20, 2, 0x1234), "", 1,
       "\tCannot read \"in\": Error in WAV/W64/RF64 file. Malformed 'fmt ' chunk.\n\n"},
      {"a LIST chunk the audio library loops in", stall, "", 1,
       "\tCannot read \"in\": the audio library stalled on it (a damaged file)\n\n"},
      {"mu-law, 0 channels", Patched(Patched(WithFormat(Pcm(1, 44100, 8)), 20, 2, 7), 22, 2, 0), "",
       1, "\tCannot read \"in\": Channel count is zero.\n\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Check(c);
  }
}

// Files of every format the audio library reads, cut short at many offsets and with bytes
// overwritten: each run ends by itself with a documented result. An input refused as
// unreadable audio leaves the existing output file as it was.
TEST(HostileInput, LibraryFormatsCutAndCorrupted) {
  const char* const commands[][2] = {
      {"sox OUT", "a.flac"},
      {"sox OUT", "a.aiff"},
      {"sox OUT", "a.w64"},
      {"sox OUT", "a.au"},
      {"ffmpeg OUT", "a.caf"},
      {"sox -e mu-law OUT", "u.wav"},
      {"ffmpeg -b:a 128k OUT", "a.mp3"},
      {"ffmpeg -c:a libvorbis OUT", "a.ogg"},
      {"ffmpeg -c:a libopus OUT", "a.opus"},
      {"ffmpeg -rf64 always -c:a pcm_f32le OUT", "r.wav"},
  };
  TempDir dir;
  WriteFile(dir / "signal.wav", WithFormat(Pcm()));
  const Bytes kept = {'k', 'e', 'e', 'p'};
  for (const auto& [command, file] : commands) {
    const std::string toolName = ToolOf(command);
    const std::string tool = FindOnPath(toolName);
    REQUIRE_TOOL(tool, toolName);
    ASSERT_EQ(Convert(tool, command, "signal.wav", file, dir.path()).status, 0) << command;
    const Bytes whole = ReadFile(dir / file);
    // Name, bytes, and whether the file's start is whole: it is then never read as text.
    std::vector<std::tuple<std::string, Bytes, bool>> inputs;
    for (size_t cut = 0; cut < whole.size(); cut += cut < 64 ? 8 : whole.size() / 12 + 1)
      inputs.push_back({"cut at " + std::to_string(cut),
                        Bytes(whole.begin(), whole.begin() + long(cut)), cut >= 64});
    for (size_t at = 4; at < whole.size(); at += at < 64 ? 12 : whole.size() / 8 + 1) {
      Bytes bad = whole;
      for (size_t i = at; i < std::min(at + 4, bad.size()); ++i) bad[i] = 0xFF;
      inputs.push_back({"0xFF at " + std::to_string(at), bad, at >= 64});
    }
    for (const auto& [name, input, audio] : inputs) {
      SCOPED_TRACE(std::string(file) + ", " + name);
      WriteFile(dir / "in", input);
      WriteFile(dir / "out.bin", kept);
      const RunResult r = ::Run({kTool, "-y", "in"}, "", dir.path(), kBoundSeconds);
      ASSERT_FALSE(r.timedOut);
      ASSERT_EQ(r.signal, 0);
      const bool refused = r.out.starts_with("\tCannot read \"in\": ") && r.out.ends_with("\n\n");
      const bool ended = r.out.ends_with(kReadError) || r.out.ends_with(" bytes\n");
      EXPECT_TRUE(refused || ended) << r.out;
      EXPECT_EQ(r.status, r.out.ends_with(" bytes\n") ? 0 : 1) << r.out;
      if (audio) {
        EXPECT_NE(r.out, kNoBytes);
      }
      if (refused) {
        EXPECT_EQ(ReadFile(dir / "out.bin"), kept);
      }
    }
  }
}

TEST(HostileInput, DirectoryAsInput) {
  TempDir dir;
  mkdir((dir / "d").c_str(), 0755);
  const RunResult r = ::Run({kTool, "d"}, "", dir.path(), kBoundSeconds);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "\tError opening file \"d\"\n\n");
  EXPECT_EQ(access((dir / "out.bin").c_str(), F_OK), -1);
}

// The console goes away early (a pager or head that quits): the output file still receives
// every byte, and the cut listing makes the status 1. A console closed before the start must not
// make the output file take its place.
TEST(HostileInput, ConsoleThatGoesAwayKeepsEveryByte) {
  const struct {
    const char* name;
    bool closedAtStart;
    int status;
  } cases[] = {{"reader quits early", false, 1}, {"stdin and stdout closed", true, 0}};
  const Bytes payload = synth::RandomBytes(200000, 3);
  const std::string text = synth::CharPairs(payload);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    WriteFile(dir / "in.txt", Bytes(text.begin(), text.end()));
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    const pid_t pid = fork();
    if (pid == 0) {
      if (chdir(dir.path().c_str()) != 0) _exit(127);
      dup2(out[1], STDOUT_FILENO);
      close(out[0]);
      close(out[1]);
      if (c.closedAtStart) close(STDIN_FILENO), close(STDOUT_FILENO);
      signal(SIGPIPE, SIG_DFL);
      execl(kTool.c_str(), kTool.c_str(), "in.txt", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(out[1]);
    char head[100];
    EXPECT_EQ(read(out[0], head, sizeof head) > 0, !c.closedAtStart);
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), c.status);
    EXPECT_EQ(ReadFile(dir / "out.bin"), payload);
  }
}

}  // namespace
