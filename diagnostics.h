// -v: what the run saw, on standard error, so that the listing stays clean. Nothing here runs
// without -v but the one line that says why the input ran out, and the decoder's sample loop is
// never touched: the peak level is taken from each window of the input as it is loaded.
#ifndef TONEGRAB_DIAGNOSTICS_H
#define TONEGRAB_DIAGNOSTICS_H

#include <cstdint>

#include "tape_reader.h"

// Where the run was when it ended.
enum RunPhase : int { kPhaseHeader, kPhaseLeader, kPhaseData };
// Why decoding stopped.
enum StopCause : int { kStopNoByte, kStopEnd, kStopSignal, kStopLost };

// After SetInputKind, the stream at the first sample frame or (text) at byte 0: the format found,
// or why the input is read as text.
void NoteInputKind(TapeReader& tr);
// A recording after SelectChannel: the channel, and from here on the peak level of its samples.
void NoteChannel(TapeReader& tr, int channel);
// Header has locked onto a leader; the stream is at the first start bit.
void NoteLeader(const TapeReader& tr);
// Decoding has stopped at `at` (the start of the byte that did not decode, or where the input
// ended) for `cause`. For a byte that did not decode, reads up to a second further to tell
// whether the signal goes on.
void NoteStop(TapeReader& tr, RunPhase phase, StopCause cause, int64_t at);
// "Read error!": the input ran out at stream position `at` (the chosen channel's first sample at
// `first`) after `bytes` bytes. Says where and how far the run got, on standard error.
void ExplainInputEnd(const TapeReader& tr, RunPhase phase, const char* path, int64_t at,
                     int64_t first, int64_t bytes);

#endif
