// Byte streams over file descriptors with fixed buffers: no heap, no stdio.
//
// InputStream serves a window of the file from its buffer. Positions are absolute file offsets;
// a position may lie anywhere at or after 0, also past the end of the file (the next read then
// meets the end), so moves never touch the file: only a read outside the window refills it.
// OutputStream collects bytes and writes them out when full or flushed; a failed write is
// remembered, and nothing more is written after it.
#ifndef TONEGRAB_BYTE_STREAM_H
#define TONEGRAB_BYTE_STREAM_H

#include <cstddef>
#include <cstdint>

inline constexpr int64_t kInputBufferSize = 256 * 1024;
// A refill keeps this much of the file before the wanted position in the window, so the short
// backward moves of the decoder are served from the buffer.
inline constexpr int64_t kInputKeepBehind = 16 * 1024;
inline constexpr size_t kOutputBufferSize = 64 * 1024;

struct InputStream {
  int fd;
  int64_t base;  // file offset of buf[0]
  int64_t cur;   // position relative to base; outside [0, len) means "not in the window"
  int64_t len;   // valid bytes in buf
  unsigned char buf[kInputBufferSize];
};

// Attaches an open descriptor, positioned at byte 0.
void StreamAttach(InputStream& s, int fd);
// Loads the window around the current position; false at the end of input or on a read error.
bool StreamFill(InputStream& s);

inline int64_t StreamTell(const InputStream& s) {
  return s.base + s.cur;
}

// Positions at an absolute offset; false (and no move) for a negative one.
inline bool StreamSeek(InputStream& s, int64_t pos) {
  if (pos < 0) return false;
  s.cur = pos - s.base;
  return true;
}

inline bool StreamSkip(InputStream& s, int64_t delta) {
  return StreamSeek(s, StreamTell(s) + delta);
}

// Next byte, 0 to 255, or -1 at the end of input.
inline int StreamGet(InputStream& s) {
  if (static_cast<uint64_t>(s.cur) < static_cast<uint64_t>(s.len) || StreamFill(s))
    return s.buf[s.cur++];
  return -1;
}

// Pointer to the next `count` bytes when the window holds them all, else nullptr.
inline const unsigned char* StreamPeek(const InputStream& s, int64_t count) {
  if (s.cur >= 0 && s.cur + count <= s.len) return s.buf + s.cur;
  return nullptr;
}

struct OutputStream {
  int fd;
  bool failed;  // a write failed; later bytes are dropped
  size_t len;
  unsigned char buf[kOutputBufferSize];
};

void OutputAttach(OutputStream& s, int fd);
// Writes out the buffer; returns false once any write of this stream has failed.
bool OutputFlush(OutputStream& s);

inline void OutputByte(OutputStream& s, unsigned char c) {
  if (s.len == kOutputBufferSize) OutputFlush(s);
  s.buf[s.len++] = c;
}

void OutputText(OutputStream& s, const char* text);

// Room for at least `count` more bytes at buf + len (count <= kOutputBufferSize).
inline unsigned char* OutputReserve(OutputStream& s, size_t count) {
  if (kOutputBufferSize - s.len < count) OutputFlush(s);
  return s.buf + s.len;
}

#endif
