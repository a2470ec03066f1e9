// tonegrab-synth: writes a synthesized recording (or its character-pair text) for benchmarks
// and examples.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/synth.h"

namespace {

const char kUsage[] =
    "usage: tonegrab-synth [--rate N] [--bits 8|16|24|32] [--channels N] [--channel K]"
    " [--speed F] [--amplitude F] [--noise F] [--shape sine|square] [--leader N]"
    " [--false-leaders N] [--tail silence|noise|idle|badstop] [--seed N] [--text]"
    " [--snr DB] [--wow DEPTH@HZ] [--flutter DEPTH@HZ] [--dc F] [--hum DB] [--invert] [--clip F]"
    " [--dip START:DUR:DB]... [--blocks N] [--gap S] [--flip-second]"
    " [--distinct-blocks] [--gaps S,S...] [--leaders N,N...] [--expect PREFIX]"
    " [--voice-before S] [--voice-between S] [--voice-db DB] [--thump DB] [--idle N@P]"
    " [--clicks RATE:WIDTH_MS:LEVEL] [--step T:F]... [--tone HZ] [--empty]"
    " [--copy SNR|noise[,invert][,delay=MS][,gain=DB]]... [--noise-seed N] [--lead-in S]"
    " (--payload FILE | --random N | --seconds S) OUT\n"
    "  --distinct-blocks  block k >= 2 carries its own random bytes, not the payload again\n"
    "  --gaps S,S...      seconds of silence before blocks 2, 3, ...; the last value repeats\n"
    "  --leaders N,N...   short half-waves of each block's leader; the last value repeats\n"
    "  --expect PREFIX    write what block k carries to PREFIX-k.bin\n"
    "  --voice-before S   S seconds of speech-like sound, then 0.25 s of silence, before the"
    " first leader\n"
    "  --voice-between S  S seconds of it in the middle of each gap (at most the gap)\n"
    "  --voice-db DB      its peak relative to the amplitude (default 0)\n"
    "  --thump DB         a decaying 40-80 Hz thump at each leader's start, its first peak DB"
    " relative to the amplitude\n"
    "  --idle N@P         after a frame, with probability P, 1 to N idle 1 bits\n"
    "  --clicks R:W:L     impulses, R a second (Poisson), W ms wide, peak near L of full scale\n"
    "  --step T:F         the speed multiplied by F from T seconds on (repeatable)\n"
    "  --tone HZ          no data: --seconds S of a sine of the amplitude at HZ\n"
    "  --empty            no data: --seconds S of the impairments alone (e.g. --snr noise)\n"
    "  --copy CHANNEL     a channel carrying the same tape under its own noise (repeatable;"
    " replaces\n"
    "                     --channels): SNR in dB or noise (noise alone, as loud as the first"
    " signal's),\n"
    "                     then ,invert ,delay=MS (late, to a fraction of a sample) ,gain=DB\n"
    "  --noise-seed N     another capture of the same tape: the noise and clicks from N, not"
    " --seed\n"
    "  --lead-in S        seconds of silence before the first sound (default 0.05)\n";

// "A<sep>B<sep>C": exactly `n` numbers; false when the text is anything else.
bool ParseNumbers(const std::string& v, char sep, double* out, size_t n) {
  size_t at = 0;
  for (size_t i = 0; i < n; ++i) {
    if (i > 0 && (at >= v.size() || v[at++] != sep)) return false;
    size_t used = 0;
    out[i] = std::stod(v.substr(at), &used);
    at += used;
  }
  return at == v.size();
}

// "A,B,C": one or more numbers; false when the text is anything else.
bool ParseList(const std::string& v, std::vector<double>& out) {
  out.clear();
  for (size_t at = 0;;) {
    size_t used = 0;
    out.push_back(std::stod(v.substr(at), &used));
    at += used;
    if (at == v.size()) return true;
    if (v[at++] != ',') return false;
  }
}

bool WriteFile(const std::string& path, const void* data, size_t n) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool ok = std::fwrite(data, 1, n, f) == n;
  return std::fclose(f) == 0 && ok;
}

