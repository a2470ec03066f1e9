#include "byte_stream.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

std::atomic<int> inputEndSignal{0};

namespace {

// A pipe's window: bytes are appended as they come; only a full window drops its oldest bytes,
// keeping kPipeKeepBehind before the position. A position past the window reads on, dropping.
bool FillFromPipe(InputStream& s) {
  if (s.cur < 0) {  // those bytes were read and dropped: the input cannot go back to them
    s.lost = true;
    return false;
  }
  while (s.len - s.cur < kPipeReadAhead && inputEndSignal == 0) {
    if (s.len == kInputBufferSize) {
      const int64_t drop = std::min(s.len, s.cur - kPipeKeepBehind);
      std::memmove(s.buf, s.buf + drop, static_cast<size_t>(s.len - drop));
      s.base += drop;
      s.cur -= drop;
      s.len -= drop;
    }
    const ssize_t n = read(s.fd, s.buf + s.len, static_cast<size_t>(kInputBufferSize - s.len));
    if (n < 0 && errno == EINTR) continue;  // the loop's test sees a signal that ends the run
    if (n <= 0) break;
    const int64_t from = s.base + s.len;
    s.len += n;
    if (s.loaded) s.loaded(s, from);
  }
  return s.cur < s.len;
}

}  // namespace

void StreamAttach(InputStream& s, int fd) {
  s.buf = s.own;
  s.refill = nullptr;
  s.ahead = nullptr;
  s.fd = fd;
  s.seekable = lseek(fd, 0, SEEK_CUR) >= 0;
  s.lost = false;
  s.base = 0;
  s.cur = 0;
  s.len = 0;
  s.loaded = nullptr;
  ++s.fills;
}

bool StreamFill(InputStream& s) {
  if (inputEndSignal != 0) return false;
  if (!s.seekable) return FillFromPipe(s);
  const int64_t pos = StreamTell(s);
  int64_t start = pos > kInputKeepBehind ? pos - kInputKeepBehind : 0;
  const int64_t got =
      s.refill ? s.refill(s, pos, &start) : ReadAt(s.fd, s.buf, kInputBufferSize, start);
  ++s.fills;
  s.base = start;
  s.len = got;
  s.cur = pos - start;
  if (s.loaded && got > 0) s.loaded(s, start);
  return s.cur < s.len;
}

int64_t ReadAt(int fd, unsigned char* to, int64_t count, int64_t offset) {
  int64_t got = 0;
  while (got < count) {
    const ssize_t n =
        pread(fd, to + got, static_cast<size_t>(count - got), static_cast<off_t>(offset + got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += n;
  }
  return got;
}

void OutputAttach(OutputStream& s, int fd) {
  s.fd = fd;
  s.failed = false;
  s.len = 0;
}

bool OutputFlush(OutputStream& s) {
  size_t done = 0;
  while (!s.failed && done < s.len) {
    const ssize_t n = write(s.fd, s.buf + done, s.len - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0)
      s.failed = true;
    else
      done += static_cast<size_t>(n);
  }
  s.len = 0;
  return !s.failed;
}

void OutputText(OutputStream& s, const char* text) {
  while (*text) OutputByte(s, static_cast<unsigned char>(*text++));
}
