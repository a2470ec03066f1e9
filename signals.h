// The signals that end a run early (SIGINT, SIGTERM, SIGHUP): caught, so that the run ends like
// the end of input, with every decoded byte written out.
#ifndef TONEGRAB_SIGNALS_H
#define TONEGRAB_SIGNALS_H

// Installs the handlers. Blocking reads and waits are interrupted by these signals rather than
// restarted, so the input stream sees the end at once.
void CatchEndSignals();
// The number of the first of these signals that came, or 0.
int PendingSignal();
// "SIGINT", "SIGTERM" or "SIGHUP".
const char* SignalName(int signal);

#endif
