// tonegrab: recovers the bytes of a recorded two-tone data signal (a PCM WAV file) or of a
// character-pair text file, writes them to a file and lists them in hexadecimal.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "byte_stream.h"
#include "console.h"
#include "options.h"
#include "output_file.h"
#include "recover_run.h"
#include "tape_reader.h"

namespace {

constexpr int kSuccess = 0;
constexpr int kFailure = 1;
constexpr char kVersionText[] = "tonegrab 1.0.0\n";

OutputStream output;
Options options;
TapeReader reader;

// Writes out the decoded bytes; on failure says so. Returns whether they all reached the file.
bool SaveOutput() {
  if (OutputFlush(output)) return true;
  PrintWithPath("\n\tError writing file \"", options.outputPath, "\"\n\n");
  return false;
}

// Opens the input for reading. It must be a file that can be repositioned: the decoder steps
// back, and on a pipe it would read garbage instead.
int OpenInput(const char* path, struct stat* info) {
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0 || fstat(fd, info) != 0 || S_ISDIR(info->st_mode)) {
    PrintWithPath("\tError opening file \"", path, "\"\n\n");
    return -1;
  }
  if (lseek(fd, 0, SEEK_CUR) < 0) {
    PrintWithPath("\tError seeking in file \"", path, "\"\n\n");
    return -1;
  }
  return fd;
}

// The channel to decode: the option's, checked against the recording, or the answer to the
// question. Returns 0 when the run ends here.
int ChooseChannel(const TapeReader& tr) {
  if (options.channel == 0) return AskChannel(tr.channelCount);
  if (options.channel <= tr.channelCount) return options.channel;
  PrintNumber("\tChannel %lld is out of range: the recording has channels 1-%lld\n\n",
              options.channel, tr.channelCount);
  return 0;
}

// Decodes every byte into `out` and the listing; returns how many there were.
int64_t ConvertToBin(TapeReader& tr, OutputStream& out) {
  if (!tr.isText) {
    while (Header(tr)) {
      if (options.quiet) continue;
      Print(".");
      LineDone();
    }
  }
  int64_t count = 0;
  unsigned char byte;
  while (ReadByte(tr, &byte) == 0) {
    OutputByte(out, byte);
    if (!options.quiet) ListByte(count, byte);
    ++count;
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

int Finish(int status) {
  const bool shown = OutputFlush(console);
  return shown ? status : kFailure;
}

}  // namespace

[[noreturn]] void EndOnReadError() {
  Print("Read error!\n");
  SaveOutput();
  OutputFlush(console);
  std::exit(kFailure);
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
  struct stat inputInfo;
  const int inputFd = OpenInput(options.inputPath, &inputInfo);
  if (inputFd < 0) return Finish(kFailure);
  StreamAttach(reader.input, inputFd);

  const int outputFd = PrepareOutput(options.outputPath, inputInfo, options.overwrite);
  if (outputFd < 0) return Finish(kFailure);
  OutputAttach(output, outputFd);

  SetInputKind(reader);
  if (reader.refusal) {
    PrintWithPath("\tCannot read \"", options.inputPath, "\": ");
    Print(reader.refusal);
    Print("\n\n");
    return Finish(kFailure);
  }
  if (!reader.isText && (reader.channelCount > 1 || options.channel != 0)) {
    const int channel = ChooseChannel(reader);
    if (channel == 0) return Finish(kFailure);
    SelectChannel(reader, channel);
  }
  if (!StartOutput(outputFd, options.outputPath)) return Finish(kFailure);
  if (options.recover && !reader.isText)
    return Finish(RecoverToFiles(reader, output, options, inputInfo));
  if (!options.quiet) Print("\n\n");

  const int64_t count = ConvertToBin(reader, output);
  if (!SaveOutput()) return Finish(kFailure);
  PrintNumber(options.quiet ? "%lld bytes\n" : "\n%lld bytes\n", count);
  return Finish(kSuccess);
}
