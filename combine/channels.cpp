#include "combine/channels.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <numbers>

namespace {

constexpr double kLearnSeconds = 1;      // the running sums' time constant
constexpr double kLookaheadSeconds = 1;  // the mix runs this far behind the input
constexpr double kMaxDelaySeconds = 0.001;
constexpr double kHighPassHz = 400;  // hum and a slow wave kept out of the estimates
constexpr double kClipOverRms = 5;   // a click's samples counted no larger than this
// A channel whose samples match the reference's this little (the normalised correlation at
// the best offset) carries no signal of its own: noise correlates to about 0.01 over a second.
constexpr double kMinCoherence = 0.06;
// Another channel becomes the reference only when its signal-to-noise ratio is this much better.
constexpr double kReferenceSwitch = 1.5;
// Between two offsets that fit about as well, the smaller: a leader's tone fits every cycle.
constexpr double kOffsetPenalty = 0.02;
constexpr int kRingMask = kMixRing - 1;

// Scratch for one chunk: each channel's frames, then its decimated samples, then its
// high-passed ones after the last chunk's.
float lane[kMixChunk];
float decimated[kMixChannels][kMixChunk];
float passed[kMixChannels][2 * kMixLagMax + kMixChunk];

int PairIndex(const ChannelMix& m, int i, int j) {
  return i * (2 * m.channels - i - 1) / 2 + (j - i - 1);
}

// The running sum of the products of c's samples with the reference's `lag` samples earlier:
// largest where c lags the reference by `lag`.
double Cross(const ChannelMix& m, int c, int r, int lag) {
  return c < r ? m.cross[PairIndex(m, c, r)][kMixLagMax + lag]
               : m.cross[PairIndex(m, r, c)][kMixLagMax - lag];
}

// A second-order Butterworth high-pass (the bilinear transform's biquad).
void HighPassInit(ChannelMix& m) {
  const double k = std::tan(std::numbers::pi * kHighPassHz / m.rate);
  const double norm = 1 / (1 + std::numbers::sqrt2 * k + k * k);
  m.hpB[0] = norm;
  m.hpB[1] = -2 * norm;
  m.hpB[2] = norm;
  m.hpA[0] = 2 * (k * k - 1) * norm;
  m.hpA[1] = (1 - std::numbers::sqrt2 * k + k * k) * norm;
}

// The chunk's decimated samples of channel c high-passed and clipped into passed[c], after the
// last chunk's, and their powers summed.
void PassChannel(ChannelMix& m, int c, int64_t n) {
  MixChannel& ch = m.ch[c];
  float* out = passed[c];
  const int history = 2 * m.lags;
  std::copy(ch.recent, ch.recent + history, out);
  const double rms = m.count > 0 ? std::sqrt(ch.power / m.count) : 0;
  const double clip = rms > 0 ? kClipOverRms * rms : 1e30;
  double x1 = ch.hp[0], x2 = ch.hp[1], y1 = ch.hp[2], y2 = ch.hp[3];
  double power = 0, fourth = 0;
  for (int64_t i = 0; i < n; ++i) {
    const double x = decimated[c][i];
    const double y = m.hpB[0] * x + m.hpB[1] * x1 + m.hpB[2] * x2 - m.hpA[0] * y1 - m.hpA[1] * y2;
    x2 = x1;
    x1 = x;
    y2 = y1;
    y1 = y;
    const double v = std::clamp(y, -clip, clip);
    out[history + i] = static_cast<float>(v);
    power += v * v;
    fourth += v * v * v * v;
  }
  ch.hp[0] = x1;
  ch.hp[1] = x2;
  ch.hp[2] = y1;
  ch.hp[3] = y2;
  const double decay = std::pow(m.keep, static_cast<double>(n));
  ch.power = ch.power * decay + power;
  ch.fourth = ch.fourth * decay + fourth;
  std::copy(out + n, out + n + history, ch.recent);
}

// The pair's products at every offset over the chunk, the samples at the middle of the
// high-passed stretch so that both sides have theirs.
void CrossPair(ChannelMix& m, int i, int j, int64_t n, double decay) {
  double* sums = m.cross[PairIndex(m, i, j)];
  const float* a = passed[i] + m.lags;
  for (int lag = -m.lags; lag <= m.lags; ++lag) {
    const float* b = passed[j] + m.lags - lag;
    float s0 = 0, s1 = 0, s2 = 0, s3 = 0;
    int64_t k = 0;
    for (; k + 4 <= n; k += 4) {
      s0 += a[k] * b[k];
      s1 += a[k + 1] * b[k + 1];
      s2 += a[k + 2] * b[k + 2];
      s3 += a[k + 3] * b[k + 3];
    }
    for (; k < n; ++k) s0 += a[k] * b[k];
    sums[kMixLagMax + lag] = sums[kMixLagMax + lag] * decay + ((s0 + s1) + (s2 + s3));
  }
}

// Channel c's signal power by its own samples: a signal of steady amplitude in Gaussian noise
// has 3 P^2 - F = 3/8 A^4 (P and F the mean 2nd and 4th powers, A the amplitude).
double OwnSignal(const ChannelMix& m, int c) {
  const double p = m.ch[c].power / m.count, f = m.ch[c].fourth / m.count;
  const double d = 3 * p * p - f;
  return d > 0 ? std::min(p, std::sqrt(8.0 / 3 * d) / 2) : 0;
}

double OwnRatio(const ChannelMix& m, int c) {
  const double p = m.ch[c].power / m.count, s = OwnSignal(m, c);
  return s / std::max(p - s, 1e-3 * p + 1e-30);
}

void ChooseReference(ChannelMix& m) {
  int best = m.reference;
  for (int c = 0; c < m.channels; ++c)
    if (OwnRatio(m, c) > OwnRatio(m, best)) best = c;
  if (OwnRatio(m, best) > kReferenceSwitch * OwnRatio(m, m.reference)) m.reference = best;
}

// Channel c against the reference: where its samples fit best, with which sign, and how
// closely (the correlation at that offset, per sample, and normalised). Sets its offset and
// returns the correlation with its sign.
double FitChannel(ChannelMix& m, int c, double* coherence) {
  MixChannel& ch = m.ch[c];
  const int r = m.reference;
  int best = 0;
  double bestScore = -1;
  for (int lag = -m.lags; lag <= m.lags; ++lag) {
    const double score =
        std::fabs(Cross(m, c, r, lag)) * (1 - kOffsetPenalty * std::abs(lag) / m.lags);
    if (score > bestScore) {
      bestScore = score;
      best = lag;
    }
  }
  double x = Cross(m, c, r, best);
  const double sign = x < 0 ? -1 : 1;
  ch.offset = best;
  if (best > -m.lags && best < m.lags) {  // the peak between the offsets tried, and its height
    const double y0 = sign * Cross(m, c, r, best - 1), y1 = sign * x,
                 y2 = sign * Cross(m, c, r, best + 1);
    const double curve = y0 - 2 * y1 + y2;
    if (curve < 0) {
      const double d = std::clamp(0.5 * (y0 - y2) / curve, -0.5, 0.5);
      ch.offset += d;
      x = sign * (y1 - 0.25 * (y0 - y2) * d);
    }
  }
  x /= m.count;
  const double p = ch.power / m.count, pr = m.ch[r].power / m.count;
  *coherence = std::fabs(x) / (std::sqrt(p * pr) + 1e-30);
  return x;
}

// The mix's weights from the running sums, scaled so that the mix's signal is as strong as the
// reference's. A channel's signal power is its correlation with the reference squared over the
// reference's: noise that the two do not share drops out. The reference's own is the
// correlation scaled by the ratio of the two channels' signal powers by their own samples, in
// which the bias of that estimate cancels.
void UpdateWeights(ChannelMix& m) {
  ChooseReference(m);
  const int r = m.reference;
  MixChannel& ref = m.ch[r];
  double correlation[kMixChannels] = {};
  bool coherent[kMixChannels] = {};
  double referenceSum = 0;
  int referenceCount = 0;
  const double ownReference = OwnSignal(m, r);
  for (int c = 0; c < m.channels; ++c) {
    if (c == r) continue;
    double coherence = 0;
    correlation[c] = FitChannel(m, c, &coherence);
    const double own = OwnSignal(m, c);
    coherent[c] = coherence >= kMinCoherence;
    if (coherent[c] && own > 0) {
      referenceSum += std::fabs(correlation[c]) * std::sqrt(ownReference / own);
      ++referenceCount;
    }
  }
  const double pr = ref.power / m.count;
  ref.signal = std::min(pr, referenceCount ? referenceSum / referenceCount : ownReference);
  ref.noise = std::max(pr - ref.signal, 1e-3 * pr + 1e-30);
  ref.offset = 0;
  ref.weight = std::sqrt(ref.signal) / ref.noise;
  double strength = std::sqrt(ref.signal) * ref.weight;
  for (int c = 0; c < m.channels; ++c) {
    if (c == r) continue;
    MixChannel& ch = m.ch[c];
    const double p = ch.power / m.count, x = correlation[c];
    ch.signal = ref.signal > 0 ? std::min(p, x * x / ref.signal) : 0;
    ch.noise = std::max(p - ch.signal, 1e-3 * p + 1e-30);
    ch.weight = coherent[c] ? (x < 0 ? -1 : 1) * std::sqrt(ch.signal) / ch.noise : 0;
    strength += std::fabs(ch.weight) * std::sqrt(ch.signal);
  }
  if (!(strength > 0)) {  // no signal seen yet: the reference as it is
    for (int c = 0; c < m.channels; ++c) m.ch[c].weight = c == r;
    return;
  }
  const double scale = std::sqrt(ref.signal) / strength;
  for (int c = 0; c < m.channels; ++c) m.ch[c].weight *= scale;
}

// Channel c's sample at a fractional position, by the cubic through the four around it; none
// outside what was taken.
float SampleAt(const ChannelMix& m, const MixChannel& ch, double at) {
  const double base = std::floor(at);
  const double f = at - base;
  const int64_t i = static_cast<int64_t>(base);
  float v[4];
  for (int k = 0; k < 4; ++k) {
    const int64_t j = i - 1 + k;
    v[k] = j >= 0 && j < m.taken && j > m.taken - kMixRing ? ch.ring[j & kRingMask] : 0.0f;
  }
  const double a = -f * (f - 1) * (f - 2) / 6, b = (f + 1) * (f - 1) * (f - 2) / 2,
               c = -(f + 1) * f * (f - 2) / 2, d = (f + 1) * f * (f - 1) / 6;
  return static_cast<float>(a * v[0] + b * v[1] + c * v[2] + d * v[3]);
}

// Mixed samples up to `end` (exclusive) into `out`.
int64_t MixUpTo(ChannelMix& m, int64_t end, float* out) {
  int64_t made = 0;
  for (; m.mixed < end; ++m.mixed) {
    double sum = 0;
    for (int c = 0; c < m.channels; ++c) {
      const MixChannel& ch = m.ch[c];
      if (ch.weight != 0)
        sum += ch.weight * SampleAt(m, ch, static_cast<double>(m.mixed) + ch.offset);
    }
    out[made++] = static_cast<float>(sum);
  }
  return made;
}

}  // namespace

