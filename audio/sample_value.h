// The value of one sample's bytes, shared by the reader and the level scans.
#ifndef TONEGRAB_AUDIO_SAMPLE_VALUE_H
#define TONEGRAB_AUDIO_SAMPLE_VALUE_H

#include <cstdint>

// Little-endian value of `count` bytes (1 to 4). One byte is unsigned (8-bit samples are);
// wider values are two's complement of their own width.
inline int32_t DecodeValue(const unsigned char* p, int count) {
  switch (count) {
    case 1:
      return p[0];
    case 2:
      return static_cast<int16_t>(p[0] | p[1] << 8);
    case 3:
      return static_cast<int32_t>(static_cast<uint32_t>(p[0] | p[1] << 8 | p[2] << 16) << 8) >> 8;
    default:
      return static_cast<int32_t>(p[0] | p[1] << 8 | p[2] << 16 |
                                  static_cast<uint32_t>(p[3]) << 24);
  }
}

#endif
