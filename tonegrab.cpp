// tonegrab: recovers the bytes of a recorded two-tone data signal (a PCM WAV file) or of a
// character-pair text file, writes them to a file and lists them in hexadecimal.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "audio/samples.h"
#include "byte_stream.h"
#include "combine/channels.h"
#include "console.h"
#include "decoder/half_wave.h"
#include "diagnostics.h"
#include "options.h"
#include "output_file.h"
#include "read_ahead.h"
#include "recover_run.h"
#include "report/tape_report.h"
#include "signals.h"
#include "tape_reader.h"

namespace {

constexpr int kSuccess = 0;
constexpr int kFailure = 1;
constexpr int kSignalStatusBase = 128;  // the shell's status for a run ended by a signal
constexpr char kVersionText[] = "tonegrab 1.0.0\n";

OutputStream output;
Options options;
TapeReader reader;
ReadAhead readAhead;
int64_t byteCount;      // bytes decoded so far
RunPhase phase;         // for -v: how far the run got
int64_t frameStart;     // for -v: the stream position where the byte being read began
int64_t dataStart;      // the stream position of the chosen channel's first sample
int chosenChannel = 1;  // 1-based, or kAllChannels

// Opens the input for reading; "-" is standard input. One that cannot be repositioned is read
// as it arrives.
int OpenInput(const char* path, struct stat* info) {
  const bool standard = IsStandardStream(path);
  const int fd = standard ? STDIN_FILENO : open(path, O_RDONLY | O_CLOEXEC);
  const bool opened = fd >= 0 && fstat(fd, info) == 0;
  if (!opened || S_ISDIR(info->st_mode)) {
    const int error = opened ? EISDIR : errno;
    if (PendingSignal() != 0) return -1;
    PrintWithPath("\tError opening file \"", path, "\"\n\n");
    Explain(path, "%s", std::strerror(error));
    return -1;
  }
  return fd;
}

// Whether the answers to the questions would be read from the input itself.
bool InputIsStandardInput(int inputFd, const struct stat& input) {
  struct stat info;
  if (inputFd == STDIN_FILENO) return true;
  return fstat(STDIN_FILENO, &info) == 0 && SameFile(info, input);
}

// The farthest the decoder moves back, in bytes: Rew walks back over the long half-wave it has
// just measured and at most the whole half-wave before it, neither longer than the decoder
// accepts, and reads one frame where it stops. A pipe serves that only from its window.
int64_t LongestStepBack(const TapeReader& tr) {
  const int64_t longest = std::max(tr.sampleRate, 0) / kLongestPerSecond;
  return (2 * longest + 1) * FrameBytes(tr);
}

// The channel to decode: the option's, checked against the recording, or the answer to the
// question. Returns 0 when the run ends here.
int ChooseChannel(const TapeReader& tr) {
  if (options.channel == 0) return AskChannel(tr.channelCount, options.inputPath);
  if (options.channel == kAllChannels) {
    if (tr.channelCount <= kMixChannels) return tr.channelCount == 1 ? 1 : kAllChannels;
    PrintNumber("\t-c all combines at most %lld channels", kMixChannels);
    PrintNumber(": the recording has %lld; choose one with -c N\n\n", tr.channelCount);
    return 0;
  }
  if (options.channel <= tr.channelCount) return options.channel;
  PrintNumber("\tChannel %lld is out of range: the recording has channels 1-%lld\n\n",
              options.channel, tr.channelCount);
  return 0;
}

// Decodes every byte into `out` and the listing; returns how many there were.
int64_t ConvertToBin(TapeReader& tr, OutputStream& out) {
  phase = kPhaseLeader;
  if (!tr.isText) {
    while (Header(tr)) {
      if (options.quiet) continue;
      Print(".");
      LineDone();
    }
    if (options.verbose) NoteLeader(tr);
    ReportLeader(tr);
  }
  phase = kPhaseData;
  // The loop keeps its own copies: the stores into the output buffers could otherwise alias
  // the globals and make every byte read them again. byteCount stays current for the ends
  // that leave from inside the reader.
  const bool verbose = options.verbose, listed = !options.quiet;
  const bool reported = ReportWanted(options);
  int64_t count = byteCount;
  unsigned char byte;
  for (;;) {
    if (verbose) frameStart = StreamTell(tr.input);
    if (ReadByte(tr, &byte) != 0) break;
    OutputByte(out, byte);
    if (listed) ListByte(count, byte);
    if (reported) ReportByteEnd(tr);
    byteCount = ++count;
  }
  return count;
}

// With a standard descriptor closed, a file opened later would take its number and the console
// would write into the output file: each closed one is held open on /dev/null instead.
bool HoldStandardDescriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", O_RDWR) != fd) return false;
  }
  return true;
}

// Every end of the run comes here. A signal that came turns it into an interrupted run.
int Finish(int status) {
  ReadAheadStop(reader.input);
  const int signal = PendingSignal();
  if (signal != 0) {
    Print("\n\tInterrupted by ");
    Print(SignalName(signal));
    PrintNumber(" after %lld bytes\n\n", byteCount);
    status = kSignalStatusBase + signal;
  }
  const bool shown = OutputFlush(console);
  return shown || signal != 0 ? status : kFailure;
}

// The run ends before decoding: a new output file is not left behind, for the next run would
// find it there and ask about it, or refuse it with -n. An existing one has not been touched.
void EndBeforeDecoding() {
  DiscardOutput(options.outputPath);
}

// Why decoding ended, for -v, when the input ran out.
StopCause EndCause() {
  if (PendingSignal() != 0) return kStopSignal;
  return reader.input.lost ? kStopLost : kStopEnd;
}