void MixInit(ChannelMix& m, int channels, double inputRate, int factor) {
  m.channels = std::clamp(channels, 1, kMixChannels);
  m.rate = inputRate / factor;
  m.lags = std::min(kMixLagMax, static_cast<int>(std::ceil(kMaxDelaySeconds * m.rate)));
  m.lookahead = static_cast<int>(kLookaheadSeconds * m.rate);
  m.keep = std::exp(-1 / (kLearnSeconds * m.rate));
  m.count = 0;
  m.reference = 0;
  m.taken = m.mixed = 0;
  HighPassInit(m);
  for (auto& pair : m.cross) std::fill(std::begin(pair), std::end(pair), 0.0);
  for (int c = 0; c < m.channels; ++c) {
    MixChannel& ch = m.ch[c];
    DecimatorInit(ch.decimator, factor);
    std::fill(std::begin(ch.hp), std::end(ch.hp), 0.0);
    std::fill(std::begin(ch.recent), std::end(ch.recent), 0.0f);
    ch.power = ch.fourth = ch.signal = ch.noise = ch.offset = 0;
    ch.weight = c == 0;
  }
}

int64_t MixPush(ChannelMix& m, const float* frames, int64_t count, float* out) {
  int64_t n = 0;
  for (int c = 0; c < m.channels; ++c) {
    MixChannel& ch = m.ch[c];
    for (int64_t i = 0; i < count; ++i) lane[i] = frames[i * m.channels + c];
    n = ch.decimator.factor == 1 ? count : Decimate(ch.decimator, lane, count, decimated[c]);
    if (ch.decimator.factor == 1) std::copy(lane, lane + count, decimated[c]);
    for (int64_t i = 0; i < n; ++i) ch.ring[(m.taken + i) & kRingMask] = decimated[c][i];
    PassChannel(m, c, n);
  }
  if (n == 0) return 0;
  const double decay = std::pow(m.keep, static_cast<double>(n));
  for (int i = 0; i < m.channels; ++i)
    for (int j = i + 1; j < m.channels; ++j) CrossPair(m, i, j, n, decay);
  m.count = m.count * decay + static_cast<double>(n);
  m.taken += n;
  UpdateWeights(m);
  return MixUpTo(m, m.taken - m.lookahead, out);
}

int64_t MixFinish(ChannelMix& m, float* out) {
  return MixUpTo(m, m.taken, out);
}

MixFigures MixChannelFigures(const ChannelMix& m, int channel) {
  double total = 0;
  for (int c = 0; c < m.channels; ++c)
    if (m.ch[c].weight != 0) total += m.ch[c].signal / m.ch[c].noise;
  const MixChannel& ch = m.ch[channel];
  const double share = ch.weight != 0 && total > 0 ? ch.signal / ch.noise / total : 0;
  return {share, ch.weight < 0, ch.offset / m.rate * 1000};
}
