// The search for the next sample that changes the detector's level, in vector instructions
// where the processor has them. The plain search (audio/samples.h) is the reference: every
// variant finds the same sample.
//
// The vector code is compiled for AVX2 by function attributes, not for the whole program, so
// that the tool runs on every x86-64: the decoding steps are made twice (decoder/decoder.cpp),
// and the AVX2 copy, which inlines everything it calls, runs only where the processor has AVX2.
#ifndef TONEGRAB_DECODER_LEVEL_SCAN_H
#define TONEGRAB_DECODER_LEVEL_SCAN_H

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#include "audio/sample_value.h"
#include "tape_reader.h"

#if defined(__x86_64__)
#include <immintrin.h>
#define TONEGRAB_HAVE_AVX2_SCAN 1
#define TONEGRAB_AVX2 __attribute__((target("avx2")))
#endif

enum ScanVariant : int { kScanPlain = 0, kScanAvx2 = 1 };

// Chosen once, before main: AVX2 where the processor has it, unless the environment variable
// TONEGRAB_SCAN is "plain" (for the benchmark, which times both; not an option of the tool).
// With TONEGRAB_SCAN_REPORT set, the choice is written to standard error.
extern const ScanVariant scanVariant;
const char* ScanVariantName(ScanVariant variant);

// The level changes among the bytes of one word of the masks, all at once. `high` marks the
// bytes of samples at or above the high threshold, `low` those at or below the low one (never
// both). The level before a byte is 1 when the nearest marked byte before it is a high one, or,
// with none, the level the word began at: a carry that a high byte starts and a low byte stops,
// which one addition runs along the word. A byte changes the level when it is high at level 0 or
// low at level 1; a sample's further bytes, met at the level it set, do not. *level is the level
// at the word's start on entry and at its end on return.
inline uint64_t LevelChangesInWord(uint64_t high, uint64_t low, unsigned* level) {
  const uint64_t started = high + ~low;  // high bytes add 1 + 1, low ones 0 + 0, the rest 0 + 1
  const uint64_t carried = started + *level;
  *level = static_cast<unsigned>(started < high) | static_cast<unsigned>(carried < started);
  const uint64_t before = carried ^ ~(high | low);  // the level before each byte
  return (high & ~before) | (low & before);
}

// ListLevelChanges writes this many offsets for every word, whatever it holds, so that the
// count of a word's changes decides no branch until it passes this; the list needs this much
// room past its last entry.
inline constexpr int64_t kChangeSlack = 8;

// The offsets from the masks' origin of the level changes in words [w, end) of `m`, in order,
// into `out`; returns how many. `keep` masks the first word (bytes before the start); *level
// is the level at the start on entry and at the end on return.
inline int64_t ListLevelChanges(const LevelMasks& m, int64_t w, int64_t end, uint64_t keep,
                                unsigned* level, int32_t* out) {
  int64_t count = 0;
  for (; w < end; ++w, keep = ~uint64_t{0}) {
    uint64_t changes = LevelChangesInWord(m.high[w] & keep, m.low[w] & keep, level);
    const int64_t here = count + std::popcount(changes);
    const int32_t word = static_cast<int32_t>(64 * w);
    do {
      // The top bit keeps the count of zeros from having to answer for an empty word (where
      // what is written is past the list's end), which would cost a branch.
      for (int64_t k = 0; k < kChangeSlack; ++k) {
        out[count + k] = word + std::countr_zero(changes | uint64_t{1} << 63);
        changes &= changes - 1;
      }
      count += kChangeSlack;
    } while (count < here);
    count = here;
  }
  return count;
}

#if defined(TONEGRAB_HAVE_AVX2_SCAN)
namespace avx2_scan {

inline constexpr int64_t kVectorBytes = 32;

// movemask sets one bit per byte; a frame of two channels keeps only the bytes of the first
// sample of each frame, the one the stream stands on.
constexpr uint32_t ChosenLanes(int bytes, bool stereo) {
  if (!stereo) return 0xFFFFFFFFu;
  return bytes == 1 ? 0x55555555u : bytes == 2 ? 0x33333333u : 0x0F0F0F0Fu;
}

template <int kBytes>
TONEGRAB_AVX2 inline __m256i Broadcast(int32_t v) {
  if constexpr (kBytes == 1) return _mm256_set1_epi8(static_cast<char>(v));
  if constexpr (kBytes == 2) return _mm256_set1_epi16(static_cast<int16_t>(v));
  return _mm256_set1_epi32(v);
}

template <int kBytes>
TONEGRAB_AVX2 inline __m256i Greater(__m256i a, __m256i b) {
  if constexpr (kBytes == 1) return _mm256_cmpgt_epi8(a, b);
  if constexpr (kBytes == 2) return _mm256_cmpgt_epi16(a, b);
  return _mm256_cmpgt_epi32(a, b);
}

// The bytes of the chosen samples among 32 at p that reach the bound.
template <int kBytes>
TONEGRAB_AVX2 inline uint32_t Hits(const unsigned char* p, __m256i flip, __m256i bound, int level,
                                   uint32_t lanes) {
  __m256i v;
  std::memcpy(&v, p, sizeof v);
  v = _mm256_xor_si256(v, flip);
  const __m256i hit = level ? Greater<kBytes>(bound, v) : Greater<kBytes>(v, bound);
  return static_cast<uint32_t>(_mm256_movemask_epi8(hit)) & lanes;
}

}  // namespace avx2_scan

