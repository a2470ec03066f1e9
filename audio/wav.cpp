// The WAV container: RIFF/WAVE (or RF64/WAVE with its 64-bit sizes in "ds64"), chunks in any
// order, "fmt " before "data". Integer and float samples are read here; other codings go to
// the audio library.
#include <cstdio>
#include <cstring>

#include "audio/samples.h"
#include "tape_reader.h"

namespace {

constexpr int kFormatPcm = 0x0001;
constexpr int kFormatFloat = 0x0003;
constexpr int kFormatExtensible = 0xFFFE;
// The extensible format chunk: 16 bytes as for PCM, then cbSize, valid bits and channel mask,
// then the sub-format GUID, whose first two bytes are the format tag it stands for.
constexpr uint32_t kExtensibleFormatSize = 40;
constexpr int kSubFormatSkip = 8;
constexpr unsigned char kSubFormatTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                              0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
// In an RF64 file a 32-bit size of all ones means: the real size is in the "ds64" chunk, which
// holds the RIFF and data sizes and the sample count (8 bytes each), the table length (4), then
// a table of (id, 8-byte size).
constexpr uint32_t kSizeInDs64 = 0xFFFFFFFF;
constexpr int64_t kDs64FixedSize = 28;
constexpr int64_t kDs64EntrySize = 12;

// The data chunk's 64-bit size, and where the ds64 table lies, to look up another chunk's.
struct Ds64 {
  int64_t data;
  int64_t table;  // stream position of the first entry
  int64_t count;  // entries that fit in the chunk
};

// Reads a four-character code; false when the input ends first.
bool ReadTag(InputStream& in, char* tag) {
  for (int i = 0; i < 4; ++i) {
    const int c = StreamGet(in);
    if (c < 0) return false;
    tag[i] = static_cast<char>(c);
  }
  return true;
}

bool SameTag(const char* tag, const char* name) {
  return std::memcmp(tag, name, 4) == 0;
}

// A 64-bit size, capped so that a position plus a size cannot overflow: anything that large
// lies past the end of any file.
int64_t ReadSize64(InputStream& in) {
  constexpr uint64_t kLargestSize = uint64_t{1} << 62;
  const uint32_t low = static_cast<uint32_t>(ReadValue(in, 4));
  const uint32_t high = static_cast<uint32_t>(ReadValue(in, 4));
  const uint64_t size = uint64_t{high} << 32 | low;
  return static_cast<int64_t>(size < kLargestSize ? size : kLargestSize);
}

// The size of chunk `id` from the ds64 table, or kSizeInDs64 when it is not there.
int64_t Ds64Size(InputStream& in, const Ds64& ds64, const char* id) {
  if (SameTag(id, "data")) return ds64.data;
  const int64_t back = StreamTell(in);
  int64_t size = kSizeInDs64;
  StreamSeek(in, ds64.table);
  for (int64_t i = 0; i < ds64.count; ++i) {
    char tag[4];
    if (!ReadTag(in, tag)) EndOnReadError();
    const int64_t entry = ReadSize64(in);
    if (SameTag(tag, id)) {
      size = entry;
      break;
    }
  }
  StreamSeek(in, back);
  return size;
}

// With the stream just after the bits-per-sample field of an extensible format chunk of
// `formatSize` bytes: the format tag its sub-format stands for, or -1 when there is none.
int SubFormatTag(InputStream& in, uint32_t formatSize) {
  if (formatSize < kExtensibleFormatSize) return -1;
  StreamSkip(in, kSubFormatSkip);
  const int tag = ReadValue(in, 2) & 0xFFFF;
  unsigned char tail[sizeof kSubFormatTail];
  for (unsigned char& b : tail) b = static_cast<unsigned char>(ReadValue(in, 1));
  return std::memcmp(tail, kSubFormatTail, sizeof tail) == 0 ? tag : -1;
}

// Float samples are compared with the fraction itself (audio/samples.h).
void SetThresholds(TapeReader& tr) {
  tr.highThreshold = tr.lowThreshold = 0;
  if (tr.sampleCoding == kFloatSamples) return;
  tr.highThreshold = IntegerThreshold(tr.bitsPerSample);
  tr.lowThreshold = -tr.highThreshold;
  if (tr.bitsPerSample == 8) {
    tr.highThreshold += kUnsignedCentre;
    tr.lowThreshold += kUnsignedCentre;
  }
}

// Format fields out of range: the file is read as text, and -v says why.
int RefuseFormat(TapeReader& tr, int tag) {
  std::snprintf(tr.textReason, sizeof tr.textReason,
                "a RIFF/WAVE file of format tag 0x%04X, %d channel%s, %d bits per sample: read as "
                "character-pair text (decoded are integer PCM of 8, 16, 24 or 32 bits and float "
                "of 32 or 64 bits, tag 1, 3 or extensible with either sub-format, and one channel "
                "or more)",
                tag, tr.channelCount, tr.channelCount == 1 ? "" : "s", tr.bitsPerSample);
  return kWavRefused;
}

// Reads the format chunk's fields; 0 when we read these samples, kWavRefused when its fields
// are out of range, kWavForeignCodec for a coding of the audio library.
int ReadFormat(TapeReader& tr, uint32_t formatSize) {
  InputStream& in = tr.input;
  const int fileTag = ReadValue(in, 2) & 0xFFFF;
  tr.channelCount = static_cast<int16_t>(ReadValue(in, 2));
  tr.sampleRate = ReadValue(in, 4);
  StreamSkip(in, 6);  // byte rate, block alignment
  tr.bitsPerSample = static_cast<int16_t>(ReadValue(in, 2));
  const int tag = fileTag == kFormatExtensible ? SubFormatTag(in, formatSize) : fileTag;
  if (tag == kFormatPcm) {
    if (tr.bitsPerSample % 8 != 0 || tr.bitsPerSample < 8 || tr.bitsPerSample > 32)
      return RefuseFormat(tr, fileTag);
    tr.sampleCoding = kIntegerSamples;
  } else if (tag == kFormatFloat) {
    if (tr.bitsPerSample != 32 && tr.bitsPerSample != 64) return RefuseFormat(tr, fileTag);
    tr.sampleCoding = kFloatSamples;
  } else {
    return tag < 0 ? RefuseFormat(tr, fileTag) : kWavForeignCodec;
  }
  // Without a channel a frame would not move the stream: reading would stand still.
  if (tr.channelCount < 1) return RefuseFormat(tr, fileTag);
  return 0;
}

void NameFormat(TapeReader& tr, bool rf64) {
  std::snprintf(tr.formatName, sizeof tr.formatName, "%s, %d-bit %s", rf64 ? "RF64" : "WAV",
                tr.bitsPerSample, tr.sampleCoding == kFloatSamples ? "float" : "integer");
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
  std::snprintf(tr.textReason, sizeof tr.textReason,
                "no RIFF/WAVE header: read as character-pair text");
  char riff[4];
  if (!ReadTag(in, riff)) return kWavNone;
  const bool rf64 = SameTag(riff, "RF64");
  if (!rf64 && !SameTag(riff, "RIFF")) return kWavNone;
  StreamSkip(in, 4);  // RIFF size
  if (!CheckString(in, "WAVE")) return kWavNone;

  // The chunk walk: "fmt " wherever it lies, then "data". A file that ends before its first
  // chunk's id is whole is no recording; later, the input ends inside the header.
  Ds64 ds64 = {kSizeInDs64, 0, 0};
  bool haveFormat = false;
  for (bool first = true;; first = false) {
    char id[4];
    if (!ReadTag(in, id)) {
      if (first) {
        std::snprintf(
            tr.textReason, sizeof tr.textReason,
            "a RIFF/WAVE file that ends before its first chunk: read as character-pair text");
        return kWavRefused;
      }
      EndOnReadError();
    }
    const uint32_t size32 = static_cast<uint32_t>(ReadValue(in, 4));
    const int64_t start = StreamTell(in);
    if (haveFormat && SameTag(id, "data")) break;  // its size does not bound the samples
    int64_t size = size32;
    if (rf64 && size32 == kSizeInDs64) size = Ds64Size(in, ds64, id);
    if (rf64 && first && SameTag(id, "ds64") && size >= kDs64FixedSize) {
      StreamSkip(in, 8);  // RIFF size
      ds64 = {ReadSize64(in), start + kDs64FixedSize, (size - kDs64FixedSize) / kDs64EntrySize};
    } else if (!haveFormat && SameTag(id, "fmt ")) {
      const int format = ReadFormat(tr, size32);
      if (format != 0) return format;
      haveFormat = true;
    }
    StreamSeek(in, start + size + (size & 1));
  }
  SetThresholds(tr);
  NameFormat(tr, rf64);
  return 0;
}

void SetInputKind(TapeReader& tr) {
  CloseSound(tr);
  tr.refusal = nullptr;
  tr.formatName[0] = '\0';
  tr.sampleCoding = kIntegerSamples;
  const int wav = CheckWav(tr);
  int sound = 1;
  if (wav == kWavNone || wav == kWavForeignCodec) sound = OpenSound(tr);
  if (wav == kWavForeignCodec && sound == 1)
    tr.refusal = "a WAV sample coding this tool cannot read";
  tr.isText = wav != 0 && sound == 1 && !tr.refusal;
  if (tr.isText) StreamSeek(tr.input, 0);
}

void SelectChannel(TapeReader& tr, int channel) {
  StreamSkip(tr.input, int64_t{channel - 1} * BytesPerSample(tr));
}

int64_t FloatSamplesToLevelChange(TapeReader& tr) {
  return BytesPerSample(tr) == 8 ? SamplesToLevelChange<8, kFloatSamples>(tr)
                                 : SamplesToLevelChange<4, kFloatSamples>(tr);
}

const unsigned char* NextSampleSlow(TapeReader& tr) {
  InputStream& in = tr.input;
  const int bytes = BytesPerSample(tr);
  if (!StreamPeek(in, bytes) && (!SampleFill(tr) || !StreamPeek(in, bytes))) EndOnReadError();
  const unsigned char* p = in.buf + in.cur;
  in.cur += FrameBytes(tr);
  return p;
}
