#include "tests/support/synth.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <utility>

namespace synth {
namespace {

constexpr double kUnitsPerSecond = 4800;  // a short half-wave lasts one unit

struct Rng {  // splitmix64
  uint64_t s;
  uint64_t Next() {
    uint64_t z = (s += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  double Uniform() { return double(Next() >> 11) * 0x1p-53; }  // [0, 1)
  double Symmetric() { return 2 * Uniform() - 1; }             // [-1, 1)
};

std::string Units(double seconds, char c) {
  return std::string(size_t(std::lround(seconds * kUnitsPerSecond)), c);
}

// ---- Impairments ----

constexpr double kTwoPi = 2 * std::numbers::pi;
// Mains hum: the fundamental and the harmonics a transformer's field and a rectifier add most.
constexpr std::array<double, 4> kHumHz = {50, 100, 150, 250};
constexpr std::array<double, 4> kHumShare = {1, 0.5, 0.3, 0.2};  // relative amplitudes

// Seeds of the extras' own streams (xor-ed with `seed`), so that each leaves the others alone.
constexpr uint64_t kNoiseStream = 0x6E6F697365ull, kIdleStream = 0x69646C65ull,
                   kVoiceStream = 0x766F696365ull, kThumpStream = 0x7468756D70ull,
                   kClickStream = 0x636C69636Bull;

struct Impairment {  // the tape's wear, the same on every channel; set up once per rendering
  std::array<double, 4> hum;  // amplitudes
  Rng clickRng;
  double clickNext, clickStart, clickWidth, clickPeak;  // seconds; peak: signed
};

double Gaussian(Rng& rng) {  // Box-Muller
  return std::sqrt(-2 * std::log(1 - rng.Uniform())) * std::cos(kTwoPi * rng.Uniform());
}

double Exponential(Rng& rng, double rate) {  // the wait for the next event of a Poisson process
  return -std::log(1 - rng.Uniform()) / rate;
}

double TonePower(const Options& o) {
  return o.amplitude * o.amplitude * (o.shape == Shape::kSine ? 0.5 : 1);
}

uint64_t NoiseSeed(const Options& o) {
  return o.noiseSeed.value_or(o.seed);
}

Impairment SetUp(const Options& o) {
  double sharePower = 0;
  for (double a : kHumShare) sharePower += a * a / 2;
  const double hum = std::sqrt(TonePower(o) * std::pow(10, o.hum / 10) / sharePower);
  Impairment im{{}, {NoiseSeed(o) ^ kClickStream},          0,
                -1, std::max(o.clicks.width, 2.0 / o.rate),  // narrower would fall between samples
                0};
  for (size_t i = 0; i < kHumHz.size(); ++i) im.hum[i] = hum * kHumShare[i];
  if (o.clicks.rate > 0) im.clickNext = Exponential(im.clickRng, o.clicks.rate);
  return im;
}

// Where sample frame k lies on the tape, in frames at constant speed. The speed's integral,
// so that the waves stay whole however the speed moves.
double Warped(double s, const Options& o) {  // seconds of tape at constant speed, wow included
  double t = s;
  for (const Modulation& m : {o.wow, o.flutter})
    if (m.depth != 0) t += m.depth / (kTwoPi * m.hz) * (1 - std::cos(kTwoPi * m.hz * s));
  return t;
}

double TapeFrame(double k, const Options& o) {  // k fractional for a channel that comes late
  if (o.wow.depth == 0 && o.flutter.depth == 0 && o.steps.empty()) return k;
  const double s = k / o.rate;
  if (o.steps.empty()) return Warped(s, o) * o.rate;
  // Each step scales the speed from its time on: sum the pieces of the integral before s.
  double t = 0, from = 0, factor = 1;
  for (const Step& st : o.steps) {
    if (st.at >= s) break;
    if (st.at > from) t += factor * (Warped(st.at, o) - Warped(from, o)), from = st.at;
    factor *= st.factor;
  }
  return (t + factor * (Warped(s, o) - Warped(from, o))) * o.rate;
}

double ClickAt(double s, const Options& o, Impairment& im) {
  while (s >= im.clickNext) {
    im.clickStart = im.clickNext;
    const double sign = im.clickRng.Next() & 1 ? 1 : -1;
    im.clickPeak = sign * o.clicks.level * (0.85 + 0.15 * im.clickRng.Uniform());
    im.clickNext += Exponential(im.clickRng, o.clicks.rate);
  }
  const double u = (s - im.clickStart) / im.clickWidth;
  return im.clickStart >= 0 && u < 1 ? im.clickPeak * std::sin(std::numbers::pi * u) : 0;
}

// The tape's wear on its signal at frame k: everything but the noise.
double Worn(double signal, bool invert, int64_t k, const Options& o, Impairment& im) {
  const double s = double(k) / o.rate;
  double x = invert ? -signal : signal;
  for (const Dip& d : o.dips)
    if (s >= d.start && s < d.start + d.duration) x *= std::pow(10, d.db / 20);
  x += o.dc;
  if (im.hum[0] > 0)
    for (size_t i = 0; i < kHumHz.size(); ++i) x += im.hum[i] * std::sin(kTwoPi * kHumHz[i] * s);
  if (o.clip > 0) x = std::clamp(x, -o.clip, o.clip);
  if (o.clicks.rate > 0) x += ClickAt(s, o, im);
  return x;
}

// ---- Voice and thumps: sounds on the tape besides the data ----

constexpr double kVoicePause = 0.25;        // seconds between the voice and the first leader
constexpr int kMaxHarmonics = 30;           // 3000 Hz over the lowest pitch, 100 Hz
constexpr double kShortestSyllable = 0.05;  // seconds
constexpr int kPeakSteps = 512;  // samples of one period where a syllable's peak is sought
constexpr double kVoiceTop = 3000;
constexpr std::array<double, 3> kFormantGain = {1, 0.7, 0.4}, kFormantWidth = {90, 120, 160};

struct Voice {
  Rng rng;
  double level;                  // peak
  double start = 0, length = 0;  // the current run of voice, seconds
  double next = 0;               // where the next syllable begins, seconds from start
  double from = 0, to = 0;       // the current syllable
  double f0 = 0, glide = 0;      // Hz; relative change of the pitch over the syllable
  int harmonics = 0;
  std::array<double, kMaxHarmonics> amp{}, phase{};  // of unit peak together
};

void StartVoice(Voice& v, double start, double length) {
  v.start = start, v.length = length, v.from = v.to = 0;
  v.next = 0.02 + 0.08 * v.rng.Uniform();
}

double Harmonics(const Voice& v, double phase) {
  double x = 0;
  for (int h = 1; h <= v.harmonics; ++h) x += v.amp[h - 1] * std::sin(h * phase + v.phase[h - 1]);
  return x;
}

void NextSyllable(Voice& v) {
  v.from = v.next;
  v.to = std::min(v.from + 0.08 + 0.17 * v.rng.Uniform(), v.length);
  if (v.to - v.from < kShortestSyllable) v.to = v.from;  // cut short by the run's end: none
  v.next = v.to + 0.04 + 0.11 * v.rng.Uniform();
  v.f0 = 100 + 200 * v.rng.Uniform();
  v.glide = 0.4 * v.rng.Uniform() - 0.2;
  const std::array<double, 3> formant = {300 + 600 * v.rng.Uniform(), 900 + 1600 * v.rng.Uniform(),
                                         2200 + 800 * v.rng.Uniform()};
  v.harmonics = std::min(kMaxHarmonics, int(kVoiceTop / (v.f0 * (1 + std::max(v.glide, 0.0)))));
  for (int h = 1; h <= v.harmonics; ++h) {
    double a = 0.1 / h;  // the source's own falling spectrum under the peaks
    for (size_t i = 0; i < formant.size(); ++i) {
      const double d = (h * v.f0 - formant[i]) / kFormantWidth[i];
      a += kFormantGain[i] * std::exp(-0.5 * d * d);
    }
    v.amp[h - 1] = a, v.phase[h - 1] = kTwoPi * v.rng.Uniform();
  }
  // The peak over one period of the pitch: a recording's level is set by its peaks.
  double peak = 0;
  for (int i = 0; i < kPeakSteps; ++i)
    peak = std::max(peak, std::abs(Harmonics(v, kTwoPi * i / kPeakSteps)));
  for (int h = 0; h < v.harmonics; ++h) v.amp[h] /= peak;
}

double Ramp(double x) {  // raised cosine from 0 to 1 over [0, 1]
  return x >= 1 ? 1 : x <= 0 ? 0 : 0.5 - 0.5 * std::cos(std::numbers::pi * x);
}

double VoiceAt(double s, Voice& v) {
  const double tau = s - v.start;
  while (tau >= v.next && v.next < v.length) NextSyllable(v);
  if (tau < v.from || tau >= v.to) return 0;
  const double u = tau - v.from, d = v.to - v.from;
  const double phase = kTwoPi * v.f0 * (u + v.glide * u * u / (2 * d));
  return v.level * Ramp(u / 0.015) * Ramp((d - u) / 0.04) * Harmonics(v, phase);
}

struct Thump {
  Rng rng;
  double amplitude;
  double start = -1, hz = 0, decay = 0;  // seconds, Hz, seconds
};

void StartThump(Thump& th, double start) {
  th.start = start, th.hz = 40 + 40 * th.rng.Uniform(), th.decay = 0.1 + 0.2 * th.rng.Uniform();
}

double ThumpAt(double s, const Thump& th) {
  const double tau = s - th.start;
  if (th.start < 0 || tau < 0 || tau > 8 * th.decay) return 0;
  return th.amplitude * (1 - std::exp(-tau / 0.0005)) * std::exp(-tau / th.decay) *
         std::cos(kTwoPi * th.hz * tau);
}

// ---- The pattern ----

template <class T>
T Nth(const std::vector<T>& v, int i, T fallback) {  // the last one repeats
  return v.empty() ? fallback : v[std::min(size_t(i), v.size() - 1)];
}

// The leader and the frames of one block.
std::string Block(std::span<const uint8_t> payload, int leader, const Options& o, Rng& idle) {
  std::string p = std::isfinite(o.thump) ? "*" : "";
  p += std::string(size_t(std::max(leader, 0)), 'S');
  for (size_t i = 0; i < payload.size(); ++i) {
    // Start bit 0, eight data bits least significant first, two stop bits 1.
    unsigned frame = (payload[i] << 1) | 0x600u;
    if (o.tail == Tail::kBadStop && i + 1 == payload.size()) frame &= ~0x400u;
    for (int bit = 0; bit < 11; ++bit) p += (frame >> bit & 1) ? "SSSS" : "LL";
    if (i + 1 < payload.size() && o.idle.most > 0 && idle.Uniform() < o.idle.chance)
      p += std::string(4 * (1 + idle.Next() % uint64_t(o.idle.most)), 'S');
  }
  return p;
}

// The silence between two blocks, with voice in its middle.
std::string Gap(double seconds, const Options& o) {
  if (o.voiceBetween <= 0) return Units(seconds, '_');
  const size_t n = Units(seconds, '_').size(),
               voice = std::min(n, Units(o.voiceBetween, 'v').size());
  const size_t before = (n - voice) / 2;
  return std::string(before, '_') + std::string(voice, 'v') + std::string(n - voice - before, '_');
}

}  // namespace

std::string Pattern(std::span<const uint8_t> payload, const Options& o) {
  std::string p = Units(o.leadIn, '_');
  for (int i = 0; i < o.falseLeaders; ++i) p += std::string(250, 'S') + Units(0.01, '_');
  if (o.voiceBefore > 0) p += Units(o.voiceBefore, 'v') + Units(kVoicePause, '_');
  const std::vector<Bytes> payloads = BlockPayloads(payload, o);
  const int blocks = int(payloads.size());
  Rng idle{o.seed ^ kIdleStream};
  for (int b = 1; b <= blocks; ++b) {
    const std::string flip = o.flipSecond && b == 2 ? "^" : "";
    p += flip + Block(payloads[b - 1], Nth(o.leaders, b - 1, o.leader), o, idle);
    // Every block but the last ends idle, then the gap; the last one ends with the tail.
    if (b < blocks) p += std::string(12, 'S') + Gap(Nth(o.gaps, b - 1, o.gap), o) + flip;
  }
  // Every tail starts with at least one half-wave, so that the last one of the data is closed.
  switch (o.tail) {
    case Tail::kSilence:
      return p + "S" + Units(o.tailLength, '_');
    case Tail::kNoise:
      return p + "S" + Units(o.tailLength, '~');
    case Tail::kIdle:
      return p + std::string(12, 'S') + Units(o.tailLength, '_');
    case Tail::kBadStop:
      return p + std::string(8, 'S') + Units(o.tailLength, '_');
  }
  return p;
}

std::vector<Bytes> BlockPayloads(std::span<const uint8_t> payload, const Options& o) {
  std::vector<Bytes> out;
  for (int k = 1; k <= std::max(o.blocks, 1); ++k)
    out.push_back(k == 1 || !o.distinctBlocks ? Bytes(payload.begin(), payload.end())
                                              : RandomBytes(payload.size(), (o.seed << 8) + k));
  return out;
}

std::string Blank(double seconds) {
  return Units(seconds, '_');
}

namespace {

// Where one channel's head is on the pattern, and the sounds it has started there.
struct Head {
  size_t i = 0;                    // the unit under the head
  double t = 0, dur = 0, end = 0;  // the unit's exact start, length and end, seconds
  double polarity = 1;
  bool live = false;  // false: past the pattern's end
  Voice voice;
  Thump thump;
};

// One channel that carries the tape (or only noise), with its own noise.
struct Track {
  Head head;
  double at = 0;  // the tape frame under the head for the current sample
  Rng rng;        // the noise tail and `noise` (and the other channels' noise)
  Rng gauss;      // the Gaussian noise
  double sigma = 0, scale = 1, delay = 0;  // noise; the gain as a factor; frames late
  bool invert = false, signal = true;
};

// Onto the next unit that takes time from `h.i` on, starting what begins there; false past the end.
bool Enter(Head& h, const std::string& p, double unit) {
  for (; h.i < p.size(); ++h.i) {
    const char c = p[h.i];
    if (c == '^') {
      h.polarity = -h.polarity;
      continue;
    }
    if (c == '*') {
      StartThump(h.thump, h.t);
      continue;
    }
    if (c == 'v' && (h.i == 0 || p[h.i - 1] != 'v'))
      StartVoice(h.voice, h.t,
                 double(std::min(p.find_first_not_of('v', h.i), p.size()) - h.i) * unit);
    h.dur = (c == 'L' ? 2 : 1) * unit, h.end = h.t + h.dur;
    return true;
  }
  return false;
}

// On to the unit that holds tape frame `at`.
void Follow(Head& h, const std::string& p, double at, int rate, double unit) {
  while (h.live && at >= h.end * rate) {
    if (p[h.i] == 'S' || p[h.i] == 'L') h.polarity = -h.polarity;
    h.t = h.end, ++h.i;
    h.live = Enter(h, p, unit);
  }
}

// What the tape carries under the head at its frame.
double TapeAt(Track& tr, const std::string& p, const Options& o) {
  Head& h = tr.head;
  const double at = tr.at;
  if (!h.live || at < 0) return 0;  // a late channel before the tape starts, or after it ends
  const char c = p[h.i];
  const bool wave = c == 'S' || c == 'L';
  double x = 0;
  if (wave && o.shape == Shape::kSquare) x = h.polarity * o.amplitude;
  if (wave && o.shape == Shape::kSine)
    x = h.polarity * o.amplitude * std::sin(std::numbers::pi * (at / o.rate - h.t) / h.dur);
  if (c == '~') x = (tr.rng.Next() & 1 ? 1 : -1) * (0.5 + 0.5 * tr.rng.Uniform());
  if (c == 'v') x += VoiceAt(at / o.rate, h.voice);
  if (h.thump.start >= 0) x += ThumpAt(at / o.rate, h.thump);
  if (o.tone > 0) x += o.amplitude * std::sin(kTwoPi * o.tone * at / o.rate);
  return x;
}

// Sample frame k of one channel, before quantization.
double ChannelAt(Track& tr, const std::string& p, int64_t k, const Options& o, Impairment& im) {
  double x = tr.signal ? Worn(TapeAt(tr, p, o), tr.invert, k, o, im) : 0;
  if (tr.sigma > 0) x += tr.sigma * Gaussian(tr.gauss);
  if (o.noise > 0) x += o.noise * tr.rng.Symmetric();
  return x * tr.scale;
}

// Copy c's streams: copy 0 has a single channel's, the others their own, unrelated to those.
uint64_t StreamOf(uint64_t seed, size_t c) {
  return c == 0 ? seed : seed ^ Rng { c }.Next();
}

std::vector<Track> Tracks(const std::string& p, const Options& o, double unit) {
  std::vector<Copy> copies = o.copies;
  if (copies.empty()) copies.push_back({o.snr});
  const double power = TonePower(o);
  // Noise alone is as loud as the noise of the first copy with the signal; as the tone when that
  // copy has none, or there is no such copy.
  double noiseOnly = power;
  for (const Copy& c : copies)
    if (!c.noise) {
      if (std::isfinite(c.snr)) noiseOnly = power * std::pow(10, -c.snr / 10);
      break;
    }
  const uint64_t seed = NoiseSeed(o);
  std::vector<Track> tracks;
  for (size_t c = 0; c < copies.size(); ++c) {
    Track tr{{.voice = {{o.seed ^ kVoiceStream}, o.amplitude * std::pow(10, o.voiceDb / 20)},
              .thump = {{o.seed ^ kThumpStream}, o.amplitude * std::pow(10, o.thump / 20)}},
             0,
             {StreamOf(seed, c)},
             {StreamOf(seed ^ kNoiseStream, c)}};
    tr.head.live = Enter(tr.head, p, unit);
    const Copy& cp = copies[c];
    tr.sigma = std::sqrt(cp.noise ? noiseOnly : power * std::pow(10, -cp.snr / 10));
    tr.scale = std::pow(10, cp.gain / 20), tr.delay = cp.delay * o.rate;
    tr.invert = o.invert != cp.invert, tr.signal = !cp.noise;
    tracks.push_back(tr);
  }
  return tracks;
}

}  // namespace

void Render(const std::string& pattern, const Options& o,
            const std::function<void(const uint8_t*, size_t)>& sink) {
  Impairment im = SetUp(o);
  const int width = o.bits / 8;
  const double full = std::ldexp(1.0, o.bits - 1) - 1;
  const double unit = 1 / (kUnitsPerSecond * o.speed);
  std::vector<uint8_t> buf(size_t(1) << 16);
  size_t used = 0;
  auto emit = [&](double v) {
    int64_t q = std::llround(std::clamp(v, -1.0, 1.0) * full) + (o.bits == 8 ? 128 : 0);
    if (used + width > buf.size()) sink(buf.data(), std::exchange(used, 0));
    for (int i = 0; i < width; ++i) buf[used++] = uint8_t(uint64_t(q) >> (8 * i));
  };
  std::vector<Track> tracks = Tracks(pattern, o, unit);
  // The recording lasts until every head has passed the pattern's end.
  for (int64_t k = 0;; ++k) {  // sample frame k lies at time k / rate
    bool live = false;
    for (Track& tr : tracks) {
      tr.at = TapeFrame(double(k) - tr.delay, o);
      Follow(tr.head, pattern, tr.at, o.rate, unit);
      live = live || tr.head.live;
    }
    if (!live) break;
    if (!o.copies.empty()) {
      for (Track& tr : tracks) emit(ChannelAt(tr, pattern, k, o, im));
      continue;
    }
    const double x = ChannelAt(tracks[0], pattern, k, o, im);
    for (int ch = 0; ch < o.channels; ++ch)
      emit(ch == o.signalChannel ? x : o.otherLevel * tracks[0].rng.Symmetric());
  }
  if (used) sink(buf.data(), used);
}

Bytes Samples(std::span<const uint8_t> payload, const Options& o) {
  Bytes out;
  Render(Pattern(payload, o), o,
         [&](const uint8_t* p, size_t n) { out.insert(out.end(), p, p + n); });
  return out;
}

Bytes Wav(std::span<const uint8_t> payload, const Options& o) {
  return WavBuilder().Riff().Fmt(Format::Of(o)).Data(Samples(payload, o)).Build();
}

std::string CharPairs(std::span<const uint8_t> payload) {
  std::string s;
  for (uint8_t b : payload) s += {char(0x30 + (b >> 2)), char(0x30 + (b & 3))};
  return s;
}

Bytes RandomBytes(size_t n, uint64_t seed) {
  Rng rng{seed};
  Bytes b(n);
  for (auto& x : b) x = uint8_t(rng.Next() >> 56);
  return b;
}

WavBuilder& WavBuilder::Le(uint64_t v, int n) {
  for (int i = 0; i < n; ++i) b_.push_back(uint8_t(v >> (8 * i)));
  return *this;
}

WavBuilder& WavBuilder::Raw(const synth::Bytes& b) {
  b_.insert(b_.end(), b.begin(), b.end());
  return *this;
}

static Bytes Id(const std::string& id) {
  return Bytes(id.begin(), id.end());
}

WavBuilder& WavBuilder::Riff() {
  return Raw(Id("RIFF")).U32(0).Raw(Id("WAVE"));
}

WavBuilder& WavBuilder::Rf64() {
  return Raw(Id("RF64")).U32(0xFFFFFFFF).Raw(Id("WAVE"));
}

WavBuilder& WavBuilder::Ds64(uint64_t riffSize, uint64_t dataSize,
                             const std::vector<std::pair<std::string, uint64_t>>& table,
                             uint32_t tableLength) {
  Raw(Id("ds64")).U32(uint32_t(28 + 12 * table.size())).Le(riffSize, 8).Le(dataSize, 8);
  Le(0, 8).U32(tableLength == ~0u ? uint32_t(table.size()) : tableLength);
  for (const auto& [id, size] : table) Raw(Id(id)).Le(size, 8);
  return *this;
}

WavBuilder& WavBuilder::Fmt(const Format& f) {
  const bool ext = f.tag == 0xFFFE;
  const uint16_t align = uint16_t(f.channels * f.bits / 8);
  Raw(Id("fmt ")).U32(ext ? 40 : 16).U16(f.tag).U16(uint16_t(f.channels)).U32(uint32_t(f.rate));
  U32(uint32_t(f.rate) * align).U16(align).U16(uint16_t(f.bits));
  if (ext)
    U16(22).U16(uint16_t(f.bits)).U32(f.channelMask).Raw({f.subFormat.begin(), f.subFormat.end()});
  return *this;
}

WavBuilder& WavBuilder::Chunk(const std::string& id, const synth::Bytes& body) {
  Raw(Id(id)).U32(uint32_t(body.size())).Raw(body);
  if (body.size() % 2) b_.push_back(0);
  return *this;
}

WavBuilder& WavBuilder::Data(const synth::Bytes& samples, uint32_t statedSize) {
  return Raw(Id("data")).U32(statedSize).Raw(samples);
}

WavBuilder& WavBuilder::Data(const synth::Bytes& samples) {
  return Data(samples, uint32_t(samples.size()));
}

Bytes WavBuilder::Build() const {
  Bytes out = b_;
  if (out.size() >= 8 && std::equal(out.begin(), out.begin() + 4, "RIFF"))
    for (int i = 0; i < 4; ++i) out[4 + i] = uint8_t((out.size() - 8) >> (8 * i));
  return out;
}

Bytes FloatSamples(const Bytes& s16, int bits) {
  Bytes out;
  for (size_t i = 0; i + 1 < s16.size(); i += 2) {
    const double v = int16_t(s16[i] | s16[i + 1] << 8) / 32768.0;
    uint8_t b[8];
    if (bits == 64) {
      std::memcpy(b, &v, 8);
    } else {
      const float f = float(v);
      std::memcpy(b, &f, 4);
    }
    out.insert(out.end(), b, b + bits / 8);
  }
  return out;
}

Bytes WavHeader(const Format& f, uint64_t dataSize) {
  Bytes h = WavBuilder()
                .Riff()
                .Fmt(f)
                .Data({}, uint32_t(std::min<uint64_t>(dataSize, 0xFFFFFFFF)))
                .Build();
  const uint64_t riff = std::min<uint64_t>(h.size() - 8 + dataSize, 0xFFFFFFFF);
  for (int i = 0; i < 4; ++i) h[4 + i] = uint8_t(riff >> (8 * i));
  return h;
}

}  // namespace synth
