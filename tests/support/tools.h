// The audio tools the tests convert recordings with (sox, ffmpeg), found on PATH.
#pragma once

#include <string>

#include "tests/support/run.h"

// Full path of an executable found on PATH, or "" when there is none.
std::string FindOnPath(const std::string& name);

// Runs `command` ("sox OPTIONS OUT EFFECTS" or "ffmpeg OPTIONS OUT") on the file `in`, writing
// `out` in place of the word OUT; both paths as given. sox runs without dither and ffmpeg
// quietly, so every run writes the same file.
RunResult Convert(const std::string& tool, const std::string& command, const std::string& in,
                  const std::string& out, const std::string& cwd);

// The first word of a command.
std::string ToolOf(const std::string& command);

// In a test body: skips the test, loudly, when `tool` is missing; in CI, where the tools are
// installed, a missing one fails instead.
#define REQUIRE_TOOL(toolPath, toolName)                                         \
  do {                                                                           \
    if (!(toolPath).empty()) break;                                              \
    if (std::getenv("CI")) FAIL() << (toolName) << " is not installed";          \
    std::fprintf(stderr, "\n*** %s is NOT INSTALLED: %s is not tested ***\n\n",  \
                 (toolName).c_str(),                                             \
                 testing::UnitTest::GetInstance()->current_test_info()->name()); \
    GTEST_SKIP() << (toolName) << " is not installed";                           \
  } while (0)