// "SNR|noise[,invert][,delay=MS][,gain=DB]": one channel's copy of the tape.
bool ParseCopy(const std::string& v, synth::Copy& c) {
  std::vector<std::string> items(1);
  for (char ch : v)
    if (ch == ',')
      items.emplace_back();
    else
      items.back().push_back(ch);
  auto number = [](const std::string& t, double& out) {
    size_t used = 0;
    out = std::stod(t, &used);
    return used == t.size();
  };
  if (items[0] == "noise")
    c.noise = true;
  else if (!number(items[0], c.snr))
    return false;
  for (size_t i = 1; i < items.size(); ++i) {
    const std::string& it = items[i];
    if (it == "invert")
      c.invert = true;
    else if (it.rfind("delay=", 0) == 0  ? !number(it.substr(6), c.delay)
             : it.rfind("gain=", 0) == 0 ? !number(it.substr(5), c.gain)
                                         : true)
      return false;
  }
  c.delay /= 1000;  // given in ms
  return c.delay >= 0 && std::isfinite(c.delay) && std::isfinite(c.gain) && !std::isnan(c.snr);
}

// Returns 0 on success, 1 when a file cannot be read or written, 2 on bad arguments.
int Main(int argc, char** argv) {
  synth::Options o;
  double rate = o.rate, bits = o.bits, channels = 1, channel = 1, leader = o.leader,
         falseLeaders = 0, seed = 1, random = -1, seconds = -1, blocks = 1, noiseSeed = -1;
  const std::map<std::string, double*> numbers = {{"--rate", &rate},
                                                  {"--bits", &bits},
                                                  {"--channels", &channels},
                                                  {"--channel", &channel},
                                                  {"--speed", &o.speed},
                                                  {"--amplitude", &o.amplitude},
                                                  {"--noise", &o.noise},
                                                  {"--leader", &leader},
                                                  {"--false-leaders", &falseLeaders},
                                                  {"--seed", &seed},
                                                  {"--noise-seed", &noiseSeed},
                                                  {"--lead-in", &o.leadIn},
                                                  {"--random", &random},
                                                  {"--seconds", &seconds},
                                                  {"--snr", &o.snr},
                                                  {"--dc", &o.dc},
                                                  {"--hum", &o.hum},
                                                  {"--clip", &o.clip},
                                                  {"--blocks", &blocks},
                                                  {"--gap", &o.gap},
                                                  {"--voice-before", &o.voiceBefore},
                                                  {"--voice-between", &o.voiceBetween},
                                                  {"--voice-db", &o.voiceDb},
                                                  {"--thump", &o.thump},
                                                  {"--tone", &o.tone}};
  const std::map<std::string, synth::Tail> tails = {{"silence", synth::Tail::kSilence},
                                                    {"noise", synth::Tail::kNoise},
                                                    {"idle", synth::Tail::kIdle},
                                                    {"badstop", synth::Tail::kBadStop}};
  bool text = false, blank = false;
  std::string payloadFile, out, expect;
  std::vector<double> leaders;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--text") {
      text = true;
    } else if (a == "--invert") {
      o.invert = true;
    } else if (a == "--flip-second") {
      o.flipSecond = true;
    } else if (a == "--distinct-blocks") {
      o.distinctBlocks = true;
    } else if (a == "--empty") {
      blank = true;
    } else if (a.rfind("--", 0) != 0) {
      if (!out.empty()) return 2;
      out = a;
    } else {
      if (++i >= argc) return 2;
      const std::string v = argv[i];
      size_t end = 0;
      double d[3];
      if (a == "--payload")
        payloadFile = v;
      else if (a == "--expect")
        expect = v;
      else if (a == "--gaps") {
        if (!ParseList(v, o.gaps)) return 2;
      } else if (a == "--leaders") {
        if (!ParseList(v, leaders)) return 2;
      } else if (a == "--idle") {
        if (!ParseNumbers(v, '@', d, 2) || d[0] < 1 || d[0] != int(d[0]) || d[1] < 0 || d[1] > 1)
          return 2;
        o.idle = {int(d[0]), d[1]};
      } else if (a == "--clicks") {
        if (!ParseNumbers(v, ':', d, 3) || d[0] < 0 || d[1] <= 0 || d[2] <= 0 || d[2] > 1) return 2;
        o.clicks = {d[0], d[1] / 1000, d[2]};
      } else if (a == "--step") {
        if (!ParseNumbers(v, ':', d, 2) || d[0] < 0 || d[1] <= 0) return 2;
        o.steps.push_back({d[0], d[1]});
      } else if (a == "--shape" && (v == "sine" || v == "square"))
        o.shape = v == "sine" ? synth::Shape::kSine : synth::Shape::kSquare;
      else if (a == "--tail" && tails.count(v))
        o.tail = tails.at(v);
      else if (a == "--wow" || a == "--flutter") {
        synth::Modulation& m = a == "--wow" ? o.wow : o.flutter;
        double d[2];
        if (!ParseNumbers(v, '@', d, 2) || d[0] <= -1 || d[0] >= 1 || d[1] <= 0) return 2;
        m = {d[0], d[1]};
      } else if (a == "--copy") {
        synth::Copy c;
        if (!ParseCopy(v, c)) return 2;
        o.copies.push_back(c);
      } else if (a == "--dip") {
        if (!ParseNumbers(v, ':', d, 3) || d[1] < 0) return 2;
        o.dips.push_back({d[0], d[1], d[2]});
      } else if (!numbers.count(a) || (*numbers.at(a) = std::stod(v, &end), end != v.size()))
        return 2;
    }
  }
  o.rate = int(rate), o.bits = int(bits), o.channels = int(channels);
  o.signalChannel = int(channel) - 1, o.leader = int(leader), o.falseLeaders = int(falseLeaders);
  o.seed = uint64_t(seed), o.blocks = int(blocks);
  if (noiseSeed >= 0) o.noiseSeed = uint64_t(noiseSeed);
  for (double n : leaders) o.leaders.push_back(int(n));
  std::stable_sort(o.steps.begin(), o.steps.end(),
                   [](const synth::Step& x, const synth::Step& y) { return x.at < y.at; });
  blank = blank || o.tone > 0;
  if (blank && seconds < 0) return 2;
  if (std::any_of(o.gaps.begin(), o.gaps.end(), [](double g) { return g < 0; }) ||
      std::any_of(leaders.begin(), leaders.end(), [](double n) { return n < 0; }) ||
      o.voiceBefore < 0 || o.voiceBetween < 0 || o.tone < 0 || o.leadIn < 0 || o.copies.size() > 64)
    return 2;
  if (out.empty() || o.blocks < 1 || o.gap < 0 || o.clip < 0 || o.clip > 1 ||
      !payloadFile.empty() + (random >= 0) + (seconds >= 0) != 1 || o.rate <= 0 || o.speed <= 0 ||
      o.channels < 1 || o.signalChannel < 0 || o.signalChannel >= o.channels || o.bits % 8 ||
      o.bits < 8 || o.bits > 32)
    return 2;

  synth::Bytes payload;
  if (!payloadFile.empty()) {
    FILE* f = std::fopen(payloadFile.c_str(), "rb");
    if (!f) return 1;
    for (int c; (c = std::fgetc(f)) != EOF;) payload.push_back(uint8_t(c));
    std::fclose(f);
  } else if (!blank) {  // a frame lasts 11 bits of 1/1200 s each at nominal speed
    payload =
        synth::RandomBytes(size_t(random >= 0 ? random : seconds * 1200 / 11 * o.speed), o.seed);
  }
  if (payloadFile.empty() && !WriteFile(out + ".payload", payload.data(), payload.size())) return 1;
  if (!expect.empty() && !blank) {
    const std::vector<synth::Bytes> blocks = synth::BlockPayloads(payload, o);
    for (size_t k = 0; k < blocks.size(); ++k)
      if (!WriteFile(expect + "-" + std::to_string(k + 1) + ".bin", blocks[k].data(),
                     blocks[k].size()))
        return 1;
  }
  const std::string pattern = blank ? synth::Blank(seconds) : synth::Pattern(payload, o);
  if (text) {
    const std::string s = synth::CharPairs(payload);
    return WriteFile(out, s.data(), s.size()) ? 0 : 1;
  }
  // Stream the samples, then write the header again with the sizes.
  FILE* f = std::fopen(out.c_str(), "wb");
  if (!f) return 1;
  const synth::Format format = synth::Format::Of(o);
  synth::Bytes header = synth::WavHeader(format, 0);
  bool ok = std::fwrite(header.data(), 1, header.size(), f) == header.size();
  uint64_t size = 0;
  synth::Render(pattern, o, [&](const uint8_t* p, size_t n) {
    ok = ok && std::fwrite(p, 1, n, f) == n;
    size += n;
  });
  header = synth::WavHeader(format, size);
  ok = ok && std::fseek(f, 0, SEEK_SET) == 0 &&
       std::fwrite(header.data(), 1, header.size(), f) == header.size();
  return std::fclose(f) == 0 && ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  int status = 2;
  try {
    status = Main(argc, argv);
  } catch (const std::exception&) {  // a number that does not parse
  }
  if (status == 2) std::fputs(kUsage, stderr);
  if (status == 1) std::fputs("tonegrab-synth: cannot read or write a file\n", stderr);
  return status;
}
