#include "report/tape_report.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "audio/samples.h"
#include "console.h"
#include "output_file.h"
#include "recover_run.h"
#include "signals.h"

TapeReport report;

namespace {

constexpr int kFailure = 1;
constexpr LevelCell kNoLevel = {1, -1};
constexpr TraceCell kEmptyCell = {0, 0, 0, 0, -1, 1};
// Where a search for the lowest and the highest sample starts.
constexpr float kAbove = std::numeric_limits<float>::max();
constexpr float kBelow = -kAbove;

// ---- The files' names ----

// The directory part of a path ("." for none) and its last component.
const char* SplitPath(const char* path, char* dir, size_t size) {
  const char* slash = std::strrchr(path, '/');
  if (!slash) {
    std::snprintf(dir, size, ".");
    return path;
  }
  std::snprintf(dir, size, "%.*s", static_cast<int>(slash == path ? 1 : slash - path), path);
  return slash + 1;
}

bool SameDirectory(const char* a, const char* b) {
  struct stat x, y;
  return stat(a, &x) == 0 && stat(b, &y) == 0 && SameFile(x, y);
}

// Whether two paths name one file, also one that does not exist yet.
bool SameEntry(const char* a, const char* b) {
  struct stat x, y;
  if (stat(a, &x) == 0 && stat(b, &y) == 0) return SameFile(x, y);
  char dirA[kReportPathRoom], dirB[kReportPathRoom];
  const char* nameA = SplitPath(a, dirA, sizeof dirA);
  const char* nameB = SplitPath(b, dirB, sizeof dirB);
  return std::strcmp(nameA, nameB) == 0 && SameDirectory(dirA, dirB);
}

// Whether `path` is the file of a block k >= 2 beside `output`. The stem may hold dashes of its
// own: each is tried.
bool IsBlockFile(const char* path, const char* output) {
  char dirP[kReportPathRoom], dirO[kReportPathRoom], name[kReportPathRoom];
  const char* pathName = SplitPath(path, dirP, sizeof dirP);
  const char* outputName = SplitPath(output, dirO, sizeof dirO);
  for (const char* dash = std::strchr(pathName, '-'); dash; dash = std::strchr(dash + 1, '-')) {
    const long block = std::strtol(dash + 1, nullptr, 10);
    if (block >= 2 && block <= INT_MAX &&
        BlockPath(outputName, static_cast<int>(block), name, sizeof name) &&
        std::strcmp(name, pathName) == 0)
      return SameDirectory(dirP, dirO);
  }
  return false;
}

bool RefusePath(const char* option, const char* path, const char* why) {
  Print("\tThe ");
  Print(option);
  PrintWithPath(" file \"", path, "\" ");
  Print(why);
  Print("\n\n");
  return false;
}

// One report file against everything else the run reads or writes.
bool PathFits(const Options& o, const struct stat& input, const char* option, const char* path,
              const char* other) {
  struct stat info;
  const bool standard = IsStandardStream(path);
  if (standard && IsStandardStream(o.outputPath))
    return RefusePath(option, path, "is standard output, where the decoded bytes go");
  if (other && std::strcmp(path, other) == 0 && (standard || SameEntry(path, other)))
    return RefusePath(option, path, "is named by both --map and --json");
  if (standard) return true;
  const bool exists = stat(path, &info) == 0;
  if (exists && SameFile(info, input)) return RefusePath(option, path, "is the input");
  if (!IsStandardStream(o.outputPath) && SameEntry(path, o.outputPath))
    return RefusePath(option, path, "is the output");
  if (o.labelsPath && SameEntry(path, o.labelsPath))
    return RefusePath(option, path, "is the label track");
  if (other && !IsStandardStream(other) && SameEntry(path, other))
    return RefusePath(option, path, "is named by both --map and --json");
  if (o.recover && !IsStandardStream(o.outputPath) && IsBlockFile(path, o.outputPath))
    return RefusePath(option, path, "is the file of a block");
  char dir[kReportPathRoom];
  SplitPath(path, dir, sizeof dir);
  if (exists ? S_ISDIR(info.st_mode) || access(path, W_OK) != 0 : access(dir, W_OK | X_OK) != 0) {
    PrintWithPath("\tError creating file \"", path, "\"\n\n");
    return false;
  }
  if (!exists || !S_ISREG(info.st_mode)) return true;
  if (o.overwrite == kOverwriteYes) return true;
  if (o.overwrite == kOverwriteNo) {
    PrintWithPath("\tNot overwriting \"", path, "\" (--no-clobber)\n\n");
    return false;
  }
  return ConfirmOverwrite(path);
}

// ---- The envelope and the per-second cells ----

void Widen(LevelCell& into, const LevelCell& c) {
  into.lo = std::min(into.lo, c.lo);
  into.hi = std::max(into.hi, c.hi);
}

void MergeColumns(TapeReport& r) {
  for (int i = 0; i < kReportColumns / 2; ++i) {
    r.columns[i] = r.columns[2 * i];
    Widen(r.columns[i], r.columns[2 * i + 1]);
  }
  r.columnCount = kReportColumns / 2;
  r.columnFrames *= 2;
}

void MergeBins(TapeReport& r) {
  for (int i = 0; i < kReportBins / 2; ++i) {
    TraceCell& c = r.bins[i];
    c = r.bins[2 * i];
    const TraceCell& d = r.bins[2 * i + 1];
    c.bytes += d.bytes;
    c.damaged += d.damaged;
    c.speedSum += d.speedSum;
    c.qualitySum += d.qualitySum;
    c.peak = std::max(c.peak, d.peak);
    c.qualityMin = std::min(c.qualityMin, d.qualityMin);
  }
  for (int i = kReportBins / 2; i < kReportBins; ++i) r.bins[i] = kEmptyCell;
  r.binCount = (r.binCount + 1) / 2;
  r.binFrames *= 2;
}

// The cell of a sample frame, the table widened when the recording has outgrown it.
TraceCell& BinAt(TapeReport& r, int64_t frame) {
  if (frame < 0) frame = 0;
  while (frame / r.binFrames >= kReportBins) MergeBins(r);
  const int i = static_cast<int>(frame / r.binFrames);
  r.binCount = std::max(r.binCount, i + 1);
  return r.bins[i];
}

void CloseColumn(TapeReport& r) {
  if (r.columnCount == kReportColumns) MergeColumns(r);
  r.columns[r.columnCount++] = r.open;
  r.open = kNoLevel;
}

// Frames up to the next end of a column or a cell, the cells widened first when the recording
// has outgrown them. At least 1.
int64_t SpanRoom(TapeReport& r) {
  BinAt(r, r.frames);
  const int64_t columnEnd = (r.columnCount + 1) * r.columnFrames;
  const int64_t binEnd = (r.frames / r.binFrames + 1) * r.binFrames;
  return std::min(columnEnd, binEnd) - r.frames;
}

// The level of the next `n` frames, which lie in one column and one cell.
void AddSpan(TapeReport& r, const LevelCell& span, int64_t n) {
  Widen(r.open, span);
  TraceCell& bin = BinAt(r, r.frames);
  if (span.lo <= span.hi) bin.peak = std::max({bin.peak, -span.lo, span.hi});
  r.frames += n;
  if (r.frames == (r.columnCount + 1) * r.columnFrames) CloseColumn(r);
}

// One sample as a fraction of full scale.
float Fraction(const TapeReport& r, const unsigned char* p) {
  if (r.coding == kFloatSamples) return static_cast<float>(FloatValue(p, r.sampleBytes));
  const int32_t centre = r.sampleBytes == 1 ? kUnsignedCentre : 0;
  return static_cast<float>(DecodeValue(p, r.sampleBytes) - centre) /
         static_cast<float>(uint32_t{1} << (8 * r.sampleBytes - 1));
}

// The decoded channel's level over `n` whole frames from `frame`, one sample at a time.
LevelCell ScalarRange(const TapeReport& r, const unsigned char* frame, int64_t n) {
  const unsigned char* p = frame + static_cast<int64_t>(r.channel - 1) * r.sampleBytes;
  LevelCell level = {kAbove, kBelow};
  for (int64_t i = 0; i < n; ++i, p += r.frameBytes) {
    const float v = Fraction(r, p);
    level.lo = v < level.lo ? v : level.lo;
    level.hi = v > level.hi ? v : level.hi;
  }
  return level;
}

// Sixteen bytes of samples, one lane each.
template <class T>
struct Lanes {
  typedef T Vector __attribute__((vector_size(16)));
  static constexpr int kCount = 16 / sizeof(T);
};

// Lowest and highest value of each lane over `vectors` runs of 16 bytes of samples of type T.
// All channels are taken, in vector instructions; the caller picks out the lanes of the decoded
// channel.
template <class T>
void LaneRange(const unsigned char* p, int64_t vectors, T* lo, T* hi) {
  using V = typename Lanes<T>::Vector;
  // Four of each, so that the comparisons do not wait for each other.
  constexpr int kChains = 4;
  const V top = V{} + std::numeric_limits<T>::max(),
          bottom = V{} + std::numeric_limits<T>::lowest();
  V l[kChains] = {top, top, top, top}, h[kChains] = {bottom, bottom, bottom, bottom};
  int64_t i = 0;
  for (; i + kChains <= vectors; i += kChains, p += kChains * sizeof(V)) {
    for (int c = 0; c < kChains; ++c) {
      V v;
      std::memcpy(&v, p + c * sizeof(V), sizeof v);
      l[c] = v < l[c] ? v : l[c];
      h[c] = v > h[c] ? v : h[c];
    }
  }
  for (; i < vectors; ++i, p += sizeof(V)) {
    V v;
    std::memcpy(&v, p, sizeof v);
    l[0] = v < l[0] ? v : l[0];
    h[0] = v > h[0] ? v : h[0];
  }
  for (int c = 1; c < kChains; ++c) {
    l[0] = l[c] < l[0] ? l[c] : l[0];
    h[0] = h[c] > h[0] ? h[c] : h[0];
  }
  std::memcpy(lo, &l[0], sizeof l[0]);
  std::memcpy(hi, &h[0], sizeof h[0]);
}

// The decoded channel's level over `n` whole frames from `frame`, with whole vectors of frames
// through LaneRange when the channels fit its lanes, the rest one sample a frame.
template <class T>
LevelCell FrameRange(const TapeReport& r, const unsigned char* frame, int64_t n, float centre,
                     float scale) {
  constexpr int kLanes = Lanes<T>::kCount;
  LevelCell level = {kAbove, kBelow};
  int64_t done = 0;
  if (kLanes % r.channels == 0 && n * r.channels >= kLanes) {
    const int64_t vectors = n * r.channels / kLanes;
    T lo[kLanes], hi[kLanes];
    LaneRange<T>(frame, vectors, lo, hi);
    for (int k = r.channel - 1; k < kLanes; k += r.channels) {
      level.lo = std::min(level.lo, (static_cast<float>(lo[k]) - centre) * scale);
      level.hi = std::max(level.hi, (static_cast<float>(hi[k]) - centre) * scale);
    }
    done = vectors * kLanes / r.channels;
  }
  Widen(level, ScalarRange(r, frame + done * r.frameBytes, n - done));
  return level;
}

// Samples already fractions (the recovery mode's).
LevelCell FloatRange(const float* s, int64_t n) {
  constexpr int kLanes = Lanes<float>::kCount;
  const int64_t vectors = n / kLanes;
  float lo[kLanes], hi[kLanes];
  LaneRange<float>(reinterpret_cast<const unsigned char*>(s), vectors, lo, hi);
  LevelCell level = {kAbove, kBelow};
  for (int k = 0; k < kLanes; ++k) Widen(level, {lo[k], hi[k]});
  for (int64_t i = vectors * kLanes; i < n; ++i) Widen(level, {s[i], s[i]});
  return level;
}

void AddLevels(TapeReport& r, const float* s, int64_t count) {
  while (count > 0) {
    const int64_t n = std::min(count, SpanRoom(r));
    AddSpan(r, FloatRange(s, n), n);
    s += n;
    count -= n;
  }
}

LevelCell FramesLevel(const TapeReport& r, const unsigned char* frame, int64_t n) {
  if (r.coding == kFloatSamples)
    return r.sampleBytes == 4 ? FrameRange<float>(r, frame, n, 0, 1) : ScalarRange(r, frame, n);
  switch (r.sampleBytes) {
    case 1:
      return FrameRange<uint8_t>(r, frame, n, kUnsignedCentre, 1.0f / 128);
    case 2:
      return FrameRange<int16_t>(r, frame, n, 0, 1.0f / 32768);
    case 4:
      return FrameRange<int32_t>(r, frame, n, 0, 1.0f / 2147483648.0f);
    default:
      return ScalarRange(r, frame, n);
  }
}

// The default mode: the samples of the input's window not seen yet, up to `upTo`.
void SeeWindow(TapeReport& r, const InputStream& s, int64_t upTo) {
  int64_t at = r.next;
  if (at < s.base) {  // gone from the window unseen (the audio library's refills)
    const int64_t skipped = (s.base - at + r.frameBytes - 1) / r.frameBytes;
    at += skipped * r.frameBytes;
    r.frames += skipped;
    while (r.frames >= (r.columnCount + 1) * r.columnFrames) CloseColumn(r);
  }
  const int64_t end = std::min(upTo, s.base + s.len);
  const int64_t offset = static_cast<int64_t>(r.channel - 1) * r.sampleBytes;
  while (at + r.sampleBytes <= end) {
    const int64_t frame = at - offset;
    int64_t n = frame >= s.base ? (end - frame) / r.frameBytes : 0;
    n = std::min(n, SpanRoom(r));
    LevelCell level;
    if (n > 0) {
      level = FramesLevel(r, s.buf + (frame - s.base), n);
    } else {  // a frame the window holds only in part: its sample
      const float v = Fraction(r, s.buf + (at - s.base));
      level = {v, v};
      n = 1;
    }
    AddSpan(r, level, n);
    at += n * r.frameBytes;
  }
  r.next = std::max(r.next, at);
}

void SeeLoaded(const InputStream& s, int64_t from) {
  if (report.chained) report.chained(s, from);
  SeeWindow(report, s, s.base + s.len);
}

int64_t FrameOf(const TapeReport& r, int64_t offset) {
  return offset > r.first ? (offset - r.first) / r.frameBytes : 0;
}

double Seconds(const TapeReport& r, int64_t frame) {
  return r.rate > 0 ? static_cast<double>(frame) / r.rate : 0;
}

BlockRecord* OpenBlock(TapeReport& r, double start, const char* path) {
  r.inBlock = r.blockCount < kReportBlocks;
  if (!r.inBlock) {
    ++r.moreBlocks;
    return nullptr;
  }
  BlockRecord& b = r.blocks[r.blockCount++];
  std::snprintf(b.path, sizeof b.path, "%s", path);
  b.start = b.end = start;
  b.speed = 1;
  b.bytes = b.damaged = b.moreDamaged = 0;
  b.qualitySum = 0;
  b.runCount = 0;
  return &b;
}

void NoteDamagedByte(BlockRecord& b, const RecoverEvent& e) {
  ++b.damaged;
  if (b.runCount > 0 && b.runs[b.runCount - 1].last + 1 == b.bytes) {
    b.runs[b.runCount - 1].last = b.bytes;
    b.runs[b.runCount - 1].endTime = e.endTime;
  } else if (b.runCount < kReportRuns) {
    b.runs[b.runCount++] = {b.bytes, b.bytes, e.time, e.endTime};
  } else {
    ++b.moreDamaged;
  }
}

// The rest of the input after the default mode's stop, for the envelope and the duration.
void ReadRest(TapeReport& r, TapeReader& tr) {
  InputStream& in = tr.input;
  for (;;) {
    SeeWindow(r, in, in.base + in.len);
    StreamSeek(in, std::max(in.base + in.len, StreamTell(in)));
    if (!SampleFill(tr)) break;
  }
}

bool WriteFile(const char* path, bool (*write)(const TapeReport&, int)) {
  const bool standard = IsStandardStream(path);
  OutputFlush(console);  // the console may share standard output's terminal: keep the order
  const int fd =
      standard ? STDOUT_FILENO : open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) {
    PrintWithPath("\tError creating file \"", path, "\"\n\n");
    return false;
  }
  const bool written = write(report, fd);
  if (!standard && close(fd) != 0) return false;
  if (!written) PrintWithPath("\tError writing file \"", path, "\"\n\n");
  return written;
}

}  // namespace

