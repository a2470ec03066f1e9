// The console: messages, the hexadecimal listing and the two questions. The console stream and
// the decoded bytes' stream belong to the process: every end of it, also the read error deep
// inside the reader, writes out what they hold.
#ifndef TONEGRAB_CONSOLE_H
#define TONEGRAB_CONSOLE_H

#include <cstdint>

#include "byte_stream.h"

extern OutputStream console;

// Attaches the console to `fd`; a terminal shows each line as it is complete.
void ConsoleAttach(int fd);
void Print(const char* text);
// A message that names a path: before, the path, after.
void PrintWithPath(const char* before, const char* path, const char* after);
// printf of one or two integers (as long long).
void PrintNumber(const char* format, long long a, long long b = 0);
// A time of `ms` milliseconds as h:mm:ss.mmm, into `text`; returns text.
const char* FormatClock(long long ms, char* text, size_t size);
// The same for a time in seconds, to the nearest millisecond.
const char* ClockText(double seconds, char* text, size_t size);
// A line is complete: a terminal shows it now.
void LineDone();
// Why a run failed, for people and scripts alike: one line "tonegrab: PATH: cause" on standard
// error, after the console text so far. The console's own texts stay as they are.
__attribute__((format(printf, 2, 3))) void Explain(const char* path, const char* format, ...);

// Byte `offset` of the listing: "%04X:  " before each sixteenth, "%02X ", a newline after it.
// Inline: it runs once per decoded byte.
inline constexpr int kListBytesPerLine = 16;
inline constexpr char kListHexDigits[] = "0123456789ABCDEF";

// Offset of at least four upper-case hex digits, a colon and two spaces.
inline unsigned char* PutOffset(unsigned char* p, uint64_t offset) {
  int digits = 4;
  while (digits < 16 && (offset >> (4 * digits)) != 0) ++digits;
  for (int i = digits - 1; i >= 0; --i) *p++ = kListHexDigits[(offset >> (4 * i)) & 0xF];
  *p++ = ':';
  *p++ = ' ';
  *p++ = ' ';
  return p;
}

inline void ListByte(int64_t offset, unsigned char byte) {
  constexpr size_t kMaxItem = 32;  // longest offset, byte and line end
  unsigned char* p = OutputReserve(console, kMaxItem);
  if (offset % kListBytesPerLine == 0) p = PutOffset(p, static_cast<uint64_t>(offset));
  *p++ = static_cast<unsigned char>(kListHexDigits[byte >> 4]);
  *p++ = static_cast<unsigned char>(kListHexDigits[byte & 0xF]);
  *p++ = ' ';
  const bool lineEnds = offset % kListBytesPerLine == kListBytesPerLine - 1;
  if (lineEnds) *p++ = '\n';
  console.len = static_cast<size_t>(p - console.buf);
  if (lineEnds) LineDone();
}

// Standard input carries the input: the questions cannot be asked. Each then says so, names the
// option that answers it in advance, and counts as refused.
void AnswersUnavailable();
// Asks before an existing file is overwritten; one character is the answer.
bool ConfirmOverwrite(const char* path);
// Asks for a channel of the recording `path`; returns it, 1 to channelCount, or 0 when the
// answer is out of range.
int AskChannel(int channelCount, const char* path);

#endif
