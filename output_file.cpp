#include "output_file.h"

#include <fcntl.h>
#include <unistd.h>

#include "console.h"

namespace {

bool createdByRun = false;

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
  if (fd < 0) PrintWithPath("\tError creating file \"", path, "\"\n\n");
  createdByRun = fd >= 0 && !exists;
  return fd;
}

void DiscardOutput(const char* path) {
  if (createdByRun) unlink(path);
  createdByRun = false;
}

bool StartOutput(int fd, const char* path) {
  struct stat info;
  if (IsStandardStream(path)) return true;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size == 0) return true;
  if (ftruncate(fd, 0) == 0) return true;
  PrintWithPath("\tError creating file \"", path, "\"\n\n");
  return false;
}

bool SaveOutput(OutputStream& out, const char* path) {
  if (OutputFlush(out)) return true;
  PrintWithPath("\n\tError writing file \"", path, "\"\n\n");
  return false;
}
