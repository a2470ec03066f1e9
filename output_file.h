// Output files: settled before decoding (the input itself refused, the overwrite question or
// the policy), and emptied only once every question has been answered.
#ifndef TONEGRAB_OUTPUT_FILE_H
#define TONEGRAB_OUTPUT_FILE_H

#include <sys/stat.h>

#include "byte_stream.h"
#include "options.h"

// Opens `path` for writing without emptying it, after the checks; returns the descriptor, or -1
// with the message printed when the run ends here. `input` is the input's identity. "-" is
// standard output.
int PrepareOutput(const char* path, const struct stat& input, OverwritePolicy policy);
// The run ends before decoding: a prepared output that this run created, and that StartOutput has
// not started, is removed again, so that a refused run leaves nothing behind.
void DiscardOutput(const char* path);
// Whether two stat records name the same file.
bool SameFile(const struct stat& a, const struct stat& b);
// Empties a prepared output that is a regular file: the decoded bytes replace its contents.
// Standard output is left as the shell opened it. Returns false (message printed) when it cannot
// be emptied.
bool StartOutput(int fd, const char* path);
// Writes out the bytes collected in `out`, the output file `path`; says so when not all of them
// reached it. Returns whether they did.
bool SaveOutput(OutputStream& out, const char* path);

#endif
