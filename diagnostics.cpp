#include "diagnostics.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "audio/samples.h"
#include "console.h"
#include "decoder/half_wave.h"
#include "options.h"
#include "signals.h"

namespace {

// A short half-wave at nominal speed: half a cycle of the 2400 Hz tone.
constexpr double kShortHalfWavesPerSecond = 4800.0;
constexpr int kLookAheadBlock = 4096;
// The leader search takes a half-wave within 40 % of the mean so far. Whole samples put up to
// one sample of jitter on a half-wave, which stays within that only when the short half-wave
// lasts at least this many samples.
constexpr double kFewestLeaderSamples = 1 / (kShortMax - 1);
// A damaged float recording's samples far past full scale count as this, 60 dB over it, as the
// decoder reads them.
constexpr double kPeakBound = 1000;

// The chosen channel's samples as the window loads them, for the peak level.
struct PeakWatch {
  int64_t first;  // file offset of the channel's first sample
  int64_t frameBytes;
  int bytes;
  bool floats;  // IEEE floats, full scale 1; else integers
  int32_t centre;
  int64_t next;  // file offset of the first sample not yet seen
  double peak;   // largest distance from the centre line, as a fraction of full scale
  int channel;
};

PeakWatch watch;
bool watched;  // the peak is being read as the window loads

__attribute__((format(printf, 1, 2))) void Note(const char* format, ...) {
  OutputFlush(console);  // the console may be standard error too: keep the order
  std::fputs("tonegrab: ", stderr);
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
}

void SeeLoadedSamples(const InputStream& s, int64_t /*from*/) {
  int64_t at = watch.next;
  if (at < s.base) at += (s.base - at + watch.frameBytes - 1) / watch.frameBytes * watch.frameBytes;
  const int64_t end = s.base + s.len;
  const double fullScale = static_cast<double>(uint32_t{1} << (8 * watch.bytes - 1));
  for (; at + watch.bytes <= end; at += watch.frameBytes) {
    const unsigned char* p = s.buf + (at - s.base);
    // A float that is no number is no peak either: min and max keep the peak so far.
    const double v = watch.floats ? FloatValue(p, watch.bytes)
                                  : (DecodeValue(p, watch.bytes) - watch.centre) / fullScale;
    watch.peak = std::max(watch.peak, std::min(std::fabs(v), kPeakBound));
  }
  watch.next = std::max(watch.next, at);
}

double Decibels(double fraction) {
  return fraction > 0 ? 20 * std::log10(fraction) : -HUGE_VAL;
}

double FullScale(const TapeReader& tr) {
  return static_cast<double>(uint32_t{1} << (tr.bitsPerSample - 1));
}

// The detector's threshold as a fraction of full scale.
double ThresholdFraction(const TapeReader& tr) {
  if (tr.sampleCoding == kFloatSamples) return kThresholdFraction;
  return (tr.highThreshold - watch.centre) / FullScale(tr);
}

int64_t FrameAt(int64_t offset) {
  return offset > watch.first ? (offset - watch.first) / watch.frameBytes : 0;
}

// The peak of a recording whose window is not watched (one the audio library decodes): the part
// read up to `at` is read once more. Returns false when the input cannot go back to it.
bool ReadPeakAgain(TapeReader& tr, int64_t at) {
  if (!tr.input.seekable) return false;
  const int64_t resume = StreamTell(tr.input);
  const int64_t frames = FrameAt(at);
  float block[kLookAheadBlock];
  int64_t done = 0;
  StreamSeek(tr.input, watch.first);
  while (done < frames) {
    const int64_t n = ReadFractions(tr, block, std::min<int64_t>(kLookAheadBlock, frames - done));
    if (n == 0) break;
    for (int64_t i = 0; i < n; ++i) watch.peak = std::max<double>(watch.peak, std::fabs(block[i]));
    done += n;
  }
  StreamSeek(tr.input, resume);
  return done == frames;
}

// "h:mm:ss.mmm" of a sample frame.
const char* Time(const TapeReader& tr, int64_t frame, char* text, size_t size) {
  const int64_t ms = tr.sampleRate > 0 ? frame * 1000 / tr.sampleRate : 0;
  return FormatClock(static_cast<long long>(ms), text, size);
}

const char* Cause(StopCause cause, RunPhase phase) {
  switch (cause) {
    case kStopNoByte:
      return "no valid byte frame starts there (a half-wave neither short nor long, or a start "
             "or stop bit of the wrong value)";
    case kStopEnd:
      return phase == kPhaseLeader ? "the input ended before a leader was found"
                                   : "the input ended";
    case kStopSignal: {
      static char text[32];
      std::snprintf(text, sizeof text, "interrupted by %s", SignalName(PendingSignal()));
      return text;
    }
    default:
      return "the input could not go back to bytes a pipe no longer holds";
  }
}

// The short half-wave at nominal speed, in samples.
double ShortHalfWave(const TapeReader& tr) {
  return tr.sampleRate / kShortHalfWavesPerSecond;
}

// Reads up to a second past the stop and says whether the signal goes on there.
void LookAhead(TapeReader& tr) {
  float block[kLookAheadBlock];
  int64_t frames = 0;
  float peak = 0;
  while (frames < tr.sampleRate) {
    const int64_t n =
        ReadFractions(tr, block, std::min<int64_t>(kLookAheadBlock, tr.sampleRate - frames));
    if (n == 0) break;
    for (int64_t i = 0; i < n; ++i) peak = std::max(peak, std::fabs(block[i]));
    frames += n;
  }
  const bool continues = peak >= ThresholdFraction(tr);
  char when[32];
  if (frames < tr.sampleRate)
    Note("the input ends %s after that point; %s", Time(tr, frames, when, sizeof when),
         continues ? "signal goes on up to its end" : "no signal before its end");
  else if (continues)
    Note("signal continues after that point (peak %.1f dBFS in the next second)", Decibels(peak));
  else
    Note("no signal in the second after that point (peak %.1f dBFS)", Decibels(peak));
}

}  // namespace

