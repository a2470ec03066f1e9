// The tool's hexadecimal listing of bytes, as the tests expect it on the console.
#pragma once

#include <cstdio>
#include <string>

#include "tests/support/synth.h"

// "%04X:  " at the start of each line, "%02X " per byte, a newline after every 16th byte.
inline std::string ExpectedListing(const synth::Bytes& bytes) {
  std::string s;
  char buf[32];
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i % 16 == 0) s.append(buf, size_t(std::snprintf(buf, sizeof buf, "%04zX:  ", i)));
    s.append(buf, size_t(std::snprintf(buf, sizeof buf, "%02X ", bytes[i])));
    if (i % 16 == 15) s += '\n';
  }
  return s;
}
