// Recordings in the formats of the audio library (libsndfile): FLAC, AIFF, W64, CAF, Ogg,
// MP3, WAV with mu-law or A-law samples and more. The library reads the input file through our
// own descriptor and decodes whole frames of all channels into the input stream's buffer, as
// 32-bit integers (integer codings, left-justified as the library delivers them) or floats
// (float and lossy codings); from there the decoders read them as from a WAV file's data.
#include <sndfile.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "audio/samples.h"
#include "tape_reader.h"

int soundCallSeconds = 5;

namespace {

constexpr int kPresentedBits = 32;

// The library's parsers have loops that a damaged file can keep from ending (one in its WAV
// chunk walk is known upstream). Each call into it is watched by a timer of processor time, so
// that waiting on a slow pipe never counts; a call that runs past it is left by a jump out of
// the timer's signal and never resumed, and the input is unreadable from there. None of our own
// state is touched while the library runs, so nothing of ours is left half done.
sigjmp_buf stallExit;
volatile sig_atomic_t watching;

void OnStall(int) {
  if (watching) siglongjmp(stallExit, 1);
}

void SetWatch(int seconds) {
  itimerval timer = {};
  timer.it_value.tv_sec = seconds;
  setitimer(ITIMER_PROF, &timer, nullptr);
}

// Runs `call` (a call into the library) under the watch; false when it stalled.
template <typename Call>
bool Watched(Call&& call) {
  static bool handled = false;
  if (!handled) {
    struct sigaction action = {};
    action.sa_handler = OnStall;
    action.sa_flags = SA_RESTART;
    sigaction(SIGPROF, &action, nullptr);
    handled = true;
  }
  if (sigsetjmp(stallExit, 1)) {
    watching = 0;
    return false;
  }
  SetWatch(soundCallSeconds);
  watching = 1;
  call();
  watching = 0;
  SetWatch(0);
  return true;
}

TapeReader& Reader(void* user) {
  return *static_cast<TapeReader*>(user);
}

sf_count_t InputLength(void* user) {
  // A pipe's length is unknown: as long as can be, as the library takes its own pipes.
  if (Reader(user).sound.piped) return SF_COUNT_MAX;
  struct stat info;
  if (fstat(Reader(user).input.fd, &info) != 0) return -1;
  return info.st_size;
}

sf_count_t InputSeek(sf_count_t offset, int whence, void* user) {
  SoundInput& s = Reader(user).sound;
  sf_count_t from = 0;
  if (whence == SEEK_CUR) from = s.raw;
  if (whence == SEEK_END) from = s.piped ? -1 : InputLength(user);
  if (from < 0 || offset < -from) return -1;
  s.raw = from + offset;
  return s.raw;
}

// From a pipe: the copy of its first bytes, then what arrives; a position ahead drops the bytes
// before it, one behind what has arrived (and past the copy) is gone: the input ends there.
sf_count_t ReadPipe(SoundInput& s, int fd, unsigned char* out, sf_count_t count) {
  sf_count_t got = 0;
  while (got < count) {
    const int64_t at = s.raw + got;
    if (at < s.headLen) {
      const int64_t n = std::min<int64_t>(count - got, s.headLen - at);
      std::memcpy(out + got, s.head + at, static_cast<size_t>(n));
      got += n;
      continue;
    }
    if (at < s.pipePos) break;
    // Bytes before the position are read into the caller's buffer and dropped.
    const bool drop = at > s.pipePos;
    const int64_t want = drop ? std::min<int64_t>(count - got, at - s.pipePos) : count - got;
    const ssize_t n = read(fd, out + got, static_cast<size_t>(want));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    s.pipePos += n;
    if (!drop) got += n;
  }
  s.raw += got;
  return got;
}

sf_count_t InputRead(void* ptr, sf_count_t count, void* user) {
  TapeReader& tr = Reader(user);
  unsigned char* out = static_cast<unsigned char*>(ptr);
  if (tr.sound.piped) return ReadPipe(tr.sound, tr.input.fd, out, count);
  const sf_count_t got = ReadAt(tr.input.fd, out, count, tr.sound.raw);
  tr.sound.raw += got;
  return got;
}

sf_count_t InputWrite(const void*, sf_count_t, void*) {
  return 0;
}

sf_count_t InputTell(void* user) {
  return Reader(user).sound.raw;
}

SF_VIRTUAL_IO inputIo = {InputLength, InputSeek, InputRead, InputWrite, InputTell};

// Codings the library delivers as integers, by their width: the detector's thresholds are then
// those of a WAV file of that width, shifted to the left-justified 32 bits. 0 for codings that
// are read as floats.
int IntegerBits(int format) {
  switch (format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8:
    case SF_FORMAT_DPCM_8:
      return 8;
    case SF_FORMAT_PCM_16:
    case SF_FORMAT_DPCM_16:
    case SF_FORMAT_ULAW:
    case SF_FORMAT_ALAW:
    case SF_FORMAT_IMA_ADPCM:
    case SF_FORMAT_MS_ADPCM:
    case SF_FORMAT_GSM610:
    case SF_FORMAT_ALAC_16:
      return 16;
    case SF_FORMAT_PCM_24:
    case SF_FORMAT_ALAC_24:
      return 24;
    case SF_FORMAT_FLOAT:
    case SF_FORMAT_DOUBLE:
    case SF_FORMAT_VORBIS:
    case SF_FORMAT_OPUS:
    case SF_FORMAT_MPEG_LAYER_I:
    case SF_FORMAT_MPEG_LAYER_II:
    case SF_FORMAT_MPEG_LAYER_III:
      return 0;
    default:
      return kPresentedBits;
  }
}

const char* FormatInfoName(int command, int format) {
  SF_FORMAT_INFO info = {};
  info.format = format;
  if (sf_command(nullptr, command, &info, sizeof info) != 0 || !info.name) return "?";
  return info.name;
}

void NameFormat(TapeReader& tr, int format) {
  std::snprintf(tr.formatName, sizeof tr.formatName, "%s, %s",
                FormatInfoName(SFC_GET_FORMAT_INFO, format & SF_FORMAT_TYPEMASK),
                FormatInfoName(SFC_GET_FORMAT_INFO, format & SF_FORMAT_SUBMASK));
}

}  // namespace

