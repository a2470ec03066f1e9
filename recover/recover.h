// The recovery decoder: a second decoder beside the exact one, for worn and noisy recordings.
// It decides each bit from the energy of the two tones over one bit period, follows the tape's
// speed with a timing loop, keeps byte alignment from the frame structure and decodes through
// damage, reporting the bytes it could not decode cleanly, and it finds every block.
//
// Samples go in (RecoverPush), events come out (RecoverStep): blocks, bytes with their times,
// and the leaders that were tried and turned out to carry no data. All state is in one record
// of fixed size. The steps, one file each, are listed in recover/stages.h.
#ifndef TONEGRAB_RECOVER_RECOVER_H
#define TONEGRAB_RECOVER_RECOVER_H

#include <cstdint>

#include "recover/filters.h"

inline constexpr int kRecoverRing = 8192;      // decimated samples kept (a power of two)
inline constexpr int kRecoverWindowMax = 40;   // samples a window may touch
inline constexpr int kRecoverBits = 512;       // decoded bits kept for framing (a power of two)
inline constexpr int kRecoverPending = 256;    // frames held while the signal is absent
inline constexpr int kRecoverProbation = 24;   // frames held before a block counts as one
inline constexpr int kRecoverEvents = 1024;    // events between two drains
inline constexpr int kRecoverClickMax = 16;    // decimated samples a click may cover
inline constexpr int kRecoverClickSpans = 16;  // clicks remembered for the windows over them
inline constexpr int kRecoverSearchWindows = 32;
inline constexpr int64_t kRecoverPushMax = 4096;  // samples decimated at a time

enum RecoverEventKind : int { kBlockStart, kBlockByte, kBlockEnd, kLeaderRejected };

// Why a leader did not become a block (the value of a kLeaderRejected event).
enum RecoverRejection : int {
  kRejectToneLost,   // the tone went before any start bit
  kRejectNoFrames,   // no frame decoded after it
  kRejectFewFrames,  // frames decoded, but never enough of them in a row
};

// What a rejection means, for -v.
const char* RecoverRejectionText(int why);

struct RecoverEvent {
  int kind;
  int damaged;          // a byte whose frame did not decode cleanly
  unsigned char value;  // a byte; for kLeaderRejected, the RecoverRejection
  double time;          // seconds: where the block, the byte's frame, or the leader starts
  double endTime;  // seconds: where the byte's frame or the block ends, or the leader was given up
  double speed;    // block events: mean speed against nominal (1 = nominal)
  float quality;   // byte events: the frame's mean bit confidence, 0 (none) to 1 (clear)
  int8_t soft[8];  // byte events: each data bit's evidence, for combining takes
};

enum RecoverStage : int { kStageSearch, kStageLeader, kStageEdge, kStageData };

struct Phasor {
  double re, im;
};

struct RecoverBit {
  uint8_t value;
  float confidence;  // 0: the two tones equally strong; 1: only one present
  float sure;        // the same, or where it was decided coherently, how clearly
  float soft;        // the evidence for a 1 (> 0) or a 0 (< 0): sure, less where the signal is weak
  double time;       // window start, decimated samples
};

// A data bit's evidence as a small number: kSoftScale a clear 1, -kSoftScale a clear 0.
inline constexpr int kSoftScale = 127;

struct RecoverFrame {
  unsigned char value;
  float quality;         // mean bit confidence
  double time, endTime;  // decimated samples
  int8_t soft[8];        // the data bits' evidence, first bit first
};

// Clicks: excursions far above the signal's usual peak, short enough to be impulses, are marked
// so that the windows over them leave them out.
struct ClickSpan {
  int64_t first, last;  // decimated samples
};

struct Impulses {
  float peak;                           // the held peak of the samples taken as they are
  float decay;                          // of the held peak, per sample
  float blockDecay;                     // and per block
  int run;                              // samples in the excursion under way
  int quiet;                            // of them, the last ones below the threshold
  float raw[kRecoverClickMax];          // their values
  ClickSpan spans[kRecoverClickSpans];  // the last clicks, the newest at (clicks - 1) % size
  int64_t clicks;
  int64_t lastClickEnd;
};

// The tone tables and the gains at the nominal speed, kept once built: the search goes back to
// that speed after every leader it looks at, and a steady tone or voice can bring one a second.
struct NominalTones {
  bool tables, gains;  // built
  double omega, gain0, gain1;
  float low[2][kRecoverWindowMax], high[2][kRecoverWindowMax];
  float grouped[kRecoverWindowMax / 4][16];
};

