#include "read_ahead.h"

#include <cstring>

namespace {

// Where the window after one at `start` of `got` bytes begins: as a refill at its end would
// begin it, less half the slack, so that one a little before or after the end takes it too.
int64_t After(int64_t start, int64_t got) {
  return start + got - kInputKeepBehind - kAheadSlack / 2;
}

void* ReadAheadLoop(void* arg) {
  ReadAhead& a = *static_cast<ReadAhead*>(arg);
  pthread_mutex_lock(&a.worker.lock);
  for (;;) {
    while (!a.worker.quit && (a.ended || a.count == kAheadWindows))
      pthread_cond_wait(&a.worker.changed, &a.worker.lock);
    if (a.worker.quit) break;
    AheadWindow& w = a.ring[(a.head + a.count) % kAheadWindows];
    const int64_t start = a.next;
    const uint64_t generation = a.generation;
    a.reading = true;
    pthread_mutex_unlock(&a.worker.lock);
    const int64_t got = ReadAt(a.fd, w.buf, kInputBufferSize, start);
    pthread_mutex_lock(&a.worker.lock);
    a.reading = false;
    if (generation == a.generation) {  // else dropped while it was read
      w.start = start;
      w.got = got;
      ++a.count;
      a.ended = got < kInputBufferSize;
      a.next = After(start, got);
    }
    pthread_cond_broadcast(&a.worker.changed);
  }
  pthread_mutex_unlock(&a.worker.lock);
  return nullptr;
}

// Whether a window at `start` of `got` bytes serves a refill that wants `wanted` for `pos`.
bool Serves(int64_t start, int64_t got, int64_t wanted, int64_t pos) {
  return start <= wanted && start >= wanted - kAheadSlack && pos < start + got;
}

// The stream's refill (InputStream::refill): the window for the position `pos`, at file offset
// *start or, where the thread read that one ahead, up to kAheadSlack before it (*start then
// says where). Returns the bytes the window holds.
int64_t ReadAheadFill(InputStream& s, int64_t pos, int64_t* start) {
  ReadAhead& a = *s.ahead;
  pthread_mutex_lock(&a.worker.lock);
  // Wait for the window under way when it is the one wanted.
  while (a.count == 0 && a.reading && Serves(a.next, kInputBufferSize, *start, pos))
    pthread_cond_wait(&a.worker.changed, &a.worker.lock);
  int64_t got;
  AheadWindow& w = a.ring[a.head];
  if (a.count != 0 && Serves(w.start, w.got, *start, pos)) {
    // The old window's buffer is the thread's to fill again, unless it is the stream's own.
    unsigned char* freed = s.buf == s.own ? a.spare : s.buf;
    s.buf = w.buf;
    w.buf = freed;
    *start = w.start;
    got = w.got;
    a.head = (a.head + 1) % kAheadWindows;
    --a.count;
  } else {
    // Not foreseen: the windows read ahead are dropped, this one is read here, and the thread
    // goes on after it. A read under way goes into a buffer that is not the window.
    pthread_mutex_unlock(&a.worker.lock);
    got = ReadAt(s.fd, s.buf, kInputBufferSize, *start);
    pthread_mutex_lock(&a.worker.lock);
    ++a.generation;
    a.count = 0;
    a.ended = got < kInputBufferSize;
    a.next = After(*start, got);
  }
  pthread_cond_broadcast(&a.worker.changed);
  pthread_mutex_unlock(&a.worker.lock);
  return got;
}

}  // namespace

bool ReadAheadStart(InputStream& s, ReadAhead& a) {
  if (!s.seekable || s.ahead) return false;
  a.fd = s.fd;
  a.reading = false;
  a.generation = 0;
  a.head = a.count = 0;
  for (int i = 0; i < kAheadWindows; ++i) a.ring[i].buf = a.buf[i];
  a.spare = a.buf[kAheadWindows];
  // From the window after this one; none when this one already holds the end of the file.
  a.ended = s.len < kInputBufferSize;
  a.next = After(s.base, s.len);
  if (!WorkerStart(a.worker, ReadAheadLoop, &a)) return false;
  s.ahead = &a;
  s.refill = ReadAheadFill;
  return true;
}

void ReadAheadStop(InputStream& s) {
  if (!s.ahead) return;
  WorkerStop(s.ahead->worker);
  if (s.buf != s.own) {
    std::memcpy(s.own, s.buf, static_cast<size_t>(s.len));
    s.buf = s.own;
  }
  s.ahead = nullptr;
  s.refill = nullptr;
}
