#include "byte_stream.h"

#include <unistd.h>

#include <cerrno>

void StreamAttach(InputStream& s, int fd) {
  s.fd = fd;
  s.base = 0;
  s.cur = 0;
  s.len = 0;
}

bool StreamFill(InputStream& s) {
  const int64_t pos = StreamTell(s);
  const int64_t start = pos > kInputKeepBehind ? pos - kInputKeepBehind : 0;
  int64_t got = 0;
  while (got < kInputBufferSize) {
    const ssize_t n = pread(s.fd, s.buf + got, static_cast<size_t>(kInputBufferSize - got),
                            static_cast<off_t>(start + got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // end of file, or an error that ends the input just the same
    got += n;
  }
  s.base = start;
  s.len = got;
  s.cur = pos - start;
  return s.cur < s.len;
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
