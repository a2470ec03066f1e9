// The search for the next sample that changes the detector's level, in vector instructions
// where the processor has them. The plain search (audio/samples.h) is the reference: every
// variant finds the same sample.
#ifndef TONEGRAB_DECODER_LEVEL_SCAN_H
#define TONEGRAB_DECODER_LEVEL_SCAN_H

#include <cstdint>

enum ScanVariant : int { kScanPlain = 0, kScanAvx2 = 1 };

// Chosen once, before main: AVX2 where the processor has it, unless the environment variable
// TONEGRAB_SCAN is "plain" (for the benchmark, which times both; not an option of the tool).
// With TONEGRAB_SCAN_REPORT set, the choice is written to standard error.
extern const ScanVariant scanVariant;
const char* ScanVariantName(ScanVariant variant);

#if defined(__x86_64__)
// Offset in buf of the first sample at `at`, at + frameBytes, ... up to `stop` that reaches
// the threshold: at or above it from level 0, at or below it from level 1; else the first
// offset past stop. kBytes is 1 (unsigned), 2 or 4 (signed); frameBytes is kBytes or twice that.
// Reads no byte past stop + frameBytes. Only to be called when scanVariant is kScanAvx2.
template <int kBytes>
int64_t FindThresholdAvx2(const unsigned char* buf, int64_t at, int64_t stop, int64_t frameBytes,
                          int32_t threshold, int level);
#endif

#endif
