#include "console.h"

#include <unistd.h>

#include <cstdio>

namespace {

bool consoleIsTerminal = false;
bool answersUnavailable = false;

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

}  // namespace

OutputStream console;

void ConsoleAttach(int fd) {
  OutputAttach(console, fd);
  consoleIsTerminal = isatty(fd);
}

void Print(const char* text) {
  OutputText(console, text);
}

void PrintWithPath(const char* before, const char* path, const char* after) {
  Print(before);
  Print(path);
  Print(after);
}

void PrintNumber(const char* format, long long a, long long b) {
  char text[64];
  std::snprintf(text, sizeof text, format, a, b);
  Print(text);
}

const char* FormatClock(long long ms, char* text, size_t size) {
  std::snprintf(text, size, "%lld:%02lld:%02lld.%03lld", ms / 3600000, ms / 60000 % 60,
                ms / 1000 % 60, ms % 1000);
  return text;
}

void LineDone() {
  if (consoleIsTerminal) OutputFlush(console);
}

void AnswersUnavailable() {
  answersUnavailable = true;
}

bool ConfirmOverwrite(const char* path) {
  if (answersUnavailable) {
    PrintWithPath("\tCannot ask whether to overwrite \"", path,
                  "\": standard input carries the input (use -y)\n\n");
    return false;
  }
  PrintWithPath("\tOverwrite \"", path, "\"? ");
  OutputFlush(console);
  const int answer = std::getchar();
  return answer == 'y' || answer == 'Y';
}

int AskChannel(int channelCount) {
  if (answersUnavailable) {
    PrintNumber("\tCannot ask for a channel (%lld-%lld)", 1, channelCount);
    Print(": standard input carries the input (use -c)\n\n");
    return 0;
  }
  PrintNumber("\tSelect channel (%lld-%lld): ", 1, channelCount);
  OutputFlush(console);
  const long choice = ReadDecimal();
  return choice >= 1 && choice <= channelCount ? static_cast<int>(choice) : 0;
}