bool ReportPathsFit(const Options& o, const struct stat& input) {
  if (o.mapPath && !PathFits(o, input, "--map", o.mapPath, o.jsonPath)) return false;
  return !o.jsonPath || PathFits(o, input, "--json", o.jsonPath, nullptr);
}

bool ReportOnStandardOutput(const Options& o) {
  return (o.mapPath && IsStandardStream(o.mapPath)) || (o.jsonPath && IsStandardStream(o.jsonPath));
}

void ReportChannel(int channel) {
  report.channel = channel;
}

void ReportBegin(TapeReader& tr, const Options& o) {
  TapeReport& r = report;
  const int channel = r.channel;
  r.on = true;
  r.options = &o;
  r.mode = tr.isText ? kReportText : o.recover ? kReportRecover : kReportDefault;
  r.rate = tr.sampleRate;
  r.channels = tr.channelCount;
  r.channel = channel > 0 ? channel : 1;
  r.bits = tr.bitsPerSample;
  r.coding = tr.sampleCoding;
  std::snprintf(r.format, sizeof r.format, "%s", tr.isText ? "character-pair text" : tr.formatName);
  r.columnFrames = 1;
  r.binFrames = r.rate > 0 ? r.rate : 1;
  r.open = kNoLevel;
  for (TraceCell& c : r.bins) c = kEmptyCell;
  r.stopAt = -1;
  r.first = r.next = r.lastEnd = StreamTell(tr.input);
  r.frameBytes = 1;
  if (tr.isText) return;
  r.frameBytes = FrameBytes(tr);
  r.sampleBytes = BytesPerSample(tr);
  r.library = tr.sound.file != nullptr;
  r.threshold = tr.sampleCoding == kFloatSamples
                    ? kThresholdFraction
                    : (tr.highThreshold - (tr.bitsPerSample == 8 ? kUnsignedCentre : 0)) /
                          static_cast<double>(uint32_t{1} << (tr.bitsPerSample - 1));
  if (r.mode != kReportDefault) return;
  r.chained = tr.input.loaded;
  tr.input.loaded = SeeLoaded;
  SeeWindow(r, tr.input, tr.input.base + tr.input.len);
}

