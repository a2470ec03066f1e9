#include "decoder/level_scan.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

ScanVariant ChooseScanVariant() {
  const char* asked = std::getenv("TONEGRAB_SCAN");
  ScanVariant variant = kScanPlain;
#if defined(__x86_64__)
  if (!(asked && std::strcmp(asked, "plain") == 0) && __builtin_cpu_supports("avx2"))
    variant = kScanAvx2;
#else
  (void)asked;
#endif
  if (std::getenv("TONEGRAB_SCAN_REPORT"))
    std::fprintf(stderr, "tonegrab: sample scan: %s\n", ScanVariantName(variant));
  return variant;
}

}  // namespace

const ScanVariant scanVariant = ChooseScanVariant();

const char* ScanVariantName(ScanVariant variant) {
  return variant == kScanAvx2 ? "avx2" : "plain";
}
