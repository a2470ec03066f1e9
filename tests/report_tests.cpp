// --map and --json end to end: the record against the console, the picture parsed, rendered and
// looked at pixel by pixel, odd file names, and the files the options may not name.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <regex>

#include "tests/support/run.h"
#include "tests/support/synth.h"
#include "tests/support/tools.h"

namespace {

using nlohmann::json;
using synth::Bytes;

// Where the picture draws: the time axis spans x 90-1570; the blocks are solid in the row at
// y 242 and the damaged bytes in the row at y 257.
constexpr int kPlotLeft = 90, kPlotWidth = 1480, kStripY = 242, kDamageY = 257;

// Two blocks of 300 bytes, the first with a 20 ms dropout at 1 s.
synth::Options TwoBlocks(synth::Tail tail = synth::Tail::kIdle) {
  synth::Options o;
  o.blocks = 2, o.snr = 30, o.dips = {{1.0, 0.02, -50}}, o.tail = tail;
  return o;
}

const Bytes kPayload = synth::RandomBytes(300, 3);

class Report : public testing::Test {
 protected:
  RunResult Tonegrab(std::vector<std::string> args) {
    args.insert(args.begin(), TONEGRAB_BIN);
    RunResult r = ::Run(args, "", dir.path());
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.signal, 0);
    return r;
  }
  json Json(const std::string& name) {
    const Bytes b = ReadFile(dir / name);
    return json::parse(b.begin(), b.end());  // throws, failing the test, on invalid JSON
  }
  TempDir dir;
};

long long Ms(double seconds) {
  return std::llround(seconds * 1000);
}

long long ClockMs(const std::string& h, const std::string& m, const std::string& s,
                  const std::string& ms) {
  return ((std::stoll(h) * 60 + std::stoll(m)) * 60 + std::stoll(s)) * 1000 + std::stoll(ms);
}

// The recovery mode's summary, block by block, against the record.
TEST_F(Report, RecordMatchesTheSummary) {
  WriteFile(dir / "in.wav", synth::Wav(kPayload, TwoBlocks()));
  const RunResult r = Tonegrab({"-r", "-q", "--json=tape.json", "in.wav", "tape.bin"});
  ASSERT_EQ(r.status, 2) << r.out;
  const json j = Json("tape.json");
  EXPECT_EQ(j["mode"], "recover");
  EXPECT_EQ(j["input"]["path"], "in.wav");
  EXPECT_EQ(j["input"]["rate"], 44100);
  EXPECT_EQ(j["input"]["channels"], 1);
  const double frames = static_cast<double>(synth::Samples(kPayload, TwoBlocks()).size() / 2);
  EXPECT_EQ(j["input"]["frames"], frames);
  EXPECT_NEAR(j["input"]["duration"].get<double>(), frames / 44100, 1e-6);

  const std::regex block(
      R"((\S+): (\d+):(\d\d):(\d\d)\.(\d{3})-(\d+):(\d\d):(\d\d)\.(\d{3}), (\d+) bytes, )"
      R"((\d+) damaged, speed ([+-]?\d+\.\d) %\n((?:\tdamaged .*\n)*))");
  const std::regex run(
      R"(\tdamaged 0x([0-9A-F]+)-0x([0-9A-F]+) from (\d+):(\d\d):(\d\d)\.(\d{3}))");
  size_t i = 0;
  int64_t total = 0, damaged = 0;
  for (auto it = std::sregex_iterator(r.out.begin(), r.out.end(), block);
       it != std::sregex_iterator(); ++it, ++i) {
    const std::smatch& m = *it;
    ASSERT_LT(i, j["blocks"].size()) << r.out;
    const json& b = j["blocks"][i];
    EXPECT_EQ(b["block"], i + 1);
    EXPECT_EQ(b["file"], m[1].str());
    EXPECT_EQ(Ms(b["start"]), ClockMs(m[2], m[3], m[4], m[5]));
    EXPECT_EQ(Ms(b["end"]), ClockMs(m[6], m[7], m[8], m[9]));
    EXPECT_EQ(b["bytes"], std::stoll(m[10]));
    EXPECT_EQ(ReadFile(dir / m[1].str()).size(), std::stoull(m[10]));
    EXPECT_EQ(b["damaged_bytes"], std::stoll(m[11]));
    EXPECT_NEAR(b["speed"]["mean"].get<double>() - 100, std::stod(m[12]), 0.051);
    EXPECT_LE(b["speed"]["min"].get<double>(), b["speed"]["max"].get<double>());
    const std::string runs = m[13];
    size_t k = 0;
    for (auto rt = std::sregex_iterator(runs.begin(), runs.end(), run);
         rt != std::sregex_iterator(); ++rt, ++k) {
      ASSERT_LT(k, b["damaged"].size());
      const json& d = b["damaged"][k];
      const long long first = std::stoll((*rt)[1], nullptr, 16);
      EXPECT_EQ(d["offset"], first);
      EXPECT_EQ(d["count"], std::stoll((*rt)[2], nullptr, 16) - first + 1);
      EXPECT_EQ(Ms(d["time"]), ClockMs((*rt)[3], (*rt)[4], (*rt)[5], (*rt)[6]));
    }
    EXPECT_EQ(k, b["damaged"].size());
    // The per-second cells count every byte of the block.
    int64_t bytes = 0;
    for (const json& s : b["seconds"]) bytes += s["bytes"].get<int64_t>();
    EXPECT_EQ(bytes, b["bytes"]);
    total += b["bytes"].get<int64_t>();
    damaged += b["damaged_bytes"].get<int64_t>();
  }
  EXPECT_EQ(i, 2u) << r.out;
  EXPECT_EQ(j["blocks"].size(), 2u);
  EXPECT_EQ(j["bytes"], total);
  EXPECT_EQ(j["damaged_bytes"], damaged);
  EXPECT_GT(damaged, 0);
  EXPECT_EQ(j["blocks"][1]["damaged_bytes"], 0);
  // The dropout's bytes were the least sure; the clean block is sure throughout.
  EXPECT_LT(j["blocks"][0]["quality"]["min"], 0.5);
  EXPECT_GT(j["blocks"][1]["quality"]["min"], 0.9);
}

