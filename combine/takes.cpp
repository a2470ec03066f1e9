#include "combine/takes.h"

#include <algorithm>
#include <cmath>

namespace {

// Two blocks are the same block when this share of the bytes both took cleanly agree, over at
// least kMinCompared of them: blocks of other data agree on about 1 in 256.
constexpr double kSameBlock = 0.6;
constexpr int64_t kMinCompared = 8;
// Where a take's block may lie against another's: lined up at the start or at the end (a take
// that began late, or ended early, holds the block's rest or its beginning), give or take a
// few frames that one take lost at an edge.
constexpr int kEdgeSlack = 3;
// Between matches that fit as well, the one whose times agree: a tape may hold the same block
// twice. Block starts this far apart, once the clocks are lined up, cost a match its whole
// score.
constexpr double kTimeScale = 20;  // seconds
constexpr double kTimeWeight = 0.2;
// A take's evidence weighs by how clearly its block decoded.
constexpr double kWeightFloor = 0.05;
constexpr double kFrameSeconds = 11.0 / 1200;  // a frame's length at nominal speed

struct Fit {
  double score;
  int64_t offset;  // b's first byte at this byte of a
};

const TakeByte& ByteOf(const Take& t, const TakeBlock& b, int64_t i) {
  return t.bytes[static_cast<size_t>(b.first + i)];
}

// The share of bytes two blocks agree on with b's first byte at a's byte `offset`, counting
// only bytes both decoded cleanly; 0 when too few overlap.
double Agreement(const Take& ta, const TakeBlock& a, const Take& tb, const TakeBlock& b,
                 int64_t offset) {
  const int64_t from = std::max<int64_t>(0, offset), to = std::min(a.count, offset + b.count);
  int64_t compared = 0, agreed = 0;
  for (int64_t i = from; i < to; ++i) {
    const TakeByte &x = ByteOf(ta, a, i), &y = ByteOf(tb, b, i - offset);
    if (x.damaged || y.damaged) continue;
    ++compared;
    agreed += x.value == y.value;
  }
  return compared >= kMinCompared ? static_cast<double>(agreed) / static_cast<double>(compared) : 0;
}

Fit BestFit(const Take& ta, const TakeBlock& a, const Take& tb, const TakeBlock& b) {
  Fit best{0, 0};
  const int64_t anchors[2] = {0, a.count - b.count};
  for (const int64_t anchor : anchors) {
    for (int64_t d = -kEdgeSlack; d <= kEdgeSlack; ++d) {
      const double s = Agreement(ta, a, tb, b, anchor + d);
      if (s > best.score) best = {s, anchor + d};
    }
  }
  return best;
}

// A time of take k in the first take's clock; a take may have begun before the first did.
double Mapped(const TakeClock& c, double t) {
  return std::max(0.0, c.offset + c.scale * t);
}

// The block that stands for a combined block in matching: its first take's.
const TakeBlock& Representative(const Take* takes, const MergedBlock& m) {
  return takes[m.first].blocks[static_cast<size_t>(m.block[m.first])];
}

// The take's blocks against the combined sequence so far, in order (a longest common
// subsequence weighted by agreement): for each of the take's blocks, the combined block it is,
// or -1. With `timed`, the take's clock counts too.
std::vector<int> MatchInOrder(const Take* takes, const MergedTape& tape, int k, bool timed,
                              std::vector<Fit>* fits) {
  const Take& t = takes[k];
  const size_t n = tape.blocks.size(), m = t.blocks.size();
  std::vector<Fit> score(n * m);
  for (size_t i = 0; i < n; ++i) {
    const MergedBlock& mb = tape.blocks[i];
    const TakeBlock& a = Representative(takes, mb);
    for (size_t j = 0; j < m; ++j) {
      Fit f = BestFit(takes[mb.first], a, t, t.blocks[j]);
      if (f.score < kSameBlock) f.score = 0;
      if (f.score > 0 && timed) {
        const double apart = std::fabs(Mapped(tape.clock[mb.first], a.start) -
                                       Mapped(tape.clock[k], t.blocks[j].start));
        f.score -= kTimeWeight * std::min(1.0, apart / kTimeScale);
      }
      score[i * m + j] = f;
    }
  }
  std::vector<double> best((n + 1) * (m + 1), 0);
  const auto at = [&](size_t i, size_t j) -> double& { return best[i * (m + 1) + j]; };
  for (size_t i = 1; i <= n; ++i)
    for (size_t j = 1; j <= m; ++j) {
      const double s = score[(i - 1) * m + j - 1].score;
      at(i, j) = std::max({at(i - 1, j), at(i, j - 1), s > 0 ? at(i - 1, j - 1) + s : 0.0});
    }
  std::vector<int> match(m, -1);
  fits->assign(m, Fit{0, 0});
  for (size_t i = n, j = m; i > 0 && j > 0;) {
    const double s = score[(i - 1) * m + j - 1].score;
    if (s > 0 && at(i, j) == at(i - 1, j - 1) + s) {
      match[j - 1] = static_cast<int>(i - 1);
      (*fits)[j - 1] = score[(i - 1) * m + j - 1];
      --i;
      --j;
    } else if (at(i, j) == at(i - 1, j)) {
      --i;
    } else {
      --j;
    }
  }
  return match;
}

// The take's clock from the blocks it shares with the combined sequence: the line through the
// times of the first and the last byte each pair of blocks shares (a take played faster runs a
// shorter clock).
TakeClock FitClock(const Take* takes, const MergedTape& tape, int k, const std::vector<int>& match,
                   const std::vector<Fit>& fits) {
  double sx = 0, sy = 0, sxx = 0, sxy = 0;
  int n = 0;
  for (size_t j = 0; j < match.size(); ++j) {
    if (match[j] < 0) continue;
    const MergedBlock& mb = tape.blocks[static_cast<size_t>(match[j])];
    const TakeBlock &a = Representative(takes, mb), &b = takes[k].blocks[j];
    const int64_t offset = fits[j].offset;
    const int64_t from = std::max<int64_t>(0, offset), to = std::min(a.count, offset + b.count) - 1;
    if (to < from) continue;
    const int64_t shared[2] = {from, to};
    for (const int64_t i : shared) {
      const double x = ByteOf(takes[k], b, i - offset).time;
      const double y = Mapped(tape.clock[mb.first], ByteOf(takes[mb.first], a, i).time);
      sx += x;
      sy += y;
      sxx += x * x;
      sxy += x * y;
      ++n;
    }
  }
  if (n == 0) return {0, 1};
  const double det = n * sxx - sx * sx;
  double scale = det > 1e-9 ? (n * sxy - sx * sy) / det : 1;
  if (!(scale > 0.5 && scale < 2)) scale = 1;  // a fit to so little is not a speed
  return {(sy - scale * sx) / n, scale};
}

double BlockWeight(const Take& t, const TakeBlock& b) {
  double sum = 0;
  for (int64_t i = 0; i < b.count; ++i) sum += ByteOf(t, b, i).quality;
  const double q = b.count ? sum / static_cast<double>(b.count) : 0;
  return std::max(kWeightFloor, q);
}

// Take k's blocks into the combined sequence: matched ones join their block, the others come
// in where they lie in the take's order.
void AddTake(const Take* takes, MergedTape* tape, int k) {
  std::vector<Fit> fits;
  std::vector<int> match = MatchInOrder(takes, *tape, k, false, &fits);
  tape->clock[k] = FitClock(takes, *tape, k, match, fits);
  match = MatchInOrder(takes, *tape, k, true, &fits);
  tape->clock[k] = FitClock(takes, *tape, k, match, fits);
  std::vector<MergedBlock> merged;
  size_t next = 0;  // the next combined block not yet passed
  for (size_t j = 0; j < match.size(); ++j) {
    const int into = match[j];
    if (into < 0) {
      MergedBlock b{};
      std::fill(std::begin(b.block), std::end(b.block), -1);
      b.block[k] = static_cast<int>(j);
      b.offset[k] = 0;
      b.length = takes[k].blocks[j].count;
      b.first = k;
      merged.push_back(b);
      continue;
    }
    for (; next < static_cast<size_t>(into); ++next) merged.push_back(tape->blocks[next]);
    MergedBlock b = tape->blocks[next++];
    const int64_t offset = b.offset[b.first] + fits[j].offset;
    b.block[k] = static_cast<int>(j);
    b.offset[k] = offset;
    // A take that holds more of the block at its start moves the others along.
    if (offset < 0) {
      for (int t = 0; t < tape->takes; ++t)
        if (b.block[t] >= 0) b.offset[t] -= offset;
      b.length -= offset;
    }
    b.length = std::max(b.length, b.offset[k] + takes[k].blocks[j].count);
    merged.push_back(b);
  }
  for (; next < tape->blocks.size(); ++next) merged.push_back(tape->blocks[next]);
  tape->blocks = std::move(merged);
}

}  // namespace

