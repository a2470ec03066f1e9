// A thread beside the decoder's, with the lock and the condition that guard what it shares: it
// starts with every signal blocked, so that the handlers run in the main thread as without it,
// and it is ended by setting `quit` under the lock and waking it.
#ifndef TONEGRAB_WORKER_H
#define TONEGRAB_WORKER_H

#include <pthread.h>

struct Worker {
  pthread_t thread;
  pthread_mutex_t lock;
  pthread_cond_t changed;
  bool quit;  // under the lock: the thread is to end
};

// Readies the lock and the condition and starts loop(arg); false, with nothing left to undo,
// when that cannot be done.
bool WorkerStart(Worker& w, void* (*loop)(void*), void* arg);
// Sets quit, wakes the thread, waits for it to end and undoes the lock and the condition.
void WorkerStop(Worker& w);

#endif