void ReportLeader(const TapeReader& tr) {
  TapeReport& r = report;
  if (!r.on) return;
  r.leaderFound = true;
  r.lastEnd = StreamTell(tr.input);
  r.leaderFrame = r.lastFrame = FrameOf(r, r.lastEnd);
  r.leaderSpeed = tr.sampleRate / kNominalShortHalfWaves / tr.halfWaveLength;
  BlockRecord* b = OpenBlock(r, Seconds(r, r.leaderFrame), r.options->outputPath);
  if (b) b->speed = r.leaderSpeed;
}

void ReportByteEnd(const TapeReader& tr) {
  TapeReport& r = report;
  const int64_t end = StreamTell(tr.input);
  if (r.mode == kReportText) {
    if (r.blockCount == 0) OpenBlock(r, 0, r.options->outputPath);
    ++r.blocks[0].bytes;
    r.lastEnd = end;
    return;
  }
  if (r.library) SeeWindow(r, tr.input, end);
  const int64_t from = r.lastFrame, to = FrameOf(r, end);
  r.lastEnd = end;
  r.lastFrame = to;
  if (!r.inBlock) return;
  BlockRecord& b = r.blocks[r.blockCount - 1];
  ++b.bytes;
  b.end = Seconds(r, to);
  if (b.end > b.start) b.speed = b.bytes * kFrameBits / kNominalBitsPerSecond / (b.end - b.start);
  if (to <= from) return;
  const double speed = kFrameBits * r.rate / kNominalBitsPerSecond / static_cast<double>(to - from);
  TraceCell& c = BinAt(r, from);
  ++c.bytes;
  c.speedSum += speed;
}

