#include "sample_ahead.h"

#include <algorithm>
#include <csignal>

namespace {

// Fills a slot with reads, as many as it holds or up to the end; true at the end.
bool FillSlot(SampleAhead& a, SampleSlot& s) {
  s.reads = 0;
  while (s.reads < a.readsPerSlot) {
    const int i = s.reads++;
    float* raw = a.keepRaw ? s.raw[i] : a.scratch;
    const int64_t n = ReadFractions(*a.tr, raw, kSampleRead);
    s.inputs[i] = n;
    const bool decimated = a.decimator.factor > 1;
    s.outputs[i] = decimated && n > 0 ? Decimate(a.decimator, raw, n, s.decimated[i]) : 0;
    // The clicks, among the samples the decoder takes.
    const int64_t before = a.watch.clicks, count = decimated ? s.outputs[i] : n;
    RecoverWatch(a.watch, decimated ? s.decimated[i] : raw, count, a.watched);
    a.watched += count;
    s.marked[i] = a.watch.clicks - before;
    for (int64_t c = std::max(before, a.watch.clicks - kRecoverClickSpans); c < a.watch.clicks; ++c)
      s.spans[i][c - std::max(before, a.watch.clicks - kRecoverClickSpans)] =
          a.watch.spans[c % kRecoverClickSpans];
    if (n == 0) return true;
  }
  return false;
}

void* SampleAheadLoop(void* arg) {
  SampleAhead& a = *static_cast<SampleAhead*>(arg);
  pthread_mutex_lock(&a.lock);
  while (!a.quit && !a.ended) {
    if (a.count == kSampleSlots) {
      // Full: wait for two free slots, so that one wake-up fills two.
      a.readerWaiting = true;
      while (!a.quit && a.count > kSampleSlots - 2) pthread_cond_wait(&a.changed, &a.lock);
      a.readerWaiting = false;
      continue;
    }
    SampleSlot& s = a.slot[(a.head + a.count) % kSampleSlots];
    pthread_mutex_unlock(&a.lock);
    const bool ended = FillSlot(a, s);
    pthread_mutex_lock(&a.lock);
    ++a.count;
    a.ended = ended;
    if (a.decoderWaiting) pthread_cond_broadcast(&a.changed);
  }
  pthread_mutex_unlock(&a.lock);
  return nullptr;
}

}  // namespace

bool SampleAheadStart(SampleAhead& a, TapeReader& tr, const Recover& r, bool keepRaw) {
  const Decimator& d = r.decimator;
  a.running = false;
  if (pthread_mutex_init(&a.lock, nullptr) != 0) return false;
  if (pthread_cond_init(&a.changed, nullptr) != 0) {
    pthread_mutex_destroy(&a.lock);
    return false;
  }
  a.quit = a.ended = a.readerWaiting = a.decoderWaiting = a.holding = false;
  a.head = a.count = a.taken = 0;
  a.tr = &tr;
  a.decimator = d;
  a.watch = r.impulses;
  a.watched = r.written;
  a.keepRaw = keepRaw || d.factor == 1;
  a.readsPerSlot = a.keepRaw ? kSampleReadsKept : kSampleReads;
  // Every signal is handled by the main thread, as without this one.
  sigset_t all, before;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &before);
  a.running = pthread_create(&a.thread, nullptr, SampleAheadLoop, &a) == 0;
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  if (!a.running) {
    pthread_cond_destroy(&a.changed);
    pthread_mutex_destroy(&a.lock);
  }
  return a.running;
}

int64_t SampleAheadNext(SampleAhead& a, SampleView* v) {
  if (!a.holding || a.taken == a.slot[a.head].reads) {
    pthread_mutex_lock(&a.lock);
    if (a.holding) {  // the head slot is used up: it is the thread's to fill again
      a.head = (a.head + 1) % kSampleSlots;
      --a.count;
      if (a.readerWaiting && a.count <= kSampleSlots - 2) pthread_cond_broadcast(&a.changed);
    }
    a.decoderWaiting = true;
    while (a.count == 0 && !a.ended) pthread_cond_wait(&a.changed, &a.lock);
    a.decoderWaiting = false;
    a.holding = a.count > 0;
    a.taken = 0;
    pthread_mutex_unlock(&a.lock);
    if (!a.holding) return 0;  // asked again after the end
  }
  const SampleSlot& s = a.slot[a.head];
  const int i = a.taken++;
  v->raw = a.keepRaw ? s.raw[i] : nullptr;
  v->decimated = s.decimated[i];
  v->outputs = s.outputs[i];
  v->spans = s.spans[i];
  v->marked = s.marked[i];
  return s.inputs[i];
}

void SampleAheadStop(SampleAhead& a) {
  if (!a.running) return;
  pthread_mutex_lock(&a.lock);
  a.quit = true;
  pthread_cond_broadcast(&a.changed);
  pthread_mutex_unlock(&a.lock);
  pthread_join(a.thread, nullptr);
  pthread_cond_destroy(&a.changed);
  pthread_mutex_destroy(&a.lock);
  a.running = false;
}
