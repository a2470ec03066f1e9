#include "worker.h"

#include <csignal>

bool WorkerStart(Worker& w, void* (*loop)(void*), void* arg) {
  if (pthread_mutex_init(&w.lock, nullptr) != 0) return false;
  if (pthread_cond_init(&w.changed, nullptr) != 0) {
    pthread_mutex_destroy(&w.lock);
    return false;
  }
  w.quit = false;
  sigset_t all, before;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &before);
  const bool started = pthread_create(&w.thread, nullptr, loop, arg) == 0;
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  if (!started) {
    pthread_cond_destroy(&w.changed);
    pthread_mutex_destroy(&w.lock);
  }
  return started;
}

void WorkerStop(Worker& w) {
  pthread_mutex_lock(&w.lock);
  w.quit = true;
  pthread_cond_broadcast(&w.changed);
  pthread_mutex_unlock(&w.lock);
  pthread_join(w.thread, nullptr);
  pthread_cond_destroy(&w.changed);
  pthread_mutex_destroy(&w.lock);
}
