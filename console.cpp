#include "console.h"

#include <unistd.h>

#include <cctype>
#include <cstdarg>
#include <cstdio>

#include "signals.h"

namespace {

bool consoleIsTerminal = false;
bool answersUnavailable = false;

// One decimal integer from standard input, leading white space skipped; 0 when there is none.
// Values beyond the range of long are held at its ends. *first is the first character after
// the white space (EOF when the input ended), *digits whether a number was there.
long ReadDecimal(int* first, bool* digits) {
  int c = std::getchar();
  while (c == ' ' || (c >= '\t' && c <= '\r')) c = std::getchar();
  *first = c;
  *digits = false;
  const bool negative = c == '-';
  if (c == '-' || c == '+') c = std::getchar();
  constexpr long kLimit = 1000000000000L;
  long value = 0;
  for (; c >= '0' && c <= '9'; c = std::getchar()) {
    if (value < kLimit) value = value * 10 + (c - '0');
    *digits = true;
  }
  return negative ? -value : value;
}

// What the answer was, its first character `c`, as the explanation says it.
const char* AnswerWas(int c, char* text, size_t size) {
  if (c == EOF) return "standard input ended before an answer";
  if (c == '\n') return "the answer was an empty line";
  std::snprintf(text, size,
                std::isprint(c) ? "the answer was \"%c\"" : "the answer was byte 0x%02X", c);
  return text;
}

// What to give instead of a refused channel: "-c 1 or -c 2", "-c 1 to -c 5".
void ExplainChannel(const char* path, const char* refused, int channelCount) {
  Explain(path, "%s: the recording has channels 1-%d; give -c 1 %s -c %d", refused, channelCount,
          channelCount == 2 ? "or" : "to", channelCount);
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
  char text[160];  // the longest message with its numbers at their longest
  std::snprintf(text, sizeof text, format, a, b);
  Print(text);
}

const char* FormatClock(long long ms, char* text, size_t size) {
  std::snprintf(text, size, "%lld:%02lld:%02lld.%03lld", ms / 3600000, ms / 60000 % 60,
                ms / 1000 % 60, ms % 1000);
  return text;
}

const char* ClockText(double seconds, char* text, size_t size) {
  return FormatClock(static_cast<long long>(seconds * 1000 + 0.5), text, size);
}

void LineDone() {
  if (consoleIsTerminal) OutputFlush(console);
}

void Explain(const char* path, const char* format, ...) {
  OutputFlush(console);  // the console may be standard error too: keep the order
  std::fprintf(stderr, "tonegrab: %s: ", path);
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
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
  if (answer == 'y' || answer == 'Y') return true;
  char text[48];
  if (PendingSignal() == 0)
    Explain(path, "not overwritten: %s; y or Y overwrites (-y answers in advance)",
            AnswerWas(answer, text, sizeof text));
  return false;
}

int AskChannel(int channelCount, const char* path) {
  if (answersUnavailable) {
    PrintNumber("\tCannot ask for a channel (%lld-%lld)", 1, channelCount);
    Print(": standard input carries the input (use -c)\n\n");
    return 0;
  }
  PrintNumber("\tSelect channel (%lld-%lld): ", 1, channelCount);
  OutputFlush(console);
  int first;
  bool digits;
  const long choice = ReadDecimal(&first, &digits);
  if (choice >= 1 && choice <= channelCount) return static_cast<int>(choice);
  if (PendingSignal() != 0) return 0;
  char text[96], answer[48];
  if (digits)
    std::snprintf(text, sizeof text, "channel %ld refused", choice);
  else
    std::snprintf(text, sizeof text, "no channel chosen (%s)",
                  AnswerWas(first, answer, sizeof answer));
  ExplainChannel(path, text, channelCount);
  return 0;
}
