// Reading a file's next windows while the decoder works through this one. A second thread reads
// them, one after another, into buffers of its own, and at each refill the window and the next
// of those buffers change places: the copy out of the kernel's page cache, a third of the time
// of a fast decode, then runs beside the decoding instead of between its steps. The window a
// refill gets may begin up to kAheadSlack bytes earlier than it would without (it keeps more
// behind the position, never less); its bytes are the file's all the same. A refill the thread
// did not foresee (a step back, a jump) reads at once, as without, and the thread goes on from
// there.
#ifndef TONEGRAB_READ_AHEAD_H
#define TONEGRAB_READ_AHEAD_H

#include <cstdint>

#include "byte_stream.h"
#include "worker.h"

// How far from the position foreseen (the window's end) a refill may come and still take the
// window read ahead: one asked for a frame that straddles the end comes a little before it.
inline constexpr int64_t kAheadSlack = 1024;
// Windows read ahead at most: enough that the decoder seldom waits for the thread to wake.
inline constexpr int kAheadWindows = 3;

struct AheadWindow {
  unsigned char* buf;
  int64_t start;  // file offset
  int64_t got;    // bytes read
};

struct ReadAhead {
  Worker worker;  // its lock is over everything below
  int fd;
  bool reading;         // the thread is reading into ring[(head + count) % kAheadWindows]
  bool ended;           // it read up to the end of the file
  uint64_t generation;  // moves on when the windows read ahead are dropped
  int64_t next;         // file offset of the next window it reads
  int head, count;      // the windows read and not yet taken, oldest first
  AheadWindow ring[kAheadWindows];
  // The ring's buffers and one more, which takes a ring buffer's place when the window given up
  // is the stream's own: that one is never the thread's to fill, so that a stream attached anew
  // can go on in it whatever the thread does.
  unsigned char buf[kAheadWindows + 1][kInputBufferSize];
  unsigned char* spare;
};

// Starts reading ahead for `s`, attached to a seekable descriptor and read from its current
// window on; false when no thread can be started (the stream then reads as before).
bool ReadAheadStart(InputStream& s, ReadAhead& a);
// Ends it: waits for a read under way and ends the thread; the stream reads as before.
void ReadAheadStop(InputStream& s);

#endif
