// Compiled for AVX2; called only when the processor has it (decoder/level_scan.cpp).
#include <immintrin.h>

#include <cstring>

#include "decoder/level_scan.h"

namespace {

constexpr int64_t kVectorBytes = 32;

// movemask sets one bit per byte; a frame of two channels keeps only the bytes of the first
// sample of each frame, the one the stream stands on.
constexpr uint32_t ChosenLanes(int bytes, bool stereo) {
  if (!stereo) return 0xFFFFFFFFu;
  return bytes == 1 ? 0x55555555u : bytes == 2 ? 0x33333333u : 0x0F0F0F0Fu;
}

template <int kBytes>
__m256i Broadcast(int32_t v) {
  if constexpr (kBytes == 1) return _mm256_set1_epi8(static_cast<char>(v));
  if constexpr (kBytes == 2) return _mm256_set1_epi16(static_cast<int16_t>(v));
  return _mm256_set1_epi32(v);
}

template <int kBytes>
__m256i Greater(__m256i a, __m256i b) {
  if constexpr (kBytes == 1) return _mm256_cmpgt_epi8(a, b);
  if constexpr (kBytes == 2) return _mm256_cmpgt_epi16(a, b);
  return _mm256_cmpgt_epi32(a, b);
}

// A sample as the plain scan reads it; 8-bit samples are unsigned.
template <int kBytes>
int32_t SampleAt(const unsigned char* p) {
  if constexpr (kBytes == 1) return p[0];
  if constexpr (kBytes == 2) {
    int16_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
  }
  int32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

}  // namespace

template <int kBytes>
int64_t FindThresholdAvx2(const unsigned char* buf, int64_t at, int64_t stop, int64_t frameBytes,
                          int32_t threshold, int level) {
  // Compared as signed numbers: unsigned 8-bit samples and their threshold are moved down by
  // 128 (the sign bit flipped). s >= t is s > t - 1, and s <= t is t + 1 > s; both fit, the
  // thresholds lying well inside the range.
  const int32_t bias = kBytes == 1 ? 128 : 0;
  const __m256i flip = Broadcast<kBytes>(kBytes == 1 ? 0x80 : 0);
  const __m256i bound = Broadcast<kBytes>(threshold - bias + (level ? 1 : -1));
  const uint32_t lanes = ChosenLanes(kBytes, frameBytes != kBytes);
  // A vector read at `at` ends inside the frame at at + 32 - frameBytes.
  while (at + kVectorBytes - frameBytes <= stop) {
    __m256i v;
    std::memcpy(&v, buf + at, sizeof v);
    v = _mm256_xor_si256(v, flip);
    const __m256i hit = level ? Greater<kBytes>(bound, v) : Greater<kBytes>(v, bound);
    const uint32_t bits = static_cast<uint32_t>(_mm256_movemask_epi8(hit)) & lanes;
    if (bits != 0) return at + __builtin_ctz(bits);
    at += kVectorBytes;
  }
  for (; at <= stop; at += frameBytes) {
    const int32_t s = SampleAt<kBytes>(buf + at);
    if (level ? s <= threshold : s >= threshold) break;
  }
  return at;
}

template int64_t FindThresholdAvx2<1>(const unsigned char*, int64_t, int64_t, int64_t, int32_t,
                                      int);
template int64_t FindThresholdAvx2<2>(const unsigned char*, int64_t, int64_t, int64_t, int32_t,
                                      int);
template int64_t FindThresholdAvx2<4>(const unsigned char*, int64_t, int64_t, int64_t, int32_t,
                                      int);