// The default mode: the leader and the stop where -v puts them, the record on standard output
// and the console out of its way.
struct Stop {
  const char* name;
  synth::Tail tail;
  int blocks;
  const char* reason;
  int status;
};

void PrintTo(const Stop& s, std::ostream* os) {
  *os << s.name;
}

class DefaultStop : public Report, public testing::WithParamInterface<Stop> {};

TEST_P(DefaultStop, RecordTellsWhereAndWhy) {
  synth::Options o = TwoBlocks(GetParam().tail);
  o.blocks = GetParam().blocks, o.dips.clear();
  if (o.blocks == 0) o.leader = 0, o.blocks = 1;
  WriteFile(dir / "in.wav", synth::Wav(o.leader ? kPayload : Bytes{}, o));
  const RunResult r = Tonegrab({"-v", "-q", "--json=-", "in.wav"});
  EXPECT_EQ(r.status, GetParam().status) << r.err;
  const json j = json::parse(r.out);
  EXPECT_EQ(j["mode"], "default");
  EXPECT_EQ(j["stop"]["reason"], GetParam().reason);
  std::smatch m;
  ASSERT_TRUE(std::regex_search(r.err, m, std::regex(R"(stopped at \S+ \(sample frame (\d+)\))")))
      << r.err;
  EXPECT_EQ(j["stop"]["frame"], std::stoll(m[1]));
  // The whole recording is measured, also past the stop.
  EXPECT_EQ(j["input"]["frames"], synth::Samples(o.leader ? kPayload : Bytes{}, o).size() / 2);
  if (!o.leader) {
    EXPECT_EQ(j["blocks"].size(), 0u);
    return;
  }
  ASSERT_EQ(j["blocks"].size(), 1u);
  const json& b = j["blocks"][0];
  ASSERT_TRUE(
      std::regex_search(r.err, m, std::regex(R"(\(sample frame (\d+)\); .* speed (\S+)%)")));
  EXPECT_EQ(b["leader"]["frame"], std::stoll(m[1]));
  EXPECT_NEAR(b["leader"]["speed"].get<double>(), std::stod(m[2]), 0.051);
  EXPECT_EQ(b["file"], "out.bin");
  const size_t bytes = ReadFile(dir / "out.bin").size();
  EXPECT_EQ(b["bytes"], bytes);
  EXPECT_NE(r.err.find(GetParam().status ? "Read error!\n" : std::to_string(bytes) + " bytes\n"),
            std::string::npos);
  EXPECT_NEAR(b["speed"]["mean"].get<double>(), 100, 0.5);
  EXPECT_GT(b["quality"]["min"].get<double>(), 6);  // dB over the threshold
  EXPECT_NEAR(b["end"].get<double>(), j["stop"]["time"].get<double>(), GetParam().status ? 1 : 0);
}

