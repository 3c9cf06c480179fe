#pragma once
// A simulated instrument served on a pseudo-terminal by a thread of the test, so that
// programs of their own (the stand-in loaders) can reach it through the slave side while
// the window in the test does too. It watches the host's line settings as instrument-sim does.
#include <atomic>
#include <string>
#include <thread>

#include "platform/SerialTypes.h"
#include "sim/Instrument.h"

namespace sessiontest {

class PtyInstrument {
 public:
  explicit PtyInstrument(sim::InstrumentConfig config);
  ~PtyInstrument();
  bool Ok() const { return master_ >= 0; }
  const std::string& SlavePath() const { return slave_; }
  // The slave's settings as the far side reads them.
  platform::LineSettings HostLine() const;

  sim::Instrument instrument;

 private:
  void Serve();
  int master_ = -1;
  int keep_ = -1;  // a slave descriptor of our own: the master never sees a hang-up between opens
  std::string slave_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace sessiontest
