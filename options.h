// The command line: options in getopt_long's conventions, then the input and output paths.
#ifndef TONEGRAB_OPTIONS_H
#define TONEGRAB_OPTIONS_H

inline constexpr int kAllChannels = -1;  // -c all: every channel, combined
inline constexpr int kMaxTakes = 8;      // --take: further captures of the same tape

enum OverwritePolicy : int { kOverwriteAsk, kOverwriteYes, kOverwriteNo };

struct Options {
  const char* inputPath;
  const char* outputPath;  // "out.bin" when none is given
  const char* labelsPath;  // label track of the recovery decoder; nullptr for none
  int channel;             // 1-based; 0 asks; kAllChannels combines them
  OverwritePolicy overwrite;
  bool quiet;    // no listing and no dots
  bool verbose;  // diagnostics on standard error
  bool recover;  // the recovery decoder instead of the exact one

  // --map and --json: the picture and the record of the recording; nullptr for none.
  const char* mapPath;
  const char* jsonPath;

  // --take: the further captures, decoded beside the input and combined with it.
  const char* takePaths[kMaxTakes];
  int takeCount;
};

enum ParseResult : int {
  kParseRun,      // decode with these options
  kParseHelp,     // print the help text, status 0
  kParseVersion,  // print the version, status 0
  kParseUsage,    // wrong number of paths: the usage line, status 1
  kParseRefused,  // a bad option; the message is on standard error, status 1
};

ParseResult ParseOptions(int argc, char** argv, Options* options);

// "-" as a path: standard input as the input, standard output as the output.
bool IsStandardStream(const char* path);

// The usage line, and the help text of every option.
extern const char kUsageLine[];
extern const char kHelpText[];

#endif
