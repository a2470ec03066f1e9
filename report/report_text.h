// Text out for the report files: formatted pieces into an output stream, and the UTF-8 checks
// that keep names from the command line valid in JSON and XML.
#ifndef TONEGRAB_REPORT_REPORT_TEXT_H
#define TONEGRAB_REPORT_REPORT_TEXT_H

#include <cstddef>

#include "byte_stream.h"

// The stream the report files are written through, one after the other.
extern OutputStream reportStream;

// printf into the stream; a piece is at most a few hundred bytes.
__attribute__((format(printf, 2, 3))) void PutF(OutputStream& out, const char* format, ...);

// The length of the well-formed UTF-8 sequence at p (1 to 4), or 0 when the bytes there are not
// one: a stray continuation byte, a sequence cut short, an overlong form, a surrogate or a code
// point past U+10FFFF. p points into a NUL-terminated string.
int Utf8Length(const unsigned char* p);

// Whether the whole string is well-formed UTF-8.
bool IsUtf8(const char* text);

#endif
