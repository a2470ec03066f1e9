// The recovery mode's side of the driver: the recovery decoder's blocks to files, the listing,
// the summary and the label track.
#ifndef TONEGRAB_RECOVER_RUN_H
#define TONEGRAB_RECOVER_RUN_H

#include <sys/stat.h>

#include "byte_stream.h"
#include "options.h"
#include "tape_reader.h"

// Exit statuses of the recovery mode beyond success and failure.
inline constexpr int kRecoverDamaged = 2;

// Decodes every block of the recording in `tr` (standing on the chosen channel's first sample,
// or with -c all on its first frame; `channel` the one chosen, or kAllChannels), once
// RecoverRateFits has said yes for it, and with --take the takes too, combined with it. Block 1
// goes to `out`, open on options.outputPath but not yet emptied; block k to the same name with -k
// before the extension; on standard output every block follows the one before. A recording without
// a block leaves the files as they were. Returns the exit status: 0 clean, 2 some bytes damaged, 1
// failure. *bytes counts the bytes written, in all blocks.
int RecoverToFiles(TapeReader& tr, int channel, OutputStream& out, const Options& options,
                   const struct stat& inputInfo, int64_t* bytes);

// Whether the label track of --labels may go where it is named: not over the input, the output,
// the file of any block the run may write, nor onto standard output when the bytes go there.
// Checked before any file is touched; false, with the message, when it would take one's place.
bool LabelsPathFits(const Options& options, const struct stat& inputInfo);

// A read error inside a take's header (the reader ends the run there): true, with the message,
// when one was being read; nothing has been decoded or written then.
bool EndInTakeHeader();

// Readies the recovery decoder for the recording's sample rate; false, with the message, when it
// cannot take it.
bool RecoverRateFits(const TapeReader& tr);

// The file of block k (k >= 2): `path` with "-k" before the extension of its last component.
// Returns false when it does not fit in `size` bytes.
bool BlockPath(const char* path, int block, char* out, size_t size);

#endif