const Stop kStops[] = {
    {"gap_before_block_2", synth::Tail::kIdle, 2, "no-byte-frame", 0},
    {"silence_after_the_data", synth::Tail::kSilence, 1, "end-of-input", 1},
    {"no_leader", synth::Tail::kNoise, 0, "no-leader", 1},
};

INSTANTIATE_TEST_SUITE_P(Ends, DefaultStop, testing::ValuesIn(kStops),
                         [](const auto& info) { return std::string(info.param.name); });

// Pixels of a PNG, through ffmpeg: rows of width * 3 bytes.
struct Picture {
  int width = 0, height = 0;
  Bytes rgb;
  bool Is(int x, int y, int r, int g, int b) const {
    const uint8_t* p = &rgb[(static_cast<size_t>(y) * width + x) * 3];
    return std::abs(p[0] - r) < 24 && std::abs(p[1] - g) < 24 && std::abs(p[2] - b) < 24;
  }
  // The runs of x in row y where the colour is.
  std::vector<std::pair<int, int>> Runs(int y, int r, int g, int b) const {
    std::vector<std::pair<int, int>> runs;
    for (int x = 0; x < width; ++x) {
      if (!Is(x, y, r, g, b)) continue;
      if (runs.empty() || runs.back().second != x - 1) runs.push_back({x, x});
      runs.back().second = x;
    }
    return runs;
  }
};

int XOf(double seconds, double duration) {
  return static_cast<int>(std::lround(kPlotLeft + seconds / duration * kPlotWidth));
}

// The picture is well-formed XML, renders, and shows the blocks and the damage where the record
// puts them.
TEST_F(Report, PictureShowsTheBlocksWhereTheRecordHasThem) {
  const std::string xmllint = FindOnPath("xmllint"), rsvg = FindOnPath("rsvg-convert"),
                    ffmpeg = FindOnPath("ffmpeg");
  REQUIRE_TOOL(xmllint, std::string("xmllint"));
  REQUIRE_TOOL(rsvg, std::string("rsvg-convert"));
  REQUIRE_TOOL(ffmpeg, std::string("ffmpeg"));
  WriteFile(dir / "in.wav", synth::Wav(kPayload, TwoBlocks()));
  ASSERT_EQ(Tonegrab({"-r", "-q", "--map=tape.svg", "--json=tape.json", "in.wav"}).status, 2);
  const json j = Json("tape.json");
  EXPECT_EQ(::Run({xmllint, "--noout", "tape.svg"}, "", dir.path()).status, 0);
  ASSERT_EQ(::Run({rsvg, "tape.svg", "-o", "tape.png"}, "", dir.path()).status, 0);
  ASSERT_EQ(::Run({ffmpeg, "-v", "error", "-i", "tape.png", "-f", "rawvideo", "-pix_fmt", "rgb24",
                   "tape.rgb"},
                  "", dir.path())
                .status,
            0);
  Picture p{1600, 640, ReadFile(dir / "tape.rgb")};
  ASSERT_EQ(p.rgb.size(), size_t{1600} * 640 * 3);

  const double duration = j["input"]["duration"];
  const auto blocks = p.Runs(kStripY, 0x2f, 0x6f, 0xb5);
  ASSERT_EQ(blocks.size(), j["blocks"].size());
  for (size_t i = 0; i < blocks.size(); ++i) {
    const json& b = j["blocks"][i];
    EXPECT_NEAR(blocks[i].first, XOf(b["start"], duration), 2) << "block " << i + 1;
    EXPECT_NEAR(blocks[i].second, XOf(b["end"], duration), 2) << "block " << i + 1;
  }
  const auto damage = p.Runs(kDamageY, 0xd6, 0x27, 0x28);
  ASSERT_EQ(damage.size(), 1u);
  EXPECT_NEAR(damage[0].first, XOf(j["blocks"][0]["damaged"][0]["time"], duration), 2);

  // Each damaged run carries its tooltip.
  const Bytes svg = ReadFile(dir / "tape.svg");
  const std::string text(svg.begin(), svg.end());
  const json& d = j["blocks"][0]["damaged"][0];
  const long long first = d["offset"], last = first + d["count"].get<long long>() - 1,
                  ms = Ms(d["time"]);
  char title[128];
  std::snprintf(title, sizeof title,
                "<title>block 1, byte 0x%04llX-0x%04llX (%lld bytes) damaged at 0:00:%02lld.%03lld"
                "</title>",
                first, last, last - first + 1, ms / 1000, ms % 1000);
  EXPECT_NE(text.find(title), std::string::npos) << title;
  EXPECT_EQ(text.find("<script"), std::string::npos);
  EXPECT_EQ(text.find("href"), std::string::npos);
}

