#include "combine/channels.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <numbers>

namespace {

constexpr double kLearnSeconds = 1;      // the running sums' time constant
constexpr double kLookaheadSeconds = 1;  // the mix runs this far behind the input
constexpr double kMaxDelaySeconds = 0.001;
constexpr double kClipOverRms = 5;  // a click's samples counted no larger than this
// A channel whose samples match the reference's this little (the normalised correlation at
// the best offset) carries no signal of its own: noise correlates to about 0.01 over a second.
constexpr double kMinCoherence = 0.06;
constexpr double kLinedUp = 0.8;  // of the closeness the two channels' own figures promise
// Another channel becomes the reference only when its signal-to-noise ratio is this much better.
constexpr double kReferenceSwitch = 1.5;
// Between two offsets that fit about as well, the smaller: a leader's tone fits every cycle.
constexpr double kOffsetPenalty = 0.02;
constexpr int kRingMask = kMixRing - 1;
constexpr int kCrossEvery = 2;

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

// The chunk's decimated samples of channel c, each less the one two before (a band-pass about
// a quarter of the rate, between the tones, with nulls at DC and at half the rate: hum and a
// slow wave stay out of the estimates), clipped, into passed[c] after the last chunk's, and
// their powers summed.
void PassChannel(ChannelMix& m, int c, int64_t n) {
  if (n == 0) return;  // the last frames may not make a decimated sample
  MixChannel& ch = m.ch[c];
  float* out = passed[c];
  const int history = 2 * m.lags;
  std::copy(ch.recent, ch.recent + history, out);
  const double rms = m.count > 0 ? std::sqrt(ch.power / m.count) : 0;
  const float clip = rms > 0 ? static_cast<float>(kClipOverRms * rms) : 1e30f;
  const float* x = decimated[c];
  float y[kMixChunk];
  y[0] = x[0] - ch.before[0];
  if (n > 1) y[1] = x[1] - ch.before[1];
  for (int64_t i = 2; i < n; ++i) y[i] = x[i] - x[i - 2];
  float power = 0, fourth = 0;
  for (int64_t i = 0; i < n; ++i) {
    const float v = std::clamp(y[i], -clip, clip);
    out[history + i] = v;
    const float v2 = v * v;
    power += v2;
    fourth += v2 * v2;
  }
  ch.before[0] = n > 1 ? x[n - 2] : ch.before[1];
  ch.before[1] = x[n - 1];
  const double decay = std::pow(m.keep, static_cast<double>(n));
  ch.power = ch.power * decay + power;
  ch.fourth = ch.fourth * decay + fourth;
  std::copy(out + n, out + n + history, ch.recent);
}

// The pair's products at every offset over the chunk, the samples at the middle of the
// high-passed stretch so that both sides have theirs.
void CrossPair(ChannelMix& m, int i, int j, int64_t n, double decay) {
  double* sums = m.cross[PairIndex(m, i, j)] + kMixLagMax;
  const float* a = passed[i] + m.lags;
  // Four offsets at a time: four sums that do not wait for one another, and a's samples loaded
  // once for them. The compiler may reorder each sum, to take several samples at once.
  int lag = -m.lags;
  for (; lag + 3 <= m.lags; lag += 4) {
    const float* b = passed[j] + m.lags - lag;
    float s0 = 0, s1 = 0, s2 = 0, s3 = 0;
    for (int64_t k = 0; k < n; ++k) {
      s0 += a[k] * b[k];
      s1 += a[k] * b[k - 1];
      s2 += a[k] * b[k - 2];
      s3 += a[k] * b[k - 3];
    }
    sums[lag] = sums[lag] * decay + s0;
    sums[lag + 1] = sums[lag + 1] * decay + s1;
    sums[lag + 2] = sums[lag + 2] * decay + s2;
    sums[lag + 3] = sums[lag + 3] * decay + s3;
  }
  for (; lag <= m.lags; ++lag) {
    const float* b = passed[j] + m.lags - lag;
    float sum = 0;
    for (int64_t k = 0; k < n; ++k) sum += a[k] * b[k];
    sums[lag] = sums[lag] * decay + sum;
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
  x /= m.crossCount;
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
  const double pr = ref.power / m.count;
  for (int c = 0; c < m.channels; ++c) {
    if (c == r) continue;
    MixChannel& ch = m.ch[c];
    double coherence = 0;
    correlation[c] = FitChannel(m, c, &coherence);
    const double own = OwnSignal(m, c);
    // A channel lined up right matches the reference as closely as their signal-to-noise
    // ratios allow; one offset beyond the search (over 1 ms) matches only at a cycle of the
    // tones, about half as closely, and mixed in there it would blur the bits: left out.
    const double pc = ch.power / m.count;
    const double expected = std::sqrt(own / pc * ownReference / pr);
    coherent[c] = coherence >= kMinCoherence && !(coherence < kLinedUp * expected);
    if (coherent[c] && own > 0) {
      referenceSum += std::fabs(correlation[c]) * std::sqrt(ownReference / own);
      ++referenceCount;
    }
  }
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

// Channel c of `count` interleaved frames into lane[]: two channels, the usual case, with a
// stride the compiler knows.
void TakeLane(const float* frames, int64_t count, int channels, int c) {
  if (channels == 2) {
    for (int64_t i = 0; i < count; ++i) lane[i] = frames[2 * i + c];
    return;
  }
  for (int64_t i = 0; i < count; ++i) lane[i] = frames[i * channels + c];
}

// The cubic through four samples, at `f` (0 to 1) past the second: its weights.
void CubicWeights(double f, float w[4]) {
  w[0] = static_cast<float>(-f * (f - 1) * (f - 2) / 6);
  w[1] = static_cast<float>((f + 1) * (f - 1) * (f - 2) / 2);
  w[2] = static_cast<float>(-(f + 1) * f * (f - 2) / 2);
  w[3] = static_cast<float>((f + 1) * f * (f - 1) / 6);
}

// Channel c's part of the mixed samples from m.mixed to `end` (exclusive), added into `out`:
// its samples at its offset, between samples by the cubic through the four around. None
// outside what was taken.
void AddChannel(const ChannelMix& m, const MixChannel& ch, int64_t end, float* out) {
  const double base = std::floor(ch.offset);
  float w[4];
  CubicWeights(ch.offset - base, w);
  for (float& v : w) v *= static_cast<float>(ch.weight);
  const int64_t shift = static_cast<int64_t>(base) - 1;  // the first of the four samples
  const int64_t oldest = std::max<int64_t>(0, m.taken - kMixRing + 1);
  int64_t k = m.mixed;
  float* o = out;
  while (k < end) {
    const int64_t j = k + shift;
    const int64_t at = j & kRingMask;
    // A stretch whose four samples each lie in the ring, taken and not across its end: a plain
    // filter over memory in a row.
    const int64_t run = std::min({end - k, m.taken - 3 - j, kMixRing - 3 - at});
    if (j >= oldest && run > 0) {
      const float* x = ch.ring + at;
      for (int64_t i = 0; i < run; ++i)
        o[i] += w[0] * x[i] + w[1] * x[i + 1] + w[2] * x[i + 2] + w[3] * x[i + 3];
      k += run;
      o += run;
      continue;
    }
    for (int t = 0; t < 4; ++t)
      if (j + t >= oldest && j + t < m.taken) *o += w[t] * ch.ring[(j + t) & kRingMask];
    ++k;
    ++o;
  }
}

// Mixed samples up to `end` (exclusive) into `out`.
int64_t MixUpTo(ChannelMix& m, int64_t end, float* out) {
  if (end <= m.mixed) return 0;
  const int64_t made = end - m.mixed;
  std::fill(out, out + made, 0.0f);
  for (int c = 0; c < m.channels; ++c)
    if (m.ch[c].weight != 0) AddChannel(m, m.ch[c], end, out);
  m.mixed = end;
  return made;
}

}  // namespace

void MixInit(ChannelMix& m, int channels, double inputRate, int factor) {
  m.channels = std::clamp(channels, 1, kMixChannels);
  m.rate = inputRate / factor;
  m.lags = std::min(kMixLagMax, static_cast<int>(std::ceil(kMaxDelaySeconds * m.rate)));
  m.lookahead = static_cast<int>(kLookaheadSeconds * m.rate);
  m.keep = std::exp(-1 / (kLearnSeconds * m.rate));
  m.count = m.crossCount = 0;
  m.chunks = 0;
  m.reference = 0;
  m.taken = m.mixed = 0;
  for (auto& pair : m.cross) std::fill(std::begin(pair), std::end(pair), 0.0);
  for (int c = 0; c < m.channels; ++c) {
    MixChannel& ch = m.ch[c];
    DecimatorInit(ch.decimator, factor);
    ch.before[0] = ch.before[1] = 0;
    std::fill(std::begin(ch.recent), std::end(ch.recent), 0.0f);
    ch.power = ch.fourth = ch.signal = ch.noise = ch.offset = 0;
    ch.weight = c == 0;
  }
}

int64_t MixPush(ChannelMix& m, const float* frames, int64_t count, float* out) {
  int64_t n = 0;
  for (int c = 0; c < m.channels; ++c) {
    MixChannel& ch = m.ch[c];
    TakeLane(frames, count, m.channels, c);
    n = ch.decimator.factor == 1 ? count : Decimate(ch.decimator, lane, count, decimated[c]);
    if (ch.decimator.factor == 1) std::copy(lane, lane + count, decimated[c]);
    for (int64_t i = 0; i < n; ++i) ch.ring[(m.taken + i) & kRingMask] = decimated[c][i];
    PassChannel(m, c, n);
  }
  if (n == 0) return 0;
  const double decay = std::pow(m.keep, static_cast<double>(n));
  // The pairs' products from every other chunk: as good an estimate, at half the work.
  const bool crossed = m.chunks++ % kCrossEvery == 0;
  for (int i = 0; i < m.channels; ++i)
    for (int j = i + 1; j < m.channels; ++j) CrossPair(m, i, j, crossed ? n : 0, decay);
  m.count = m.count * decay + static_cast<double>(n);
  m.crossCount = m.crossCount * decay + static_cast<double>(crossed ? n : 0);
  m.taken += n;
  UpdateWeights(m);
  return MixUpTo(m, m.taken - m.lookahead, out);
}

int64_t MixFinish(ChannelMix& m, float* out) {
  return MixUpTo(m, m.taken, out);
}

MixFigures MixChannelFigures(const ChannelMix& m, int channel) {
  double total = 0;
  int first = -1;  // the polarity and delay told are against the first channel in the mix
  for (int c = 0; c < m.channels; ++c) {
    if (m.ch[c].weight == 0) continue;
    total += m.ch[c].signal / m.ch[c].noise;
    if (first < 0) first = c;
  }
  const MixChannel& ch = m.ch[channel];
  if (ch.weight == 0 || first < 0) return {false, 0, false, 0};
  const MixChannel& base = m.ch[first];
  return {true, total > 0 ? ch.signal / ch.noise / total : 0, (ch.weight < 0) != (base.weight < 0),
          (ch.offset - base.offset) / m.rate * 1000};
}