// Offset in buf of the first sample at `at`, at + frameBytes, ... up to `stop` that reaches
// the threshold: at or above it from level 0, at or below it from level 1; else the first
// offset past stop. kBytes is 1 (unsigned), 2 or 4 (signed); frameBytes is kBytes or twice that.
// Reads no byte past stop + frameBytes. Only to be called when the processor has AVX2.
template <int kBytes>
TONEGRAB_AVX2 inline int64_t FindThresholdAvx2(const unsigned char* buf, int64_t at, int64_t stop,
                                               int64_t frameBytes, int32_t threshold, int level) {
  using namespace avx2_scan;
  // Compared as signed numbers: unsigned 8-bit samples and their threshold are moved down by
  // 128 (the sign bit flipped). s >= t is s > t - 1, and s <= t is t + 1 > s; both fit, the
  // thresholds lying well inside the range.
  const int32_t bias = kBytes == 1 ? 128 : 0;
  const __m256i flip = Broadcast<kBytes>(kBytes == 1 ? 0x80 : 0);
  const __m256i bound = Broadcast<kBytes>(threshold - bias + (level ? 1 : -1));
  const uint32_t lanes = ChosenLanes(kBytes, frameBytes != kBytes);
  // Four vectors a step (up to 64 frames of 16-bit stereo, more of narrower frames): nearly every
  // half-wave of a data signal ends within the first step, so that its exit is seldom
  // mispredicted. A read at `at` of `count` bytes ends inside the frame at at + count - frameBytes.
  while (at + 4 * kVectorBytes - frameBytes <= stop) {
    const uint64_t first =
        Hits<kBytes>(buf + at, flip, bound, level, lanes) |
        uint64_t{Hits<kBytes>(buf + at + kVectorBytes, flip, bound, level, lanes)} << 32;
    const uint64_t second =
        Hits<kBytes>(buf + at + 2 * kVectorBytes, flip, bound, level, lanes) |
        uint64_t{Hits<kBytes>(buf + at + 3 * kVectorBytes, flip, bound, level, lanes)} << 32;
    if ((first | second) != 0)
      return at + (first != 0 ? std::countr_zero(first) : 64 + std::countr_zero(second));
    at += 4 * kVectorBytes;
  }
  if (at + kVectorBytes - frameBytes <= stop) {
    if (const uint32_t bits = Hits<kBytes>(buf + at, flip, bound, level, lanes))
      return at + std::countr_zero(bits);
    at += kVectorBytes;
  }
  for (; at <= stop; at += frameBytes) {
    const int32_t s = DecodeValue(buf + at, kBytes);
    if (level ? s <= threshold : s >= threshold) break;
  }
  return at;
}

// The masks are filled this many words (64 bytes of the window each) ahead of the scan.
inline constexpr int64_t kMaskFillWords = 64;

// Fills the words of both masks from the first unfilled one up to word `want`, each word only
// when all its bytes lie at or before stop (so that every frame a set bit stands for lies
// wholly in the window).
template <int kBytes>
TONEGRAB_AVX2 inline void FillMasks(LevelMasks& m, const unsigned char* buf, int64_t stop,
                                    int64_t frameBytes, int32_t high, int32_t low, int64_t want) {
  using namespace avx2_scan;
  const int32_t bias = kBytes == 1 ? 128 : 0;
  const __m256i flip = Broadcast<kBytes>(kBytes == 1 ? 0x80 : 0);
  const __m256i above = Broadcast<kBytes>(high - bias - 1);
  const __m256i below = Broadcast<kBytes>(low - bias + 1);
  const uint32_t lanes = ChosenLanes(kBytes, frameBytes != kBytes);
  want = std::min(want, kMaskWords);
  int64_t w = m.words;
  for (; w < want && m.origin + 64 * w + 63 <= stop; ++w) {
    const unsigned char* p = buf + m.origin + 64 * w;
    m.high[w] = Hits<kBytes>(p, flip, above, 0, lanes) |
                uint64_t{Hits<kBytes>(p + kVectorBytes, flip, above, 0, lanes)} << 32;
    m.low[w] = Hits<kBytes>(p, flip, below, 1, lanes) |
               uint64_t{Hits<kBytes>(p + kVectorBytes, flip, below, 1, lanes)} << 32;
  }
  m.words = w;
}

// FindThresholdAvx2 through the masks: the scan follows set bits, no longer the samples. Past
// the filled words (the window's last bytes) it reads the samples. The masks must have been
// made for this window, with `at` on their frame grid. The common case, a half-wave that ends
// within two words, is HalfWaveFromMasks (audio/samples.h), inline; this is the rest.
template <int kBytes>
TONEGRAB_AVX2 __attribute__((noinline)) int64_t FindThresholdInMasks(
    LevelMasks& m, const unsigned char* buf, int64_t at, int64_t stop, int64_t frameBytes,
    int32_t high, int32_t low, int level) {
  const uint64_t* mask = level ? m.low : m.high;
  const int64_t off = at - m.origin;
  int64_t w = off >> 6;
  uint64_t keep = ~uint64_t{0} << (off & 63);
  for (;;) {
    if (w >= m.words) {
      FillMasks<kBytes>(m, buf, stop, frameBytes, high, low, w + kMaskFillWords);
      if (w >= m.words) break;
    }
    if (const uint64_t bits = mask[w] & keep) return m.origin + 64 * w + std::countr_zero(bits);
    keep = ~uint64_t{0};
    ++w;
  }
  return FindThresholdAvx2<kBytes>(buf, std::max(at, m.origin + 64 * w), stop, frameBytes,
                                   level ? low : high, level);
}

#endif

#endif
