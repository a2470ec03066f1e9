// Test-side signal synthesizer and WAV container builder.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace synth {

using Bytes = std::vector<uint8_t>;

enum class Shape { kSine, kSquare };
// What follows the last frame:
//  kSilence  one closing half-wave, then silence: the decoder runs out of input ("Read error!").
//  kNoise    one closing half-wave, then loud random noise up to the end of the file.
//  kIdle     an idle 1 bit where the next start bit is due, a few more short half-waves, silence.
//  kBadStop  the last frame's second stop bit is a 0 bit, so that byte is not delivered.
enum class Tail { kSilence, kNoise, kIdle, kBadStop };

// A sinusoidal change of the tape's speed: speed * (1 + depth * sin(2 pi hz t)).
struct Modulation {
  double depth = 0;  // 0.16 = 16 %
  double hz = 0;
};

// The signal (not the noise) multiplied by a gain over a span of the recording.
struct Dip {
  double start = 0, duration = 0;  // seconds
  double db = 0;
};

// The motor's speed multiplied by `factor` from `at` seconds of the recording on, at once.
struct Step {
  double at = 0, factor = 1;
};

// After a frame, with probability `chance`, 1 to `most` idle 1 bits before the next start bit.
struct Idle {
  int most = 0;
  double chance = 0;
};

// Impulses at random times (Poisson, `rate` a second), each a half-sine `width` seconds wide
// (at least two samples), peak 0.85 to 1 times `level` (fraction of full scale), random sign.
struct Clicks {
  double rate = 0, width = 0, level = 0;
};

// One channel of a recording that carries the same tape as the others (a mono tape on a stereo
// deck: the same signal under each channel's own noise).
struct Copy {
  double snr = std::numeric_limits<double>::infinity();  // as Options::snr
  bool noise = false;   // no signal: noise alone, as loud as the first signal copy's (or 0 dB)
  bool invert = false;  // the signal negated (on top of Options::invert)
  double delay = 0;     // seconds the signal comes late, fractions of a sample exactly; >= 0
  double gain = 0;      // dB on the channel's signal and noise together
};

struct Options {
  int rate = 44100;
  int bits = 16;  // 8 (unsigned), 16, 24 or 32 (signed little-endian)
  int channels = 1;
  int signalChannel = 0;     // 0-based; the others carry low-level noise
  double speed = 1.0;        // 1.08 = every duration divided by 1.08
  double amplitude = 0.7;    // fraction of full scale
  double noise = 0.0;        // additive noise on the signal channel, fraction of full scale
  double otherLevel = 0.05;  // noise level of the other channels (below the detector thresholds)
  Shape shape = Shape::kSine;
  Tail tail = Tail::kIdle;
  int leader = 400;          // short half-waves before the first frame
  int falseLeaders = 0;      // bursts of 250 short half-waves and a 10 ms gap before the leader
  double leadIn = 0.05;      // seconds of silence before the first burst or the leader
  double tailLength = 0.05;  // seconds of silence or noise at the end
  uint64_t seed = 1;
  // The seed of what differs between two captures of one tape: the Gaussian and uniform noise,
  // the clicks, the noise tail and the other channels' noise. Unset: `seed`.
  std::optional<uint64_t> noiseSeed;

  // Impairments of a worn recording, all on the signal channel; the defaults leave it untouched.
  // Order: tone (warped by wow and flutter) * polarity * dips, plus DC and hum, clipped, then
  // Gaussian noise (its own random stream from `seed`), then `noise` above, then quantized.
  // Levels in dB are relative to the tone's mean power: amplitude^2 / 2 for a sine, amplitude^2
  // for a square.
  double snr = std::numeric_limits<double>::infinity();  // white noise this many dB below
  Modulation wow, flutter;
  double dc = 0;                                          // offset, fraction of full scale
  double hum = -std::numeric_limits<double>::infinity();  // dB of 50 Hz hum and harmonics
  bool invert = false;
  double clip = 0;  // hard clip at this fraction of full scale; 0 for none
  std::vector<Dip> dips;
  int blocks = 1;           // the payload recorded this many times, each block with its own leader
  double gap = 1;           // seconds of silence between blocks
  bool flipSecond = false;  // block 2 with the opposite polarity

