// Round trips through the formats people keep recordings in: one synthesized recording saved by
// sox or ffmpeg (found on PATH) in each format must decode exactly as the WAV it was made from:
// the same console text, exit status and output bytes. The head column pins what the tool
// wrote ('?' matches any byte), so a tool version that writes something else shows up here.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/support/run.h"
#include "tests/support/synth.h"
#include "tests/support/tools.h"

namespace {

using namespace std::string_literals;
using synth::Bytes;

struct Row {
  const char* name;
  const char* command;  // the tool and its arguments; OUT: the file written
  const char* file;     // name of the file written: its extension chooses the format
  std::string head;     // the file's first bytes
  int channel = 0;      // the signal's channel in a two-channel file, answered when asked
};

void PrintTo(const Row& r, std::ostream* os) {
  *os << r.name;
}

const std::string kRiff = "RIFF????WAVE";
const std::string kFmt = "fmt ????";

// Exact decodes, by our WAV reader or through the audio library.
const Row kExact[] = {
    {"sox_float32", "sox -e floating-point OUT", "f.wav", kRiff + kFmt + "\3\0"s},
    {"sox_float64", "sox -e floating-point -b 64 OUT", "f.wav", kRiff + kFmt + "\3\0"s},
    {"ffmpeg_f32", "ffmpeg -c:a pcm_f32le OUT", "f.wav", kRiff + kFmt + "\xFE\xFF"s},
    {"ffmpeg_f64", "ffmpeg -c:a pcm_f64le OUT", "f.wav", kRiff + kFmt + "\xFE\xFF"s},
    {"ffmpeg_f32_stereo", "ffmpeg -ac 2 -c:a pcm_f32le OUT", "f.wav", kRiff + kFmt + "\xFE\xFF"s,
     2},
    {"ffmpeg_junk_first", "ffmpeg -rf64 auto -c:a pcm_s16le OUT", "j.wav", kRiff + "JUNK"},
    {"ffmpeg_rf64", "ffmpeg -rf64 always -c:a pcm_s16le OUT", "r.wav", "RF64????WAVEds64"},
    {"ffmpeg_rf64_float", "ffmpeg -rf64 always -c:a pcm_f32le OUT", "r.wav", "RF64????WAVEds64"},
    {"sox_flac16", "sox OUT", "a.flac", "fLaC"},
    {"sox_flac24", "sox -b 24 OUT", "a.flac", "fLaC"},
    {"sox_flac_stereo_right", "sox OUT remix 0 1", "a.flac", "fLaC", 2},
    {"ffmpeg_flac", "ffmpeg -c:a flac OUT", "a.flac", "fLaC"},
    {"sox_aiff", "sox OUT", "a.aiff", "FORM????AIFF"},
    {"ffmpeg_aiff24", "ffmpeg -c:a pcm_s24be OUT", "a.aiff", "FORM????AIFF"},
    {"sox_aifc_float", "sox -e floating-point OUT", "a.aifc", "FORM????AIFC"},
    {"sox_w64", "sox OUT", "a.w64", "riff"},
    {"ffmpeg_caf", "ffmpeg OUT", "a.caf", "caff"},
    {"sox_au", "sox OUT", "a.au", ".snd"},
    {"sox_mulaw", "sox -e mu-law OUT", "u.wav", kRiff + kFmt + "\7\0"s},
    {"sox_alaw", "sox -e a-law OUT", "a.wav", kRiff + kFmt + "\6\0"s},
    {"ffmpeg_mulaw", "ffmpeg -c:a pcm_mulaw OUT", "u.wav", kRiff + kFmt + "\7\0"s},
    {"ffmpeg_mp3_128k", "ffmpeg -b:a 128k OUT", "a.mp3", "ID3"},
    {"ffmpeg_opus", "ffmpeg -c:a libopus OUT", "a.opus", "OggS"},
};

// Lossy ones, which the recovery decoder must read to the end (the exact decoder stops early
// on Ogg Vorbis).
const Row kLossy[] = {
    {"ffmpeg_mp3_128k", "ffmpeg -b:a 128k OUT", "a.mp3", "ID3"},
    {"ffmpeg_vorbis", "ffmpeg -c:a libvorbis OUT", "a.ogg", "OggS"},
    {"ffmpeg_opus", "ffmpeg -c:a libopus OUT", "a.opus", "OggS"},
    {"sox_mulaw", "sox -e mu-law OUT", "u.wav", kRiff + kFmt + "\7\0"s},
    {"sox_alaw", "sox -e a-law OUT", "a.wav", kRiff + kFmt + "\6\0"s},
};

bool HeadMatches(const Bytes& file, const std::string& head) {
  if (file.size() < head.size()) return false;
  for (size_t i = 0; i < head.size(); ++i) {
    if (head[i] != '?' && file[i] != uint8_t(head[i])) return false;
  }
  return true;
}

// The listing lines of a console text: the bytes, without the times a recovery run prints.
std::string Listing(const std::string& console) {
  std::string lines;
  for (size_t at = 0, end; at < console.size(); at = end + 1) {
    end = std::min(console.find('\n', at), console.size());
    const std::string line = console.substr(at, end - at);
    if (line.size() > 6 && line.compare(4, 3, ":  ") == 0) lines += line + "\n";
  }
  return lines;
}

class Formats : public testing::TestWithParam<Row> {
 protected:
  // Saves the synthesized recording with the row's tool, then decodes it and the WAV it was
  // made from with `options`; both runs must end the same. `wholeConsole`: the console texts
  // are equal too; else (a recovery run, which prints where it found the data, and a lossy
  // codec moves that) their listings are.
  void RoundTrip(const std::vector<std::string>& options, bool wholeConsole) {
    const Row& row = GetParam();
    const std::string toolName = ToolOf(row.command);
    const std::string tool = FindOnPath(toolName);
    REQUIRE_TOOL(tool, toolName);
    synth::Options o;  // 44100 Hz, 16-bit, mono
    const Bytes payload = synth::RandomBytes(64, 2024);
    WriteFile(dir / "in.wav", synth::Wav(payload, o));
    const RunResult made = Convert(tool, row.command, "in.wav", row.file, dir.path());
    ASSERT_EQ(made.status, 0) << row.command << " failed: " << made.err;
    EXPECT_TRUE(HeadMatches(ReadFile(dir / row.file), row.head));

    auto decode = [&](const std::string& input, const std::string& answer) {
      std::vector<std::string> args = {TONEGRAB_BIN, "-y"};
      args.insert(args.end(), options.begin(), options.end());
      args.insert(args.end(), {input, "out.bin"});
      return ::Run(args, answer, dir.path());
    };
    const RunResult want = decode("in.wav", "");
    ASSERT_EQ(ReadFile(dir / "out.bin"), payload) << want.out;
    const RunResult got = decode(row.file, row.channel ? std::to_string(row.channel) + "\n" : "");
    EXPECT_EQ(got.signal, 0);
    EXPECT_EQ(got.status, want.status);
    const std::string asked = row.channel ? "\tSelect channel (1-2): " : "";
    if (wholeConsole) {
      EXPECT_EQ(got.out, asked + want.out);
    } else {
      EXPECT_EQ(Listing(got.out), Listing(want.out)) << got.out;
    }
    EXPECT_EQ(ReadFile(dir / "out.bin"), payload);
  }
  TempDir dir;
};

TEST_P(Formats, DecodesAsTheWavItWasMadeFrom) {
  RoundTrip({}, true);
}

INSTANTIATE_TEST_SUITE_P(Exact, Formats, testing::ValuesIn(kExact),
                         [](const testing::TestParamInfo<Row>& info) { return info.param.name; });

// Containers no tool at hand writes, made here from the same samples: broadcast WAV files
// (a "bext" chunk first) come from field recorders.
TEST(HandMadeFormats, DecodeAsTheCanonicalWav) {
  synth::Options o;
  const Bytes payload = synth::RandomBytes(64, 2024);
  const Bytes samples = synth::Samples(payload, o);
  const synth::Format pcm = synth::Format::Of(o);
  synth::Format f32 = pcm, f64 = pcm, ext = pcm;
  f32.tag = f64.tag = 3, f32.bits = 32, f64.bits = 64;
  ext.tag = 0xFFFE, ext.bits = 32, ext.subFormat = synth::kFloatGuid;
  using synth::WavBuilder;
  const struct {
    const char* name;
    Bytes file;
  } cases[] = {
      {"bext first",
       WavBuilder().Riff().Chunk("bext", Bytes(602, 0)).Fmt(pcm).Data(samples).Build()},
      {"JUNK and LIST first", WavBuilder()
                                  .Riff()
                                  .Chunk("JUNK", Bytes(28, 0))
                                  .Chunk("LIST", {1})
                                  .Fmt(pcm)
                                  .Data(samples)
                                  .Build()},
      {"float 32", WavBuilder()
                       .Riff()
                       .Fmt(f32)
                       .Chunk("fact", Bytes(4, 0))
                       .Data(synth::FloatSamples(samples, 32))
                       .Build()},
      {"float 64", WavBuilder().Riff().Fmt(f64).Data(synth::FloatSamples(samples, 64)).Build()},
      {"extensible float",
       WavBuilder().Riff().Fmt(ext).Data(synth::FloatSamples(samples, 32)).Build()},
      {"RF64",
       WavBuilder().Rf64().Ds64(0, samples.size()).Fmt(pcm).Data(samples, 0xFFFFFFFF).Build()},
      {"RF64 with a big chunk in its table", WavBuilder()
                                                 .Rf64()
                                                 .Ds64(0, samples.size(), {{"big ", 4}})
                                                 .Fmt(pcm)
                                                 .Raw({'b', 'i', 'g', ' '})
                                                 .U32(0xFFFFFFFF)
                                                 .U32(0)
                                                 .Data(samples, 0xFFFFFFFF)
                                                 .Build()},
  };
  TempDir dir;
  WriteFile(dir / "in.wav", synth::Wav(payload, o));
  const RunResult want = ::Run({TONEGRAB_BIN, "in.wav", "want.bin"}, "", dir.path());
  ASSERT_EQ(ReadFile(dir / "want.bin"), payload);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(dir / "f", c.file);
    const RunResult got = ::Run({TONEGRAB_BIN, "-y", "f", "got.bin"}, "", dir.path());
    EXPECT_EQ(got.status, want.status);
    EXPECT_EQ(got.out, want.out);
    EXPECT_EQ(ReadFile(dir / "got.bin"), payload);
  }
}

