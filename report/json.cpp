// --json: one object with the input, the mode, the blocks and, in the default mode, the stop.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "report/report_text.h"
#include "report/tape_report.h"

namespace {

constexpr int kJsonDepth = 8;

// A writer of nested objects and arrays, one member a line; a compact container keeps its
// members on one line.
struct JsonWriter {
  OutputStream* out;
  int depth;
  bool filled[kJsonDepth];  // the container at that depth has a member already
  bool compact[kJsonDepth];
};

// A string with JSON's escapes. Bytes that are not UTF-8 become U+FFFD, so that the text stays
// valid; the name itself is given in hex beside it (PutName).
void PutString(OutputStream& out, const char* text) {
  OutputByte(out, '"');
  for (const auto* p = reinterpret_cast<const unsigned char*>(text); *p;) {
    const int n = Utf8Length(p);
    if (n == 0) {
      OutputText(out, "\\ufffd");
      ++p;
      continue;
    }
    if (*p == '"' || *p == '\\') {
      OutputByte(out, '\\');
      OutputByte(out, *p);
    } else if (*p == '\n') {
      OutputText(out, "\\n");
    } else if (*p == '\t') {
      OutputText(out, "\\t");
    } else if (*p < 0x20 || *p == 0x7F) {
      PutF(out, "\\u%04x", *p);
    } else {
      for (int i = 0; i < n; ++i) OutputByte(out, p[i]);
    }
    p += n;
  }
  OutputByte(out, '"');
}

// The separator and the key before a member.
void Member(JsonWriter& w, const char* key) {
  const int d = w.depth;
  if (w.filled[d]) OutputByte(*w.out, ',');
  if (w.compact[d]) {
    if (w.filled[d]) OutputByte(*w.out, ' ');
  } else {
    OutputByte(*w.out, '\n');
    for (int i = 0; i < d; ++i) OutputText(*w.out, "  ");
  }
  w.filled[d] = true;
  if (!key) return;
  PutString(*w.out, key);
  OutputText(*w.out, ": ");
}

void Open(JsonWriter& w, const char* key, char bracket, bool compact = false) {
  Member(w, key);
  OutputByte(*w.out, static_cast<unsigned char>(bracket));
  ++w.depth;
  w.filled[w.depth] = false;
  w.compact[w.depth] = compact || w.compact[w.depth - 1];
}

void Close(JsonWriter& w, char bracket) {
  const bool wasFilled = w.filled[w.depth], wasCompact = w.compact[w.depth];
  --w.depth;
  if (wasFilled && !wasCompact) {
    OutputByte(*w.out, '\n');
    for (int i = 0; i < w.depth; ++i) OutputText(*w.out, "  ");
  }
  OutputByte(*w.out, static_cast<unsigned char>(bracket));
}

void Text(JsonWriter& w, const char* key, const char* value) {
  Member(w, key);
  PutString(*w.out, value);
}

// A file name: as text, and when it is not UTF-8 also its bytes in hex under key_hex, so that a
// script can find the file.
void Name(JsonWriter& w, const char* key, const char* path) {
  Text(w, key, path);
  if (IsUtf8(path)) return;
  char hexKey[32];
  std::snprintf(hexKey, sizeof hexKey, "%s_hex", key);
  Member(w, hexKey);
  OutputByte(*w.out, '"');
  for (const auto* p = reinterpret_cast<const unsigned char*>(path); *p; ++p)
    PutF(*w.out, "%02x", *p);
  OutputByte(*w.out, '"');
}

void Integer(JsonWriter& w, const char* key, long long value) {
  Member(w, key);
  PutF(*w.out, "%lld", value);
}

// A number to `decimals` places; null when it is not finite.
void Number(JsonWriter& w, const char* key, double value, int decimals) {
  Member(w, key);
  if (std::isfinite(value))
    PutF(*w.out, "%.*f", decimals, value == 0 ? 0.0 : value);
  else
    OutputText(*w.out, "null");
}

double Percent(double speed) {
  return speed * 100;
}

// The per-second cells whose start lies in [start, end).
void CellRange(const TapeReport& r, const BlockRecord& b, int* first, int* last) {
  const double width = BinSeconds(r);
  *first = static_cast<int>(b.start / width);
  *last = std::min(r.binCount - 1, static_cast<int>(b.end / width));
}

const char* QualityMeasure(const TapeReport& r) {
  return r.mode == kReportRecover ? "bit confidence (0-1)"
                                  : "signal level over the detector threshold (dB)";
}

void PutBlockFigures(JsonWriter& w, const TapeReport& r, const BlockRecord& b) {
  int first, last;
  CellRange(r, b, &first, &last);
  double speedMin = HUGE_VAL, speedMax = -HUGE_VAL, qualityMin = HUGE_VAL, qualitySum = 0;
  int cells = 0;
  for (int i = first; i <= last; ++i) {
    double speed, quality;
    if (!CellFigures(r, r.bins[i], &speed, &quality)) continue;
    speedMin = std::min(speedMin, speed);
    speedMax = std::max(speedMax, speed);
    // The recovery mode's lowest is the lowest byte's; the level's, the lowest second's.
    qualityMin =
        std::min<double>(qualityMin, r.mode == kReportRecover ? r.bins[i].qualityMin : quality);
    qualitySum += quality;
    ++cells;
  }
  Open(w, "speed", '{', true);
  Number(w, "mean", Percent(b.speed), 2);
  Number(w, "min", cells ? Percent(speedMin) : Percent(b.speed), 2);
  Number(w, "max", cells ? Percent(speedMax) : Percent(b.speed), 2);
  Close(w, '}');
  Open(w, "quality", '{', true);
  Text(w, "measure", QualityMeasure(r));
  const double mean = r.mode == kReportRecover && b.bytes ? b.qualitySum / b.bytes
                      : cells                             ? qualitySum / cells
                                                          : HUGE_VAL;
  Number(w, "mean", mean, 3);
  Number(w, "min", cells ? qualityMin : HUGE_VAL, 3);
  Close(w, '}');
  // Second by second: where the tape ran fast or slow and where it got worse.
  Open(w, "seconds", '[');
  for (int i = first; i <= last; ++i) {
    double speed, quality;
    const TraceCell& c = r.bins[i];
    if (!CellFigures(r, c, &speed, &quality)) continue;
    Open(w, nullptr, '{', true);
    Number(w, "time", i * BinSeconds(r), 3);
    Integer(w, "bytes", c.bytes);
    Integer(w, "damaged", c.damaged);
    Number(w, "speed", Percent(speed), 2);
    Number(w, "quality", quality, 3);
    if (r.mode == kReportRecover) Number(w, "quality_min", c.qualityMin, 3);
    Close(w, '}');
  }
  Close(w, ']');
}

void PutBlock(JsonWriter& w, const TapeReport& r, const BlockRecord& b, int index) {
  Open(w, nullptr, '{');
  Integer(w, "block", index + 1);
  Name(w, "file", b.path);
  if (r.mode == kReportText) {
    Integer(w, "bytes", b.bytes);
    Close(w, '}');
    return;
  }
  Number(w, "start", b.start, 6);
  Number(w, "end", b.end, 6);
  Integer(w, "bytes", b.bytes);
  Integer(w, "damaged_bytes", b.damaged);
  Open(w, "damaged", '[');
  for (int i = 0; i < b.runCount; ++i) {
    const DamagedRun& run = b.runs[i];
    Open(w, nullptr, '{', true);
    Integer(w, "offset", run.first);
    Integer(w, "count", run.last - run.first + 1);
    Number(w, "time", run.time, 6);
    Number(w, "end", run.endTime, 6);
    Close(w, '}');
  }
  Close(w, ']');
  if (b.moreDamaged) Integer(w, "more_damaged_bytes", b.moreDamaged);
  if (r.mode == kReportDefault) {
    Open(w, "leader", '{', true);
    Number(w, "time", b.start, 6);
    Integer(w, "frame", r.leaderFrame);
    Number(w, "speed", Percent(r.leaderSpeed), 2);
    Close(w, '}');
  }
  PutBlockFigures(w, r, b);
  Close(w, '}');
}

void PutInput(JsonWriter& w, const TapeReport& r) {
  Open(w, "input", '{');
  Name(w, "path", r.options->inputPath);
  Text(w, "format", r.format);
  if (r.mode != kReportText) {
    Integer(w, "channels", r.channels);
    Integer(w, "channel", r.channel);
    if (ChannelsCombined(r)) Integer(w, "channels_combined", r.channels);
    Integer(w, "rate", r.rate);
    Integer(w, "bits", r.bits);
    Number(w, "duration", ReportDuration(r), 6);
    Integer(w, "frames", r.frames);
  }
  if (r.options->takeCount > 0) {  // the further captures combined with the input
    Open(w, "takes", '[');
    for (int k = 0; k < r.options->takeCount; ++k) Text(w, nullptr, r.options->takePaths[k]);
    Close(w, ']');
  }
  Close(w, '}');
}

void PutStop(JsonWriter& w, const TapeReport& r) {
  Open(w, "stop", '{');
  if (r.mode == kReportText) {
    Integer(w, "offset", r.stopAt);
  } else {
    Number(w, "time", static_cast<double>(r.stopAt) / r.rate, 6);
    Integer(w, "frame", r.stopAt);
  }
  Text(w, "reason", StopCode(r));
  Text(w, "text", StopReason(r));
  Close(w, '}');
}

}  // namespace

bool WriteJson(const TapeReport& r, int fd) {
  OutputStream& out = reportStream;
  OutputAttach(out, fd);
  JsonWriter w = {&out, 0, {}, {}};
  OutputByte(out, '{');
  w.depth = 1;
  PutInput(w, r);
  Text(w, "mode", r.mode == kReportRecover ? "recover" : "default");
  Name(w, "output", r.options->outputPath);
  int64_t bytes = 0, damaged = 0;
  for (int i = 0; i < r.blockCount; ++i) {
    bytes += r.blocks[i].bytes;
    damaged += r.blocks[i].damaged;
  }
  Integer(w, "bytes", bytes);
  Integer(w, "damaged_bytes", damaged);
  Open(w, "blocks", '[');
  for (int i = 0; i < r.blockCount; ++i) PutBlock(w, r, r.blocks[i], i);
  Close(w, ']');
  if (r.moreBlocks) Integer(w, "more_blocks", r.moreBlocks);
  if (r.mode != kReportRecover) PutStop(w, r);
  OutputText(out, "\n}\n");
  return OutputFlush(out);
}
