// Reading and decimating ahead of the recovery decoder. A second thread reads the chosen
// channel's samples, a read at a time as the decoder's driver reads them, decimates them and
// marks the clicks among them as the decoder would, while the decoder works on the ones before: the
// two steps then run on two cores instead of one after the other on one. What it hands over, read
// by read, is what the driver would have read and what the decoder would have made of it, so that
// every result is the same. Reads are handed over in slots of several, so that the threads seldom
// wait for each other, and a thread that does wait is woken once two slots are ready for it.
#ifndef TONEGRAB_SAMPLE_AHEAD_H
#define TONEGRAB_SAMPLE_AHEAD_H

#include <pthread.h>

#include <cstdint>

#include "recover/filters.h"
#include "recover/recover.h"
#include "tape_reader.h"

inline constexpr int64_t kSampleRead = 4096;  // samples a read, as the driver reads them
inline constexpr int kSampleReads = 16;       // reads a slot holds
// Where the samples read are kept too, fewer: memory stays as it was without them.
inline constexpr int kSampleReadsKept = kSampleReads / 4;
inline constexpr int kSampleSlots = 3;

struct SampleSlot {
  int reads;
  int64_t inputs[kSampleReads];          // samples of each read; 0 for the read that found the end
  int64_t outputs[kSampleReads];         // decimated samples it gave
  float raw[kSampleReads][kSampleRead];  // the samples read, where they are kept
  float decimated[kSampleReads][kSampleRead / 2 + 2];
  // The clicks the watch marked in each read's samples: how many, and the last of them.
  int64_t marked[kSampleReads];
  ClickSpan spans[kSampleReads][kRecoverClickSpans];
};

struct SampleAhead {
  bool running;
  pthread_t thread;
  pthread_mutex_t lock;  // over the fields up to the slots
  pthread_cond_t changed;
  bool quit;
  bool ended;           // the thread has read the end
  bool readerWaiting;   // the thread waits for free slots
  bool decoderWaiting;  // the decoder waits for a filled one
  int head, count;      // the slots filled and not yet given up, oldest first
  bool holding;         // the decoder reads from the head slot
  int taken;            // of its reads, those handed over
  TapeReader* tr;
  Decimator decimator;  // the decoder's, carried on by the thread
  Impulses watch;       // and its click watch
  int64_t watched;      // decimated samples the watch has seen
  bool keepRaw;         // the samples read are wanted too, not only the decimated ones
  int readsPerSlot;
  float scratch[kSampleRead];
  SampleSlot slot[kSampleSlots];
};

// What a read handed over holds: the samples read (null unless kept) and the decimated ones.
struct SampleView {
  const float* raw;
  const float* decimated;
  int64_t outputs;
  const ClickSpan* spans;
  int64_t marked;
};

// Starts reading `tr` ahead from where it is for the decoder `r`, before its first push:
// decimating with a copy of its decimator (a factor of 1 keeps the samples as they are: keepRaw
// is then implied) and watching for clicks with a copy of its watch. False when no thread can be
// started: the caller then reads as before.
bool SampleAheadStart(SampleAhead& a, TapeReader& tr, const Recover& r, bool keepRaw);
// The next read: how many samples it read (0 at the end: no more calls then), and in *v what it
// holds (RecoverPushWatched takes it), valid until the next call.
int64_t SampleAheadNext(SampleAhead& a, SampleView* v);
// Ends the thread, whether or not it read to the end; the reader is the caller's again, and
// a.decimator holds the decimator as far as the thread took it.
void SampleAheadStop(SampleAhead& a);

#endif
