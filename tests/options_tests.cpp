// The command line around the decode: options, standard input and output, pipes, signals, and
// what happens to an output file the user already had. Each case runs the built tool.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "tests/support/listing.h"
#include "tests/support/run.h"
#include "tests/support/synth.h"
#include "tests/support/tools.h"

namespace {

using synth::Bytes;

const std::string kTool = TONEGRAB_BIN;
constexpr int kBoundSeconds = 20;
const Bytes kPayload = synth::RandomBytes(40, 11);

std::string Completed(const Bytes& bytes) {
  return "\n\n" + ExpectedListing(bytes) + "\n" + std::to_string(bytes.size()) + " bytes\n";
}

Bytes ToBytes(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

std::string ToString(const Bytes& b) {
  return std::string(b.begin(), b.end());
}

Bytes Recording(int channels, double leadIn = 0.05) {
  synth::Options o;
  o.channels = channels, o.signalChannel = channels - 1, o.leadIn = leadIn;
  return synth::Wav(kPayload, o);
}

// The tool in `dir`, its standard input from `inFd`, its output into files: no pipe can fill up
// while the test feeds its input.
struct Child {
  pid_t pid = -1;
  std::string dir;
  std::string Out() const { return ToString(ReadFile(dir + "/.stdout")); }
  std::string Err() const { return ToString(ReadFile(dir + "/.stderr")); }
};

Child Start(const std::vector<std::string>& args, int inFd, const std::string& dir) {
  Child c{-1, dir};
  c.pid = fork();
  if (c.pid == 0) {
    const int out = open((dir + "/.stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open((dir + "/.stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(inFd, 0), dup2(out, 1), dup2(err, 2);
    std::vector<char*> argv = {const_cast<char*>(kTool.c_str())};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    if (chdir(dir.c_str()) == 0) execv(argv[0], argv.data());
    _exit(127);
  }
  return c;
}

// Exit status, or -signal when it was killed; -1000 after the time bound.
int Wait(const Child& c) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kBoundSeconds);
  int ws = 0;
  while (waitpid(c.pid, &ws, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(c.pid, SIGKILL);
      waitpid(c.pid, &ws, 0);
      return -1000;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return WIFEXITED(ws) ? WEXITSTATUS(ws) : -WTERMSIG(ws);
}

// The child's state letter from /proc: "S" sleeping, "R" running, "Z" exited.
std::string State(const Child& c) {
  std::ifstream stat("/proc/" + std::to_string(c.pid) + "/stat");
  std::string pid, name, state;
  stat >> pid >> name >> state;
  return state;
}

// Waits until the child has read everything in the pipe whose read end is `readFd` and sleeps,
// or has exited; returns false in the second case.
bool WaitUntilDrained(const Child& c, int readFd) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kBoundSeconds);
  while (std::chrono::steady_clock::now() < deadline) {
    const std::string state = State(c);
    if (state == "Z") return false;
    int pending = 0;
    if (ioctl(readFd, FIONREAD, &pending) == 0 && pending == 0 && state == "S") return true;
    std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
  return false;
}

void WriteAll(int fd, const uint8_t* p, size_t n) {
  while (n > 0) {
    const ssize_t w = write(fd, p, n);
    if (w <= 0) return;
    p += w, n -= size_t(w);
  }
}

class Options : public testing::Test {
 protected:
  void SetUp() override {
    WriteFile(dir / "mono.wav", Recording(1));
    WriteFile(dir / "stereo.wav", Recording(2));
    WriteFile(dir / "in.txt", ToBytes(synth::CharPairs(kPayload)));
    WriteFile(dir / "cut.wav", synth::WavBuilder().Riff().Fmt({}).Build());  // no data chunk
  }
  RunResult Tonegrab(std::vector<std::string> args, const std::string& stdinText = "") {
    args.insert(args.begin(), kTool);
    RunResult r = ::Run(args, stdinText, dir.path(), kBoundSeconds);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.signal, 0);
    return r;
  }
  TempDir dir;
};

// ---- Each option, its refusals, and the questions it answers ----

struct OptionCase {
  const char* name;
  std::vector<std::string> args;
  std::string answers;   // standard input; closed after it
  const char* existing;  // contents of out.bin before the run; nullptr: no such file
  std::string out, err;
  int status;
  enum { kUnchanged, kPayloadFile, kNoFile } file;
};

const std::string kTry = "Try \"tonegrab --help\".\n";
const std::string kOldFile = "old contents\n";

std::vector<OptionCase> OptionCases() {
  const std::string done = Completed(kPayload);
  const std::string overwrite = "\tOverwrite \"out.bin\"? ", channel = "\tSelect channel (1-2): ";
  const char* old = kOldFile.c_str();
  using C = OptionCase;
  return {
      {"Default", {"mono.wav"}, "", nullptr, done, "", 0, C::kPayloadFile},
      {"DefaultText", {"in.txt"}, "", nullptr, done, "", 0, C::kPayloadFile},
      {"ChannelShort", {"-c", "2", "stereo.wav"}, "", nullptr, done, "", 0, C::kPayloadFile},
      {"ChannelLong", {"stereo.wav", "--channel=2"}, "", nullptr, done, "", 0, C::kPayloadFile},
      {"ChannelOnMono", {"-c1", "mono.wav"}, "", nullptr, done, "", 0, C::kPayloadFile},
      {"ChannelOutOfRange",
       {"-y", "-c", "3", "stereo.wav"},
       "",
       old,
       "\tChannel 3 is out of range: the recording has channels 1-2\n\n",
       "",
       1,
       C::kUnchanged},
      {"ChannelOutOfRangeMono",
       {"-c", "2", "mono.wav"},
       "y\n",
       old,
       overwrite + "\tChannel 2 is out of range: the recording has channels 1-1\n\n",
       "",
       1,
       C::kUnchanged},
      {"ChannelZero",
       {"-c", "0", "stereo.wav"},
       "",
       old,
       "",
       "tonegrab: invalid channel: 0\n" + kTry,
       1,
       C::kUnchanged},
      {"ChannelNotANumber",
       {"--channel=2x", "stereo.wav"},
       "",
       nullptr,
       "",
       "tonegrab: invalid channel: 2x\n" + kTry,
       1,
       C::kNoFile},
      {"ChannelMissing",
       {"stereo.wav", "-c"},
       "",
       nullptr,
       "",
       "tonegrab: option needs a value: -c\n" + kTry,
       1,
       C::kNoFile},
      {"Yes", {"-y", "mono.wav"}, "", old, done, "", 0, C::kPayloadFile},
      {"YesLong", {"mono.wav", "--yes"}, "", old, done, "", 0, C::kPayloadFile},
      {"NoClobber",
       {"-n", "mono.wav"},
       "y\n",
       old,
       "\tNot overwriting \"out.bin\" (--no-clobber)\n\n",
       "",
       1,
       C::kUnchanged},
      {"NoClobberNewFile", {"--no-clobber", "mono.wav"}, "", nullptr, done, "", 0, C::kPayloadFile},
      {"Quiet", {"-q", "mono.wav"}, "", nullptr, "40 bytes\n", "", 0, C::kPayloadFile},
      {"QuietText", {"--quiet", "in.txt"}, "", nullptr, "40 bytes\n", "", 0, C::kPayloadFile},
      // Every answer in advance, standard input closed: a batch run over stereo tapes.
      {"AnswersByOptions",
       {"-y", "-c", "2", "-q", "stereo.wav"},
       "",
       old,
       "40 bytes\n",
       "",
       0,
       C::kPayloadFile},
      {"Unknown",
       {"-x", "mono.wav"},
       "",
       nullptr,
       "",
       "tonegrab: unknown option: -x\n" + kTry,
       1,
       C::kNoFile},
      {"UnknownLong",
       {"mono.wav", "--yess"},
       "",
       nullptr,
       "",
       "tonegrab: unknown option: --yess\n" + kTry,
       1,
       C::kNoFile},
      {"Version", {"mono.wav", "-V"}, "", nullptr, "tonegrab 1.0.0\n", "", 0, C::kNoFile},
      {"VersionLong", {"--version"}, "", nullptr, "tonegrab 1.0.0\n", "", 0, C::kNoFile},
      {"DashDashEndsOptions",
       {"--", "-y"},
       "",
       nullptr,
       "\tError opening file \"-y\"\n\n",
       "tonegrab: -y: No such file or directory\n",
       1,
       C::kNoFile},
      {"UsageWithOptions",
       {"-y", "a", "b", "c"},
       "",
       nullptr,
       "Usage: tonegrab <inputfile> [<outputfile>]\n\n",
       "",
       1,
       C::kNoFile},
      // The faults: a refused overwrite, a refused channel and a bad answer keep the old file.
      {"RefusedOverwrite",
       {"mono.wav"},
       "n\n",
       old,
       overwrite,
       "tonegrab: out.bin: not overwritten: the answer was \"n\"; y or Y overwrites (-y answers in "
       "advance)\n",
       1,
       C::kUnchanged},
      {"RefusedChannel",
       {"stereo.wav"},
       "y\n3\n",
       old,
       overwrite + channel,
       "tonegrab: stereo.wav: channel 3 refused: the recording has channels 1-2; give -c 1 or -c "
       "2\n",
       1,
       C::kUnchanged},
      {"BadAnswer",
       {"stereo.wav"},
       "y\ny\ny\ny\n",
       old,
       overwrite + channel,
       "tonegrab: stereo.wav: no channel chosen (the answer was \"y\"): the recording has "
       "channels 1-2; give -c 1 or -c 2\n",
       1,
       C::kUnchanged},
      {"DevNullWithoutQuestion", {"mono.wav", "/dev/null"}, "", nullptr, done, "", 0, C::kNoFile},
      // A run that ends before decoding leaves no new file, and says why on standard error.
      {"ChannelOutOfRangeNewFile",
       {"-c", "3", "stereo.wav"},
       "",
       nullptr,
       "\tChannel 3 is out of range: the recording has channels 1-2\n\n",
       "",
       1,
       C::kNoFile},
      {"NoChannelAnswer",
       {"stereo.wav"},
       "",
       nullptr,
       channel,
       "tonegrab: stereo.wav: no channel chosen (standard input ended before an answer): the "
       "recording has channels 1-2; give -c 1 or -c 2\n",
       1,
       C::kNoFile},
      {"CutHeader",
       {"cut.wav"},
       "",
       nullptr,
       "Read error!\n",
       "tonegrab: cut.wav: the input ended at byte 36, inside the WAV header\n",
       1,
       C::kNoFile},
      {"LargestChannel",
       {"-c", "65535", "stereo.wav"},
       "",
       nullptr,
       "\tChannel 65535 is out of range: the recording has channels 1-2\n\n",
       "",
       1,
       C::kNoFile},
      {"NoClobberLongForm",
       {"--no-clobber", "mono.wav"},
       "",
       old,
       "\tNot overwriting \"out.bin\" (--no-clobber)\n\n",
       "",
       1,
       C::kUnchanged},
      {"YesAndNo",
       {"-y", "-n", "mono.wav"},
       "",
       old,
       "",
       "tonegrab: -y and -n contradict each other\n" + kTry,
       1,
       C::kUnchanged},
      {"NoValueTaken",
       {"--recover=1", "mono.wav"},
       "",
       nullptr,
       "",
       "tonegrab: option takes no value: --recover=1\n" + kTry,
       1,
       C::kNoFile},
      {"LabelsWithoutRecover",
       {"--labels=l.txt", "mono.wav"},
       "",
       nullptr,
       "",
       "tonegrab: --labels goes with --recover\n" + kTry,
       1,
       C::kNoFile},
  };
}

void PrintTo(const OptionCase& c, std::ostream* os) {
  *os << c.name;
}

class OptionTest : public Options, public testing::WithParamInterface<OptionCase> {};

TEST_P(OptionTest, ConsoleStatusAndFile) {
  const OptionCase& c = GetParam();
  if (c.existing) WriteFile(dir / "out.bin", ToBytes(c.existing));
  const RunResult r = Tonegrab(c.args, c.answers);
  EXPECT_EQ(r.out, c.out);
  EXPECT_EQ(r.err, c.err);
  EXPECT_EQ(r.status, c.status);
  const bool exists = std::filesystem::exists(dir / "out.bin");
  switch (c.file) {
    case OptionCase::kUnchanged:
      EXPECT_EQ(ReadFile(dir / "out.bin"), ToBytes(c.existing ? c.existing : ""));
      break;
    case OptionCase::kPayloadFile:
      EXPECT_EQ(ReadFile(dir / "out.bin"), kPayload);
      break;
    case OptionCase::kNoFile:
      EXPECT_FALSE(exists);
  }
}

INSTANTIATE_TEST_SUITE_P(Cli, OptionTest, testing::ValuesIn(OptionCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Options, Help) {
  const RunResult shortForm = Tonegrab({"-h"}), longForm = Tonegrab({"mono.wav", "--help"});
  EXPECT_TRUE(shortForm.out.starts_with("Usage: tonegrab [options] <inputfile> [<outputfile>]\n"));
  for (const char* option : {"--channel=N", "--yes", "--no-clobber", "--quiet", "--verbose",
                             "--recover", "--labels=FILE", "--help", "--version"})
    EXPECT_NE(shortForm.out.find(option), std::string::npos) << option;
  EXPECT_EQ(longForm.out, shortForm.out);
  EXPECT_EQ(shortForm.status + longForm.status, 0);
  EXPECT_FALSE(std::filesystem::exists(dir / "--help"));
  EXPECT_FALSE(std::filesystem::exists(dir / "out.bin"));
}

// ---- Standard input and output ----

struct StreamCase {
  const char* name;
  std::vector<std::string> args;
  std::string input;     // a file in the test directory, given on standard input
  const char* existing;  // out.bin before the run
  std::string out, err;  // "=" stands for the payload's bytes
  int status;
  bool payloadFile;  // out.bin holds the payload afterwards; else it is as before (or absent)
};

std::vector<StreamCase> StreamCases() {
  const std::string done = Completed(kPayload);
  const char* old = kOldFile.c_str();
  return {
      {"DashInput", {"-"}, "mono.wav", nullptr, done, "", 0, true},
      {"DevStdin", {"/dev/stdin"}, "mono.wav", nullptr, done, "", 0, true},
      {"DashInputText", {"-", "out.bin"}, "in.txt", nullptr, done, "", 0, true},
      {"DashInputChannelOption", {"-c", "2", "-"}, "stereo.wav", nullptr, done, "", 0, true},
      {"DashInputNeedsChannel",
       {"-"},
       "stereo.wav",
       nullptr,
       "\tCannot ask for a channel (1-2): standard input carries the input (use -c)\n\n",
       "",
       1,
       false},
      {"DashInputNeedsYes",
       {"-", "out.bin"},
       "mono.wav",
       old,
       "\tCannot ask whether to overwrite \"out.bin\": standard input carries the input (use "
       "-y)\n\n",
       "",
       1,
       false},
      {"DashInputYes", {"-y", "-"}, "mono.wav", old, done, "", 0, true},
      {"DashInputNeedsChannelKeepsFile",
       {"-y", "-"},
       "stereo.wav",
       old,
       "\tCannot ask for a channel (1-2): standard input carries the input (use -c)\n\n",
       "",
       1,
       false},
      {"DashOutput", {"mono.wav", "-"}, "", old, "=", done, 0, false},
      {"DashOutputQuiet", {"-q", "in.txt", "-"}, "", nullptr, "=", "40 bytes\n", 0, false},
      {"DashBoth", {"-c", "2", "-", "-"}, "stereo.wav", nullptr, "=", done, 0, false},
  };
}

void PrintTo(const StreamCase& c, std::ostream* os) {
  *os << c.name;
}

class StreamTest : public Options, public testing::WithParamInterface<StreamCase> {};

TEST_P(StreamTest, ConsoleStatusAndFile) {
  const StreamCase& c = GetParam();
  if (c.existing) WriteFile(dir / "out.bin", ToBytes(c.existing));
  const RunResult r = Tonegrab(c.args, c.input.empty() ? "" : ToString(ReadFile(dir / c.input)));
  EXPECT_EQ(r.out, c.out == "=" ? ToString(kPayload) : c.out);
  EXPECT_EQ(r.err, c.err);
  EXPECT_EQ(r.status, c.status);
  if (c.payloadFile) {
    EXPECT_EQ(ReadFile(dir / "out.bin"), kPayload);
  } else if (c.existing) {
    EXPECT_EQ(ReadFile(dir / "out.bin"), ToBytes(c.existing));
  } else {
    EXPECT_FALSE(std::filesystem::exists(dir / "out.bin"));
  }
}

INSTANTIATE_TEST_SUITE_P(Cli, StreamTest, testing::ValuesIn(StreamCases()),
                         [](const auto& info) { return std::string(info.param.name); });

// Standard output as the shell opened it: appended to, never emptied; never the input itself.
TEST_F(Options, StandardOutputIsNotEmptied) {
  WriteFile(dir / "out.bin", ToBytes(kOldFile));
  RunResult r = ::Run({"/bin/sh", "-c", "'" + kTool + "' -q in.txt - >> out.bin"}, "", dir.path());
  EXPECT_EQ(r.err, "40 bytes\n");
  EXPECT_EQ(r.status, 0);
  Bytes appended = ToBytes(kOldFile);
  appended.insert(appended.end(), kPayload.begin(), kPayload.end());
  EXPECT_EQ(ReadFile(dir / "out.bin"), appended);
  const Bytes text = ReadFile(dir / "in.txt");
  r = ::Run({"/bin/sh", "-c", "'" + kTool + "' in.txt - >> in.txt"}, "", dir.path());
  EXPECT_EQ(r.err, "\tInput and output are the same file \"-\"\n\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(ReadFile(dir / "in.txt"), text);
}

// A pipe that delivers a few bytes at a time, each read by the tool before the next comes. The
// long lead-in puts the decoder's step back at the end of the leader just past the point where
// the full window first drops its oldest bytes.
struct SlowCase {
  const char* name;
  int rate, bits, channels;
  double leadIn;
  size_t chunk;
};

void PrintTo(const SlowCase& c, std::ostream* os) {
  *os << c.name;
}

class SlowPipeTest : public Options, public testing::WithParamInterface<SlowCase> {};

TEST_P(SlowPipeTest, DecodesAsItArrives) {
  const SlowCase& p = GetParam();
  synth::Options o;
  o.rate = p.rate, o.bits = p.bits, o.channels = p.channels, o.signalChannel = p.channels - 1;
  o.leadIn = p.leadIn, o.leader = 250, o.tail = synth::Tail::kIdle;
  const Bytes wav = synth::Wav(kPayload, o);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const Child child = Start({"-q", "-c", std::to_string(p.channels), "-"}, fds[0], dir.path());
  for (size_t at = 0; at < wav.size(); at += p.chunk) {
    WriteAll(fds[1], wav.data() + at, std::min(p.chunk, wav.size() - at));
    if (!WaitUntilDrained(child, fds[0])) break;  // done: the idle tail is not needed
  }
  close(fds[1]);
  close(fds[0]);
  EXPECT_EQ(Wait(child), 0);
  EXPECT_EQ(child.Out(), "40 bytes\n");
  EXPECT_EQ(ReadFile(dir / "out.bin"), kPayload);
}

INSTANTIATE_TEST_SUITE_P(Cli, SlowPipeTest,
                         testing::Values(SlowCase{"Mono8bit3Bytes", 22050, 8, 1, 0.05, 3},
                                         SlowCase{"Stereo16bit7Bytes", 44100, 16, 2, 0.05, 7},
                                         SlowCase{"StepBackAcrossWindowDrop", 48000, 16, 1, 2.67771,
                                                  4096}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Options, PipeRefusesFramesItCannotStepBackOver) {
  synth::Format f;
  f.channels = 64, f.rate = 192000, f.bits = 32;
  const Bytes wav = synth::WavBuilder().Riff().Fmt(f).Data(Bytes(4096)).Build();
  const RunResult r = Tonegrab({"-c", "1", "-"}, ToString(wav));
  EXPECT_EQ(r.out,
            "\tThis recording's decoder may step back 196864 bytes, more than a pipe keeps "
            "(131072): save it to a file first\n\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_FALSE(std::filesystem::exists(dir / "out.bin"));
}

// ---- Signals: the run ends like the end of input, every listed byte in the file ----

struct SignalCase {
  const char* name;
  int signal;
  bool text;
};

void PrintTo(const SignalCase& c, std::ostream* os) {
  *os << c.name;
}

class SignalTest : public Options, public testing::WithParamInterface<SignalCase> {};

TEST_P(SignalTest, KeepsEveryListedByte) {
  const SignalCase& p = GetParam();
  const Bytes input = p.text ? ReadFile(dir / "in.txt") : Recording(1);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const Child child = Start({"-"}, fds[0], dir.path());
  WriteAll(fds[1], input.data(), input.size() * 3 / 5);  // the rest never comes
  ASSERT_TRUE(WaitUntilDrained(child, fds[0]));
  kill(child.pid, p.signal);
  const int status = Wait(child);
  close(fds[1]);
  close(fds[0]);
  const Bytes written = ReadFile(dir / "out.bin");
  ASSERT_GT(written.size(), 0u);
  ASSERT_LT(written.size(), kPayload.size());
  EXPECT_EQ(written, Bytes(kPayload.begin(), kPayload.begin() + long(written.size())));
  EXPECT_EQ(child.Out(), "\n\n" + ExpectedListing(written) + "\n\tInterrupted by " + p.name +
                             " after " + std::to_string(written.size()) + " bytes\n\n");
  EXPECT_EQ(status, 128 + p.signal);
}

INSTANTIATE_TEST_SUITE_P(Cli, SignalTest,
                         testing::Values(SignalCase{"SIGINT", SIGINT, false},
                                         SignalCase{"SIGTERM", SIGTERM, false},
                                         SignalCase{"SIGHUP", SIGHUP, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// Two signals: the first one counts. Both are sent while the tool is stopped, so that both are
// pending when it goes on and both handlers run: the kernel runs SIGTERM's before SIGINT's.
TEST_F(Options, FirstOfTwoSignalsCounts) {
  const Bytes input = Recording(1);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const Child child = Start({"-q", "-"}, fds[0], dir.path());
  WriteAll(fds[1], input.data(), input.size() * 3 / 5);
  ASSERT_TRUE(WaitUntilDrained(child, fds[0]));
  kill(child.pid, SIGSTOP);
  while (State(child) != "T") std::this_thread::sleep_for(std::chrono::microseconds(50));
  kill(child.pid, SIGTERM);
  kill(child.pid, SIGINT);
  kill(child.pid, SIGCONT);
  EXPECT_EQ(Wait(child), 128 + SIGTERM);
  close(fds[1]);
  close(fds[0]);
  EXPECT_TRUE(child.Out().starts_with("\n\tInterrupted by SIGTERM after ")) << child.Out();
}

// --recover interrupted before any block: the interruption, not "No signal found", and no file.
TEST_F(Options, RecoveryInterruptedBeforeAnyBlock) {
  const Bytes silence = synth::WavBuilder().Riff().Fmt({}).Data(Bytes(100000, 0)).Build();
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const Child child = Start({"-r", "-"}, fds[0], dir.path());
  WriteAll(fds[1], silence.data(), silence.size());  // and the rest never comes
  ASSERT_TRUE(WaitUntilDrained(child, fds[0]));
  kill(child.pid, SIGINT);
  EXPECT_EQ(Wait(child), 128 + SIGINT);
  close(fds[1]);
  close(fds[0]);
  EXPECT_EQ(child.Out(), "\n\n\tInterrupted by SIGINT after 0 bytes\n\n");
  EXPECT_FALSE(std::filesystem::exists(dir / "out.bin"));
}

// ---- Outputs that are no regular file, and a file that cannot be read ----

TEST_F(Options, FifoOutputWithoutQuestion) {
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  Bytes got;
  std::thread reader([&] { got = ReadFile(dir / "fifo"); });
  const RunResult r = Tonegrab({"in.txt", "fifo"});
  close(open((dir / "fifo").c_str(), O_WRONLY | O_NONBLOCK));  // frees a reader still waiting
  reader.join();
  EXPECT_EQ(r.out, Completed(kPayload));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(got, kPayload);
}

// A file the user may write but not read is asked about. Root reads every file, so as root the
// tool runs as an unprivileged user.
TEST_F(Options, UnreadableFileIsAskedAbout) {
  std::vector<std::string> prefix;
  if (geteuid() == 0) {
    if (access("/usr/bin/setpriv", X_OK) != 0) {
      std::fprintf(stderr,
                   "\n*** setpriv is NOT INSTALLED: the unreadable file is not tested ***\n\n");
      GTEST_SKIP() << "setpriv is not installed";
    }
    prefix = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
  }
  const std::string file = dir / "out.bin";
  for (const bool yes : {false, true}) {
    SCOPED_TRACE(yes ? "answered y" : "answered n");
    WriteFile(file, ToBytes(kOldFile));
    ASSERT_EQ(chmod(dir.path().c_str(), 0777) | chmod(file.c_str(), 0200), 0);
    if (geteuid() == 0) {
      ASSERT_EQ(chown(file.c_str(), 65534, 65534), 0);
    }
    std::vector<std::string> args = prefix;
    args.insert(args.end(), {kTool, "in.txt"});
    const RunResult r = ::Run(args, yes ? "y\n" : "n\n", dir.path(), kBoundSeconds);
    const std::string question = "\tOverwrite \"out.bin\"? ";
    EXPECT_EQ(r.out, yes ? question + Completed(kPayload) : question);
    EXPECT_EQ(r.status, yes ? 0 : 1);
    ASSERT_EQ(chmod(file.c_str(), 0600), 0);
    EXPECT_EQ(ReadFile(file), yes ? kPayload : ToBytes(kOldFile));
  }
}

// ---- -v: diagnostics on standard error, the listing as without it ----

TEST_F(Options, VerboseKeepsTheListing) {
  const RunResult text = Tonegrab({"-v", "in.txt"});
  EXPECT_EQ(text.out, Completed(kPayload));
  EXPECT_EQ(text.err,
            "tonegrab: no RIFF/WAVE header: read as character-pair text\n"
            "tonegrab: decoding stopped at byte 80 of the text: the input ended\n");
  // The reason is the WAV reader's own, wherever the format chunk lies.
  const std::string oddFormat =
      "tonegrab: a RIFF/WAVE file of format tag 0x0001, 1 channel, 12 bits per sample: read as "
      "character-pair text (decoded are integer PCM of 8, 16, 24 or 32 bits and float of 32 or "
      "64 bits, tag 1, 3 or extensible with either sub-format, and one channel or more)\n";
  const std::pair<Bytes, std::string> refused[] = {
      {synth::WavBuilder().Riff().Fmt({1, 1, 44100, 12}).Build(), oddFormat},
      {synth::WavBuilder().Riff().Chunk("JUNK", Bytes(4)).Fmt({1, 1, 44100, 12}).Build(),
       oddFormat},
      {synth::WavBuilder().Riff().Raw({'f', 'm'}).Build(),
       "tonegrab: a RIFF/WAVE file that ends before its first chunk: read as character-pair "
       "text\n"},
  };
  for (const auto& [wav, reason] : refused) {
    WriteFile(dir / "odd.wav", wav);
    EXPECT_EQ(Tonegrab({"-v", "-y", "odd.wav", "f.bin"}).err,
              reason + "tonegrab: decoding stopped at byte 0 of the text: not a character pair\n");
  }

  const RunResult wav = Tonegrab({"-v", "-c", "2", "stereo.wav", "w.bin"});
  EXPECT_EQ(wav.out, Completed(kPayload));
  const std::string lines[] = {
      "tonegrab: WAV recording: 16-bit integer PCM, 2 channels, 44100 Hz\n",
      "tonegrab: decoding channel 2\n", "tonegrab: leader found: data from 0:00:00.",
      "tonegrab: decoding stopped at 0:00:00.",
      "tonegrab: peak level of channel 2 in the part read: -3.1 dBFS (the detector needs -14.0 "
      "dBFS)\n"};
  size_t at = 0;
  for (const std::string& line : lines) {
    at = wav.err.find(line, at);
    ASSERT_NE(at, std::string::npos) << line << "\nin:\n" << wav.err;
  }
}

// The peak level in every format: a float WAV file on a pipe, watched as it loads, and a FLAC
// file, which the audio library decodes and which is read again for it.
TEST_F(Options, VerbosePeakInEveryFormat) {
  const Bytes floats = synth::FloatSamples(synth::Samples(kPayload, synth::Options{}), 32);
  const Bytes wav = synth::WavBuilder().Riff().Fmt({3, 1, 44100, 32}).Data(floats).Build();
  const std::string peak =
      "tonegrab: peak level of channel 1 in the part read: -3.1 dBFS (the detector needs -14.0 "
      "dBFS)\n";
  RunResult r = Tonegrab({"-v", "-q", "-"}, ToString(wav));
  EXPECT_NE(r.err.find(peak), std::string::npos) << r.err;
  const std::string sox = FindOnPath("sox");
  REQUIRE_TOOL(sox, std::string("sox"));
  ASSERT_EQ(Convert(sox, "sox OUT", "mono.wav", "mono.flac", dir.path()).status, 0);
  r = Tonegrab({"-v", "-q", "-y", "mono.flac"});
  EXPECT_NE(r.err.find(peak), std::string::npos) << r.err;
}

// No leader at a rate too low for the leader search: -v says so and names --recover.
TEST_F(Options, VerboseNamesRecoverAtTooLowARate) {
  synth::Options o;
  o.rate = 8000;
  WriteFile(dir / "low.wav", synth::Wav(kPayload, o));
  const RunResult r = Tonegrab({"-v", "-q", "low.wav"});
  EXPECT_EQ(r.out, "Read error!\n");
  EXPECT_TRUE(r.err.ends_with(
      "tonegrab: at 8000 Hz a short half-wave lasts 1.67 samples, fewer than the 2.5 the leader "
      "search needs to allow for a sample of jitter; --recover reads such recordings\n"
      "tonegrab: low.wav: the input ended at 0:00:00.552 (sample frame 4420) before a leader was "
      "found\n"))
      << r.err;
  EXPECT_EQ(Tonegrab({"-q", "-y", "-r", "low.wav"}).status, 0);
  EXPECT_EQ(ReadFile(dir / "out.bin"), kPayload);
}

}  // namespace
