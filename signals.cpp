#include "signals.h"

#include <csignal>

#include "byte_stream.h"

namespace {

constexpr int kEndSignals[] = {SIGINT, SIGTERM, SIGHUP};

// The flag lives with the input stream, whose refills test it.
void Remember(int signal) {
  if (inputEndSignal == 0) inputEndSignal = signal;
}

}  // namespace

void CatchEndSignals() {
  struct sigaction action = {};
  action.sa_handler = Remember;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a blocked read returns EINTR
  for (const int signal : kEndSignals) sigaction(signal, &action, nullptr);
}

int PendingSignal() {
  return inputEndSignal;
}

const char* SignalName(int signal) {
  switch (signal) {
    case SIGINT:
      return "SIGINT";
    case SIGTERM:
      return "SIGTERM";
    case SIGHUP:
      return "SIGHUP";
    default:
      return "a signal";
  }
}