  // A tape side. Each extra below has its own random stream from `seed`, so that adding one
  // leaves the others' draws as they were.
  bool distinctBlocks = false;  // block k >= 2 carries its own bytes: see BlockPayloads
  std::vector<int> leaders;     // short half-waves of each block's leader, the last repeating;
                                // empty: `leader` for every block
  std::vector<double> gaps;     // seconds of silence before blocks 2, 3, ..., the last repeating;
                                // empty: `gap` before every block
  Idle idle;
  // Speech-like sound: syllables of 80-250 ms, a harmonic tone of random pitch (100-300 Hz)
  // shaped by three formant-like peaks up to 3000 Hz, with short pauses between them. A
  // syllable's peak is `voiceDb` relative to `amplitude` (a recording's level follows its peaks).
  double voiceBefore = 0;   // seconds of voice, then 0.25 s of silence, before the first leader
  double voiceBetween = 0;  // seconds of voice in the middle of each gap (at most the gap)
  double voiceDb = 0;
  // A low thump at the start of every leader: 40-80 Hz, sharp onset, decaying over 100-300 ms;
  // its first peak `thump` dB relative to `amplitude`.
  double thump = -std::numeric_limits<double>::infinity();
  Clicks clicks;            // on the tape signal after clipping, before the Gaussian noise
  std::vector<Step> steps;  // with speed, wow and flutter
  double tone = 0;          // Hz: a steady sine of `amplitude` over the whole recording
  // Not empty: one channel per copy (`channels`, `signalChannel`, `otherLevel` and `snr` unused),
  // each with its own noise streams; copy 1's are the ones a single channel has.
  std::vector<Copy> copies;
};

// The signal as a string of units lasting 1/4800 s at nominal speed:
// 'S' short half-wave (1 unit), 'L' long half-wave (2 units), '_' silence, '~' noise (1 unit each),
// '^' no time: the polarity of what follows is inverted; 'v' silence carrying voice (1 unit);
// '*' no time: a thump starts here. Half-waves alternate polarity across silence and noise.
std::string Pattern(std::span<const uint8_t> payload, const Options& o);

// What each of the `blocks` blocks carries: the payload, or with `distinctBlocks` the payload
// for block 1 and RandomBytes(payload size, (seed << 8) + k) for block k >= 2.
std::vector<Bytes> BlockPayloads(std::span<const uint8_t> payload, const Options& o);

// `seconds` of silence: with `tone`, clicks or noise, a recording of those alone.
std::string Blank(double seconds);

// Streams the interleaved sample bytes of `pattern` to `sink` in chunks.
void Render(const std::string& pattern, const Options& o,
            const std::function<void(const uint8_t*, size_t)>& sink);
Bytes Samples(std::span<const uint8_t> payload, const Options& o);

// A canonical PCM WAV of the synthesized signal.
Bytes Wav(std::span<const uint8_t> payload, const Options& o);

// Byte b -> 0x30 + (b >> 2), 0x30 + (b & 3), without separators.
std::string CharPairs(std::span<const uint8_t> payload);

// Deterministic pseudo-random bytes.
Bytes RandomBytes(size_t n, uint64_t seed);

// ---- WAV container ----

using Guid = std::array<uint8_t, 16>;
inline constexpr Guid kPcmGuid = {1, 0, 0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71};
inline constexpr Guid kFloatGuid = {3,    0, 0, 0,    0, 0,    0x10, 0,
                                    0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71};

struct Format {
  uint16_t tag = 1;  // 1 PCM, 3 float, 0xFFFE extensible (40-byte fmt chunk)
  int16_t channels = 1;
  int32_t rate = 44100;
  int16_t bits = 16;
  Guid subFormat = kPcmGuid;  // extensible only
  uint32_t channelMask = 0;   // extensible only
  static Format Of(const Options& o) {
    const int channels = o.copies.empty() ? o.channels : int(o.copies.size());
    return {1, int16_t(channels), o.rate, int16_t(o.bits), kPcmGuid, 0};
  }
};

// Builder of RIFF/WAVE byte vectors, well-formed or not. Truncate by resizing the result.
class WavBuilder {
 public:
  WavBuilder& Riff();  // "RIFF", size (fixed up by Bytes()), "WAVE"
  WavBuilder& Rf64();  // "RF64", size 0xFFFFFFFF, "WAVE"
  // A "ds64" chunk: RIFF and data sizes, sample count, then (id, size) table entries.
  WavBuilder& Ds64(uint64_t riffSize, uint64_t dataSize,
                   const std::vector<std::pair<std::string, uint64_t>>& table = {},
                   uint32_t tableLength = ~0u);
  WavBuilder& Fmt(const Format& f);
  WavBuilder& Chunk(const std::string& id, const Bytes& body);  // odd sizes get a pad byte
  WavBuilder& Data(const Bytes& samples);
  WavBuilder& Data(const Bytes& samples, uint32_t statedSize);
  WavBuilder& Raw(const Bytes& b);
  WavBuilder& U16(uint16_t v) { return Le(v, 2); }
  WavBuilder& U32(uint32_t v) { return Le(v, 4); }
  synth::Bytes Build() const;

 private:
  WavBuilder& Le(uint64_t v, int n);
  synth::Bytes b_;
};

// 16-bit samples as IEEE floats of `bits` (32 or 64) bits, full scale 1.
Bytes FloatSamples(const Bytes& s16, int bits);

// A 44-byte canonical header for `dataSize` bytes of samples.
Bytes WavHeader(const Format& f, uint64_t dataSize);

}  // namespace synth
