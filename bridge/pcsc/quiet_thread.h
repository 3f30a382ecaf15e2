// Threads the bridge starts inside pcscd take no signals: pcscd's handlers must run on
// its own threads (its main loop only notices a Ctrl-C when its own wait is interrupted).
// The kernel's system threads, started from the bridge's thread, inherit the mask.
#pragma once

#include <pthread.h>
#include <signal.h>

#include <thread>
#include <utility>

namespace pcsc_bridge {

template <class Body>
std::thread QuietThread(Body&& body) {
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &previous);
  std::thread thread(std::forward<Body>(body));
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return thread;
}

}  // namespace pcsc_bridge
