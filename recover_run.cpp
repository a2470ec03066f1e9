#include "recover_run.h"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "combine/channels.h"
#include "combine/takes.h"
#include "console.h"
#include "output_file.h"
#include "recover/recover.h"
#include "report/tape_report.h"
#include "sample_ahead.h"
#include "signals.h"

namespace {

constexpr int kSuccess = 0;
constexpr int kFailure = 1;
constexpr int64_t kChunk = 4096;  // samples read at a time
constexpr int kSummaries = 256;   // blocks summarised at the end; later ones are counted
constexpr int kDamagedRuns = 8;   // runs of damaged bytes named per block
constexpr size_t kPathRoom = PATH_MAX + 32;

struct DamagedRun {
  int64_t first, last;
  double time;
};

struct BlockSummary {
  char path[kPathRoom];
  int64_t at;  // its first byte's offset among all blocks' bytes: on standard output, its place
  double start, end, speed;
  int64_t bytes, damaged;
  DamagedRun runs[kDamagedRuns];
  int runCount;
  int64_t moreRuns;
  char takes[64];    // with --take: the takes that hold the block, as "1, 3"; "" without
  int64_t repaired;  // bytes damaged in a take that the others gave cleanly
};

struct RecoverRun {
  const Options* options;
  const struct stat* inputInfo;
  OutputStream* out;
  int64_t* total;  // bytes written in all blocks
  int block;       // blocks begun
  bool standard;   // every block to standard output, one after another
  bool writing;
  bool failed;
  bool mixing;        // -c all: the channels combined into one
  Take* keeping;      // with --take, while the takes are decoded: their events, held
  bool keepingMixed;  // and that take's channels mixed
  BlockSummary current;
  int summaryCount;  // in `summaries`
};

Recover decoder;
OutputStream labels;
float samples[kChunk];
SampleAhead sampleAhead;  // large: not on the stack
RecoverRun run;
// The run's blocks, for the summary at the end: apart from the run's record, which is set
// afresh at the start, so that only the ones written are ever touched.
BlockSummary summaries[kSummaries];
ChannelMix mix;
Take takes[kTakesMax];
MergedTape tape;
TapeReader takeReader;
float frames[kMixChunk * kMixChannels];
float mixed[kMixRing];

// Speed against nominal in per cent, to one decimal; a nought has no sign.
double SpeedPercent(double speed) {
  const double percent = (speed - 1) * 100;
  return percent > -0.05 && percent < 0.05 ? 0 : percent;
}

// h:mm:ss.mmm, to the nearest millisecond.
void PrintTime(double seconds) {
  char text[48];
  Print(ClockText(seconds, text, sizeof text));
}

void Label(double start, double end, const char* text) {
  if (labels.fd < 0) return;
  char line[160];
  std::snprintf(line, sizeof line, "%.6f\t%.6f\t%s\n", start, end, text);
  OutputText(labels, line);
}

// Opens the file of the block that begins. Block 1's is open already, and receives its bytes
// (and the label track its labels) only now that there is a block: a recording without one
// leaves them as they were.
bool OpenBlockFile(RecoverRun& r) {
  if (r.block == 1) {
    const char* labelsPath = r.options->labelsPath;
    return StartOutput(r.out->fd, r.options->outputPath) &&
           (labels.fd < 0 || StartOutput(labels.fd, labelsPath));
  }
  if (r.standard) return true;
  if (!BlockPath(r.options->outputPath, r.block, r.current.path, sizeof r.current.path)) {
    PrintWithPath("\tError creating file \"", r.options->outputPath, "\"\n\n");
    Explain(r.options->outputPath, "the file name of block %d would be too long", r.block);
    return false;
  }
  const int fd = PrepareOutput(r.current.path, *r.inputInfo, r.options->overwrite);
  if (fd < 0) return false;
  if (!StartOutput(fd, r.current.path)) {
    close(fd);
    return false;
  }
  close(r.out->fd);
  OutputAttach(*r.out, fd);
  return true;
}

void BeginBlock(RecoverRun& r, const RecoverEvent& e) {
  ++r.block;
  BlockSummary& b = r.current;
  if (r.block == 1) std::snprintf(b.path, sizeof b.path, "%s", r.options->outputPath);
  b.start = e.time;
  b.at = *r.total;
  b.bytes = b.damaged = b.moreRuns = 0;
  b.runCount = 0;
  r.writing = OpenBlockFile(r);
  if (!r.writing) {
    r.failed = true;
    return;
  }
  if (r.options->quiet) return;
  if (r.standard) {
    PrintNumber("Block %lld: standard output at 0x%04llX from ", r.block, b.at);
  } else {
    PrintNumber("Block %lld: \"", r.block);
    Print(b.path);
    Print("\" from ");
  }
  PrintTime(b.start);
  Print("\n");
  LineDone();
}

// The mix's figures as they stood after the read the decoder took last, while a second thread
// mixes ahead of it; null otherwise (the mix's own are then those).
const MixFigures* aheadFigures = nullptr;

// -v: how the channels are combined as the block begins.
void NoteMix(const RecoverRun& r, bool mixing, int take, int block) {
  if (!mixing || !r.options->verbose) return;
  if (take > 0)
    std::fprintf(stderr, "tonegrab: take %d, block %d:", take, block);
  else
    std::fprintf(stderr, "tonegrab: block %d:", block);
  for (int c = 0; c < mix.channels; ++c) {
    const MixFigures f = aheadFigures ? aheadFigures[c] : MixChannelFigures(mix, c);
    if (f.used)
      std::fprintf(stderr, "%s channel %d weight %.2f, %s, delay %+.3f ms", c ? ";" : "", c + 1,
                   f.share, f.inverted ? "inverted" : "upright", f.delayMs);
    else
      std::fprintf(stderr, "%s channel %d left out: no signal in step with the others",
                   c ? ";" : "", c + 1);
  }
  std::fprintf(stderr, "\n");
}

void NoteDamaged(RecoverRun& r, const RecoverEvent& e) {
  BlockSummary& b = r.current;
  ++b.damaged;
  char text[80];
  std::snprintf(text, sizeof text, "block %d byte 0x%04llX damaged", r.block,
                static_cast<unsigned long long>(b.bytes));
  Label(e.time, e.endTime, text);
  if (b.runCount > 0 && b.runs[b.runCount - 1].last + 1 == b.bytes) {
    b.runs[b.runCount - 1].last = b.bytes;
  } else if (b.runCount < kDamagedRuns) {
    b.runs[b.runCount++] = {b.bytes, b.bytes, e.time};
  } else {
    ++b.moreRuns;
  }
}

void TakeByte(RecoverRun& r, const RecoverEvent& e) {
  if (!r.writing) return;
  if (e.damaged) NoteDamaged(r, e);
  OutputByte(*r.out, e.value);
  if (!r.options->quiet) ListByte(r.current.bytes, e.value);
  ++r.current.bytes;
  ++*r.total;
}

void EndBlockRun(RecoverRun& r, const RecoverEvent& e) {
  if (!r.writing) return;
  BlockSummary& b = r.current;
  b.end = e.endTime;
  b.speed = e.speed;
  if (!SaveOutput(*r.out, b.path)) r.failed = true;
  if (!r.options->quiet) {
    Print(b.bytes % 16 ? "\n\n" : "\n");
    LineDone();
  }
  char text[96];
  std::snprintf(text, sizeof text, "block %d: %lld bytes, speed %+.1f %%", r.block,
                static_cast<long long>(b.bytes), SpeedPercent(b.speed));
  Label(b.start, b.end, text);
  if (r.summaryCount < kSummaries) summaries[r.summaryCount++] = b;
  r.writing = false;
}

// -v: a leader that turned out to carry no data, and why.
// A steady tone or long noise can give many leaders a second: within a second of the last one
// told, one for the same reason is counted instead, and the count told with the next line.
constexpr double kRejectedQuiet = 1;  // seconds

struct RejectedNotes {
  double lastTold;
  int lastWhy;
  int64_t untold;
  double untoldUpTo;
};
RejectedNotes rejected;

void TellUntold() {
  if (rejected.untold == 0) return;
  char to[48];
  std::fprintf(stderr, "tonegrab: %lld more up to %s, for the same reason\n",
               static_cast<long long>(rejected.untold),
               ClockText(rejected.untoldUpTo, to, sizeof to));
  rejected.untold = 0;
}

void NoteRejected(const RecoverRun& r, const RecoverEvent& e) {
  if (!r.options->verbose) return;
  if (e.value == rejected.lastWhy && e.time - rejected.lastTold < kRejectedQuiet) {
    ++rejected.untold;
    rejected.untoldUpTo = e.time;
    return;
  }
  TellUntold();
  char from[48], to[48];
  std::fprintf(stderr, "tonegrab: leader at %s (given up at %s) is not a block: %s\n",
               ClockText(e.time, from, sizeof from), ClockText(e.endTime, to, sizeof to),
               RecoverRejectionText(e.value));
  rejected.lastTold = e.time;
  rejected.lastWhy = e.value;
}

// A take's event held for combining; -v tells the input's rejected leaders, and how each
// take's channels are mixed as its blocks begin.
void KeepEvent(RecoverRun& r, const RecoverEvent& e) {
  if (e.kind == kLeaderRejected) {
    if (r.keeping == &takes[0]) NoteRejected(r, e);
    return;
  }
  if (e.kind == kBlockStart)
    NoteMix(r, r.keepingMixed, static_cast<int>(r.keeping - takes) + 1,
            static_cast<int>(r.keeping->blocks.size()) + 1);
  if (TakeKeep(*r.keeping, e)) return;
  PrintNumber("\tA take holds more than %lld bytes, more than can be combined\n\n", kTakeBytes);
  r.failed = true;
}

bool TakeEvents(RecoverRun& r) {
  const int count = RecoverStep(decoder);
  for (int i = 0; i < count && !r.failed; ++i) {
    const RecoverEvent& e = decoder.events[i];
    if (r.keeping) {
      KeepEvent(r, e);
      continue;
    }
    if (e.kind == kBlockStart) {
      BeginBlock(r, e);
      NoteMix(r, r.mixing, 0, r.block);
    } else if (e.kind == kBlockByte) {
      TakeByte(r, e);
    } else if (e.kind == kBlockEnd) {
      EndBlockRun(r, e);
    } else {
      NoteRejected(r, e);
    }
    ReportEvent(e, r.current.path);
  }
  decoder.eventCount = 0;
  return count > 0 && !r.failed;
}

// The next samples of the chosen channel into the decoder; how many, 0 at the end.
int64_t PushChannel(TapeReader& tr, bool reported) {
  const int64_t n = ReadFractions(tr, samples, kChunk);
  if (reported) ReportSamples(samples, n);
  RecoverPush(decoder, samples, n);
  return n;
}

// The chosen channel's samples, or every channel's mixed, read and decimated by a second thread:
// the next read of them into the decoder as PushChannel or PushMixed would give it; how many
// samples (frames), 0 at the end.
int64_t PushAhead(bool reported, bool mixing) {
  reported = reported && ReportWanted(*run.options);
  SampleView v;
  const int64_t n = SampleAheadNext(sampleAhead, &v);
  if (reported) ReportSamples(v.raw, n);  // kept for the record when it is wanted
  // As RecoverPush takes a read: the samples as they are where the factor is 1. A mix is
  // pushed whatever it gave.
  const bool asRead = !mixing && decoder.decimator.factor == 1;
  if (mixing || asRead || n > 0)
    RecoverPushWatched(decoder, asRead ? v.raw : v.decimated, asRead ? n : v.outputs, v.spans,
                       v.marked);
  if (mixing) aheadFigures = v.figures;
  return n;
}

// The next frames, their channels mixed, into the decoder; how many, 0 at the end. The record
// of the recording sees the first channel.
int64_t PushMixed(TapeReader& tr, bool reported) {
  const int64_t n = ReadFrameFractions(tr, frames, kMixChunk);
  if (reported && ReportWanted(*run.options)) {
    for (int64_t i = 0; i < n; ++i) samples[i] = frames[i * mix.channels];
    ReportSamples(samples, n);
  }
  RecoverPushDecimated(decoder, mixed, MixPush(mix, frames, n, mixed));
  return n;
}

// The input has ended: the mix's last second into the decoder, as much at a time as its ring
// takes.
void FinishMix(RecoverRun& r) {
  const int64_t n = MixFinish(mix, mixed);
  for (int64_t at = 0; at < n && !r.failed; at += kRecoverPushMax) {
    RecoverPushDecimated(decoder, mixed + at, std::min<int64_t>(kRecoverPushMax, n - at));
    while (TakeEvents(r)) {
    }
  }
}

// The same where a second thread mixed: it took the mix's last second, and its clicks.
void FinishMixAhead(RecoverRun& r) {
  SampleAhead& a = sampleAhead;
  SampleAheadAwaitFinish(a);
  aheadFigures = a.finishFigures;
  for (int64_t at = 0, p = 0; at < a.finishCount && !r.failed; at += kRecoverPushMax, ++p) {
    const SampleMarks& m = a.finishMarks[p];
    RecoverPushWatched(decoder, a.finish + at,
                       std::min<int64_t>(kRecoverPushMax, a.finishCount - at), m.spans, m.marked);
    while (TakeEvents(r)) {
    }
  }
}

// Decodes the recording in `tr` to its end (the decoder readied for its rate), its channels
// mixed or the chosen one; `reported`: its samples go to the record of the recording.
void DecodeRecording(RecoverRun& r, TapeReader& tr, bool mixing, bool reported) {
  if (mixing) MixInit(mix, tr.channelCount, tr.sampleRate, decoder.decimator.factor);
  // A file this tool reads itself (not a pipe, not a format the audio library reads) is read,
  // decimated or mixed, and watched for clicks by a second thread while the decoder works.
  const bool ahead = tr.input.seekable && !tr.sound.file &&
                     SampleAheadStart(sampleAhead, tr, decoder, mixing ? &mix : nullptr,
                                      reported && ReportWanted(*r.options));
  for (;;) {
    const int64_t n = ahead    ? PushAhead(reported, mixing)
                      : mixing ? PushMixed(tr, reported)
                               : PushChannel(tr, reported);
    if (n == 0) break;
    while (TakeEvents(r)) {
    }
    if (r.failed) break;
  }
  if (ahead) {
    if (mixing && !r.failed) FinishMixAhead(r);
    SampleAheadStop(sampleAhead);
    decoder.decimator = sampleAhead.decimator;
    aheadFigures = nullptr;
  } else if (mixing && !r.failed) {
    FinishMix(r);
  }
  if (r.failed) return;
  RecoverFinish(decoder);
  while (TakeEvents(r)) {
  }
}

// The take whose header is being read, for a read error there; nullptr otherwise.
const char* takeInHeader = nullptr;

// Opens a take for decoding: a recording at a rate the decoder takes, its channel as the
// input's (a take of one channel gives that one). False, with the message, when it cannot be.
bool OpenTake(const RecoverRun& r, const char* path, int channel, bool* mixing) {
  TapeReader& tr = takeReader;
  tr = TapeReader{};
  struct stat info, output;
  const int fd = IsStandardStream(path) ? -1 : open(path, O_RDONLY | O_CLOEXEC);
  const bool opened = fd >= 0 && fstat(fd, &info) == 0 && !S_ISDIR(info.st_mode);
  if (!opened) {
    const int error = IsStandardStream(path) ? ESPIPE : fd >= 0 ? EISDIR : errno;
    if (fd >= 0) close(fd);
    PrintWithPath("\tError opening take \"", path, "\"\n\n");
    Explain(path, "%s",
            IsStandardStream(path) ? "a take is read from a file, not standard input"
                                   : std::strerror(error));
    return false;
  }
  const char* outputPath = r.options->outputPath;
  if (!r.standard && stat(outputPath, &output) == 0 && SameFile(info, output)) {
    close(fd);
    PrintWithPath("\tTake and output are the same file \"", path, "\"\n\n");
    Explain(path, "a take is read, the output written: name another output");
    return false;
  }
  StreamAttach(tr.input, fd);
  takeInHeader = path;  // a header cut short ends the run from inside the reader
  SetInputKind(tr);
  takeInHeader = nullptr;
  const char* why =
      tr.refusal  ? tr.refusal
      : tr.isText ? "it is not a recording"
      : channel == kAllChannels && tr.channelCount > kMixChannels
          ? "-c all combines at most 8 channels"
      : channel > tr.channelCount && tr.channelCount > 1 ? "it does not have the input's channel"
      : !RecoverRateSupported(tr.sampleRate) ? "its sample rate is out of range for --recover"
                                             : nullptr;
  if (why) {
    CloseSound(tr);
    close(fd);
    PrintWithPath("\tCannot combine take \"", path, "\": ");
    Print(why);
    Print("\n\n");
    Explain(path, "cannot combine this take: %s", why);
    return false;
  }
  *mixing = channel == kAllChannels && tr.channelCount > 1;
  if (!*mixing) SelectChannel(tr, tr.channelCount == 1 || channel == kAllChannels ? 1 : channel);
  return true;
}

void CloseTake() {
  CloseSound(takeReader);
  close(takeReader.input.fd);
}

// Whether every take can be read, before anything is decoded.
bool TakesFit(const RecoverRun& r, int channel) {
  for (int k = 0; k < r.options->takeCount; ++k) {
    bool mixing = false;
    if (!OpenTake(r, r.options->takePaths[k], channel, &mixing)) return false;
    CloseTake();
  }
  return true;
}

// "1, 2, 4": the takes that hold the block.
void TakesText(const MergedBlock& b, int count, char* text, size_t size) {
  size_t used = 0;
  text[0] = '\0';
  for (int k = 0; k < count && used < size; ++k) {
    if (b.block[k] < 0) continue;
    const int n = std::snprintf(text + used, size - used, "%s%d", used ? ", " : "", k + 1);
    if (n > 0) used += static_cast<size_t>(n);
  }
}

// The combined blocks to files, the listing and the record, as the decoder's events would.
void WriteCombined(RecoverRun& r, int count) {
  for (const MergedBlock& b : tape.blocks) {
    double start, end, speed;
    MergedSpan(takes, tape, b, &start, &end, &speed);
    const RecoverEvent opening{kBlockStart, 0, 0, start, start, speed, 0, {}};
    BeginBlock(r, opening);
    if (r.failed) return;
    ReportEvent(opening, r.current.path);
    TakesText(b, count, r.current.takes, sizeof r.current.takes);
    for (int64_t p = 0; p < static_cast<int64_t>(b.columns.size()) && r.writing; ++p) {
      const CombinedByte c = CombineByte(takes, tape, b, p);
      const RecoverEvent e{kBlockByte, c.damaged, c.value,   c.time,
                           c.endTime,  c.speed,   c.quality, {}};
      TakeByte(r, e);
      ReportEvent(e, r.current.path);
      r.current.repaired += c.repaired;
    }
    const RecoverEvent closing{kBlockEnd, 0, 0, start, end, speed, 0, {}};
    EndBlockRun(r, closing);
    ReportEvent(closing, r.current.path);
    if (r.failed) return;
  }
}

// The input and each take decoded, their blocks matched and combined, and written.
void DecodeTakes(RecoverRun& r, TapeReader& input, int channel) {
  const int count = 1 + r.options->takeCount;
  for (int k = 0; k < count; ++k) takes[k] = Take{};
  r.keeping = &takes[0];
  r.keepingMixed = r.mixing;
  DecodeRecording(r, input, r.mixing, true);
  for (int k = 1; k < count && !r.failed && PendingSignal() == 0; ++k) {
    bool mixing = false;
    if (!OpenTake(r, r.options->takePaths[k - 1], channel, &mixing)) {
      r.failed = true;
      break;
    }
    r.keeping = &takes[k];
    r.keepingMixed = mixing;
    RecoverInit(decoder, takeReader.sampleRate);
    DecodeRecording(r, takeReader, mixing, false);
    CloseTake();
  }
  r.keeping = nullptr;
  if (r.failed || PendingSignal() != 0) return;
  MergeTakes(takes, count, &tape);
  WriteCombined(r, count);
}

void PrintSummary(const BlockSummary& b, bool standard) {
  if (standard) {
    PrintNumber("standard output at 0x%04llX: ", b.at);
  } else {
    Print(b.path);
    Print(": ");
  }
  PrintTime(b.start);
  Print("-");
  PrintTime(b.end);
  PrintNumber(", %lld bytes, %lld damaged, speed ", b.bytes, b.damaged);
  char text[32];
  std::snprintf(text, sizeof text, "%+.1f %%\n", SpeedPercent(b.speed));
  Print(text);
  for (int i = 0; i < b.runCount; ++i) {
    PrintNumber("\tdamaged 0x%04llX-0x%04llX from ", b.runs[i].first, b.runs[i].last);
    PrintTime(b.runs[i].time);
    Print("\n");
  }
  if (b.moreRuns) PrintNumber("\tand %lld more damaged bytes apart\n", b.moreRuns);
  if (b.takes[0] == '\0') return;
  Print(std::strchr(b.takes, ',') ? "\tfound in takes " : "\tfound in take ");
  Print(b.takes);
  if (b.repaired > 0)
    PrintNumber(b.repaired == 1 ? "; %lld byte repaired from other takes"
                                : "; %lld bytes repaired from other takes",
                b.repaired);
  Print("\n");
}

// The directory part of `path` ("." when there is none) into `dir`.
void DirectoryOf(const char* path, char* dir, size_t size) {
  const char* slash = std::strrchr(path, '/');
  if (!slash)
    std::snprintf(dir, size, ".");
  else
    std::snprintf(dir, size, "%.*s", static_cast<int>(slash == path ? 1 : slash - path), path);
}

const char* NameOf(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash ? slash + 1 : path;
}

// Whether two paths name the same file: the same existing file, or the same name in the same
// directory for files yet to be made.
bool SamePlace(const char* a, const char* b) {
  struct stat sa, sb;
  const bool aExists = stat(a, &sa) == 0, bExists = stat(b, &sb) == 0;
  if (aExists || bExists) return aExists && bExists && SameFile(sa, sb);
  char da[kPathRoom], db[kPathRoom];
  DirectoryOf(a, da, sizeof da);
  DirectoryOf(b, db, sizeof db);
  return std::strcmp(NameOf(a), NameOf(b)) == 0 && stat(da, &sa) == 0 && stat(db, &sb) == 0 &&
         SameFile(sa, sb);
}

// Where the block number goes in `path`: before the extension of its last component. A leading
// dot names a hidden file, not an extension.
size_t StemLength(const char* path) {
  const char* name = NameOf(path);
  const char* dot = std::strrchr(name, '.');
  return dot && dot != name ? static_cast<size_t>(dot - path) : std::strlen(path);
}

// The block, 2 or later, whose file `path` would be for the output `output`; 0 for none.
int BlockOfPath(const char* output, const char* path) {
  const size_t stem = StemLength(output);
  const char* outputName = NameOf(output);
  const size_t nameStem = stem - static_cast<size_t>(outputName - output);
  const char* name = NameOf(path);
  if (std::strncmp(name, outputName, nameStem) != 0 || name[nameStem] != '-') return 0;
  const char* digits = name + nameStem + 1;
  const char* p = digits;
  int block = 0;
  for (; *p >= '0' && *p <= '9' && block < INT_MAX / 10; ++p) block = block * 10 + (*p - '0');
  if (p == digits || *digits == '0' || block < 2 || std::strcmp(p, output + stem) != 0) return 0;
  char blockPath[kPathRoom];
  return BlockPath(output, block, blockPath, sizeof blockPath) && SamePlace(blockPath, path) ? block
                                                                                             : 0;
}

}  // namespace

