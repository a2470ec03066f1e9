#include "combine/takes.h"

#include <algorithm>
#include <cmath>

namespace {

// Two blocks are the same block when this share of the bytes both took cleanly agree, over at
// least kMinCompared of them: blocks of other data agree on about 1 in 256.
constexpr double kSameBlock = 0.6;
constexpr int64_t kMinCompared = 8;
// Where a take's block may lie against another's, to match them: lined up at the start or at
// the end (a take that began late, or ended early, holds the block's rest or its beginning),
// give or take a few frames that one take lost at an edge.
constexpr int kEdgeSlack = 3;
constexpr int64_t kEdgeBytes = 16;
// Between matches that fit as well, the one whose times agree: a tape may hold the same block
// twice. Block starts this far apart, once the clocks are lined up, cost a match its score.
constexpr double kTimeScale = 20;  // seconds
constexpr double kTimeWeight = 0.2;
// Lining up the bytes of two matched blocks: how far one may run ahead of the other, and what
// a byte held by one only costs against what agreeing bytes gain.
constexpr int64_t kBand = 24;
constexpr int64_t kBandMax = 512;
constexpr int kAgreeClean = 2, kAgree = 1, kDiffer = -2, kAlone = -3;
// A take's evidence weighs by how clearly its block decoded.
constexpr double kWeightFloor = 0.05;
constexpr double kFrameSeconds = 11.0 / 1200;  // a frame's length at nominal speed

// Bytes to line up: their values, and whether each decoded cleanly.
struct Run {
  std::vector<uint8_t> value, clean;
};

// Where b lies against a: b's first byte at a's byte `first` as their beginnings line up, at
// `last` as their ends do (the two differ where one take lost or gained bytes inside the block).
struct Fit {
  double score;
  int64_t first, last;
};

const TakeByte& ByteOf(const Take& t, const TakeBlock& b, int64_t i) {
  return t.bytes[static_cast<size_t>(b.first + i)];
}

const TakeBlock& BlockOf(const Take* takes, const MergedBlock& m, int k) {
  return takes[k].blocks[static_cast<size_t>(m.block[k])];
}

Run RunOf(const Take& t, const TakeBlock& b) {
  Run r;
  for (int64_t i = 0; i < b.count; ++i) {
    r.value.push_back(ByteOf(t, b, i).value);
    r.clean.push_back(!ByteOf(t, b, i).damaged);
  }
  return r;
}

// The combined block's bytes as the takes so far give them: each from the first take that
// gives it cleanly, or else from the first that gives it.
Run RunOf(const Take* takes, int count, const MergedBlock& m) {
  Run r;
  for (const Column& c : m.columns) {
    const TakeByte* chosen = nullptr;
    for (int k = 0; k < count; ++k) {
      if (c.at[k] < 0) continue;
      const TakeByte& x = ByteOf(takes[k], BlockOf(takes, m, k), c.at[k]);
      if (!chosen || (chosen->damaged && !x.damaged)) chosen = &x;
    }
    r.value.push_back(chosen ? chosen->value : 0);
    r.clean.push_back(chosen && !chosen->damaged);
  }
  return r;
}

// How many bytes two runs agree on with b's first byte at a's byte `offset`, over b's bytes
// from `from` to `to`, counting only bytes both decoded cleanly, and marks them in `agreed`.
int64_t Agreement(const Run& a, const Run& b, int64_t offset, int64_t from, int64_t to,
                  std::vector<uint8_t>* agreed) {
  const int64_t na = static_cast<int64_t>(a.value.size());
  from = std::max(from, -offset);
  to = std::min(to, na - offset);
  int64_t count = 0;
  for (int64_t j = from; j < to; ++j) {
    const size_t x = static_cast<size_t>(j + offset), y = static_cast<size_t>(j);
    if (!a.clean[x] || !b.clean[y] || a.value[x] != b.value[y]) continue;
    ++count;
    if (agreed) (*agreed)[y] = 1;
  }
  return count;
}

// The offset near `anchor` at which the most of b's bytes from `from` to `to` agree.
int64_t BestOffset(const Run& a, const Run& b, int64_t anchor, int64_t from, int64_t to) {
  int64_t best = anchor, most = -1;
  for (int64_t d = -kEdgeSlack; d <= kEdgeSlack; ++d) {
    const int64_t n = Agreement(a, b, anchor + d, from, to, nullptr);
    if (n > most) {
      most = n;
      best = anchor + d;
    }
  }
  return best;
}

// Whether b is the block a is, and where it lies: the share of b's clean bytes that agree with
// a, lined up by their beginnings or by their ends; 0 when too few do.
Fit BestFit(const Run& a, const Run& b) {
  const int64_t na = static_cast<int64_t>(a.value.size()),
                nb = static_cast<int64_t>(b.value.size());
  // Each end lined up by the bytes near it: the first and the last quarter of b.
  const int64_t edge = std::min(nb, std::max<int64_t>(kEdgeBytes, nb / 4));
  Fit f{0, BestOffset(a, b, 0, 0, edge), BestOffset(a, b, na - nb, nb - edge, nb)};
  std::vector<uint8_t> agreed(b.value.size(), 0);
  Agreement(a, b, f.first, 0, nb, &agreed);
  Agreement(a, b, f.last, 0, nb, &agreed);
  int64_t clean = 0, both = 0;
  for (size_t y = 0; y < b.value.size(); ++y) {
    clean += b.clean[y];
    both += agreed[y];
  }
  if (both >= kMinCompared && clean > 0)
    f.score = static_cast<double>(both) / static_cast<double>(clean);
  return f;
}

// A time of take k in the first take's clock; a take may have begun before the first did.
double Mapped(const TakeClock& c, double t) {
  return std::max(0.0, c.offset + c.scale * t);
}

// Where a combined block's byte lies in the first take's clock: its first holder's time.
double ColumnTime(const Take* takes, const MergedTape& tape, const MergedBlock& m, size_t i) {
  const Column& c = m.columns[i];
  for (int k = 0; k < tape.takes; ++k)
    if (c.at[k] >= 0)
      return Mapped(tape.clock[k], ByteOf(takes[k], BlockOf(takes, m, k), c.at[k]).time);
  return 0;
}

// The take's blocks against the combined sequence so far, in order (a longest common
// subsequence weighted by agreement): for each of the take's blocks, the combined block it is,
// or -1. With `timed`, the take's clock counts too.
std::vector<int> MatchInOrder(const Take* takes, const MergedTape& tape, int k,
                              const std::vector<Run>& merged, const std::vector<Run>& own,
                              bool timed, std::vector<Fit>* fits) {
  const Take& t = takes[k];
  const size_t n = tape.blocks.size(), m = t.blocks.size();
  std::vector<Fit> score(n * m);
  for (size_t i = 0; i < n; ++i) {
    for (size_t j = 0; j < m; ++j) {
      Fit f = BestFit(merged[i], own[j]);
      if (f.score < kSameBlock) f.score = 0;
      if (f.score > 0 && timed) {
        const double apart = std::fabs(ColumnTime(takes, tape, tape.blocks[i], 0) -
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
  fits->assign(m, Fit{0, 0, 0});
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
// times of the first and the last byte each pair shares (a take played faster runs a shorter
// clock).
TakeClock FitClock(const Take* takes, const MergedTape& tape, int k, const std::vector<int>& match,
                   const std::vector<Fit>& fits) {
  double sx = 0, sy = 0, sxx = 0, sxy = 0;
  int n = 0;
  for (size_t j = 0; j < match.size(); ++j) {
    if (match[j] < 0) continue;
    const MergedBlock& mb = tape.blocks[static_cast<size_t>(match[j])];
    const TakeBlock& b = takes[k].blocks[j];
    const int64_t offset = fits[j].first, columns = static_cast<int64_t>(mb.columns.size());
    const int64_t from = std::max<int64_t>(0, offset), to = std::min(columns, offset + b.count) - 1;
    if (to < from) continue;
    const int64_t shared[2] = {from, to};
    for (const int64_t i : shared) {
      const double x = ByteOf(takes[k], b, i - offset).time;
      const double y = ColumnTime(takes, tape, mb, static_cast<size_t>(i));
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

bool OneBit(unsigned x) {
  return x != 0 && (x & (x - 1)) == 0;
}

// Two bytes one bit apart are likelier the same byte, one take's bit wrong, than two others.
int PairScore(const Run& a, size_t i, const Run& b, size_t j) {
  const bool clean = a.clean[i] && b.clean[j];
  const unsigned apart = static_cast<unsigned>(a.value[i] ^ b.value[j]);
  if (apart == 0) return clean ? kAgreeClean : kAgree;
  if (OneBit(apart)) return kAgree;
  return clean ? kDiffer : 0;
}

enum Step : uint8_t { kStart, kBoth, kFirstOnly, kSecondOnly };

// Lines up the bytes of run a (the combined block) and run b (take k's block, lying against a
// as `fit` says), each free to begin and end where it likes: the steps from the first byte
// pair to the last, and where they begin and end.
struct Alignment {
  std::vector<Step> steps;
  int64_t i0, j0, i1, j1;  // the path's first pair, and one past its last
};

// Where both ends lie alike and no two bytes both decoded cleanly differ by more than a bit
// along that line, the bytes line up on it: the common case, taken without the search.
bool OnOneLine(const Run& a, const Run& b, const Fit& fit, Alignment* al) {
  if (fit.first != fit.last) return false;
  const int64_t n = static_cast<int64_t>(a.value.size()), m = static_cast<int64_t>(b.value.size());
  const int64_t i0 = std::max<int64_t>(0, fit.first), i1 = std::min(n, fit.first + m);
  if (i1 <= i0) return false;
  for (int64_t i = i0; i < i1; ++i)
    if (PairScore(a, static_cast<size_t>(i), b, static_cast<size_t>(i - fit.first)) < 0)
      return false;
  *al = {std::vector<Step>(static_cast<size_t>(i1 - i0), kBoth), i0, i0 - fit.first, i1,
         i1 - fit.first};
  return true;
}

Alignment Align(const Run& a, const Run& b, const Fit& fit) {
  Alignment line;
  if (OnOneLine(a, b, fit, &line)) return line;
  const int64_t n = static_cast<int64_t>(a.value.size()), m = static_cast<int64_t>(b.value.size());
  // The band of pairs between the two offsets the ends gave, and some way on either side.
  const int64_t offset = (fit.first + fit.last) / 2;
  const int64_t band = std::clamp(std::abs(fit.last - fit.first) / 2 + kBand, kBand, kBandMax);
  const int64_t width = 2 * band + 1;
  constexpr int kNone = -1 << 28;
  // Cell (i, j) at row i, place j - i + offset + band.
  const auto place = [&](int64_t i, int64_t j) { return j - i + offset + band; };
  std::vector<uint8_t> from(static_cast<size_t>((n + 1) * width), kStart);
  std::vector<int> row(static_cast<size_t>(width), kNone), last(static_cast<size_t>(width), kNone);
  int best = 0;
  int64_t bestI = 0, bestJ = 0;
  for (int64_t i = 0; i <= n; ++i) {
    std::fill(row.begin(), row.end(), kNone);
    for (int64_t p = 0; p < width; ++p) {
      const int64_t j = p - band + i - offset;
      if (j < 0 || j > m) continue;
      int score = 0;
      uint8_t step = kStart;
      if (i == 0 || j == 0) {
        score = 0;  // free to begin here
      } else {
        const int both = last[static_cast<size_t>(p)];
        if (both != kNone) {
          score = both + PairScore(a, static_cast<size_t>(i - 1), b, static_cast<size_t>(j - 1));
          step = kBoth;
        } else {
          score = kNone;
        }
        if (p + 1 < width && last[static_cast<size_t>(p + 1)] != kNone &&
            last[static_cast<size_t>(p + 1)] + kAlone > score) {
          score = last[static_cast<size_t>(p + 1)] + kAlone;
          step = kFirstOnly;
        }
        if (p > 0 && row[static_cast<size_t>(p - 1)] != kNone &&
            row[static_cast<size_t>(p - 1)] + kAlone > score) {
          score = row[static_cast<size_t>(p - 1)] + kAlone;
          step = kSecondOnly;
        }
        if (score == kNone) continue;
      }
      row[static_cast<size_t>(p)] = score;
      from[static_cast<size_t>(i * width + p)] = step;
      if ((i == n || j == m) && score > best) {  // free to end here
        best = score;
        bestI = i;
        bestJ = j;
      }
    }
    std::swap(row, last);
  }
  Alignment al{{}, 0, 0, bestI, bestJ};
  int64_t i = bestI, j = bestJ;
  while (i > 0 && j > 0) {
    const uint8_t step = from[static_cast<size_t>(i * width + place(i, j))];
    if (step == kStart) break;
    al.steps.push_back(static_cast<Step>(step));
    if (step != kSecondOnly) --i;
    if (step != kFirstOnly) --j;
  }
  std::reverse(al.steps.begin(), al.steps.end());
  al.i0 = i;
  al.j0 = j;
  return al;
}

// Take k's block j joined to the combined block: its bytes into the columns they line up
// with, and new columns for the bytes no take before it gave.
void JoinBlock(const Take* takes, MergedBlock* mb, int k, int j, const Run& merged, const Run& own,
               const Fit& fit) {
  const Alignment al = Align(merged, own, fit);
  const int64_t count = takes[k].blocks[static_cast<size_t>(j)].count;
  std::vector<Column> columns;
  const auto alone = [&](int64_t at) {
    Column c;
    std::fill(std::begin(c.at), std::end(c.at), -1);
    c.at[k] = static_cast<int32_t>(at);
    columns.push_back(c);
  };
  const auto keep = [&](int64_t i, int64_t at) {
    Column c = mb->columns[static_cast<size_t>(i)];
    c.at[k] = static_cast<int32_t>(at);
    columns.push_back(c);
  };
  for (int64_t y = 0; y < al.j0; ++y) alone(y);
  for (int64_t x = 0; x < al.i0; ++x) keep(x, -1);
  int64_t x = al.i0, y = al.j0;
  for (const Step s : al.steps) {
    if (s == kBoth)
      keep(x++, y++);
    else if (s == kFirstOnly)
      keep(x++, -1);
    else
      alone(y++);
  }
  for (; x < static_cast<int64_t>(mb->columns.size()); ++x) keep(x, -1);
  for (; y < count; ++y) alone(y);
  mb->columns = std::move(columns);
  mb->block[k] = j;
}

double BlockWeight(const Take& t, const TakeBlock& b) {
  double sum = 0;
  for (int64_t i = 0; i < b.count; ++i) sum += ByteOf(t, b, i).quality;
  const double q = b.count ? sum / static_cast<double>(b.count) : 0;
  return std::max(kWeightFloor, q);
}

MergedBlock BlockAlone(const Take* takes, int k, int j) {
  MergedBlock b{};
  std::fill(std::begin(b.block), std::end(b.block), -1);
  b.block[k] = j;
  b.first = k;
  for (int64_t i = 0; i < takes[k].blocks[static_cast<size_t>(j)].count; ++i) {
    Column c;
    std::fill(std::begin(c.at), std::end(c.at), -1);
    c.at[k] = static_cast<int32_t>(i);
    b.columns.push_back(c);
  }
  return b;
}

// Take k's blocks into the combined sequence: matched ones join their block, the others come
// in where they lie in the take's order.
void AddTake(const Take* takes, MergedTape* tape, int k) {
  std::vector<Run> merged, own;
  for (const MergedBlock& b : tape->blocks) merged.push_back(RunOf(takes, k, b));
  for (const TakeBlock& b : takes[k].blocks) own.push_back(RunOf(takes[k], b));
  std::vector<Fit> fits;
  std::vector<int> match = MatchInOrder(takes, *tape, k, merged, own, false, &fits);
  tape->clock[k] = FitClock(takes, *tape, k, match, fits);
  match = MatchInOrder(takes, *tape, k, merged, own, true, &fits);
  tape->clock[k] = FitClock(takes, *tape, k, match, fits);
  std::vector<MergedBlock> blocks;
  size_t next = 0;  // the next combined block not yet passed
  for (size_t j = 0; j < match.size(); ++j) {
    const int into = match[j];
    if (into < 0) {
      blocks.push_back(BlockAlone(takes, k, static_cast<int>(j)));
      continue;
    }
    for (; next < static_cast<size_t>(into); ++next)
      blocks.push_back(std::move(tape->blocks[next]));
    MergedBlock b = std::move(tape->blocks[next++]);
    JoinBlock(takes, &b, k, static_cast<int>(j), merged[static_cast<size_t>(into)], own[j],
              fits[j]);
    blocks.push_back(std::move(b));
  }
  for (; next < tape->blocks.size(); ++next) blocks.push_back(std::move(tape->blocks[next]));
  tape->blocks = std::move(blocks);
}

}  // namespace

bool TakeKeep(Take& t, const RecoverEvent& e) {
  if (e.kind == kBlockStart) {
    t.blocks.push_back({e.time, e.time, e.speed, static_cast<int64_t>(t.bytes.size()), 0});
  } else if (e.kind == kBlockByte && !t.blocks.empty()) {
    if (static_cast<int64_t>(t.bytes.size()) >= kTakeBytes) return false;
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
  for (TakeClock& c : tape->clock) c = {0, 1};
  for (size_t j = 0; j < takes[0].blocks.size(); ++j)
    tape->blocks.push_back(BlockAlone(takes, 0, static_cast<int>(j)));
  for (int k = 1; k < count; ++k) AddTake(takes, tape, k);
  for (MergedBlock& b : tape->blocks)
    for (int k = 0; k < count; ++k)
      b.weight[k] = b.block[k] < 0 ? 0 : BlockWeight(takes[k], BlockOf(takes, b, k));
}

// A byte decoded cleanly beside one its take could not decode: the frame just before a
// dropout may fit and yet be wrong.
bool BesideDamage(const Take& t, const TakeBlock& b, int64_t i) {
  return (i > 0 && ByteOf(t, b, i - 1).damaged) || (i + 1 < b.count && ByteOf(t, b, i + 1).damaged);
}

// What the takes that decoded a byte cleanly say: each value and how many said it.
struct Verdict {
  int values;
  uint8_t value[kTakesMax];
  int votes[kTakesMax];
};

void Hear(Verdict* v, uint8_t value) {
  for (int i = 0; i < v->values; ++i) {
    if (v->value[i] != value) continue;
    ++v->votes[i];
    return;
  }
  v->value[v->values] = value;
  v->votes[v->values++] = 1;
}

// The value they agree on: all of them, or, where they differ, more of them than said any other
// and at least two (two takes wrong the same way are far less likely than one wrong); -1 when
// none stands out.
int Agreed(const Verdict& v) {
  if (v.values == 1) return v.value[0];
  int best = -1, most = 0, second = 0;
  for (int i = 0; i < v.values; ++i) {
    if (v.votes[i] > most) {
      second = most;
      most = v.votes[i];
      best = i;
    } else if (v.votes[i] > second) {
      second = v.votes[i];
    }
  }
  return best >= 0 && most >= 2 && most > second ? v.value[best] : -1;
}

CombinedByte CombineByte(const Take* takes, const MergedTape& tape, const MergedBlock& b,
                         int64_t position) {
  const Column& column = b.columns[static_cast<size_t>(position)];
  double evidence[8] = {};
  int firstTake = -1;
  const TakeByte* first = nullptr;
  Verdict clean{}, solid{};  // solid: clean and not beside damage
  bool anyDamaged = false;
  float quality = 0;  // the best of the takes'
  for (int k = 0; k < tape.takes; ++k) {
    if (column.at[k] < 0) continue;
    const TakeBlock& tb = BlockOf(takes, b, k);
    const TakeByte& x = ByteOf(takes[k], tb, column.at[k]);
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
    Hear(&clean, x.value);
    if (!BesideDamage(takes[k], tb, column.at[k])) Hear(&solid, x.value);
  }
  CombinedByte c{};
  if (!first) return c;
  // Bytes that decoded cleanly and agree stand (those away from damage first); otherwise the
  // evidence of all decides. Clean takes that differ cannot all be right: it is damaged.
  unsigned value = 0;
  for (int bit = 0; bit < 8; ++bit) value |= unsigned{evidence[bit] > 0} << bit;
  int agreed = Agreed(solid);
  if (agreed < 0) agreed = Agreed(clean);
  c.value = agreed >= 0 ? static_cast<uint8_t>(agreed) : static_cast<uint8_t>(value);
  c.damaged = agreed < 0;
  c.repaired = !c.damaged && (anyDamaged || clean.values > 1);
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
    const TakeBlock& tb = BlockOf(takes, b, k);
    *start = std::min(*start, Mapped(tape.clock[k], tb.start));
    *end = std::max(*end, Mapped(tape.clock[k], tb.end));
    if (!spoken) *speed = tb.speed;
    spoken = true;
  }
}
