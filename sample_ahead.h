// Reading and decimating ahead of the recovery decoder. A second thread reads the chosen
// channel's samples, or mixes every channel's (-c all), a read at a time as the decoder's driver
// reads them, decimates them and marks the clicks among them as the decoder would, while the
// decoder works on the ones before: the
// two steps then run on two cores instead of one after the other on one. What it hands over, read
// by read, is what the driver would have read and what the decoder would have made of it, so that
// every result is the same. Reads are handed over in slots of several, so that the threads seldom
// wait for each other, and the thread that reads, once it has waited, is woken when several
// slots are free for it.
#ifndef TONEGRAB_SAMPLE_AHEAD_H
#define TONEGRAB_SAMPLE_AHEAD_H

#include <cstdint>

#include "combine/channels.h"
#include "recover/filters.h"
#include "recover/recover.h"
#include "tape_reader.h"
#include "worker.h"

inline constexpr int64_t kSampleRead = 4096;  // samples (frames) a read, as the driver reads them
inline constexpr int kSampleReads = 16;       // reads a slot holds
// Where the samples read are kept too, fewer: memory stays as it was without them.
inline constexpr int kSampleReadsKept = kSampleReads / 4;
// Slots, and of them those that must be free before the waiting thread is woken: waking it is
// a system call in the decoder's thread (2 % of a mono run when a wake-up filled two slots).
inline constexpr int kSampleSlots = 8;
inline constexpr int kSampleWakeFree = 6;
// Decimated samples a read may give: a mix of channels gives up to a read's frames.
inline constexpr int64_t kSampleOut = kMixChunk;
// The mix's last second, taken when the input ends, in pushes as the decoder takes them.
inline constexpr int kFinishPieces = kMixRing / kRecoverPushMax;
static_assert(kSampleRead == kMixChunk && kMixRing % kRecoverPushMax == 0);

// The clicks the watch marked in a push's samples: how many, and the last of them.
struct SampleMarks {
  int64_t marked;
  ClickSpan spans[kRecoverClickSpans];
};

struct SampleSlot {
  int reads;
  int64_t inputs[kSampleReads];          // samples of each read; 0 for the read that found the end
  int64_t outputs[kSampleReads];         // decimated samples it gave
  float raw[kSampleReads][kSampleRead];  // the samples read (of a mix, the first channel's), kept
  float decimated[kSampleReads][kSampleOut];
  SampleMarks marks[kSampleReads];
  MixFigures figures[kSampleReads][kMixChannels];  // of a mix, as it stood after the read
};

struct SampleAhead {
  bool running;
  Worker worker;        // its lock is over the fields up to `tr`
  bool ended;           // the thread has read the end
  bool finished;        // and of a mix, taken its last second
  bool readerWaiting;   // the thread waits for free slots
  bool decoderWaiting;  // the decoder waits for a filled one, or for the mix's last second
  int head, count;      // the slots filled and not yet given up, oldest first
  bool holding;         // the decoder reads from the head slot
  int taken;            // of its reads, those handed over
  TapeReader* tr;
  ChannelMix* mix;      // the channels mixed, or null for the one chosen
  Decimator decimator;  // the decoder's, carried on by the thread (one channel)
  Impulses watch;       // the decoder's click watch, carried on by the thread
  int64_t watched;      // decimated samples the watch has seen
  bool keepRaw;         // the samples read are wanted too, not only the decimated ones
  int readsPerSlot;
  float scratch[kSampleRead];
  float frames[kSampleRead * kMixChannels];
  SampleSlot slot[kSampleSlots];
  // A mix's last second, once the input has ended.
  float finish[kMixRing];
  int64_t finishCount;
  SampleMarks finishMarks[kFinishPieces];
  MixFigures finishFigures[kMixChannels];
};

// What a read handed over holds: the samples read (null unless kept), the decimated ones, the
// clicks marked among them and, of a mix, its figures after it.
struct SampleView {
  const float* raw;
  const float* decimated;
  int64_t outputs;
  const ClickSpan* spans;
  int64_t marked;
  const MixFigures* figures;
};

// Starts reading `tr` ahead from where it is for the decoder `r`, before its first push: the
// chosen channel, decimated with a copy of the decoder's decimator (a factor of 1 keeps the
// samples as they are: keepRaw is then implied), or with `mix` (readied) every channel, mixed;
// the clicks watched with a copy of the decoder's watch. False when no thread can be started:
// the caller then reads as before.
bool SampleAheadStart(SampleAhead& a, TapeReader& tr, const Recover& r, ChannelMix* mix,
                      bool keepRaw);
// The next read: how many samples it read (0 at the end: no more calls then), and in *v what it
// holds (RecoverPushWatched takes it), valid until the next call.
int64_t SampleAheadNext(SampleAhead& a, SampleView* v);
// Of a mix, after the read at the end: waits for its last second (a.finish, a.finishCount, the
// marks of each push of kRecoverPushMax samples of it, and the mix's figures after it).
void SampleAheadAwaitFinish(SampleAhead& a);
// Ends the thread, whether or not it read to the end; the reader is the caller's again, and
// a.decimator holds the decimator as far as the thread took it.
void SampleAheadStop(SampleAhead& a);

#endif