int OpenSound(TapeReader& tr) {
  SoundInput& s = tr.sound;
  s.file = nullptr;
  s.raw = 0;
  s.ended = false;
  s.piped = lseek(tr.input.fd, 0, SEEK_CUR) < 0;
  if (s.piped) {
    // What the input stream has taken off the pipe; a stream that has moved on from the first
    // bytes (a long WAV header) cannot give them back.
    const InputStream& in = tr.input;
    if (in.base != 0) return 1;
    std::memcpy(s.head, in.buf, static_cast<size_t>(in.len));
    s.headLen = in.len;
    s.pipePos = in.len;
  }
  SF_INFO info = {};
  SNDFILE* file = nullptr;
  s.stalled = !Watched([&] { file = sf_open_virtual(&inputIo, SFM_READ, &info, &tr); });
  if (s.stalled) {
    tr.refusal = "the audio library stalled on it (a damaged file)";
    return 2;
  }
  if (!file) {
    if (sf_error(nullptr) == SF_ERR_UNRECOGNISED_FORMAT) return 1;
    std::snprintf(s.reason, sizeof s.reason, "%s", sf_strerror(nullptr));
    tr.refusal = s.reason;
    return 2;
  }
  // A frame must leave room in the window beside the half of it kept behind on a pipe.
  if (info.channels < 1 || info.channels > kInputBufferSize / 4 / (kPresentedBits / 8)) {
    sf_close(file);
    tr.refusal = "too many channels";
    return 2;
  }
  s.file = file;
  tr.channelCount = static_cast<int16_t>(info.channels);
  tr.sampleRate = info.samplerate;
  tr.bitsPerSample = kPresentedBits;
  const int bits = IntegerBits(info.format);
  tr.sampleCoding = bits ? kIntegerSamples : kFloatSamples;
  tr.highThreshold = bits ? IntegerThreshold(bits) * (int32_t{1} << (kPresentedBits - bits)) : 0;
  tr.lowThreshold = -tr.highThreshold;
  NameFormat(tr, info.format);
  StreamAttach(tr.input, tr.input.fd);
  return 0;
}

void CloseSound(TapeReader& tr) {
  // A stalled handle is left as it is: its state is whatever the abandoned call made it.
  if (tr.sound.file && !tr.sound.stalled) sf_close(tr.sound.file);
  tr.sound.file = nullptr;
}

bool SampleFill(TapeReader& tr) {
  InputStream& in = tr.input;
  if (!tr.sound.file) return StreamFill(in);
  SoundInput& s = tr.sound;
  const int64_t frameBytes = FrameBytes(tr);
  const int64_t pos = StreamTell(in);
  if (s.stalled) return false;
  if (pos < in.base) {  // behind the window: decode again from the frame that holds it
    const sf_count_t frame = pos / frameBytes;
    sf_count_t at = -1;
    s.stalled = !Watched([&] { at = sf_seek(s.file, frame, SEEK_SET); });
    if (at != frame) return false;
    in.base = frame * frameBytes;
    in.len = 0;
    s.ended = false;
  }
  while (pos >= in.base + in.len) {
    if (s.ended) return false;
    // Keep the whole frames just before the wanted position, for the decoder's steps back:
    // on a pipe, where the library cannot go back, half the window.
    int64_t drop = pos - (s.piped ? kInputBufferSize / 2 : kInputKeepBehind) - in.base;
    drop = drop < 0 ? 0 : std::min(drop / frameBytes * frameBytes, in.len);
    std::memmove(in.buf, in.buf + drop, static_cast<size_t>(in.len - drop));
    in.base += drop;
    in.len -= drop;
    const sf_count_t room = (kInputBufferSize - in.len) / frameBytes;
    unsigned char* to = in.buf + in.len;
    sf_count_t got = 0;
    s.stalled = !Watched([&] {
      got = tr.sampleCoding == kFloatSamples
                ? sf_readf_float(s.file, reinterpret_cast<float*>(to), room)
                : sf_readf_int(s.file, reinterpret_cast<int*>(to), room);
    });
    if (got < room || s.stalled) s.ended = true;
    if (got > 0) in.len += got * frameBytes;
  }
  in.cur = pos - in.base;
  return true;
}
