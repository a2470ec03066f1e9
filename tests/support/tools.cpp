#include "tests/support/tools.h"

#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <vector>

std::string FindOnPath(const std::string& name) {
  std::istringstream path(std::getenv("PATH") ? std::getenv("PATH") : "");
  for (std::string dir; std::getline(path, dir, ':');) {
    const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

std::string ToolOf(const std::string& command) {
  return command.substr(0, command.find(' '));
}

RunResult Convert(const std::string& tool, const std::string& command, const std::string& in,
                  const std::string& out, const std::string& cwd) {
  std::istringstream words(command);
  std::string word;
  words >> word;
  std::vector<std::string> args = {tool, "-nostdin", "-v", "error", "-y", "-i", in};
  if (word == "sox") args = {tool, "-D", in};
  while (words >> word) args.push_back(word == "OUT" ? out : word);
  return Run(args, "", cwd, 60);
}
