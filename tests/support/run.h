// Runs a program in a given directory with given standard input and captures its output.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct RunResult {
  int status = -1;        // exit status when it exited normally
  int signal = 0;         // signal number when it was killed by one
  bool timedOut = false;  // killed by Run after the time bound
  std::string out, err;
};

// args[0] is the program path. The stdin text is written to a pipe that is then closed.
RunResult Run(const std::vector<std::string>& args, const std::string& stdinText = "",
              const std::string& cwd = ".", int timeoutSeconds = 20);

// Whole files as bytes.
void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes);
std::vector<uint8_t> ReadFile(const std::string& path);

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};
