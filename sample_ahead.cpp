#include "sample_ahead.h"

#include <algorithm>

namespace {

// Watches the samples the decoder is to take for clicks, and notes what it marked.
void Watch(SampleAhead& a, const float* x, int64_t count, SampleMarks* m) {
  const int64_t before = a.watch.clicks;
  RecoverWatch(a.watch, x, count, a.watched);
  a.watched += count;
  m->marked = a.watch.clicks - before;
  const int64_t from = std::max(before, a.watch.clicks - kRecoverClickSpans);
  for (int64_t c = from; c < a.watch.clicks; ++c)
    m->spans[c - from] = a.watch.spans[c % kRecoverClickSpans];
}

// A read of the chosen channel, as PushChannel and RecoverPush take it: decimated unless the
// factor is 1, and the decoder takes nothing of the read at the end.
int64_t ReadChannel(SampleAhead& a, SampleSlot& s, int i) {
  float* raw = a.keepRaw ? s.raw[i] : a.scratch;
  const int64_t n = ReadFractions(*a.tr, raw, kSampleRead);
  const bool decimated = a.decimator.factor > 1;
  s.outputs[i] = decimated && n > 0 ? Decimate(a.decimator, raw, n, s.decimated[i]) : 0;
  Watch(a, decimated ? s.decimated[i] : raw, decimated ? s.outputs[i] : n, &s.marks[i]);
  return n;
}

// A read of every channel, mixed, as PushMixed takes it: the first channel's samples for the
// record, and the mix's figures after it for -v.
int64_t ReadMixed(SampleAhead& a, SampleSlot& s, int i) {
  ChannelMix& m = *a.mix;
  const int64_t n = ReadFrameFractions(*a.tr, a.frames, kSampleRead);
  if (a.keepRaw)
    for (int64_t k = 0; k < n; ++k) s.raw[i][k] = a.frames[k * m.channels];
  s.outputs[i] = MixPush(m, a.frames, n, s.decimated[i]);
  Watch(a, s.decimated[i], s.outputs[i], &s.marks[i]);
  for (int c = 0; c < m.channels; ++c) s.figures[i][c] = MixChannelFigures(m, c);
  return n;
}

// Fills a slot with reads, as many as it holds or up to the end; true at the end.
bool FillSlot(SampleAhead& a, SampleSlot& s) {
  s.reads = 0;
  while (s.reads < a.readsPerSlot) {
    const int i = s.reads++;
    s.inputs[i] = a.mix ? ReadMixed(a, s, i) : ReadChannel(a, s, i);
    if (s.inputs[i] == 0) return true;
  }
  return false;
}

// The input has ended: the mix's last second, in the pushes FinishMix makes of it.
void FinishMixing(SampleAhead& a) {
  ChannelMix& m = *a.mix;
  a.finishCount = MixFinish(m, a.finish);
  for (int64_t at = 0, p = 0; at < a.finishCount; at += kRecoverPushMax, ++p)
    Watch(a, a.finish + at, std::min<int64_t>(kRecoverPushMax, a.finishCount - at),
          &a.finishMarks[p]);
  for (int c = 0; c < m.channels; ++c) a.finishFigures[c] = MixChannelFigures(m, c);
}

void* SampleAheadLoop(void* arg) {
  SampleAhead& a = *static_cast<SampleAhead*>(arg);
  pthread_mutex_lock(&a.worker.lock);
  while (!a.worker.quit && !a.ended) {
    if (a.count == kSampleSlots) {
      // Full: wait for kSampleWakeFree free slots, so that one wake-up fills them all.
      a.readerWaiting = true;
      while (!a.worker.quit && a.count > kSampleSlots - kSampleWakeFree)
        pthread_cond_wait(&a.worker.changed, &a.worker.lock);
      a.readerWaiting = false;
      continue;
    }
    SampleSlot& s = a.slot[(a.head + a.count) % kSampleSlots];
    pthread_mutex_unlock(&a.worker.lock);
    const bool ended = FillSlot(a, s);
    if (ended && a.mix) FinishMixing(a);
    pthread_mutex_lock(&a.worker.lock);
    ++a.count;
    a.ended = a.finished = ended;
    if (a.decoderWaiting) pthread_cond_broadcast(&a.worker.changed);
  }
  pthread_mutex_unlock(&a.worker.lock);
  return nullptr;
}

}  // namespace

bool SampleAheadStart(SampleAhead& a, TapeReader& tr, const Recover& r, ChannelMix* mix,
                      bool keepRaw) {
  const Decimator& d = r.decimator;
  a.ended = a.finished = a.readerWaiting = a.decoderWaiting = a.holding = false;
  a.head = a.count = a.taken = 0;
  a.tr = &tr;
  a.decimator = d;
  a.watch = r.impulses;
  a.watched = r.written;
  a.mix = mix;
  a.keepRaw = keepRaw || (!mix && d.factor == 1);
  a.readsPerSlot = a.keepRaw ? kSampleReadsKept : kSampleReads;
  a.running = WorkerStart(a.worker, SampleAheadLoop, &a);
  return a.running;
}

int64_t SampleAheadNext(SampleAhead& a, SampleView* v) {
  if (!a.holding || a.taken == a.slot[a.head].reads) {
    pthread_mutex_lock(&a.worker.lock);
    if (a.holding) {  // the head slot is used up: it is the thread's to fill again
      a.head = (a.head + 1) % kSampleSlots;
      --a.count;
      if (a.readerWaiting && a.count <= kSampleSlots - kSampleWakeFree)
        pthread_cond_broadcast(&a.worker.changed);
    }
    a.decoderWaiting = true;
    while (a.count == 0 && !a.ended) pthread_cond_wait(&a.worker.changed, &a.worker.lock);
    a.decoderWaiting = false;
    a.holding = a.count > 0;
    a.taken = 0;
    pthread_mutex_unlock(&a.worker.lock);
    if (!a.holding) {  // asked again after the end: nothing more
      *v = SampleView{a.scratch, a.scratch, 0, nullptr, 0, nullptr};
      return 0;
    }
  }
  const SampleSlot& s = a.slot[a.head];
  const int i = a.taken++;
  v->raw = a.keepRaw ? s.raw[i] : nullptr;
  v->decimated = s.decimated[i];
  v->outputs = s.outputs[i];
  v->spans = s.marks[i].spans;
  v->marked = s.marks[i].marked;
  v->figures = s.figures[i];
  return s.inputs[i];
}

void SampleAheadAwaitFinish(SampleAhead& a) {
  pthread_mutex_lock(&a.worker.lock);
  a.decoderWaiting = true;
  while (!a.finished) pthread_cond_wait(&a.worker.changed, &a.worker.lock);
  a.decoderWaiting = false;
  pthread_mutex_unlock(&a.worker.lock);
}

void SampleAheadStop(SampleAhead& a) {
  if (!a.running) return;
  WorkerStop(a.worker);
  a.running = false;
}
