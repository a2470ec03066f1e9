#include "output_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "console.h"

namespace {

// Files this run created that hold nothing of it yet: a run that ends before decoding removes
// them again. Few files are open at once: the output, the label track and a block's file.
constexpr int kMaxCreated = 8;
const char* created[kMaxCreated];

void RememberCreated(const char* path) {
  for (const char*& slot : created) {
    if (slot == nullptr) {
      slot = path;
      return;
    }
  }
}

// The file at `path` receives its bytes now: it is no longer one to remove.
void ForgetCreated(const char* path) {
  for (const char*& slot : created) {
    if (slot != nullptr && std::strcmp(slot, path) == 0) slot = nullptr;
  }
}

// Whether an existing file may be overwritten: by the policy, or by the answer.
bool MayOverwrite(const char* path, OverwritePolicy policy) {
  switch (policy) {
    case kOverwriteYes:
      return true;
    case kOverwriteNo:
      PrintWithPath("\tNot overwriting \"", path, "\" (--no-clobber)\n\n");
      return false;
    default:
      return ConfirmOverwrite(path);
  }
}

void ReportCreateError(const char* path, int error) {
  PrintWithPath("\tError creating file \"", path, "\"\n\n");
  Explain(path, "%s", std::strerror(error));
}

}  // namespace

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

int PrepareOutput(const char* path, const struct stat& input, OverwritePolicy policy) {
  struct stat info;
  const bool standard = IsStandardStream(path);
  const bool exists = standard ? fstat(STDOUT_FILENO, &info) == 0 : stat(path, &info) == 0;
  // On standard output only a regular file can be lost: a terminal may well be both input and
  // output.
  if (exists && SameFile(info, input) && (!standard || S_ISREG(info.st_mode))) {
    PrintWithPath("\tInput and output are the same file \"", path, "\"\n\n");
    return -1;
  }
  if (standard) return STDOUT_FILENO;
  // Only a file's contents can be lost: a device, a FIFO or a terminal is written without asking.
  // A directory is asked about as before, and then cannot be created.
  if (exists && (S_ISREG(info.st_mode) || S_ISDIR(info.st_mode)) && !MayOverwrite(path, policy))
    return -1;
  // O_EXCL: a file that appeared after the check is not taken for one this run created.
  const int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC | (exists ? 0 : O_EXCL), 0666);
  if (fd < 0) ReportCreateError(path, errno);
  if (fd >= 0 && !exists) RememberCreated(path);
  return fd;
}

void DiscardOutput(const char* path) {
  for (const char*& slot : created) {
    if (slot != nullptr && std::strcmp(slot, path) == 0) {
      unlink(path);
      slot = nullptr;
    }
  }
}

bool StartOutput(int fd, const char* path) {
  struct stat info;
  ForgetCreated(path);
  if (IsStandardStream(path)) return true;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size == 0) return true;
  if (ftruncate(fd, 0) == 0) return true;
  ReportCreateError(path, errno);
  return false;
}

bool SaveOutput(OutputStream& out, const char* path) {
  if (OutputFlush(out)) return true;
  const int error = errno;  // the failed write's, the last call that could set it
  PrintWithPath("\n\tError writing file \"", path, "\"\n\n");
  Explain(path, "%s", error != 0 ? std::strerror(error) : "the file takes no more bytes");
  return false;
}