void ReportSamples(const float* samples, int64_t count) {
  if (report.on) AddLevels(report, samples, count);
}

void ReportEvent(const RecoverEvent& e, const char* path) {
  TapeReport& r = report;
  if (!r.on || e.kind == kLeaderRejected) return;
  if (e.kind == kBlockStart) {
    OpenBlock(r, e.time, path);
    return;
  }
  if (!r.inBlock) return;
  BlockRecord& b = r.blocks[r.blockCount - 1];
  if (e.kind == kBlockEnd) {
    b.end = e.endTime;
    b.speed = e.speed;
    r.inBlock = false;
    return;
  }
  TraceCell& c = BinAt(r, static_cast<int64_t>(e.time * r.rate));
  ++c.bytes;
  c.speedSum += e.speed;
  c.qualitySum += e.quality;
  c.qualityMin = std::min(c.qualityMin, e.quality);
  b.qualitySum += e.quality;
  if (e.damaged) {
    ++c.damaged;
    NoteDamagedByte(b, e);
  }
  ++b.bytes;
  b.end = e.endTime;
}

void ReportStop(TapeReader& tr, RunPhase phase, StopCause cause, bool atLastByte) {
  TapeReport& r = report;
  if (!r.on) return;
  r.stopPhase = phase;
  r.stopCause = cause;
  if (r.mode == kReportText) {
    r.stopAt = r.lastEnd;
    // A pair cut off by the end of the input is the end of the input.
    StreamSeek(tr.input, r.lastEnd);
    if (cause == kStopNoByte && StreamGet(tr.input) < 0) r.stopCause = kStopEnd;
    return;
  }
  const int64_t at = atLastByte && r.leaderFound ? r.lastEnd : StreamTell(tr.input);
  r.stopAt = FrameOf(r, at);
  if (cause == kStopNoByte) ReadRest(r, tr);
  r.inBlock = false;
}