bool EndInTakeHeader() {
  if (!takeInHeader) return false;
  PrintWithPath("\tCannot combine take \"", takeInHeader,
                "\": the file ends inside its header\n\n");
  Explain(takeInHeader, "cannot combine this take: the file ends inside its header");
  return true;
}

bool LabelsPathFits(const Options& options, const struct stat& inputInfo) {
  const char* path = options.labelsPath;
  const char* output = options.outputPath;
  struct stat info, out;
  if (!path) return true;
  const bool standard = IsStandardStream(path), toStandard = IsStandardStream(output);
  const bool exists = standard ? fstat(STDOUT_FILENO, &info) == 0 : stat(path, &info) == 0;
  if (exists && SameFile(info, inputInfo) && (!standard || S_ISREG(info.st_mode))) {
    PrintWithPath("\tLabel track and input are the same file \"", path, "\"\n\n");
    return false;
  }
  // "-" names whatever standard output is: a file, a pipe, a terminal.
  const bool outputExists = toStandard ? fstat(STDOUT_FILENO, &out) == 0 : stat(output, &out) == 0;
  const bool onOutput =
      (standard && toStandard) ||
      (exists && outputExists ? SameFile(info, out)
                              : !standard && !toStandard && SamePlace(path, output));
  if (onOutput) {
    PrintWithPath(toStandard ? "\tLabel track \"" : "\tLabel track and output are the same file \"",
                  path, toStandard ? "\" is standard output, where the bytes go\n\n" : "\"\n\n");
    return false;
  }
  const int block = toStandard || standard ? 0 : BlockOfPath(output, path);
  if (block != 0) {
    PrintWithPath("\tLabel track \"", path, "\" is the file of block ");
    PrintNumber("%lld of the output\n\n", block);
    return false;
  }
  return true;
}