// The library's integer samples meet the thresholds of a WAV file of their width exactly: a
// square wave peaking at the 16-bit threshold (6553) decodes, one a step lower never moves
// the level, whichever container holds it.
TEST(Thresholds, SameAsWavAtTheBoundary) {
  const std::string sox = FindOnPath("sox");
  REQUIRE_TOOL(sox, std::string("sox"));
  synth::Options o;
  o.shape = synth::Shape::kSquare;
  const Bytes payload = synth::RandomBytes(16, 7);
  TempDir dir;
  for (const int peak : {6553, 6552}) {
    Bytes samples = synth::Samples(payload, o);
    for (size_t i = 0; i + 1 < samples.size(); i += 2) {
      const int v = int16_t(samples[i] | samples[i + 1] << 8);
      const int w = v > 0 ? peak : v < 0 ? -peak : 0;
      samples[i] = uint8_t(w), samples[i + 1] = uint8_t(w >> 8);
    }
    WriteFile(dir / "in.wav",
              synth::WavBuilder().Riff().Fmt(synth::Format::Of(o)).Data(samples).Build());
    const RunResult want = ::Run({TONEGRAB_BIN, "-y", "in.wav", "want.bin"}, "", dir.path());
    EXPECT_EQ(want.status, peak == 6553 ? 0 : 1);
    for (const char* file : {"a.flac", "a.aiff", "a.w64"}) {
      SCOPED_TRACE(std::to_string(peak) + " " + file);
      ASSERT_EQ(Convert(sox, "sox OUT", "in.wav", file, dir.path()).status, 0);
      const RunResult got = ::Run({TONEGRAB_BIN, "-y", file, "got.bin"}, "", dir.path());
      EXPECT_EQ(got.status, want.status);
      EXPECT_EQ(got.out, want.out);
      EXPECT_EQ(ReadFile(dir / "got.bin"), ReadFile(dir / "want.bin"));
    }
  }
}

