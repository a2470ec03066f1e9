// The character-pair text form: each byte as two characters, the upper six bits first.
#include "byte_stream.h"
#include "tape_reader.h"

namespace {

constexpr int kFirstLow = 0x30;    // '0'
constexpr int kFirstHigh = 0x6F;   // 'o': '0' + 63
constexpr int kSecondHigh = 0x33;  // '3'

}  // namespace

int ReadCharPair(TapeReader& tr, unsigned char* byte) {
  *byte = 0;
  // Both characters are always read; the end of input (-1) lies outside both ranges.
  const int c1 = StreamGet(tr.input);
  const int c2 = StreamGet(tr.input);
  if (c1 < kFirstLow || c1 > kFirstHigh) return 1;
  if (c2 < kFirstLow || c2 > kSecondHigh) return 1;
  *byte = static_cast<unsigned char>((c1 - kFirstLow) * 4 + (c2 - kFirstLow));
  return 0;
}