bool BlockPath(const char* path, int block, char* out, size_t size) {
  const size_t stem = StemLength(path);
  const int n =
      std::snprintf(out, size, "%.*s-%d%s", static_cast<int>(stem), path, block, path + stem);
  return n > 0 && static_cast<size_t>(n) < size;
}

bool RecoverRateFits(const TapeReader& tr) {
  if (RecoverInit(decoder, tr.sampleRate) == 0) return true;
  PrintNumber("\tThe sample rate %lld Hz is out of range for --recover\n\n", tr.sampleRate);
  return false;
}

int RecoverToFiles(TapeReader& tr, int channel, OutputStream& out, const Options& options,
                   const struct stat& inputInfo, int64_t* bytes) {
  run = RecoverRun{};
  rejected = RejectedNotes{-1e9, -1, 0, 0};
  run.options = &options;
  run.inputInfo = &inputInfo;
  run.out = &out;
  run.total = bytes;
  run.standard = IsStandardStream(options.outputPath);
  labels.fd = -1;
  if (options.labelsPath) {
    const int fd = PrepareOutput(options.labelsPath, inputInfo, options.overwrite);
    if (fd < 0) {
      DiscardOutput(options.outputPath);
      return kFailure;
    }
    OutputAttach(labels, fd);
  }
  if (options.takeCount > 0 && !TakesFit(run, channel)) {
    DiscardOutput(options.outputPath);
    if (options.labelsPath) DiscardOutput(options.labelsPath);
    return kFailure;
  }
  if (!options.quiet) Print("\n");

  run.mixing = options.channel == kAllChannels && tr.channelCount > 1;
  if (options.takeCount == 0)
    DecodeRecording(run, tr, run.mixing, true);
  else
    DecodeTakes(run, tr, channel);
  if (run.writing) {  // ended early: keep what was decoded
    SaveOutput(*run.out, run.current.path);
    run.failed = true;
  }
  if (labels.fd >= 0 && !OutputFlush(labels)) {
    const int error = errno;  // the failed write's
    PrintWithPath("\tError writing file \"", options.labelsPath, "\"\n\n");
    Explain(options.labelsPath, "%s", std::strerror(error));
    run.failed = true;
  }

  int64_t damaged = 0;
  TellUntold();
  for (int i = 0; i < run.summaryCount; ++i) {
    PrintSummary(summaries[i], run.standard);
    damaged += summaries[i].damaged;
  }
  if (run.block > run.summaryCount && run.block > 0)
    PrintNumber("(%lld more blocks)\n", run.block - run.summaryCount);
  if (run.block == 0) {  // nothing to keep: the files are as they were before the run
    DiscardOutput(options.outputPath);
    if (options.labelsPath) DiscardOutput(options.labelsPath);
  }
  if (run.failed) return kFailure;
  if (run.block == 0 && PendingSignal() == 0) {
    PrintWithPath("\tNo signal found in \"", options.inputPath, "\"\n\n");
    return kFailure;
  }
  return damaged ? kRecoverDamaged : kSuccess;
}
