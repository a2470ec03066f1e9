// The channels of a recording combined into one for the recovery decoder: each channel that
// carries the signal is weighted by its signal over its noise (the sum with the best
// signal-to-noise ratio), turned to the same polarity and moved in time onto the others (a
// head at a slant puts one track up to a millisecond behind the other). A channel without the
// signal gets weight 0, so that the mix is never worse than the best channel alone.
//
// What each channel carries is learnt as the samples pass, over about a second, and the mix
// runs a second behind them: a block's first bits are mixed by what the leader and the data
// after them showed. A leader alone cannot tell the tracks' offset, for its steady tone looks
// the same a cycle later; the data can. All state is in one record of fixed size.
#ifndef TONEGRAB_COMBINE_CHANNELS_H
#define TONEGRAB_COMBINE_CHANNELS_H

#include <cstdint>

#include "recover/filters.h"

inline constexpr int kMixChannels = 8;  // channels combined at most
inline constexpr int kMixLagMax = 24;   // offsets tried each way, decimated samples: over 1 ms
inline constexpr int kMixRing = 32768;  // decimated samples kept per channel (a power of two)
inline constexpr int kMixChunk = 4096;  // frames taken at a time
inline constexpr int kMixPairs = kMixChannels * (kMixChannels - 1) / 2;

struct MixChannel {
  Decimator decimator;
  float before[2];               // the last chunk's last two decimated samples
  double power, fourth;          // running sums of the high-passed samples' 2nd, 4th powers
  double signal, noise;          // their powers as last estimated
  double weight;                 // in the mix, with its sign
  double offset;                 // decimated samples behind the reference channel
  float recent[2 * kMixLagMax];  // the last high-passed samples, for the next chunk's sums
  float ring[kMixRing];          // decimated samples
};

struct ChannelMix {
  int channels;
  double rate;        // decimated
  int lags;           // offsets tried each way
  int lookahead;      // decimated samples the mix runs behind the input
  double keep;        // the running sums' decay per decimated sample
  double count;       // the running sum of samples counted
  double crossCount;  // of them, those whose products with the other channels' were summed
  int64_t chunks;
  int reference;                                // the channel the others are lined up on
  int64_t taken;                                // decimated samples of each channel so far
  int64_t mixed;                                // mixed samples given out
  double cross[kMixPairs][2 * kMixLagMax + 1];  // running sums of the pairs' products
  MixChannel ch[kMixChannels];
};

// What -v tells of a channel: its share of the mix's signal-to-noise ratio (0 to 1), and its
// polarity and delay in milliseconds against the first channel in the mix; all 0 for a channel
// left out.
struct MixFigures {
  bool used;  // false: the channel carries no signal and is left out
  double share;
  bool inverted;
  double delayMs;
};

// Readies the mix of `channels` channels (2 to kMixChannels) at `inputRate`, decimated by
// `factor` as the recovery decoder decimates.
void MixInit(ChannelMix& m, int channels, double inputRate, int factor);
// Takes `frames` frames of interleaved samples (at most kMixChunk) and writes the mixed
// decimated samples now due into `out` (room for kMixChunk); returns how many.
int64_t MixPush(ChannelMix& m, const float* frames, int64_t count, float* out);
// The input has ended: the rest of the mix into `out` (room for kMixRing); returns how many.
int64_t MixFinish(ChannelMix& m, float* out);
MixFigures MixChannelFigures(const ChannelMix& m, int channel);

#endif
