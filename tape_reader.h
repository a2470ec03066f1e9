// The decoding state of one run and the functions that take it, in the order the data flows:
// WAV container -> samples -> levels (audio/), half-waves -> bits -> bytes (decoder/),
// and the character-pair text form (text/).
#ifndef TONEGRAB_TAPE_READER_H
#define TONEGRAB_TAPE_READER_H

#include <cstdint>

#include "byte_stream.h"

// libsndfile's handle, as <sndfile.h> declares it.
typedef struct sf_private_tag SNDFILE;

// How the sample values are written: integers compare with the integer thresholds, IEEE floats
// (full scale 1) with the fraction of full scale itself.
enum SampleCoding : int16_t { kIntegerSamples = 0, kFloatSamples = 1 };

// A recording in a format of the audio library (audio/sound.cpp). Its samples, all channels
// interleaved, are decoded into the input stream's buffer as 32-bit integers or floats, so
// the window looks like the data of a WAV file; stream positions count those bytes.
struct SoundInput {
  SNDFILE* file;    // nullptr when the input is read by our own readers
  int64_t raw;      // the library's position in the input file
  bool ended;       // the library has delivered its last sample
  bool stalled;     // a call into the library was abandoned: it is never called again
  char reason[96];  // the library's word on an input it cannot read
  // A pipe is read once: the bytes the input stream had taken off it when the library started
  // are served from a copy (head), the rest as they arrive.
  bool piped;
  int64_t headLen;
  int64_t pipePos;  // offset of the next byte the pipe delivers
  unsigned char head[kInputBufferSize];
};

// The short and long bands of half-wave lengths as whole numbers, the sample-rate bounds folded
// in: short from shortMin to shortMax, long from longMin to longMax (decoder/half_wave.h).
struct LengthBands {
  int64_t shortMin, shortMax, longMin, longMax;
};

// Which samples of the window lie past each threshold, worked out in bulk for the vector scan
// (decoder/level_scan.h): bit b of word w stands for the window's byte at origin + 64 w + b,
// set when that byte belongs to a sample of the chosen channel at or above the high threshold
// (high) or at or below the low one (low). Words are filled as the scan reaches them.
inline constexpr int64_t kMaskWords = kInputBufferSize / 64;
struct LevelMasks {
  uint64_t fills;  // the window they were made for: input.fills and input.base
  int64_t base;
  int64_t origin;
  int64_t words;  // words filled
  int64_t frameBytes;
  int shift;  // frameBytes is 1 << shift
  uint64_t high[kMaskWords];
  uint64_t low[kMaskWords];
};

struct TapeReader {
  InputStream input;
  uint32_t isText;  // 0: WAV recording, 1: character-pair text
  int16_t bitsPerSample;
  int16_t channelCount;
  int32_t sampleRate;
  int32_t highThreshold;
  int32_t lowThreshold;
  int32_t level;         // detector level, 0 or 1
  float halfWaveLength;  // the short half-wave length in samples, learnt from the leader
  LengthBands bands;     // from halfWaveLength, once it is the reference length
  LevelMasks masks;
  SampleCoding sampleCoding;
  SoundInput sound;
  // An input that looks like audio but cannot be read: why, for the message that names it; it
  // is neither decoded nor read as text. nullptr otherwise.
  const char* refusal;
  // The recognised format, e.g. "WAV, 32-bit float" or "FLAC, 16-bit integer"; "" for text.
  char formatName[64];
  // For text: why no audio reader took the input, as -v says it.
  char textReason[320];
};

// The kind of a half-wave is the value of the bit a run of such half-waves makes.
enum HalfWaveKind : int { kLongHalfWave = 0, kShortHalfWave = 1 };

// Ends the process when the input runs out inside the header or the samples: prints
// "Read error!", saves what was written and exits with status 1. Defined by the driver (and
// replaced by the fuzz harness); the readers call it and never return.
[[noreturn]] void EndOnReadError();

// audio/wav.cpp: 0 when the input is a WAV recording we can decode, the stream then standing on
// the first sample frame; else kWavNone (not a WAV file), kWavForeignCodec (a WAV whose samples
// only the audio library decodes) or kWavRefused (format fields out of range: read as text).
// Sample reading and the level detector are inline, in audio/samples.h.
inline constexpr int kWavNone = 1;
inline constexpr int kWavForeignCodec = 2;
inline constexpr int kWavRefused = 3;
bool CheckString(InputStream& in, const char* tag);
int CheckWav(TapeReader& tr);
// Recognises the input: our WAV reader, then the audio library, then character-pair text
// (isText, the stream rewound to its first byte). Sets refusal instead when the input is audio
// that cannot be read.
void SetInputKind(TapeReader& tr);

// audio/sound.cpp: opens the input with the audio library; 0 when it is a recording it can
// decode (the stream standing on the first sample frame), 1 when the library does not know
// the format, 2 when it does but cannot read this input (refusal says why).
int OpenSound(TapeReader& tr);
// Refills the window of a library-decoded recording around the stream position; false at the
// end of its samples. Reads from the input file for our own WAV reader.
bool SampleFill(TapeReader& tr);
// Closes the library's handle, if any.
void CloseSound(TapeReader& tr);
// The processor time, in seconds, that one call into the audio library may take before it is
// abandoned as stalled (a damaged file can keep some of its loops from ending).
extern int soundCallSeconds;
// Moves a recording from its first sample frame to the first sample of `channel` (1-based).
void SelectChannel(TapeReader& tr, int channel);

// audio/fractions.cpp: reads up to `max` samples of the chosen channel as fractions of full scale
// (a signed sample's full scale is 1; 8-bit samples are centred on 128); returns how many, 0 at
// the end of input. Never ends the process.
int64_t ReadFractions(TapeReader& tr, float* out, int64_t max);
// The same for every channel, from a stream standing on a frame's first sample: up to `max`
// whole frames, their samples interleaved, into `out` (room for max * channelCount).
int64_t ReadFrameFractions(TapeReader& tr, float* out, int64_t max);

// decoder/decoder.cpp
int ReadHalfWave(TapeReader& tr, HalfWaveKind* kind);
int Header(TapeReader& tr);
int Rew(TapeReader& tr);
int ReadBit(TapeReader& tr);
int ReadByte(TapeReader& tr, unsigned char* byte);

// text/char_pair.h has ReadCharPair, inline: the text path's one step per byte.

#endif
