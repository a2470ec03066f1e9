// Byte streams over file descriptors with fixed buffers: no heap, no stdio.
//
// InputStream serves a window of the file from its buffer. Positions are absolute file offsets;
// a position may lie anywhere at or after 0, also past the end of the file (the next read then
// meets the end), so moves never touch the file: only a read outside the window refills it.
// An input that cannot be repositioned (a pipe, FIFO, terminal) is read as it arrives: a move
// forward past the window reads and drops the bytes between, and a move back is served from
// the window alone, which keeps kPipeKeepBehind bytes before the position.
// OutputStream collects bytes and writes them out when full or flushed; a failed write is
// remembered, and nothing more is written after it.
#ifndef TONEGRAB_BYTE_STREAM_H
#define TONEGRAB_BYTE_STREAM_H

#include <atomic>
#include <csignal>
#include <cstddef>
#include <cstdint>

inline constexpr int64_t kInputBufferSize = 256 * 1024;
// A refill keeps this much of the file before the wanted position in the window, so the short
// backward moves of the decoder are served from the buffer.
inline constexpr int64_t kInputKeepBehind = 16 * 1024;
// On an input that cannot be repositioned, the bytes kept before the position: the longest move
// back a reader may make there. Half the window, so that every refill reads at least as much.
inline constexpr int64_t kPipeKeepBehind = kInputBufferSize / 2;
// On such an input a refill waits until this many bytes past the position have come (the widest
// sample), or the input ends.
inline constexpr int64_t kPipeReadAhead = 4;
inline constexpr size_t kOutputBufferSize = 64 * 1024;

// The number of a signal that ends the run (set by its handler, see signals.h), or 0. While it
// is set, every refill reports the end of input. Atomic (and lock-free, so a handler may set
// it): a thread that reads for the decoder sees it too.
extern std::atomic<int> inputEndSignal;
static_assert(std::atomic<int>::is_always_lock_free);

struct ReadAhead;

struct InputStream {
  int fd;
  bool seekable;  // false: a pipe, read as it arrives
  bool lost;      // a move back reached bytes a pipe no longer holds: the input ended there
  int64_t base;   // file offset of buf[0]
  int64_t cur;    // position relative to base; outside [0, len) means "not in the window"
  int64_t len;    // valid bytes in buf
  // Called after each refill with the file offset of the first byte it loaded; nullptr for none.
  // For diagnostics that need to see every byte once, whatever the reader does.
  void (*loaded)(const InputStream& s, int64_t from);
  // Counts the attaches and refills: what was worked out from the window's bytes is known to
  // still hold while this and base stay the same.
  uint64_t fills;
  // The window's bytes: `own`, or a read-ahead's buffer that took its place (read_ahead.h).
  unsigned char* buf;
  // A refill's bytes come from here when set (a read-ahead sets it): the window for the
  // position `pos`, read at *start or where it says; returns how many bytes it holds.
  int64_t (*refill)(InputStream& s, int64_t pos, int64_t* start);
  ReadAhead* ahead;  // the read-ahead that set it, or nullptr
  unsigned char own[kInputBufferSize];
};

// Attaches an open descriptor, positioned at byte 0, read by each refill (a read-ahead of the
// stream is to be ended before, by ReadAheadStop). A descriptor that cannot be repositioned is
// read from its current point on, which is then byte 0.
void StreamAttach(InputStream& s, int fd);
// Loads the window around the current position; false at the end of input, on a read error, or
// when a signal has come.
bool StreamFill(InputStream& s);
// Reads up to `count` bytes at file offset `offset` of a seekable descriptor; returns how many
// came before the end of the file (or an error, which ends the input just the same).
int64_t ReadAt(int fd, unsigned char* to, int64_t count, int64_t offset);

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