int EndReport(int status) {
  TapeReport& r = report;
  if (!r.on) return status;
  r.on = false;
  if (r.mode == kReportRecover && r.blockCount == 0 && r.moreBlocks == 0) return status;
  if (r.open.lo <= r.open.hi) CloseColumn(r);
  bool written = true;
  if (r.options->jsonPath) written = WriteFile(r.options->jsonPath, WriteJson);
  if (r.options->mapPath) written = WriteFile(r.options->mapPath, WriteSvg) && written;
  return written ? status : kFailure;
}

double ReportDuration(const TapeReport& r) {
  return Seconds(r, r.frames);
}

LevelCell LevelBetween(const TapeReport& r, double from, double to) {
  LevelCell level = kNoLevel;
  const int64_t first = static_cast<int64_t>(from * r.rate) / r.columnFrames;
  const int64_t last = static_cast<int64_t>(std::ceil(to * r.rate)) / r.columnFrames;
  for (int64_t i = std::max<int64_t>(first, 0); i <= last && i < r.columnCount; ++i)
    Widen(level, r.columns[i]);
  return level;
}

double BinSeconds(const TapeReport& r) {
  return Seconds(r, r.binFrames);
}

bool CellFigures(const TapeReport& r, const TraceCell& c, double* speed, double* quality) {
  if (c.bytes == 0) return false;
  *speed = c.speedSum / c.bytes;
  if (r.mode == kReportRecover)
    *quality = c.qualitySum / c.bytes;
  else
    *quality = c.peak > 0 ? 20 * std::log10(c.peak / r.threshold) : -HUGE_VAL;
  return true;
}

const char* StopCode(const TapeReport& r) {
  switch (r.stopCause) {
    case kStopNoByte:
      return r.mode == kReportText ? "no-character-pair" : "no-byte-frame";
    case kStopEnd:
      return r.stopPhase == kPhaseLeader ? "no-leader" : "end-of-input";
    case kStopSignal:
      return "interrupted";
    default:
      return "input-lost";
  }
}

const char* StopReason(const TapeReport& r) {
  switch (r.stopCause) {
    case kStopNoByte:
      return r.mode == kReportText ? "not a character pair" : "no valid byte frame starts there";
    case kStopEnd:
      return r.stopPhase == kPhaseLeader ? "the input ended before a leader was found"
                                         : "the input ended";
    case kStopSignal:
      return "interrupted by a signal";
    default:
      return "the input could not go back to bytes a pipe no longer holds";
  }
}
