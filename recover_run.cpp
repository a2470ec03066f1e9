#include "recover_run.h"

#include <limits.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "console.h"
#include "output_file.h"
#include "recover/recover.h"
#include "report/tape_report.h"
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
  double start, end, speed;
  int64_t bytes, damaged;
  DamagedRun runs[kDamagedRuns];
  int runCount;
  int64_t moreRuns;
};

struct RecoverRun {
  const Options* options;
  const struct stat* inputInfo;
  OutputStream* out;
  int64_t* total;  // bytes written in all blocks
  int block;       // blocks begun
  bool writing;
  bool failed;
  BlockSummary current;
  BlockSummary summaries[kSummaries];
  int summaryCount;
};

Recover decoder;
OutputStream labels;
float samples[kChunk];
RecoverRun run;

// Speed against nominal in per cent, to one decimal; a nought has no sign.
double SpeedPercent(double speed) {
  const double percent = (speed - 1) * 100;
  return percent > -0.05 && percent < 0.05 ? 0 : percent;
}

// h:mm:ss.mmm, to the nearest millisecond.
void PrintTime(double seconds) {
  char text[48];
  Print(FormatClock(static_cast<long long>(seconds * 1000 + 0.5), text, sizeof text));
}

void Label(double start, double end, const char* text) {
  if (labels.fd < 0) return;
  char line[160];
  std::snprintf(line, sizeof line, "%.6f\t%.6f\t%s\n", start, end, text);
  OutputText(labels, line);
}

// Opens the file of the block that begins; block 1's is open already.
bool OpenBlockFile(RecoverRun& r) {
  if (r.block == 1) return true;
  if (!BlockPath(r.options->outputPath, r.block, r.current.path, sizeof r.current.path)) {
    PrintWithPath("\tError creating file \"", r.options->outputPath, "\"\n\n");
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
  b.bytes = b.damaged = b.moreRuns = 0;
  b.runCount = 0;
  r.writing = OpenBlockFile(r);
  if (!r.writing) {
    r.failed = true;
    return;
  }
  if (r.options->quiet) return;
  PrintNumber("Block %lld: \"", r.block);
  Print(b.path);
  Print("\" from ");
  PrintTime(b.start);
  Print("\n");
  LineDone();
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
  if (r.summaryCount < kSummaries) r.summaries[r.summaryCount++] = b;
  r.writing = false;
}

bool TakeEvents(RecoverRun& r) {
  const int count = RecoverStep(decoder);
  for (int i = 0; i < count && !r.failed; ++i) {
    const RecoverEvent& e = decoder.events[i];
    if (e.kind == kBlockStart)
      BeginBlock(r, e);
    else if (e.kind == kBlockByte)
      TakeByte(r, e);
    else
      EndBlockRun(r, e);
    ReportEvent(e, r.current.path);
  }
  decoder.eventCount = 0;
  return count > 0 && !r.failed;
}

void PrintSummary(const BlockSummary& b) {
  Print(b.path);
  Print(": ");
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
}

}  // namespace

bool BlockPath(const char* path, int block, char* out, size_t size) {
  const char* slash = std::strrchr(path, '/');
  const char* name = slash ? slash + 1 : path;
  const char* dot = std::strrchr(name, '.');
  // A leading dot names a hidden file, not an extension.
  const size_t stem = dot && dot != name ? static_cast<size_t>(dot - path) : std::strlen(path);
  const int n =
      std::snprintf(out, size, "%.*s-%d%s", static_cast<int>(stem), path, block, path + stem);
  return n > 0 && static_cast<size_t>(n) < size;
}

bool RecoverRateFits(const TapeReader& tr) {
  if (RecoverInit(decoder, tr.sampleRate) == 0) return true;
  PrintNumber("\tThe sample rate %lld Hz is out of range for --recover\n\n", tr.sampleRate);
  return false;
}

int RecoverToFiles(TapeReader& tr, OutputStream& out, const Options& options,
                   const struct stat& inputInfo, int64_t* bytes) {
  run = RecoverRun{};
  run.options = &options;
  run.inputInfo = &inputInfo;
  run.out = &out;
  run.total = bytes;
  labels.fd = -1;
  if (options.labelsPath) {
    const int fd = PrepareOutput(options.labelsPath, inputInfo, options.overwrite);
    if (fd < 0 || !StartOutput(fd, options.labelsPath)) return kFailure;
    OutputAttach(labels, fd);
  }
  if (!options.quiet) Print("\n");

  for (;;) {
    const int64_t n = ReadFractions(tr, samples, kChunk);
    if (n == 0) break;
    ReportSamples(samples, n);
    RecoverPush(decoder, samples, n);
    while (TakeEvents(run)) {
    }
    if (run.failed) break;
  }
  if (!run.failed) {
    RecoverFinish(decoder);
    while (TakeEvents(run)) {
    }
  }
  if (run.writing) {  // ended early: keep what was decoded
    SaveOutput(*run.out, run.current.path);
    run.failed = true;
  }
  if (labels.fd >= 0 && !OutputFlush(labels)) {
    PrintWithPath("\tError writing file \"", options.labelsPath, "\"\n\n");
    run.failed = true;
  }

  int64_t damaged = 0;
  for (int i = 0; i < run.summaryCount; ++i) {
    PrintSummary(run.summaries[i]);
    damaged += run.summaries[i].damaged;
  }
  if (run.block > run.summaryCount && run.block > 0)
    PrintNumber("(%lld more blocks)\n", run.block - run.summaryCount);
  if (run.failed) return kFailure;
  if (run.block == 0 && PendingSignal() == 0) {
    PrintWithPath("\tNo signal found in \"", options.inputPath, "\"\n\n");
    return kFailure;
  }
  return damaged ? kRecoverDamaged : kSuccess;
}