// A pipe could not go back as far as the reader asked: what it decoded is not to be trusted.
void ReportLostInput() {
  PrintWithPath("\n\tError seeking in file \"", options.inputPath, "\"\n\n");
  Explain(options.inputPath,
          "the decoder went back to bytes a pipe no longer holds, after %lld byte%s; save the "
          "recording to a file first",
          static_cast<long long>(byteCount), byteCount == 1 ? "" : "s");
}

}  // namespace

[[noreturn]] void EndOnReadError() {
  if (EndInTakeHeader()) {
    EndBeforeDecoding();
    std::exit(Finish(kFailure));
  }
  if (options.verbose) NoteStop(reader, phase, EndCause(), StreamTell(reader.input));
  if (phase != kPhaseHeader) ReportStop(reader, phase, EndCause(), false);
  if (phase == kPhaseHeader) EndBeforeDecoding();
  if (reader.input.lost) {
    ReportLostInput();
  } else if (PendingSignal() == 0) {
    Print("Read error!\n");
    ExplainInputEnd(reader, phase, options.inputPath, StreamTell(reader.input), dataStart,
                    byteCount);
  }
  SaveOutput(output, options.outputPath);
  std::exit(Finish(EndReport(kFailure)));
}

int main(int argc, char** argv) {
  // A console that goes away must not take the decoded bytes with it: writes to it then fail
  // and the run goes on to save the output file.
  std::signal(SIGPIPE, SIG_IGN);
  if (!HoldStandardDescriptors()) return kFailure;
  ConsoleAttach(STDOUT_FILENO);

  switch (ParseOptions(argc, argv, &options)) {
    case kParseRun:
      break;
    case kParseHelp:
      Print(kHelpText);
      return Finish(kSuccess);
    case kParseVersion:
      Print(kVersionText);
      return Finish(kSuccess);
    case kParseUsage:
      Print(kUsageLine);
      Print("\n");
      return Finish(kFailure);
    default:
      return Finish(kFailure);
  }
  // The decoded bytes on standard output: the console moves out of their way.
  if (IsStandardStream(options.outputPath)) ConsoleAttach(STDERR_FILENO);
  if (ReportOnStandardOutput(options)) ConsoleAttach(STDERR_FILENO);
  CatchEndSignals();

  struct stat inputInfo;
  const int inputFd = OpenInput(options.inputPath, &inputInfo);
  if (inputFd < 0) return Finish(kFailure);
  StreamAttach(reader.input, inputFd);
  if (InputIsStandardInput(inputFd, inputInfo)) AnswersUnavailable();
  if (options.recover && !LabelsPathFits(options, inputInfo)) return Finish(kFailure);

  if (!ReportPathsFit(options, inputInfo)) return Finish(kFailure);
  const int outputFd = PrepareOutput(options.outputPath, inputInfo, options.overwrite);
  if (outputFd < 0) return Finish(kFailure);
  OutputAttach(output, outputFd);

  phase = kPhaseHeader;
  SetInputKind(reader);
  if (reader.refusal) {
    PrintWithPath("\tCannot read \"", options.inputPath, "\": ");
    Print(reader.refusal);
    Print("\n\n");
    EndBeforeDecoding();
    return Finish(kFailure);
  }
  if (options.verbose) NoteInputKind(reader);
  if (!reader.isText && !reader.input.seekable && LongestStepBack(reader) > kPipeKeepBehind) {
    PrintNumber("\tThis recording's decoder may step back %lld bytes", LongestStepBack(reader));
    PrintNumber(", more than a pipe keeps (%lld): save it to a file first\n\n", kPipeKeepBehind);
    EndBeforeDecoding();
    return Finish(kFailure);
  }
  if (!reader.isText) {
    int channel = 1;
    if (reader.channelCount > 1 || options.channel != 0) {
      channel = ChooseChannel(reader);
      if (channel == 0) {
        EndBeforeDecoding();
        return Finish(kFailure);
      }
      if (channel != kAllChannels) SelectChannel(reader, channel);
    }
    chosenChannel = channel;
    dataStart = StreamTell(reader.input);
    if (options.verbose) NoteChannel(reader, channel);
    ReportChannel(channel);
  }
  if (options.recover && !reader.isText && !RecoverRateFits(reader)) {
    EndBeforeDecoding();
    return Finish(kFailure);
  }
  // A regular file this tool reads itself (not one the audio library reads) is read ahead; with
  // --recover, a thread of the recovery's reads, decimates and more (sample_ahead.h) instead.
  if (S_ISREG(inputInfo.st_mode) && !reader.sound.file && !options.recover)
    ReadAheadStart(reader.input, readAhead);
  if (ReportWanted(options)) ReportBegin(reader, options);
  if (options.recover && !reader.isText)
    return Finish(
        EndReport(RecoverToFiles(reader, chosenChannel, output, options, inputInfo, &byteCount)));
  if (!StartOutput(outputFd, options.outputPath)) return Finish(kFailure);
  if (!options.quiet) Print("\n\n");

  const int64_t count = ConvertToBin(reader, output);
  if (options.verbose) {
    const bool ended = PendingSignal() != 0 || reader.input.lost;
    NoteStop(reader, phase, ended ? EndCause() : kStopNoByte, frameStart);
  }
  ReportStop(reader, phase, PendingSignal() != 0 ? kStopSignal : kStopNoByte, true);
  if (reader.input.lost) ReportLostInput();
  if (!SaveOutput(output, options.outputPath) || reader.input.lost) return Finish(kFailure);
  if (PendingSignal() == 0) PrintNumber(options.quiet ? "%lld bytes\n" : "\n%lld bytes\n", count);
  return Finish(EndReport(kSuccess));
}
