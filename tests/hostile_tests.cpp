// Hostile and broken inputs: every run must end by itself, in bounded time, with a documented
// result, and keep every decoded byte.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "tests/support/run.h"
#include "tests/support/synth.h"

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
}

TEST(HostileInput, EndsWithTheDocumentedResult) {
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
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Check(c);
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
