#include "report/report_text.h"

#include <cstdarg>
#include <cstdio>

OutputStream reportStream;

void PutF(OutputStream& out, const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  OutputText(out, text);
}

int Utf8Length(const unsigned char* p) {
  const unsigned char c = p[0];
  if (c < 0x80) return 1;
  int length;
  unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    length = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    length = 3;
    if (c == 0xE0) low = 0xA0;   // shorter forms are overlong
    if (c == 0xED) high = 0x9F;  // U+D800-DFFF are surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    length = 4;
    if (c == 0xF0) low = 0x90;
    if (c == 0xF4) high = 0x8F;  // past U+10FFFF
  } else {
    return 0;
  }
  if (p[1] < low || p[1] > high) return 0;
  for (int i = 2; i < length; ++i) {
    if (p[i] < 0x80 || p[i] > 0xBF) return 0;
  }
  return length;
}

bool IsUtf8(const char* text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  while (*p) {
    const int n = Utf8Length(p);
    if (n == 0) return false;
    p += n;
  }
  return true;
}
