// How long it takes to bring a page-cached file into the process, touching every cache line:
// read in windows of the decoder's size into one buffer, or map it window by window (as a
// decoder reading by mmap would, its memory staying flat), with and without MAP_POPULATE.
// Prints the fastest of RUNS passes of each, in milliseconds.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr long kReadWindow = 256 * 1024;
constexpr long kMapWindow = 2 * 1024 * 1024;
constexpr long kLine = 64;

unsigned long Touch(const unsigned char* p, long n) {
  unsigned long sum = 0;
  for (long i = 0; i < n; i += kLine) sum += p[i];
  return sum;
}

unsigned long ByRead(int fd, long size) {
  static std::vector<unsigned char> buf(kReadWindow);
  unsigned long sum = 0;
  for (long at = 0; at < size; at += kReadWindow)
    sum += Touch(buf.data(), pread(fd, buf.data(), kReadWindow, at));
  return sum;
}

unsigned long ByMap(int fd, long size, int flags) {
  unsigned long sum = 0;
  for (long at = 0; at < size; at += kMapWindow) {
    void* p = mmap(nullptr, kMapWindow, PROT_READ, MAP_PRIVATE | flags, fd, at);
    if (p == MAP_FAILED) std::exit(2);
    sum += Touch(static_cast<const unsigned char*>(p), std::min(kMapWindow, size - at));
    munmap(p, kMapWindow);
  }
  return sum;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  const int fd = open(argv[1], O_RDONLY);
  struct stat info;
  if (fd < 0 || fstat(fd, &info) != 0) return 1;
  const int runs = std::atoi(argv[2]);
  const char* names[] = {"read 256 KiB windows", "mmap 2 MiB windows", "mmap 2 MiB, MAP_POPULATE"};
  unsigned long check = 0;
  for (int way = 0; way < 3; ++way) {
    double best = 1e9;
    for (int r = 0; r < runs; ++r) {
      const auto t0 = std::chrono::steady_clock::now();
      check += way == 0 ? ByRead(fd, info.st_size)
                        : ByMap(fd, info.st_size, way == 2 ? MAP_POPULATE : 0);
      const std::chrono::duration<double, std::milli> t = std::chrono::steady_clock::now() - t0;
      best = std::min(best, t.count());
    }
    std::printf("%-28s %8.1f ms\n", names[way], best);
  }
  return check == 1;  // keeps the sums
}
