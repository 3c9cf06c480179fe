#include "platform/Interrupts.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <thread>

namespace platform {

struct InterruptWatch::Impl {
  sigset_t watched{};
  sigset_t previous{};
  std::atomic<bool> stopping{false};
  std::thread thread;
};

InterruptWatch::InterruptWatch(std::function<void(int signal, int count)> onRequest)
    : d_(std::make_unique<Impl>()) {
  sigemptyset(&d_->watched);
  sigaddset(&d_->watched, SIGINT);
  sigaddset(&d_->watched, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &d_->watched, &d_->previous);
  Impl* d = d_.get();
  d_->thread = std::thread([d, onRequest = std::move(onRequest)] {
    int count = 0;
    for (;;) {
      int signal = 0;
      if (sigwait(&d->watched, &signal) != 0) continue;
      if (d->stopping.load()) return;
      onRequest(signal, ++count);
    }
  });
}

InterruptWatch::~InterruptWatch() {
  d_->stopping.store(true);
  // Wakes the watch out of its wait; the signal is taken by it, never by the process.
  pthread_kill(d_->thread.native_handle(), SIGTERM);
  d_->thread.join();
  pthread_sigmask(SIG_SETMASK, &d_->previous, nullptr);
}

void EndProcessNow(int status) {
  std::fflush(stdout);
  std::fflush(stderr);
  ::_exit(status);
}

}  // namespace platform
