// Bits: each decided from the energy of the two tones over one bit period (coherently, against
// the tones' learnt phases, where that is unsure), and the timing loop that places the next.
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>

#include "recover/stages.h"
#include "recover/window_vectors.h"

namespace recovery {
namespace {

// Timing loop, proportional and integral, on the energy of a window between two bits.
// The gains hold for a bit decided clearly; each bit's correction weighs by its confidence.
constexpr double kTimingGain = 0.3;
constexpr double kSpeedGain = 0.06;     // quick enough for 8 % of speed in 10 ms
constexpr double kGardnerWeight = 0.3;  // once the phase times the bits
constexpr double kTimingConfident = 0.3;
constexpr double kTimingFloor = 0.01;  // of the signal's energy: a bit this weak does not time
// Nor does one this weak move the speed. Noise alone (a dropout's) decodes as bits whose window
// between two of them leans the way the decision went: they would pull the speed off, far
// within 20 ms. A window across a change of bits, where the clock is off at a block's start,
// holds a quarter of the energy and still times it.
constexpr double kSpeedFloor = 0.2;
// A bit this uncertain is decided again coherently, against the learnt phase of each tone.
constexpr double kUncertain = 0.5;
constexpr double kReferenceConfident = 0.6;
constexpr double kReferenceRate = 0.02;
constexpr int kReferenceMin = 8;  // confident bits of a tone before its phase is trusted
// On a clean signal fewer will do, and the clock then times by phase sooner, which fast wow
// right after the leader needs; in noise four bits' phase is too rough to time by.
constexpr int kReferenceQuick = 4;
constexpr double kClean = 0.9;
constexpr int kCleanRun = 16;  // bits that clear in a row make the signal clean
// A stretch of kCleanRun bits is clean where no more than kUnclearInClean of them (clicks
// come a few at a time) were decided less clearly than kStruckClear.
constexpr uint32_t kCleanWindow = (1u << kCleanRun) - 1;
constexpr int kUnclearInClean = 2;
constexpr double kStruckClear = 0.97;
// Nor are the first bits of a block, where the clock still settles on the data: those decided
// less clearly there are the clock's, not a click's.
constexpr int64_t kStruckSettled = 4 * kFrameBits;
constexpr double kStruckLevel = 0.3;      // of the signal's energy: a struck bit keeps this much
constexpr double kStruckShare = 0.3;      // of a bit: the samples a click and its spread may take
constexpr double kStruckDisagrees = 0.4;  // how clearly the fit without it must disagree
// 1 / (n + 1), but no less than kReferenceRate.
constexpr auto kFirstRates = [] {
  std::array<double, kReferenceMin * 4> rates{};
  for (size_t n = 0; n < rates.size(); ++n)
    rates[n] = 1.0 / static_cast<double>(n + 1) > kReferenceRate ? 1.0 / static_cast<double>(n + 1)
                                                                 : kReferenceRate;
  return rates;
}();

constexpr double kSilent = 1e-4;  // of the signal's energy: silence
constexpr double kLevelRate = 0.01;

// Decides a bit again from the tones' phases learnt on confident bits: coherent detection,
// which holds up at a lower signal-to-noise ratio than the energies alone.
// Returns the bit; *sure is how far apart the two correlations are, 0 to 1.
int CoherentBit(const Recover& r, const Phasor& u0, const Phasor& u1, double* sure) {
  const double m0 = std::sqrt(r.ref0Re * r.ref0Re + r.ref0Im * r.ref0Im);
  const double m1 = std::sqrt(r.ref1Re * r.ref1Re + r.ref1Im * r.ref1Im);
  const double c0 = (u0.re * r.ref0Re + u0.im * r.ref0Im) / (m0 + kTiny) * std::sqrt(r.gain0);
  const double c1 = (u1.re * r.ref1Re + u1.im * r.ref1Im) / (m1 + kTiny) * std::sqrt(r.gain1);
  *sure = std::fabs(c1 - c0) / (std::fabs(c1) + std::fabs(c0) + kTiny);
  return c1 > c0;
}

// How well a tone (its phase and level free, on a level that may be off zero, as a thump's
// slow swing leaves it) fits the window's samples v[0, count) but those in [from, from + run):
// the sum of the squares it leaves.
double ToneMisfit(const float* v, const double* c, const double* s, const double* weight, int count,
                  int from, int run) {
  // The normal equations of v ~ a c + b s + d, solved by Cramer's rule.
  double cc = kTiny, cs = 0, c1 = 0, ss = kTiny, s1 = 0, n = kTiny, vc = 0, vs = 0, v1 = 0;
  for (int i = 0; i < count; ++i) {
    if (i >= from && i < from + run) continue;
    const double g = weight[i];
    cc += g * c[i] * c[i], cs += g * c[i] * s[i], c1 += g * c[i];
    ss += g * s[i] * s[i], s1 += g * s[i], n += g;
    vc += g * v[i] * c[i], vs += g * v[i] * s[i], v1 += g * v[i];
  }
  const auto det3 = [](double a, double b, double c, double d, double e, double f, double g,
                       double h, double k) {
    return a * (e * k - f * h) - b * (d * k - f * g) + c * (d * h - e * g);
  };
  const double det = det3(cc, cs, c1, cs, ss, s1, c1, s1, n);
  if (!(std::fabs(det) > kTiny)) return 0;
  const double a = det3(vc, cs, c1, vs, ss, s1, v1, s1, n) / det;
  const double b = det3(cc, vc, c1, cs, vs, s1, c1, v1, n) / det;
  const double d = det3(cc, cs, vc, cs, ss, vs, c1, s1, v1) / det;
  double misfit = 0;
  for (int i = 0; i < count; ++i) {
    if (i >= from && i < from + run) continue;
    const double e = v[i] - (a * c[i] + b * s[i] + d);
    misfit += weight[i] * e * e;
  }
  return misfit;
}

// A click can turn a half-cycle of a tone over and stay within the signal's range: no watch
// for excursions sees it, and the window's two tones come out alike, or the wrong one ahead.
// Such a bit is looked at again without the click: each tone is fitted to the window less a
// short run of its samples, the run placed where the tone then fits best. Where the tone that
// fits better is the bit decided, the bit is as sure as the better fit says; where it clearly
// is the other, the bit is a guess (0). Returns how sure the bit is, from `sure` as decided.
__attribute__((noinline)) double StruckSure(const Recover& r, int bit, double start, double length,
                                            double sure) {
  const Span w = SpanOf(start, length);
  float copy[kRecoverWindowMax];
  const float* v = RingRun(r, w.first, w.count, copy);
  const int run = std::min(w.count - 4, static_cast<int>(std::ceil(kStruckShare * length)));
  if (run < 1) return sure;
  double weight[kRecoverWindowMax];
  for (int i = 0; i < w.count; ++i)
    weight[i] = i == 0 ? 1 - w.outFirst : i == w.count - 1 ? 1 - w.outLast : 1;
  double fit[2];
  for (int k = 0; k < 2; ++k) {
    double c[kRecoverWindowMax], s[kRecoverWindowMax];
    for (int i = 0; i < w.count; ++i) {
      const double t = static_cast<double>(w.first + i) - start;  // as the tables place it
      c[i] = std::cos((k + 1) * r.omega * t);
      s[i] = std::sin((k + 1) * r.omega * t);
    }
    fit[k] = ToneMisfit(v, c, s, weight, w.count, 0, run);
    for (int from = 1; from + run <= w.count; ++from)
      fit[k] = std::min(fit[k], ToneMisfit(v, c, s, weight, w.count, from, run));
  }
  const double margin = std::fabs(fit[0] - fit[1]) / (fit[0] + fit[1] + kTiny);
  if ((fit[1] < fit[0]) == (bit != 0)) return std::max(sure, margin);
  return margin > kStruckDisagrees ? 0 : sure;
}

// The mean phase of a tone's confident bits: the first few count alike, later ones less;
// louder bits weigh more, as they are surer.
void LearnReference(double* re, double* im, int* count, const Phasor& u) {
  const double rate = *count < kReferenceMin * 4 ? kFirstRates[*count] : kReferenceRate;
  ++*count;
  *re += rate * (u.re - *re);
  *im += rate * (u.im - *im);
}

// One bit, its windows taken by the variant's code.
template <ScanVariant kVariant>
inline bool DataStepAs(Recover& r) {
  const double length = r.bitLength;
  const double mid = r.t - length / 2;
  if (!Available(r, r.t, length)) return false;
  if (!Available(r, mid, length)) {  // fell out of the ring: look again from here
    EndBlock(r);
    StartSearch(r, r.t);
    return true;
  }
  const Tones w = WindowAs<kVariant>(r, r.t, length);
  // The window a half bit before, which times the clock where the bit changes: worked out
  // whether it does or not, so that it waits for nothing the decision gives.
  const ToneEnergies m = WindowEnergiesAs<kVariant>(r, mid, length);
  const double e0 = Energy0(r, w), e1 = Energy1(r, w);
  const double strongest = std::max(e0, e1);
  // The confidence is |e1 - e0| / (e1 + e0); far below the signal's level there is no signal,
  // only what the filters leave of silence. The tests below multiply instead of dividing, so
  // that the decisions need not wait for the division.
  const double difference = std::fabs(e1 - e0), total = e1 + e0 + kTiny;
  const bool audible = strongest > kSilent * r.signalLevel;
  const auto surerThan = [&](double c) { return audible && difference > c * total; };
  const double confidence = audible ? difference / total : 0;
  // In a clean stretch, a bit at the signal's level that comes out unclear is one a click may
  // have struck: it is looked at again without the click (StruckSure), and neither moves the
  // clock nor teaches the tones' phases. A click marked is left out of the window already.
  const bool struck = confidence <= kClean && r.bitCount >= kStruckSettled &&
                      std::popcount(r.unclear & kCleanWindow) <= kUnclearInClean &&
                      e0 + e1 > kStruckLevel * r.signalLevel && !WindowMeetsClick(r, r.t, length);
  r.unclear = (r.unclear << 1) | (confidence > kStruckClear ? 0u : 1u);
  // Only a bit that stands out of the noise floor moves the clock: noise alone, as in a
  // dropout, would walk it away.
  const bool confident = !struck && surerThan(kReferenceConfident);
  const bool timed =
      !struck && surerThan(kTimingConfident) && strongest > kTimingFloor * r.signalLevel;
  const bool paced = timed && strongest > kSpeedFloor * r.signalLevel;
  if (confident) r.signalLevel += kLevelRate * (strongest - r.signalLevel);
  int bit = e1 > e0;
  const Phasor u0{w.re0, w.im0}, u1{w.re1, w.im1};
  r.cleanRun = confidence > kClean ? r.cleanRun + 1 : 0;
  const int trustAfter = r.cleanRun >= kCleanRun ? kReferenceQuick : kReferenceMin;
  const bool learnt = r.ref0Count >= trustAfter && r.ref1Count >= trustAfter;
  double sure = confidence;
  if (!surerThan(kUncertain) && learnt) bit = CoherentBit(r, u0, u1, &sure);
  if (struck) [[unlikely]]
    sure = StruckSure(r, bit, r.t, length, sure);
  if (confident) {
    if (bit)
      LearnReference(&r.ref1Re, &r.ref1Im, &r.ref1Count, u1);
    else
      LearnReference(&r.ref0Re, &r.ref0Im, &r.ref0Count, u0);
  }

  // Timing, two ways. A window straddling two different bits holds equal parts of both tones
  // when the clock is right: the tone that dominates it tells which way the clock is off, in
  // absolute terms but only at changes and noisily. And every confident bit's phase, against
  // the phase learnt for its tone, tells how far the clock moved since: precise, fast enough
  // for flutter, but blind to an offset the learnt phases have taken up.
  double late = 0;
  const bool havePhase = (bit ? r.ref1Count : r.ref0Count) >= trustAfter;
  if (havePhase && timed) {
    const Phasor& u = bit ? u1 : u0;
    const double refRe = bit ? r.ref1Re : r.ref0Re, refIm = bit ? r.ref1Im : r.ref0Im;
    const double angle = FastAtan2(u.im * refRe - u.re * refIm, u.re * refRe + u.im * refIm);
    late = angle / ((bit ? 2 : 1) * r.omega);
  }
  if (bit != r.prevBit && timed && r.prevTimed) {
    const double m0 = m.e0, m1 = m.e1;
    const double lean = (m1 - m0) / (m1 + m0 + kTiny);  // > 0: more of the high tone
    late += (havePhase ? kGardnerWeight : 1) * (bit ? lean : -lean) * length / 4;
  }
  // A bit decided in noise tells the clock little: its correction weighs by its confidence,
  // so the loop is quick on a clean tape, which wow and flutter need, and calm in noise.
  late = Clamp(late, -length / 4, length / 4) * confidence;
  // The correction applies from the bit after next: the next bit's window then does not wait
  // for this one's decision, and the two can be worked out side by side.
  const double adjust = r.pendingAdjust;
  r.pendingAdjust = -kTimingGain * late;
  // Through a gap in the block's frames the speed holds: what fills a gap (voice, noise) must
  // not carry the clock away from the tape's speed before the next leader or the data's return.
  if (r.pendingLate != 0 && !InGap(r)) SetBitLength(r, length - kSpeedGain * r.pendingLate);
  r.pendingLate = paced ? late : 0;

  RecoverBit& b = r.bits[r.bitCount & kBitMask];
  b.value = static_cast<uint8_t>(bit);
  b.confidence = static_cast<float>(confidence);
  b.sure = static_cast<float>(sure);
  // A bit weaker than the signal's level (a dropout's) is weaker evidence, whatever its tones'
  // ratio.
  const double level = std::min(1.0, strongest / (r.signalLevel + kTiny));
  b.soft = static_cast<float>((bit ? sure : -sure) * level);
  b.time = r.t;
  ++r.bitCount;
  r.prevBit = bit;
  r.prevTimed = timed;
  r.t += length + adjust;
  TakeDueFrames(r);
  return true;
}

// Bits one after another while the block lasts and the events have room.
template <ScanVariant kVariant>
inline bool DataStepsAs(Recover& r, int room) {
  bool progressed = false;
  while (DataStepAs<kVariant>(r)) {
    progressed = true;
    if (r.stage != kStageData || r.eventCount >= room) break;
  }
  return progressed;
}

#if defined(TONEGRAB_HAVE_AVX2_SCAN)
// Compiled for AVX2 with everything it calls inlined (flatten), the windows too: called only
// when scanVariant says the processor has it.
TONEGRAB_AVX2 __attribute__((flatten)) bool DataStepsAvx2(Recover& r, int room) {
  return DataStepsAs<kScanAvx2>(r, room);
}
#endif

}  // namespace

void StartBits(Recover& r, double at) {
  r.t = at;
  r.stage = kStageData;
  r.prevBit = 1;
  r.prevTimed = true;
  r.pendingAdjust = r.pendingLate = 0;
  r.ref0Re = r.ref0Im = r.ref1Re = r.ref1Im = 0;
  r.ref0Count = r.ref1Count = 0;
  r.cleanRun = 0;
  r.unclear = ~0u;
  r.signalLevel = r.leaderLevel;
  r.bitCount = 0;
  r.framesDue = 0;
}

bool DataSteps(Recover& r, int room) {
#if defined(TONEGRAB_HAVE_AVX2_SCAN)
  if (scanVariant == kScanAvx2) return DataStepsAvx2(r, room);
#endif
  return DataStepsAs<kScanPlain>(r, room);
}

}  // namespace recovery