bool TakeKeep(Take& t, const RecoverEvent& e) {
  if (e.kind == kBlockStart) {
    t.blocks.push_back({e.time, e.time, e.speed, static_cast<int64_t>(t.bytes.size()), 0});
  } else if (e.kind == kBlockByte && !t.blocks.empty()) {
    if (static_cast<int64_t>(t.bytes.size()) >= kTakeBytes) {
      t.full = true;
      return false;
    }
    TakeByte b{e.time,  static_cast<float>(e.endTime - e.time), e.quality, {},
               e.value, static_cast<uint8_t>(e.damaged != 0)};
    std::copy(e.soft, e.soft + 8, b.soft);
    t.bytes.push_back(b);
    ++t.blocks.back().count;
  } else if (e.kind == kBlockEnd && !t.blocks.empty()) {
    t.blocks.back().end = e.endTime;
    t.blocks.back().speed = e.speed;
  }
  return true;
}

void MergeTakes(const Take* takes, int count, MergedTape* tape) {
  tape->takes = count;
  tape->blocks.clear();
  for (int k = 0; k < kTakesMax; ++k) tape->clock[k] = {0, 1};
  for (size_t j = 0; j < takes[0].blocks.size(); ++j) {
    MergedBlock b{};
    std::fill(std::begin(b.block), std::end(b.block), -1);
    b.block[0] = static_cast<int>(j);
    b.length = takes[0].blocks[j].count;
    b.first = 0;
    tape->blocks.push_back(b);
  }
  for (int k = 1; k < count; ++k) AddTake(takes, tape, k);
  for (MergedBlock& b : tape->blocks)
    for (int k = 0; k < count; ++k)
      b.weight[k] = b.block[k] < 0
                        ? 0
                        : BlockWeight(takes[k], takes[k].blocks[static_cast<size_t>(b.block[k])]);
}

