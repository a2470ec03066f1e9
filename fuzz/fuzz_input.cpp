// Fuzz target: the whole input path of the tool on one input, as the driver runs it: the WAV
// check or the audio library's, the channel offset, the leader search and every byte, or the
// character-pair text. For a recording it then checks that the buffered scan for the next level
// change finds the same half-waves as reading the samples one at a time, and runs the recovery
// decoder over it as --recover does.
#include <sys/mman.h>
#include <unistd.h>

#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "audio/samples.h"
#include "byte_stream.h"
#include "recover/recover.h"
#include "tape_reader.h"

namespace {

TapeReader reader;  // static like the driver's: the input buffer is large
std::jmp_buf readError;
volatile uint64_t decodedSink;  // keeps the decoded bytes observable
bool isRecording;               // the WAV check accepted the input
int64_t firstSample;            // stream position of the chosen channel's first sample

// A seekable file holding `data`, or -1.
int MemoryFile(const uint8_t* data, size_t size) {
  const int fd = memfd_create("tonegrab-fuzz", MFD_CLOEXEC);
  if (fd < 0) return -1;
  size_t done = 0;
  while (done < size) {
    const ssize_t n = write(fd, data + done, size - done);
    if (n <= 0) {
      close(fd);
      return -1;
    }
    done += static_cast<size_t>(n);
  }
  return fd;
}

// The driver's start and conversion loop; the channel answer is taken from the last byte.
void Decode(const uint8_t* data, size_t size) {
  SetInputKind(reader);
  if (reader.refusal) return;  // audio that cannot be read: the driver stops here
  if (!reader.isText) {
    if (reader.channelCount > 1) SelectChannel(reader, data[size - 1] % reader.channelCount + 1);
    // The half-wave comparison below re-reads the file from its samples: our own WAV reader's.
    isRecording = reader.sound.file == nullptr;
    firstSample = StreamTell(reader.input);
    while (Header(reader)) {
    }
  }
  uint64_t count = 0;
  uint64_t sum = 0;
  unsigned char byte;
  while (ReadByte(reader, &byte) == 0) {
    ++count;
    sum = sum * 31 + byte;
  }
  decodedSink = count ^ sum;
}

// The first half-waves from the first sample with level 0, up to the end of input.
constexpr int kHalfWaves = 64;
struct HalfWaves {
  int count;
  int64_t length[kHalfWaves];
  int64_t end[kHalfWaves];
};
HalfWaves scanned, stepped;

Recover recovery;  // static like the driver's
float fractions[4096];

// The recovery mode's run: every sample of the chosen channel through the recovery decoder, its
// events taken as the driver takes them.
void RecoverAll(int fd, const uint8_t* data, size_t size) {
  CloseSound(reader);
  reader.isText = 0;
  reader.level = 0;
  StreamAttach(reader.input, fd);
  SetInputKind(reader);
  if (reader.refusal || reader.isText) return;
  if (reader.channelCount > 1) SelectChannel(reader, data[size - 1] % reader.channelCount + 1);
  if (RecoverInit(recovery, reader.sampleRate)) return;
  uint64_t sum = 0;
  auto drain = [&] {
    while (RecoverStep(recovery) > 0) {
      for (int i = 0; i < recovery.eventCount; ++i) sum = sum * 31 + recovery.events[i].value;
      recovery.eventCount = 0;
    }
  };
  for (int64_t n; (n = ReadFractions(reader, fractions, 4096)) > 0;) {
    RecoverPush(recovery, fractions, n);
    drain();
  }
  RecoverFinish(recovery);
  drain();
  decodedSink = sum;
}

void Measure(HalfWaves& h, bool scan) {
  while (h.count < kHalfWaves) {
    int64_t n = 1;
    if (scan) {
      n = SamplesToLevelChange(reader);
    } else {
      while (!LevelChanged(reader)) ++n;
    }
    h.length[h.count] = n;
    h.end[h.count] = StreamTell(reader.input);
    ++h.count;
  }
}

void MeasureFromStart(int fd, HalfWaves& h, bool scan) {
  StreamAttach(reader.input, fd);
  StreamSeek(reader.input, firstSample);
  reader.level = 0;
  h.count = 0;
  if (setjmp(readError) == 0) Measure(h, scan);
}

bool Same(const HalfWaves& a, const HalfWaves& b) {
  if (a.count != b.count) return false;
  for (int i = 0; i < a.count; ++i) {
    if (a.length[i] != b.length[i] || a.end[i] != b.end[i]) return false;
  }
  return true;
}

}  // namespace

// The driver's version ends the process; here the run ends and the next input follows.
[[noreturn]] void EndOnReadError() {
  std::longjmp(readError, 1);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An input that stalls the audio library is abandoned well within the fuzzer's time bound,
  // twice (the decode and the recovery run each open it).
  soundCallSeconds = 1;
  const int fd = MemoryFile(data, size);
  if (fd < 0) __builtin_trap();  // no input file: nothing below would be tested
  // A fresh process starts with a zeroed reader; the level is the one field no check sets.
  reader.isText = 0;
  reader.level = 0;
  isRecording = false;
  StreamAttach(reader.input, fd);
  if (setjmp(readError) == 0) Decode(data, size);

  if (isRecording) {
    MeasureFromStart(fd, scanned, true);
    MeasureFromStart(fd, stepped, false);
    if (!Same(scanned, stepped)) {
      std::fprintf(stderr, "the buffered scan and the sample steps measure different half-waves\n");
      std::abort();
    }
  }
  if (setjmp(readError) == 0) RecoverAll(fd, data, size);
  CloseSound(reader);
  close(fd);
  return 0;
}
