// The WAV container: RIFF/WAVE, a "fmt " chunk first, any chunks, then "data".
#include <cstring>

#include "audio/samples.h"
#include "tape_reader.h"

namespace {

constexpr int kFormatPcm = 0x0001;
constexpr int kFormatExtensible = 0xFFFE;
// The extensible format chunk: 16 bytes as for PCM, then cbSize, valid bits and channel mask,
// then the sub-format GUID.
constexpr uint32_t kExtensibleFormatSize = 40;
constexpr int kSubFormatSkip = 8;
constexpr unsigned char kPcmSubFormat[16] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                             0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
constexpr double kThresholdFraction = 0.2;
constexpr int32_t kUnsignedSilence = 128;  // 8-bit samples are unsigned

// With the stream just after the bits-per-sample field of an extensible format chunk of
// `formatSize` bytes: whether its sub-format is integer PCM.
bool HasPcmSubFormat(InputStream& in, uint32_t formatSize) {
  if (formatSize < kExtensibleFormatSize) return false;
  StreamSkip(in, kSubFormatSkip);
  unsigned char guid[sizeof kPcmSubFormat];
  for (unsigned char& b : guid) b = static_cast<unsigned char>(ReadValue(in, 1));
  return std::memcmp(guid, kPcmSubFormat, sizeof guid) == 0;
}

void SetThresholds(TapeReader& tr) {
  const double a = kThresholdFraction * static_cast<double>(uint32_t{1} << (tr.bitsPerSample - 1));
  tr.highThreshold = static_cast<int32_t>(a);
  tr.lowThreshold = static_cast<int32_t>(-a);
  if (tr.bitsPerSample == 8) {
    tr.highThreshold += kUnsignedSilence;
    tr.lowThreshold += kUnsignedSilence;
  }
}

}  // namespace

int32_t ReadValueSlow(InputStream& in, int count) {
  unsigned char bytes[4];
  for (int i = 0; i < count; ++i) {
    const int c = StreamGet(in);
    if (c < 0) EndOnReadError();
    bytes[i] = static_cast<unsigned char>(c);
  }
  return DecodeValue(bytes, count);
}

// Consumes exactly four bytes, matching or not; the end of input is a mismatch.
bool CheckString(InputStream& in, const char* tag) {
  for (int i = 0; i < 4; ++i) {
    if (StreamGet(in) != static_cast<unsigned char>(tag[i])) {
      StreamSkip(in, 3 - i);
      return false;
    }
  }
  return true;
}

int CheckWav(TapeReader& tr) {
  InputStream& in = tr.input;
  StreamSeek(in, 0);
  if (!CheckString(in, "RIFF")) return 1;
  StreamSkip(in, 4);  // RIFF size
  if (!CheckString(in, "WAVE") || !CheckString(in, "fmt ")) return 1;

  const uint32_t formatSize = static_cast<uint32_t>(ReadValue(in, 4));
  const int64_t formatStart = StreamTell(in);
  const int tag = ReadValue(in, 2) & 0xFFFF;
  if (tag != kFormatPcm && tag != kFormatExtensible) return 1;
  tr.channelCount = static_cast<int16_t>(ReadValue(in, 2));
  tr.sampleRate = ReadValue(in, 4);
  StreamSkip(in, 6);  // byte rate, block alignment
  tr.bitsPerSample = static_cast<int16_t>(ReadValue(in, 2));
  if (tr.bitsPerSample % 8 != 0 || tr.bitsPerSample < 8 || tr.bitsPerSample > 32) return 1;
  // Without a channel a frame would not move the stream: reading would stand still.
  if (tr.channelCount < 1) return 1;
  if (tag == kFormatExtensible && !HasPcmSubFormat(in, formatSize)) return 1;

  StreamSeek(in, formatStart + formatSize + (formatSize & 1));
  while (!CheckString(in, "data")) {
    const uint32_t size = static_cast<uint32_t>(ReadValue(in, 4));
    StreamSkip(in, int64_t{size} + (size & 1));
  }
  ReadValue(in, 4);  // the data size does not bound the samples: they are read to the end
  SetThresholds(tr);
  return 0;
}

void SetInputKind(TapeReader& tr) {
  tr.isText = CheckWav(tr) != 0;
  if (tr.isText) StreamSeek(tr.input, 0);
}

void SelectChannel(TapeReader& tr, int channel) {
  StreamSkip(tr.input, int64_t{channel - 1} * BytesPerSample(tr));
}
