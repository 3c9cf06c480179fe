#pragma once
// Termination requests for a command-line program (Ctrl+C, SIGINT; SIGTERM): instead of
// ending the process at once, each request is handed to a callback on a thread of its own, so
// that the program can decide to go on or to end in order.
#include <functional>
#include <memory>

namespace platform {

class InterruptWatch {
 public:
  // Blocks SIGINT and SIGTERM in the calling thread and in every thread started from it from
  // now on, so construct it before any other thread. onRequest runs on the watch's own thread
  // with the signal number and the number of requests so far (1, 2, ...).
  explicit InterruptWatch(std::function<void(int signal, int count)> onRequest);
  // Stops watching; the signals' default handling comes back.
  ~InterruptWatch();
  InterruptWatch(const InterruptWatch&) = delete;
  InterruptWatch& operator=(const InterruptWatch&) = delete;

 private:
  struct Impl;
  std::unique_ptr<Impl> d_;
};

// Ends the process at once with the status, standard output flushed first.
[[noreturn]] void EndProcessNow(int status);

}  // namespace platform