void NoteInputKind(TapeReader& tr) {
  if (tr.isText) {
    Note("%s", tr.textReason);
    return;
  }
  // Integer PCM WAV is named by its sample width; every other format by the reader's name.
  if (std::strncmp(tr.formatName, "WAV, ", 5) == 0 && tr.sampleCoding == kIntegerSamples) {
    Note("WAV recording: %d-bit integer PCM, %d channel%s, %d Hz", tr.bitsPerSample,
         tr.channelCount, tr.channelCount == 1 ? "" : "s", tr.sampleRate);
    return;
  }
  Note("recording: %s, %d channel%s, %d Hz", tr.formatName, tr.channelCount,
       tr.channelCount == 1 ? "" : "s", tr.sampleRate);
}

void NoteChannel(TapeReader& tr, int channel) {
  if (channel == kAllChannels) {
    Note("combining channels 1-%d", tr.channelCount);
    channel = 1;  // the peak told is the first channel's
  } else {
    Note("decoding channel %d", channel);
  }
  watch = PeakWatch{StreamTell(tr.input),
                    FrameBytes(tr),
                    BytesPerSample(tr),
                    tr.sampleCoding == kFloatSamples,
                    tr.bitsPerSample == 8 ? kUnsignedCentre : 0,
                    StreamTell(tr.input),
                    0,
                    channel};
  // The peak is read from the samples as a WAV file's window loads them; the formats of the
  // audio library are read again at the end.
  watched = tr.sound.file == nullptr;
  if (!watched) return;
  tr.input.loaded = SeeLoadedSamples;
  if (tr.input.len > 0) SeeLoadedSamples(tr.input, tr.input.base);
}

void NoteLeader(const TapeReader& tr) {
  const int64_t frame = FrameAt(StreamTell(tr.input));
  char when[32];
  Note(
      "leader found: data from %s (sample frame %lld); short half-wave %.2f samples, tape "
      "speed %.1f%% of nominal",
      Time(tr, frame, when, sizeof when), static_cast<long long>(frame), tr.halfWaveLength,
      100.0 * tr.sampleRate / kShortHalfWavesPerSecond / tr.halfWaveLength);
}

void ExplainInputEnd(const TapeReader& tr, RunPhase phase, const char* path, int64_t at,
                     int64_t first, int64_t bytes) {
  if (phase == kPhaseHeader) {
    Explain(path, "the input ended at byte %lld, inside the WAV header",
            static_cast<long long>(at));
    return;
  }
  const int64_t frame = at > first ? (at - first) / FrameBytes(tr) : 0;
  char when[32];
  if (phase == kPhaseLeader)
    Explain(path, "the input ended at %s (sample frame %lld) before a leader was found",
            Time(tr, frame, when, sizeof when), static_cast<long long>(frame));
  else
    Explain(path, "the input ended at %s (sample frame %lld), after %lld byte%s",
            Time(tr, frame, when, sizeof when), static_cast<long long>(frame),
            static_cast<long long>(bytes), bytes == 1 ? "" : "s");
}

void NoteStop(TapeReader& tr, RunPhase phase, StopCause cause, int64_t at) {
  if (tr.isText) {
    // A pair cut off by the end of the input is no pair either: look whether it was the end.
    StreamSeek(tr.input, at);
    if (cause == kStopNoByte && StreamGet(tr.input) < 0) cause = kStopEnd;
    Note("decoding stopped at byte %lld of the text: %s", static_cast<long long>(at),
         cause == kStopNoByte ? "not a character pair" : Cause(cause, kPhaseData));
    return;
  }
  if (phase == kPhaseHeader) {
    Note("decoding stopped at byte %lld, inside the WAV header: %s", static_cast<long long>(at),
         Cause(cause, phase));
    return;
  }
  const int64_t frame = FrameAt(at);
  char when[32];
  Note("decoding stopped at %s (sample frame %lld): %s", Time(tr, frame, when, sizeof when),
       static_cast<long long>(frame), Cause(cause, phase));
  if (watched || ReadPeakAgain(tr, at)) {
    Note("peak level of channel %d in the part read: %.1f dBFS (the detector needs %.1f dBFS)",
         watch.channel, Decibels(watch.peak), Decibels(ThresholdFraction(tr)));
  } else {
    Note("peak level of channel %d: not measured (this format cannot be read again from a pipe)",
         watch.channel);
  }
  if (phase == kPhaseLeader && cause == kStopEnd && ShortHalfWave(tr) < kFewestLeaderSamples) {
    Note(
        "at %d Hz a short half-wave lasts %.2f samples, fewer than the %.1f the leader search "
        "needs to allow for a sample of jitter; --recover reads such recordings",
        tr.sampleRate, ShortHalfWave(tr), kFewestLeaderSamples);
  }
  if (cause == kStopNoByte) LookAhead(tr);
}