struct Recover {
  // Sample stage: decimate, take out clicks, and keep.
  double inputRate;
  double rate;  // after decimation
  Decimator decimator;
  double omega;                    // radians per sample of the low tone: 2 pi / bit length
  double templateLength;           // the bit length the tables were built for
  double shortestBit, longestBit;  // bit lengths at the fastest and slowest speeds followed
  int tableLength;                 // entries of the tables a window of the longest bit may use
  alignas(16) float low[2][kRecoverWindowMax];
  alignas(16) float high[2][kRecoverWindowMax];  // cos and -sin of omega n, 2 omega n
  // The same four tables four samples at a time, side by side: of samples 4 g to 4 g + 3, low
  // cos, low sin, high cos, high sin (the vector windows take eight of them at once).
  alignas(32) float grouped[kRecoverWindowMax / 4][16];
  NominalTones nominal;
  int64_t written;  // decimated samples in the ring so far
  Impulses impulses;
  float ring[kRecoverRing];

  // Bit stage.
  RecoverStage stage;
  double t;  // start of the next window, decimated samples
  double bitLength;
  double gain0, gain1;  // energy weights that undo the decimator's unequal gain on the tones
  double gainBitLength;
  // Leader search over half-bit windows.
  int searchCount;
  double searchRotRe[kRecoverSearchWindows], searchRotIm[kRecoverSearchWindows];
  double searchHigh[kRecoverSearchWindows];
  double searchSumRe, searchSumIm, searchSumHigh;  // over the windows above
  Phasor prevRef;                                  // the last window's high-tone correlation
  double leaderLevel;
  double leaderRotRe[2], leaderRotIm[2];  // the last two windows' rotations, not yet trusted
  double leaderSumRe, leaderSumIm;
  int leaderSumCount;
  double leaderStart;  // seconds
  int leaderWeak;
  int leaderWindows;
  int leaderSteady;  // of them, windows that held the high tone
  // Data: timing loop and coherent references.
  bool prevTimed;                     // the last bit was sure enough to time by
  double pendingAdjust, pendingLate;  // the timing loop's last correction, not yet applied
  int prevBit;
  double ref0Re, ref0Im, ref1Re, ref1Im;
  int ref0Count, ref1Count;
  int cleanRun;      // bits in a row decided clearly
  uint32_t unclear;  // of the last 32 bits, those not decided clearly (the newest lowest)
  double signalLevel;

  // Framing.
  RecoverBit bits[kRecoverBits];
  int64_t bitCount;    // bits decoded in this block
  int64_t frameStart;  // bit index of the next frame's start bit
  int64_t framesDue;   // bits decoded before the next frame can be looked at; 0: look now
  bool framed;         // the first frame has been found
  int64_t bestFirst;   // the likeliest first frame so far, and its good frames of the next few
  int bestFirstGood;
  RecoverFrame pending[kRecoverPending];
  int pendingCount;
  bool pendingSilent;  // a held frame had no signal
  int suspect;         // frames still to be looked at closely after damage
  bool blockOpen;      // enough frames decoded in a row: the block has been announced
  RecoverFrame probation[kRecoverProbation];  // frames before that, and whether each was damaged
  bool probationDamaged[kRecoverProbation];
  int probationCount;
  int goodRun;  // good frames in a row, up to the block's announcement
  double blockStart;
  double blockLastEnd;
  double speedSum;  // bit lengths of the frames written, for the mean speed
  int64_t speedCount;
  int foreignRun;       // frames in a row held that carry signal but do not fit
  double foreignStart;  // where the first of them began, decimated samples
  bool inputEnded;

  RecoverEvent events[kRecoverEvents];
  int eventCount;
};

// Whether the decoder takes recordings of this sample rate.
bool RecoverRateSupported(double sampleRate);
// 0 when the rate suits the decoder, else 1 (the tones do not fit, or the rate is absurd).
int RecoverInit(Recover& r, double sampleRate);
// Takes samples of the chosen channel as fractions of full scale. Call RecoverStep until it
// returns 0 between two calls: the ring keeps only so much.
void RecoverPush(Recover& r, const float* samples, int64_t count);
// Takes samples already decimated by r.decimator.factor, as a mix of channels is.
void RecoverPushDecimated(Recover& r, const float* samples, int64_t count);
// The same in two steps, the first of which may run in another thread: RecoverWatch marks the
// clicks among decimated samples (the one at `at` the decoder's at-th) on a copy of the
// decoder's watch, taken before its first push, as RecoverPushDecimated would mark them; and
// RecoverPushWatched takes the samples with what the watch marked among them: `marked` clicks,
// the last min(marked, kRecoverClickSpans) of them in `spans`, oldest first.
void RecoverWatch(Impulses& m, const float* samples, int64_t count, int64_t at);
void RecoverPushWatched(Recover& r, const float* samples, int64_t count, const ClickSpan* spans,
                        int64_t marked);
// The input has ended: the open block ends with its last complete byte.
void RecoverFinish(Recover& r);
// Decodes as far as the samples allow; returns the number of events now in r.events (the
// caller consumes them and sets eventCount to 0).
int RecoverStep(Recover& r);

#endif
