#include "options.h"

#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char* kDefaultOutputPath = "out.bin";
constexpr int kLabelsOption = 256;  // long-only options take values past the characters
constexpr int kMapOption = 257;
constexpr int kJsonOption = 258;
constexpr int kTakeOption = 259;
constexpr int kMaxChannel = 65535;

// The leading ':' makes a missing value return ':', told apart from an unknown option ('?').
constexpr char kShortOptions[] = ":c:ynqvrhV";

const struct option kLongOptions[] = {{"channel", required_argument, nullptr, 'c'},
                                      {"yes", no_argument, nullptr, 'y'},
                                      {"no-clobber", no_argument, nullptr, 'n'},
                                      {"quiet", no_argument, nullptr, 'q'},
                                      {"verbose", no_argument, nullptr, 'v'},
                                      {"recover", no_argument, nullptr, 'r'},
                                      {"labels", required_argument, nullptr, kLabelsOption},
                                      {"map", required_argument, nullptr, kMapOption},
                                      {"json", required_argument, nullptr, kJsonOption},
                                      {"take", required_argument, nullptr, kTakeOption},
                                      {"help", no_argument, nullptr, 'h'},
                                      {"version", no_argument, nullptr, 'V'},
                                      {nullptr, 0, nullptr, 0}};

// A channel number: digits only, 1 to kMaxChannel; or "all".
bool ParseChannel(const char* text, int* channel) {
  if (std::strcmp(text, "all") == 0) {
    *channel = kAllChannels;
    return true;
  }
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || errno != 0 || value < 1 || value > kMaxChannel) return false;
  *channel = static_cast<int>(value);
  return true;
}

// getopt_long refuses "--recover=1" as it refuses an unknown option: a known long option with
// '=' is one that takes no value.
bool TakesNoValue(const char* arg) {
  const char* equals = std::strchr(arg, '=');
  if (arg[0] != '-' || arg[1] != '-' || !equals) return false;
  // getopt_long takes any unambiguous beginning of a name, as "--recov".
  const size_t given = static_cast<size_t>(equals - arg - 2);
  for (const struct option* o = kLongOptions; o->name; ++o) {
    if (o->has_arg == no_argument && given > 0 && given <= std::strlen(o->name) &&
        std::strncmp(arg + 2, o->name, given) == 0)
      return true;
  }
  return false;
}

ParseResult Refuse(const char* what, const char* value) {
  std::fprintf(stderr, "tonegrab: %s%s\nTry \"tonegrab --help\".\n", what, value);
  return kParseRefused;
}

}  // namespace

bool IsStandardStream(const char* path) {
  return path[0] == '-' && path[1] == '\0';
}

const char kUsageLine[] = "Usage: tonegrab <inputfile> [<outputfile>]\n";

const char kHelpText[] =
    "Usage: tonegrab [options] <inputfile> [<outputfile>]\n"
    "Decodes the two-tone data signal of a recording (or a character-pair text file) into\n"
    "<outputfile> (out.bin by default) and lists the bytes in hexadecimal. An <inputfile> of\n"
    "- is standard input; an <outputfile> of - is standard output, the console text then going\n"
    "to standard error.\n"
    "\n"
    "  -c, --channel=N    decode channel N of a multi-channel recording without asking;\n"
    "                     with --recover, all: every channel that carries the signal, combined\n"
    "  -y, --yes          overwrite an existing output file without asking\n"
    "  -n, --no-clobber   never overwrite an existing output file\n"
    "  -q, --quiet        no listing and no dots: only the byte count or the error\n"
    "  -v, --verbose      diagnostics on standard error\n"
    "  -r, --recover      the recovery decoder for worn or noisy recordings: decodes through\n"
    "                     damage, follows the tape's speed, and decodes every block\n"
    "      --labels=FILE  with --recover: write an Audacity label track of the blocks and\n"
    "                     the damaged bytes to FILE\n"
    "      --take=FILE    with --recover: another capture of the same tape, combined with the\n"
    "                     input bit by bit (up to 8 takes)\n"
    "      --map=FILE     write a picture of the recording to FILE (SVG): level, blocks,\n"
    "                     damaged bytes, speed and quality along the tape\n"
    "      --json=FILE    write the same facts to FILE as JSON; - is standard output\n"
    "  -h, --help         this text\n"
    "  -V, --version      the version\n"
    "\n"
    "Exit status: 0 decoded; 1 failed; 2 (with --recover) bytes written, some damaged;\n"
    "128+N ended by signal N (SIGINT, SIGTERM, SIGHUP), every listed byte written.\n";

ParseResult ParseOptions(int argc, char** argv, Options* options) {
  *options = Options{nullptr,
                     kDefaultOutputPath,
                     nullptr,
                     0,
                     kOverwriteAsk,
                     false,
                     false,
                     false,
                     nullptr,
                     nullptr,
                     {},
                     0};
  // Messages for unknown options are ours, on standard error.
  opterr = 0;
  // Paths and options may come in any order (getopt_long permutes); "--" ends the options.
  int c;
  bool yes = false, noClobber = false;
  while ((c = getopt_long(argc, argv, kShortOptions, kLongOptions, nullptr)) != -1) {
    switch (c) {
      case 'c':
        if (!ParseChannel(optarg, &options->channel)) return Refuse("invalid channel: ", optarg);
        break;
      case 'y':
        options->overwrite = kOverwriteYes;
        yes = true;
        break;
      case 'n':
        options->overwrite = kOverwriteNo;
        noClobber = true;
        break;
      case 'q':
        options->quiet = true;
        break;
      case 'v':
        options->verbose = true;
        break;
      case 'r':
        options->recover = true;
        break;
      case kLabelsOption:
        options->labelsPath = optarg;
        break;
      case kMapOption:
        options->mapPath = optarg;
        break;
      case kJsonOption:
        options->jsonPath = optarg;
        break;
      case kTakeOption:
        if (options->takeCount == kMaxTakes)
          return Refuse("too many takes: at most 8, at ", optarg);
        options->takePaths[options->takeCount++] = optarg;
        break;
      case 'h':
        return kParseHelp;
      case 'V':
        return kParseVersion;
      default:
        return Refuse(c == ':'                         ? "option needs a value: "
                      : TakesNoValue(argv[optind - 1]) ? "option takes no value: "
                                                       : "unknown option: ",
                      argv[optind - 1]);
    }
  }
  if (yes && noClobber) return Refuse("-y and -n contradict each other", "");
  const int paths = argc - optind;
  if (paths != 1 && paths != 2) return kParseUsage;
  options->inputPath = argv[optind];
  if (paths == 2) options->outputPath = argv[optind + 1];
  if (options->labelsPath && !options->recover) return Refuse("--labels goes with ", "--recover");
  if (options->takeCount > 0 && !options->recover) return Refuse("--take goes with ", "--recover");
  if (options->channel == kAllChannels && !options->recover)
    return Refuse("-c all goes with ", "--recover: without it, choose one channel");
  return kParseRun;
}