// Float samples meet 20 % of full scale itself: a square wave peaking exactly there decodes,
// one peaking at the next value toward zero never moves the level.
TEST(Thresholds, FloatAtTheBoundary) {
  synth::Options o;
  o.shape = synth::Shape::kSquare;
  const Bytes payload = synth::RandomBytes(16, 7);
  const Bytes square = synth::Samples(payload, o);
  TempDir dir;
  const struct {
    int bits;
    double peak;
    int status;
  } cases[] = {{32, 0.2f, 0},
               {32, std::nextafter(0.2f, 0.0f), 1},
               {64, 0.2, 0},
               {64, std::nextafter(0.2, 0.0), 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.bits) + " bits, peak " + std::to_string(c.peak));
    Bytes data;
    for (size_t i = 0; i + 1 < square.size(); i += 2) {
      const int v = int16_t(square[i] | square[i + 1] << 8);
      const double d = v > 0 ? c.peak : v < 0 ? -c.peak : 0;
      const float f = float(d);
      uint8_t b[8];
      if (c.bits == 64)
        std::memcpy(b, &d, 8);
      else
        std::memcpy(b, &f, 4);
      data.insert(data.end(), b, b + c.bits / 8);
    }
    synth::Format f = synth::Format::Of(o);
    f.tag = 3, f.bits = int16_t(c.bits);
    WriteFile(dir / "in.wav", synth::WavBuilder().Riff().Fmt(f).Data(data).Build());
    const RunResult r = ::Run({TONEGRAB_BIN, "-y", "-q", "in.wav", "out.bin"}, "", dir.path());
    EXPECT_EQ(r.status, c.status) << r.out;
    EXPECT_EQ(ReadFile(dir / "out.bin"), c.status == 0 ? payload : Bytes{});
  }
}

class LossyFormats : public Formats {};

TEST_P(LossyFormats, DecodeEveryByteWithRecover) {
  RoundTrip({"--recover"}, false);
}

INSTANTIATE_TEST_SUITE_P(Recover, LossyFormats, testing::ValuesIn(kLossy),
                         [](const testing::TestParamInfo<Row>& info) { return info.param.name; });

}  // namespace
