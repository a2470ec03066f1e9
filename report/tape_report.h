// --map and --json: a picture and a record of the tape. The facts are gathered while the decode
// runs, in one record of fixed size whatever the recording's length; the files are written
// after it (report/svg.cpp, report/json.cpp).
//
// Time is counted in sample frames of the decoded channel from its first sample. The level
// envelope and the per-second figures live in fixed tables whose cells double in width, two
// merged into one, whenever the recording outgrows them.
#ifndef TONEGRAB_REPORT_TAPE_REPORT_H
#define TONEGRAB_REPORT_TAPE_REPORT_H

#include <limits.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>

#include "diagnostics.h"
#include "options.h"
#include "recover/recover.h"
#include "tape_reader.h"

inline constexpr int kReportColumns = 4096;  // envelope cells: never fewer than half of them used
inline constexpr int kReportBins = 4096;     // per-second cells: 68 minutes before they widen
inline constexpr int kReportBlocks = 256;    // blocks recorded; later ones are counted
inline constexpr int kReportRuns = 64;       // runs of damaged bytes recorded per block
inline constexpr size_t kReportPathRoom = PATH_MAX + 32;

// The signal's nominal timing: a bit of 1200 per second, a frame of a start bit, eight data bits
// and two stop bits, a short half-wave of 1/4800 s.
inline constexpr double kNominalBitsPerSecond = 1200;
inline constexpr double kFrameBits = 11;
inline constexpr double kNominalShortHalfWaves = 4800;

enum ReportMode : int { kReportDefault, kReportRecover, kReportText };

// Lowest and highest sample of a stretch, as fractions of full scale; lo > hi: none seen.
struct LevelCell {
  float lo, hi;
};

// One cell of the per-second figures: the bytes whose frames start in it.
struct TraceCell {
  int32_t bytes, damaged;
  double speedSum;    // speed against nominal (1 = nominal), summed over the bytes
  double qualitySum;  // recovery mode: bit confidence (0-1), summed over the bytes
  float peak;         // largest distance of a sample from the centre line; -1: none seen
  float qualityMin;   // recovery mode: the lowest byte's bit confidence
};

struct DamagedRun {
  int64_t first, last;  // byte offsets in the block
  double time, endTime;
};

struct BlockRecord {
  char path[kReportPathRoom];
  double start, end;  // seconds
  double speed;       // mean against nominal
  int64_t bytes, damaged;
  double qualitySum;  // recovery mode, over the bytes
  DamagedRun runs[kReportRuns];
  int runCount;
  int64_t moreDamaged;  // damaged bytes in runs past the recorded ones
};

struct TapeReport {
  bool on;
  ReportMode mode;
  const Options* options;
  // The input.
  int rate, channels, channel, bits;
  SampleCoding coding;
  char format[64];
  // The default mode reads the samples from the input's window: where the channel's first sample
  // lies, the frame size, and the offset of the first sample not yet seen.
  int64_t first, frameBytes, next;
  int sampleBytes;
  bool library;  // decoded by the audio library: its refills are not announced
  void (*chained)(const InputStream& s, int64_t from);
  // Envelope.
  LevelCell columns[kReportColumns];
  int columnCount;  // complete columns
  int64_t columnFrames;
  LevelCell open;  // the column being filled
  int64_t frames;  // sample frames seen
  // Per-second figures.
  TraceCell bins[kReportBins];
  int binCount;
  int64_t binFrames;
  // Blocks.
  BlockRecord blocks[kReportBlocks];
  int blockCount;
  int64_t moreBlocks;
  bool inBlock;
  // The default mode: the leader, the byte ends and the stop.
  bool leaderFound;
  int64_t leaderFrame;
  double leaderSpeed;
  int64_t lastEnd;    // stream offset where the last byte ended
  int64_t lastFrame;  // and its sample frame
  int64_t stopAt;     // frame (text: byte offset) where decoding stopped; -1 before
  StopCause stopCause;
  RunPhase stopPhase;
  double threshold;  // the detector's threshold, fraction of full scale
};

// The record of this run.
extern TapeReport report;

inline bool ReportWanted(const Options& o) {
  return o.mapPath != nullptr || o.jsonPath != nullptr;
}

// Before any output is prepared: refuses (message printed, false) a --map or --json file that is
// the input, the output, the label track, the other one, a block file of the run, or standard
// output when the bytes go there; asks before it replaces an existing file, as for the output.
bool ReportPathsFit(const Options& o, const struct stat& input);
// Whether a report goes to standard output: the console then makes way for it.
bool ReportOnStandardOutput(const Options& o);

// The channel chosen for a recording.
void ReportChannel(int channel);
// Decoding begins, the stream on the chosen channel's first sample (text: byte 0).
void ReportBegin(TapeReader& tr, const Options& o);
// The default mode: the leader is locked, the stream on the first start bit.
void ReportLeader(const TapeReader& tr);
// The default mode: a byte has been decoded; the stream stands where its frame ended.
void ReportByteEnd(const TapeReader& tr);
// The recovery mode: samples as they go to the decoder, and the decoder's events. `path` is the
// file of the block the event belongs to.
void ReportSamples(const float* samples, int64_t count);
void ReportEvent(const RecoverEvent& e, const char* path);
// The default mode: decoding stopped at the last byte's end (cause kStopNoByte or an end of the
// input after it), or, inside the reader, where the input ended. Reads the rest of the input for
// the envelope and the duration.
void ReportStop(TapeReader& tr, RunPhase phase, StopCause cause, bool atLastByte);
// Writes the files asked for and returns `status`, or 1 (message printed) when one could not be
// written. Writes nothing for a recovery run that found no block.
int EndReport(int status);

// report/json.cpp and report/svg.cpp: the files, to an open descriptor; false when a write failed.
bool WriteJson(const TapeReport& r, int fd);
bool WriteSvg(const TapeReport& r, int fd);

// What the record holds, for both writers.
// -c all: the channels were combined (r.channel is then the first, whose level is drawn).
inline bool ChannelsCombined(const TapeReport& r) {
  return r.options->channel == kAllChannels && r.channels > 1;
}
double ReportDuration(const TapeReport& r);
// Lowest and highest sample between two times; lo > hi when none was seen.
LevelCell LevelBetween(const TapeReport& r, double from, double to);
// The per-second cell at a time, and its start in seconds.
double BinSeconds(const TapeReport& r);
// Mean speed and quality of a cell; the default mode's quality is the level's margin over the
// detector's threshold in dB. False for a cell without bytes.
bool CellFigures(const TapeReport& r, const TraceCell& c, double* speed, double* quality);
const char* StopReason(const TapeReport& r);
const char* StopCode(const TapeReport& r);

#endif
