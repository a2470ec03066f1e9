// The decoding state of one run and the functions that take it, in the order the data flows:
// WAV container -> samples -> levels (audio/), half-waves -> bits -> bytes (decoder/),
// and the character-pair text form (text/).
#ifndef TONEGRAB_TAPE_READER_H
#define TONEGRAB_TAPE_READER_H

#include <cstdint>

#include "byte_stream.h"

struct TapeReader {
  InputStream input;
  uint32_t isText;  // 0: WAV recording, 1: character-pair text
  int16_t bitsPerSample;
  int16_t channelCount;
  int32_t sampleRate;
  int32_t highThreshold;
  int32_t lowThreshold;
  int32_t level;         // detector level, 0 or 1
  float halfWaveLength;  // leader sum while searching, then the short half-wave length in samples
};

// The kind of a half-wave is the value of the bit a run of such half-waves makes.
enum HalfWaveKind : int { kLongHalfWave = 0, kShortHalfWave = 1 };

// Ends the process when the input runs out inside the header or the samples: prints
// "Read error!", saves what was written and exits with status 1. Defined by the driver (and
// replaced by the fuzz harness); the readers call it and never return.
[[noreturn]] void EndOnReadError();

// audio/wav.cpp: 0 when the input is a WAV recording we can decode, the stream then standing on
// the first sample frame; nonzero when it is not. Sample reading and the level detector are
// inline, in audio/samples.h.
bool CheckString(InputStream& in, const char* tag);
int CheckWav(TapeReader& tr);
// Sets isText from CheckWav: a refused input is rewound to its first byte, to be read as text.
void SetInputKind(TapeReader& tr);
// Moves a recording from its first sample frame to the first sample of `channel` (1-based).
void SelectChannel(TapeReader& tr, int channel);

// audio/fractions.cpp: reads up to `max` samples of the chosen channel as fractions of full scale
// (a signed sample's full scale is 1; 8-bit samples are centred on 128); returns how many, 0 at
// the end of input. Never ends the process.
int64_t ReadFractions(TapeReader& tr, float* out, int64_t max);

// decoder/decoder.cpp
int ReadHalfWave(TapeReader& tr, HalfWaveKind* kind);
int Header(TapeReader& tr);
int Rew(TapeReader& tr);
int ReadBit(TapeReader& tr);
int ReadByte(TapeReader& tr, unsigned char* byte);

// text/char_pair.h has ReadCharPair, inline: the text path's one step per byte.

#endif