// Names that are not UTF-8, or hold quotes, backslashes and control characters, leave both files
// valid; the record gives the name's bytes beside it.
TEST_F(Report, OddNamesStayValid) {
  const std::string xmllint = FindOnPath("xmllint");
  REQUIRE_TOOL(xmllint, std::string("xmllint"));
  const std::string odd = "a\"b\\c\td<&>\xff\x01.bin";
  WriteFile(dir / "in.wav", synth::Wav(kPayload, TwoBlocks()));
  ASSERT_EQ(Tonegrab({"-r", "-q", "--map=m.svg", "--json=j.json", "in.wav", odd}).status, 2);
  const json j = Json("j.json");
  EXPECT_EQ(j["output"], "a\"b\\c\td<&>\xEF\xBF\xBD\x01.bin");
  EXPECT_EQ(j["output_hex"], "6122625c6309643c263eff012e62696e");
  EXPECT_EQ(j["blocks"][1]["file"], "a\"b\\c\td<&>\xEF\xBF\xBD\x01-2.bin");
  const Bytes raw = ReadFile(dir / "j.json");
  const std::string text(raw.begin(), raw.end());
  EXPECT_NE(text.find(R"("output": "a\"b\\c\td<&>\ufffd\u0001.bin")"), std::string::npos);
  EXPECT_EQ(::Run({xmllint, "--noout", "m.svg"}, "", dir.path()).status, 0);
}

// The files the options may not name: refused before anything is touched.
struct Refusal {
  const char* name;
  std::vector<std::string> args;
  const char* message;
};

void PrintTo(const Refusal& r, std::ostream* os) {
  *os << r.name;
}

class Refused : public Report, public testing::WithParamInterface<Refusal> {};

TEST_P(Refused, BeforeAnythingIsTouched) {
  WriteFile(dir / "in.wav", synth::Wav(kPayload, TwoBlocks()));
  WriteFile(dir / "old.svg", Bytes{1, 2});
  const RunResult r = Tonegrab(GetParam().args);
  EXPECT_EQ(r.out + r.err, GetParam().message);  // with "-" as the output the console is on stderr
  EXPECT_EQ(r.status, 1);
  EXPECT_FALSE(std::filesystem::exists(dir / "out.bin"));
  EXPECT_FALSE(std::filesystem::exists(dir / "tape.bin"));
  EXPECT_EQ(ReadFile(dir / "old.svg"), (Bytes{1, 2}));
  EXPECT_EQ(ReadFile(dir / "in.wav"), synth::Wav(kPayload, TwoBlocks()));
}

const Refusal kRefusals[] = {
    {"input", {"--json=in.wav", "in.wav"}, "\tThe --json file \"in.wav\" is the input\n\n"},
    {"output",
     {"--map=./tape.bin", "in.wav", "tape.bin"},
     "\tThe --map file \"./tape.bin\" is the output\n\n"},
    {"each_other",
     {"--map=x", "--json=./x", "in.wav"},
     "\tThe --map file \"x\" is named by both --map and --json\n\n"},
    {"block_file",
     {"-r", "--json=tape-2.bin", "in.wav", "tape.bin"},
     "\tThe --json file \"tape-2.bin\" is the file of a block\n\n"},
    {"labels",
     {"-r", "--labels=l.txt", "--map=l.txt", "in.wav"},
     "\tThe --map file \"l.txt\" is the label track\n\n"},
    {"standard_output_with_the_bytes",
     {"--json=-", "in.wav", "-"},
     "\tThe --json file \"-\" is standard output, where the decoded bytes go\n\n"},
    {"no_clobber",
     {"-n", "--map=old.svg", "in.wav"},
     "\tNot overwriting \"old.svg\" (--no-clobber)\n\n"},
    {"refused_answer",
     {"--map=old.svg", "in.wav"},
     "\tOverwrite \"old.svg\"? tonegrab: old.svg: not overwritten: standard input ended before an "
     "answer; y or Y overwrites (-y answers in advance)\n"},
};

INSTANTIATE_TEST_SUITE_P(Paths, Refused, testing::ValuesIn(kRefusals),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