CombinedByte CombineByte(const Take* takes, const MergedTape& tape, const MergedBlock& b,
                         int64_t position) {
  double evidence[8] = {};
  int clean = 0, firstTake = -1;
  const TakeByte *first = nullptr, *firstClean = nullptr;
  bool cleanAgree = true, anyDamaged = false;
  float quality = 0;  // the best of the takes'
  for (int k = 0; k < tape.takes; ++k) {
    if (b.block[k] < 0) continue;
    const TakeBlock& tb = takes[k].blocks[static_cast<size_t>(b.block[k])];
    const int64_t i = position - b.offset[k];
    if (i < 0 || i >= tb.count) continue;
    const TakeByte& x = ByteOf(takes[k], tb, i);
    for (int bit = 0; bit < 8; ++bit) evidence[bit] += b.weight[k] * x.soft[bit];
    quality = std::max(quality, x.quality);
    if (!first) {
      first = &x;
      firstTake = k;
    }
    if (x.damaged) {
      anyDamaged = true;
      continue;
    }
    if (firstClean && firstClean->value != x.value) cleanAgree = false;
    if (!firstClean) firstClean = &x;
    ++clean;
  }
  CombinedByte c{};
  if (!first) return c;
  // Bytes that decoded cleanly and agree stand; otherwise the evidence of all decides.
  unsigned value = 0;
  for (int bit = 0; bit < 8; ++bit) value |= unsigned{evidence[bit] > 0} << bit;
  c.value = clean > 0 && cleanAgree ? firstClean->value : static_cast<uint8_t>(value);
  c.damaged = clean == 0;
  c.repaired = !c.damaged && anyDamaged;
  const TakeClock& clock = tape.clock[firstTake];
  c.time = Mapped(clock, first->time);
  c.endTime = c.time + clock.scale * first->duration;
  c.quality = quality;
  c.speed = first->duration > 0 ? kFrameSeconds / first->duration : 1;
  return c;
}

void MergedSpan(const Take* takes, const MergedTape& tape, const MergedBlock& b, double* start,
                double* end, double* speed) {
  *start = 1e300;
  *end = -1e300;
  *speed = 1;
  bool spoken = false;
  for (int k = 0; k < tape.takes; ++k) {
    if (b.block[k] < 0) continue;
    const TakeBlock& tb = takes[k].blocks[static_cast<size_t>(b.block[k])];
    *start = std::min(*start, Mapped(tape.clock[k], tb.start));
    *end = std::max(*end, Mapped(tape.clock[k], tb.end));
    if (!spoken) *speed = tb.speed;
    spoken = true;
  }
}
