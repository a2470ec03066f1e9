// tonegrab: recovers the bytes of a recorded two-tone data signal (a PCM WAV file) or of a
// character-pair text file, writes them to a file and lists them in hexadecimal.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "byte_stream.h"
#include "tape_reader.h"

namespace {

constexpr int kSuccess = 0;
constexpr int kFailure = 1;
constexpr const char* kDefaultOutputPath = "out.bin";
constexpr int kBytesPerLine = 16;
constexpr char kHexDigits[] = "0123456789ABCDEF";

// Both output streams belong to the process: every end of it, also the read error deep inside
// the reader, must write out what they hold.
OutputStream console;
OutputStream output;
const char* outputPath = kDefaultOutputPath;
bool consoleIsTerminal = false;
TapeReader reader;

void Print(const char* text) {
  OutputText(console, text);
}

// A message that names a path: before, the path, after.
void PrintWithPath(const char* before, const char* path, const char* after) {
  Print(before);
  Print(path);
  Print(after);
}

void PrintNumber(const char* format, long long a, long long b = 0) {
  char text[64];
  std::snprintf(text, sizeof text, format, a, b);
  Print(text);
}

// A console that may be watched shows each line as it is complete.
void LineDone() {
  if (consoleIsTerminal) OutputFlush(console);
}

// Writes out the decoded bytes; on failure says so. Returns whether they all reached the file.
bool SaveOutput() {
  if (OutputFlush(output)) return true;
  PrintWithPath("\n\tError writing file \"", outputPath, "\"\n\n");
  return false;
}

// Offset of at least four upper-case hex digits, a colon and two spaces.
unsigned char* PutOffset(unsigned char* p, uint64_t offset) {
  int digits = 4;
  while (digits < 16 && (offset >> (4 * digits)) != 0) ++digits;
  for (int i = digits - 1; i >= 0; --i) *p++ = kHexDigits[(offset >> (4 * i)) & 0xF];
  *p++ = ':';
  *p++ = ' ';
  *p++ = ' ';
  return p;
}

void ListByte(int64_t offset, unsigned char byte) {
  constexpr size_t kMaxItem = 32;  // longest offset, byte and line end
  unsigned char* p = OutputReserve(console, kMaxItem);
  if (offset % kBytesPerLine == 0) p = PutOffset(p, static_cast<uint64_t>(offset));
  *p++ = kHexDigits[byte >> 4];
  *p++ = kHexDigits[byte & 0xF];
  *p++ = ' ';
  const bool lineEnds = offset % kBytesPerLine == kBytesPerLine - 1;
  if (lineEnds) *p++ = '\n';
  console.len = static_cast<size_t>(p - console.buf);
  if (lineEnds) LineDone();
}

// Asks before an existing file is overwritten; one character is the answer.
bool ConfirmOverwrite(const char* path) {
  PrintWithPath("\tOverwrite \"", path, "\"? ");
  OutputFlush(console);
  const int answer = std::getchar();
  return answer == 'y' || answer == 'Y';
}

// One decimal integer from standard input, leading white space skipped; 0 when there is none.
// Values beyond the range of long are held at its ends.
long ReadDecimal() {
  int c = std::getchar();
  while (c == ' ' || (c >= '\t' && c <= '\r')) c = std::getchar();
  const bool negative = c == '-';
  if (c == '-' || c == '+') c = std::getchar();
  constexpr long kLimit = 1000000000000L;
  long value = 0;
  for (; c >= '0' && c <= '9'; c = std::getchar()) {
    if (value < kLimit) value = value * 10 + (c - '0');
  }
  return negative ? -value : value;
}

// Returns the chosen channel, 1 to channelCount, or 0 when the answer is out of range.
int AskChannel(int channelCount) {
  PrintNumber("\tSelect channel (%lld-%lld): ", 1, channelCount);
  OutputFlush(console);
  const long choice = ReadDecimal();
  return choice >= 1 && choice <= channelCount ? static_cast<int>(choice) : 0;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
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

// Settles the output file: refuses the input itself, asks before overwriting, then creates or
// truncates it. Returns the open descriptor, or -1 when the run ends here.
int OpenOutput(const char* path, const struct stat& inputInfo) {
  struct stat info;
  if (stat(path, &info) == 0 && SameFile(info, inputInfo)) {
    PrintWithPath("\tInput and output are the same file \"", path, "\"\n\n");
    return -1;
  }
  const int existing = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (existing >= 0) {
    close(existing);
    if (!ConfirmOverwrite(path)) return -1;
  }
  const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) PrintWithPath("\tError creating file \"", path, "\"\n\n");
  return fd;
}

// Decodes every byte into `out` and the listing; returns how many there were.
int64_t ConvertToBin(TapeReader& tr, OutputStream& out) {
  if (!tr.isText) {
    while (Header(tr)) {
      Print(".");
      LineDone();
    }
  }
  int64_t count = 0;
  unsigned char byte;
  while (ReadByte(tr, &byte) == 0) {
    OutputByte(out, byte);
    ListByte(count, byte);
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
  OutputAttach(console, STDOUT_FILENO);
  consoleIsTerminal = isatty(STDOUT_FILENO);

  if (argc != 2 && argc != 3) {
    Print("Usage: tonegrab <inputfile> [<outputfile>]\n\n");
    return Finish(kFailure);
  }
  struct stat inputInfo;
  const int inputFd = OpenInput(argv[1], &inputInfo);
  if (inputFd < 0) return Finish(kFailure);
  StreamAttach(reader.input, inputFd);

  if (argc == 3) outputPath = argv[2];
  const int outputFd = OpenOutput(outputPath, inputInfo);
  if (outputFd < 0) return Finish(kFailure);
  OutputAttach(output, outputFd);

  SetInputKind(reader);
  if (!reader.isText && reader.channelCount > 1) {
    const int channel = AskChannel(reader.channelCount);
    if (channel == 0) return Finish(kFailure);
    SelectChannel(reader, channel);
  }
  Print("\n\n");

  const int64_t count = ConvertToBin(reader, output);
  if (!SaveOutput()) return Finish(kFailure);
  PrintNumber("\n%lld bytes\n", count);
  return Finish(kSuccess);
}
