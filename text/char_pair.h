// The character-pair text form: each byte as two characters, the upper six bits first. Inline:
// for text input this runs once per byte.
#ifndef TONEGRAB_TEXT_CHAR_PAIR_H
#define TONEGRAB_TEXT_CHAR_PAIR_H

#include "byte_stream.h"
#include "tape_reader.h"

inline constexpr int kPairFirstLow = 0x30;    // '0'
inline constexpr int kPairFirstHigh = 0x6F;   // 'o': '0' + 63
inline constexpr int kPairSecondHigh = 0x33;  // '3': '0' + 3

inline int ReadCharPair(TapeReader& tr, unsigned char* byte) {
  *byte = 0;
  // Both characters are always read; the end of input (-1) lies outside both ranges.
  const int c1 = StreamGet(tr.input);
  const int c2 = StreamGet(tr.input);
  if (c1 < kPairFirstLow || c1 > kPairFirstHigh) return 1;
  if (c2 < kPairFirstLow || c2 > kPairSecondHigh) return 1;
  *byte = static_cast<unsigned char>((c1 - kPairFirstLow) * 4 + (c2 - kPairFirstLow));
  return 0;
}

#endif
