// --map: the recording as one picture. Rows from the top: the title, the level envelope with the
// blocks behind it, a strip of the blocks, the damaged bytes, the blocks' labels, the speed
// against nominal, the quality, the time axis and the legend. One point per pixel column, so the
// file's size does not grow with the recording's length.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "console.h"
#include "report/report_text.h"
#include "report/tape_report.h"

namespace {

constexpr int kWidth = 1600;
constexpr int kPlotLeft = 90, kPlotRight = 1570;  // the time axis spans these x
constexpr int kPlotWidth = kPlotRight - kPlotLeft;
constexpr int kLevelTop = 70, kLevelHeight = 160;
constexpr int kStripTop = 234, kStripHeight = 16;  // the blocks, solid
constexpr int kDamageTop = 252, kDamageHeight = 10;
constexpr int kLabelTop = 276;  // two rows of labels, alternating
constexpr int kSpeedTop = 318, kSpeedHeight = 100;
constexpr int kQualityTop = 444, kQualityHeight = 100;
constexpr int kAxisTop = 548;
constexpr int kLegendTop = 584;
constexpr int kHeight = 640;
constexpr int kDamageMarks = 4000;       // damaged runs drawn; the rest are counted in the legend
constexpr double kMinSpeedRange = 0.01;  // the speed panel shows at least +-1 %
constexpr double kMinMarginRange = 12;   // dB of level margin shown at least

constexpr char kBlockFill[] = "#2f6fb5";
constexpr char kBlockShade[] = "#dbe8f7";
constexpr char kEnvelope[] = "#555555";
constexpr char kDamage[] = "#d62728";
constexpr char kSpeed[] = "#1f9e5a";
constexpr char kQuality[] = "#8e44ad";
constexpr char kQualityLow[] = "#d2b4de";
constexpr char kLeader[] = "#e69500";
constexpr char kStop[] = "#d62728";

// Text escaped for XML: bytes that are not UTF-8, and the control characters XML does not allow,
// become U+FFFD.
void PutXml(OutputStream& out, const char* text) {
  for (const auto* p = reinterpret_cast<const unsigned char*>(text); *p;) {
    const int n = Utf8Length(p);
    if (n == 0 || (*p < 0x20 && *p != '\t' && *p != '\n')) {
      OutputText(out, "\xEF\xBF\xBD");
      p += n ? n : 1;
      continue;
    }
    switch (*p) {
      case '<':
        OutputText(out, "&lt;");
        break;
      case '>':
        OutputText(out, "&gt;");
        break;
      case '&':
        OutputText(out, "&amp;");
        break;
      case '"':
        OutputText(out, "&quot;");
        break;
      default:
        for (int i = 0; i < n; ++i) OutputByte(out, p[i]);
    }
    p += n;
  }
}

struct Scale {
  double duration;  // seconds across the plot
};

double X(const Scale& s, double seconds) {
  return kPlotLeft + std::clamp(seconds / s.duration, 0.0, 1.0) * kPlotWidth;
}

// A step for the time axis that gives at most about a dozen ticks.
double TickStep(double duration) {
  static const double kSteps[] = {1,   2,   5,    10,   15,   30,    60,    120,  300,
                                  600, 900, 1800, 3600, 7200, 14400, 28800, 86400};
  for (const double step : kSteps) {
    if (duration / step <= 12) return step;
  }
  return kSteps[sizeof kSteps / sizeof kSteps[0] - 1];
}

void PutTitle(OutputStream& out, const TapeReport& r) {
  OutputText(out, "<text x=\"20\" y=\"28\" font-size=\"18\" font-weight=\"bold\">");
  PutXml(out, r.options->inputPath);
  OutputText(out, "</text>\n<text x=\"20\" y=\"50\" font-size=\"13\">");
  PutXml(out, r.format);
  char clock[48];
  if (r.mode != kReportText) {
    if (ChannelsCombined(r))
      PutF(out, ", %d channels, %d Hz, all combined; ", r.channels, r.rate);
    else
      PutF(out, ", %d channel%s, %d Hz, channel %d decoded; ", r.channels,
           r.channels == 1 ? "" : "s", r.rate, r.channel);
    PutF(out, "duration %s; ", ClockText(ReportDuration(r), clock, sizeof clock));
  }
  PutF(out, "%s mode; %d block%s", r.mode == kReportRecover ? "--recover" : "default", r.blockCount,
       r.blockCount == 1 ? "" : "s");
  if (r.options->takeCount > 0) PutF(out, "; %d takes combined", r.options->takeCount + 1);
  OutputText(out, "</text>\n");
}

void PutPanelFrame(OutputStream& out, int top, int height, const char* name) {
  PutF(out,
       "<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" fill=\"none\" stroke=\"#999\"/>\n"
       "<text x=\"18\" y=\"%d\" font-size=\"12\" font-weight=\"bold\" text-anchor=\"middle\" "
       "transform=\"rotate(-90 18 %d)\">%s</text>\n",
       kPlotLeft, top, kPlotWidth, height, top + height / 2, top + height / 2, name);
}

void PutBlockShades(OutputStream& out, const TapeReport& r, const Scale& s) {
  for (int i = 0; i < r.blockCount; ++i) {
    const BlockRecord& b = r.blocks[i];
    const double x0 = X(s, b.start), x1 = std::max(X(s, b.end), x0 + 1);
    for (const int top : {kLevelTop, kSpeedTop, kQualityTop}) {
      const int height = top == kLevelTop   ? kLevelHeight
                         : top == kSpeedTop ? kSpeedHeight
                                            : kQualityHeight;
      PutF(out, "<rect x=\"%.1f\" y=\"%d\" width=\"%.1f\" height=\"%d\" fill=\"%s\"/>\n", x0, top,
           x1 - x0, height, kBlockShade);
    }
  }
}

// The level: lowest and highest sample of each pixel column, one vertical stroke each.
void PutEnvelope(OutputStream& out, const TapeReport& r, const Scale& s) {
  const double mid = kLevelTop + kLevelHeight / 2.0, half = kLevelHeight / 2.0 - 2;
  PutF(out, "<path fill=\"none\" stroke=\"%s\" stroke-width=\"1\" d=\"", kEnvelope);
  for (int px = 0; px < kPlotWidth; ++px) {
    const double from = s.duration * px / kPlotWidth, to = s.duration * (px + 1) / kPlotWidth;
    if (from >= ReportDuration(r)) break;
    const LevelCell c = LevelBetween(r, from, to);
    if (c.lo > c.hi) continue;
    const double top = mid - std::clamp<double>(c.hi, -1, 1) * half;
    const double bottom = std::max(mid - std::clamp<double>(c.lo, -1, 1) * half, top + 1);
    PutF(out, "M%d.5 %.1fV%.1f", kPlotLeft + px, top, bottom);
  }
  OutputText(out, "\"/>\n");
  if (r.mode != kReportDefault) return;
  // The exact decoder needs the signal past these lines both ways.
  for (const double level : {r.threshold, -r.threshold}) {
    PutF(out,
         "<line x1=\"%d\" x2=\"%d\" y1=\"%.1f\" y2=\"%.1f\" stroke=\"#888\" "
         "stroke-dasharray=\"4 3\"/>\n",
         kPlotLeft, kPlotRight, mid - level * half, mid - level * half);
  }
}

void PutStrip(OutputStream& out, const TapeReport& r, const Scale& s) {
  char clock[48];
  for (int i = 0; i < r.blockCount; ++i) {
    const BlockRecord& b = r.blocks[i];
    const double x0 = X(s, b.start), x1 = std::max(X(s, b.end), x0 + 2);
    PutF(out, "<rect x=\"%.1f\" y=\"%d\" width=\"%.1f\" height=\"%d\" fill=\"%s\"><title>", x0,
         kStripTop, x1 - x0, kStripHeight, kBlockFill);
    PutF(out, "block %d: ", i + 1);
    PutXml(out, b.path);
    PutF(out, ", %lld bytes, %lld damaged, from %s", static_cast<long long>(b.bytes),
         static_cast<long long>(b.damaged), ClockText(b.start, clock, sizeof clock));
    PutF(out, " to %s</title></rect>\n", ClockText(b.end, clock, sizeof clock));
    // The label starts at the block; two rows, so that neighbours do not overwrite each other.
    PutF(out, "<text x=\"%.1f\" y=\"%d\" font-size=\"12\">", x0, kLabelTop + (i % 2) * 16);
    PutXml(out, b.path);
    PutF(out, " \xC2\xB7 %lld bytes \xC2\xB7 %lld damaged</text>\n",
         static_cast<long long>(b.bytes), static_cast<long long>(b.damaged));
  }
}

int PutDamage(OutputStream& out, const TapeReport& r, const Scale& s) {
  char clock[48];
  int drawn = 0, left = 0;
  for (int i = 0; i < r.blockCount; ++i) {
    const BlockRecord& b = r.blocks[i];
    for (int k = 0; k < b.runCount; ++k) {
      const DamagedRun& run = b.runs[k];
      if (drawn == kDamageMarks) {
        ++left;
        continue;
      }
      ++drawn;
      const double x0 = X(s, run.time), x1 = std::max(X(s, run.endTime), x0 + 2);
      PutF(out,
           "<rect x=\"%.1f\" y=\"%d\" width=\"%.1f\" height=\"%d\" fill=\"%s\"><title>block %d, "
           "byte 0x%04llX",
           x0, kDamageTop, x1 - x0, kDamageHeight, kDamage, i + 1,
           static_cast<unsigned long long>(run.first));
      if (run.last > run.first)
        PutF(out, "-0x%04llX (%lld bytes)", static_cast<unsigned long long>(run.last),
             static_cast<long long>(run.last - run.first + 1));
      PutF(out, " damaged at %s</title></rect>\n", ClockText(run.time, clock, sizeof clock));
    }
    left += b.moreDamaged > 0;
  }
  return left;
}

enum Figure : int { kFigureSpeed, kFigureQuality, kFigureQualityMin };

bool CellValue(const TapeReport& r, const TraceCell& c, Figure figure, double* value) {
  double v[2];
  if (!CellFigures(r, c, &v[0], &v[1])) return false;
  *value = figure == kFigureSpeed ? v[0] : figure == kFigureQuality ? v[1] : c.qualityMin;
  return std::isfinite(*value);
}

// A trace of the per-second cells along each block, a step for each cell, broken where a cell
// has no bytes.
void PutTrace(OutputStream& out, const TapeReport& r, const Scale& s, int top, int height,
              double low, double high, Figure figure, const char* colour, double strokeWidth) {
  const double width = BinSeconds(r);
  for (int i = 0; i < r.blockCount; ++i) {
    const BlockRecord& b = r.blocks[i];
    const int first = static_cast<int>(b.start / width);
    const int last = std::min(r.binCount - 1, static_cast<int>(b.end / width));
    bool drawing = false;
    for (int k = first; k <= last; ++k) {
      double value;
      if (!CellValue(r, r.bins[k], figure, &value)) {
        if (drawing) OutputText(out, "\"/>\n");
        drawing = false;
        continue;
      }
      const double t0 = std::max(k * width, b.start), t1 = std::min((k + 1) * width, b.end);
      const double f = std::clamp((value - low) / (high - low), 0.0, 1.0);
      const double y = top + height - f * height;
      if (!drawing)
        PutF(out, "<polyline fill=\"none\" stroke=\"%s\" stroke-width=\"%.1f\" points=\"", colour,
             strokeWidth);
      PutF(out, "%.1f,%.1f %.1f,%.1f ", X(s, t0), y, X(s, t1), y);
      drawing = true;
    }
    if (drawing) OutputText(out, "\"/>\n");
  }
}

void PutHorizontal(OutputStream& out, int top, int height, double f, const char* text) {
  const double y = top + height - f * height;
  PutF(out,
       "<line x1=\"%d\" x2=\"%d\" y1=\"%.1f\" y2=\"%.1f\" stroke=\"#bbb\"/>\n"
       "<text x=\"%d\" y=\"%.1f\" font-size=\"11\" text-anchor=\"end\">%s</text>\n",
       kPlotLeft, kPlotRight, y, y, kPlotLeft - 6, y + 4, text);
}

void PutSpeed(OutputStream& out, const TapeReport& r, const Scale& s) {
  double range = kMinSpeedRange, speed, quality;
  for (int i = 0; i < r.binCount; ++i) {
    if (CellFigures(r, r.bins[i], &speed, &quality))
      range = std::max(range, std::min(std::fabs(speed - 1) * 1.2, 0.5));
  }
  PutPanelFrame(out, kSpeedTop, kSpeedHeight, "speed");
  char text[32];
  std::snprintf(text, sizeof text, "+%.1f %%", range * 100);
  PutHorizontal(out, kSpeedTop, kSpeedHeight, 1, text);
  PutHorizontal(out, kSpeedTop, kSpeedHeight, 0.5, "nominal");
  std::snprintf(text, sizeof text, "-%.1f %%", range * 100);
  PutHorizontal(out, kSpeedTop, kSpeedHeight, 0, text);
  PutTrace(out, r, s, kSpeedTop, kSpeedHeight, 1 - range, 1 + range, kFigureSpeed, kSpeed, 1.5);
}

void PutQuality(OutputStream& out, const TapeReport& r, const Scale& s) {
  if (r.mode == kReportRecover) {
    PutPanelFrame(out, kQualityTop, kQualityHeight, "confidence");
    PutHorizontal(out, kQualityTop, kQualityHeight, 1, "1");
    PutHorizontal(out, kQualityTop, kQualityHeight, 0.5, "0.5");
    PutHorizontal(out, kQualityTop, kQualityHeight, 0, "0");
    PutTrace(out, r, s, kQualityTop, kQualityHeight, 0, 1, kFigureQualityMin, kQualityLow, 1);
    PutTrace(out, r, s, kQualityTop, kQualityHeight, 0, 1, kFigureQuality, kQuality, 1.5);
    return;
  }
  double top = kMinMarginRange, speed, quality;
  for (int i = 0; i < r.binCount; ++i) {
    if (CellFigures(r, r.bins[i], &speed, &quality) && std::isfinite(quality))
      top = std::max(top, std::ceil(quality / 6) * 6);
  }
  PutPanelFrame(out, kQualityTop, kQualityHeight, "level margin");
  char text[32];
  std::snprintf(text, sizeof text, "+%.0f dB", top);
  PutHorizontal(out, kQualityTop, kQualityHeight, 1, text);
  PutHorizontal(out, kQualityTop, kQualityHeight, 0, "threshold");
  PutTrace(out, r, s, kQualityTop, kQualityHeight, 0, top, kFigureQuality, kQuality, 1.5);
}

void PutAxis(OutputStream& out, const Scale& s) {
  const double step = TickStep(s.duration);
  for (double t = 0; t <= s.duration + 1e-9; t += step) {
    const double x = X(s, t);
    const long long seconds = std::llround(t);
    PutF(out,
         "<line x1=\"%.1f\" x2=\"%.1f\" y1=\"%d\" y2=\"%d\" stroke=\"#ddd\"/>\n"
         "<line x1=\"%.1f\" x2=\"%.1f\" y1=\"%d\" y2=\"%d\" stroke=\"#333\"/>\n"
         "<text x=\"%.1f\" y=\"%d\" font-size=\"11\" text-anchor=\"middle\">"
         "%lld:%02lld:%02lld</text>\n",
         x, x, kLevelTop, kAxisTop, x, x, kAxisTop, kAxisTop + 6, x, kAxisTop + 20, seconds / 3600,
         seconds / 60 % 60, seconds % 60);
  }
}

// The default mode: where the leader was found, and where decoding stopped and why.
void PutLeaderAndStop(OutputStream& out, const TapeReport& r, const Scale& s) {
  char clock[48];
  if (r.leaderFound) {
    const double t = static_cast<double>(r.leaderFrame) / r.rate, x = X(s, t);
    PutF(out,
         "<line x1=\"%.1f\" x2=\"%.1f\" y1=\"%d\" y2=\"%d\" stroke=\"%s\" stroke-width=\"2\">"
         "<title>leader found: data from %s</title></line>\n",
         x, x, kLevelTop - 6, kQualityTop + kQualityHeight, kLeader,
         ClockText(t, clock, sizeof clock));
    PutF(out,
         "<text x=\"%.1f\" y=\"%d\" font-size=\"12\" fill=\"%s\">leader found, data from "
         "%s</text>\n",
         x + 3, kLevelTop - 8, kLeader, clock);
  }
  if (r.stopAt < 0) return;
  const double t = static_cast<double>(r.stopAt) / r.rate, x = X(s, t);
  PutF(out,
       "<line x1=\"%.1f\" x2=\"%.1f\" y1=\"%d\" y2=\"%d\" stroke=\"%s\" stroke-width=\"2\" "
       "stroke-dasharray=\"6 3\"><title>decoding stopped at %s (sample frame %lld): ",
       x, x, kLevelTop - 6, kQualityTop + kQualityHeight, kStop, ClockText(t, clock, sizeof clock),
       static_cast<long long>(r.stopAt));
  PutF(out, "%s</title></line>\n", StopReason(r));
  // The text stands left of the line when the line is in the right half.
  const bool left = x > kPlotLeft + kPlotWidth / 2;
  PutF(out,
       "<text x=\"%.1f\" y=\"%d\" font-size=\"12\" fill=\"%s\" text-anchor=\"%s\">stopped %s: "
       "%s</text>\n",
       left ? x - 4 : x + 4, kLevelTop + 14, kStop, left ? "end" : "start", clock, StopReason(r));
}

struct LegendItem {
  const char* colour;
  const char* text;
  bool line;
};

void PutLegend(OutputStream& out, const TapeReport& r, int damageLeft) {
  const LegendItem recover[] = {
      {kEnvelope, "level (lowest and highest sample)", true},
      {kBlockFill, "block", false},
      {kDamage, "damaged bytes (hover for block, offset, time)", false},
      {kSpeed, "speed against nominal, per second", true},
      {kQuality, "bit confidence, per second", true},
      {kQualityLow, "its lowest byte", true},
  };
  const LegendItem exact[] = {
      {kEnvelope, "level (lowest and highest sample); dashed: detector threshold", true},
      {kBlockFill, "block", false},
      {kSpeed, "speed against nominal, per second", true},
      {kQuality, "level over the threshold, per second", true},
      {kLeader, "leader found", true},
      {kStop, "decoding stopped", true},
  };
  const bool isRecover = r.mode == kReportRecover;
  const LegendItem* items = isRecover ? recover : exact;
  const int count = 6;
  int x = kPlotLeft;
  for (int i = 0; i < count; ++i) {
    if (items[i].line)
      PutF(out, "<rect x=\"%d\" y=\"%d\" width=\"18\" height=\"3\" fill=\"%s\"/>\n", x,
           kLegendTop - 5, items[i].colour);
    else
      PutF(out, "<rect x=\"%d\" y=\"%d\" width=\"18\" height=\"10\" fill=\"%s\"/>\n", x,
           kLegendTop - 9, items[i].colour);
    PutF(out, "<text x=\"%d\" y=\"%d\" font-size=\"12\">%s</text>\n", x + 24, kLegendTop,
         items[i].text);
    x += 24 + 7 * static_cast<int>(std::strlen(items[i].text)) + 24;
  }
  if (damageLeft > 0)
    PutF(out, "<text x=\"%d\" y=\"%d\" font-size=\"12\">%d more damaged runs not drawn</text>\n",
         kPlotLeft, kLegendTop + 20, damageLeft);
  if (r.moreBlocks > 0)
    PutF(out, "<text x=\"%d\" y=\"%d\" font-size=\"12\">%lld more blocks not drawn</text>\n",
         kPlotLeft + 400, kLegendTop + 20, static_cast<long long>(r.moreBlocks));
}

void PutText(OutputStream& out, const TapeReport& r) {
  PutF(out,
       "<text x=\"%d\" y=\"%d\" font-size=\"14\">character-pair text, %lld bytes: no recording "
       "to draw</text>\n",
       kPlotLeft, kLevelTop + 20, static_cast<long long>(r.blockCount ? r.blocks[0].bytes : 0));
}

}  // namespace

bool WriteSvg(const TapeReport& r, int fd) {
  OutputStream& out = reportStream;
  OutputAttach(out, fd);
  PutF(out,
       "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
       "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" "
       "viewBox=\"0 0 %d %d\" font-family=\"sans-serif\">\n"
       "<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n",
       kWidth, kHeight, kWidth, kHeight);
  PutTitle(out, r);
  if (r.mode == kReportText) {
    PutText(out, r);
  } else {
    const double duration = ReportDuration(r);
    const Scale s = {duration > 0 ? duration : 1};
    PutBlockShades(out, r, s);
    PutAxis(out, s);
    PutPanelFrame(out, kLevelTop, kLevelHeight, "level");
    PutEnvelope(out, r, s);
    PutStrip(out, r, s);
    const int damageLeft = PutDamage(out, r, s);
    PutSpeed(out, r, s);
    PutQuality(out, r, s);
    if (r.mode == kReportDefault) PutLeaderAndStop(out, r, s);
    PutLegend(out, r, damageLeft);
  }
  OutputText(out, "</svg>\n");
  return OutputFlush(out);
}
