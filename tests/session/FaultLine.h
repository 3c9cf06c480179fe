#pragma once
// The line between the host's port and a simulated instrument, with the faults of the fault
// matrix: a byte of an answer dropped or corrupted, a byte of the host's write dropped or
// corrupted, the instrument silent for good, the port unplugged, answers held back for a
// while, the instrument restarted as after a power cut, and noise. Faults are tied to the
// index of the host's write: "the answer to write k" is what the instrument sends while it
// takes write k. Every write is kept with the instrument's state before it, so that a
// fault-free run tells where the blocks of an update lie.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Loopback.h"
#include "sim/Instrument.h"

namespace sessiontest {

class FaultLine : public platform::LoopbackPeer, private platform::LoopbackLine {
 public:
  enum class Kind {
    None,
    DropAnswerByte,     // byte `param` of the answer to write `at` (from its end when negative)
    CorruptAnswerByte,  // likewise, XOR 0x5A
    DropHostByte,       // byte `param` of write `at` never reaches the instrument
    CorruptHostByte,    // likewise, XOR 0x5A
    Silence,            // from write `at` on the instrument hears and says nothing
    PortGone,           // write `at` unplugs the port
    Delay,              // the answer to write `at` (and what follows it) `param` ms late
    Restart,            // write `at` is lost to an instrument that restarts (as after a power cut)
                        // and announces itself kBootMs later
    Noise,              // `noise` in front of the answers to writes `at` .. `at` + `param`
  };
  struct Fault {
    Kind kind = Kind::None;
    int at = -1;
    int param = 0;
    std::string noise;
  };
  struct Write {
    std::string bytes;
    sim::Instrument::State state;  // the instrument's, before the write
    std::uint32_t ms;
  };

  // How long a restarting instrument is deaf before it announces itself.
  static constexpr std::uint32_t kBootMs = 1000;

  // restart: makes the instrument as it is after a power cut from the one before (its memory
  // kept); the line then uses the new one.
  FaultLine(std::unique_ptr<sim::Instrument> instrument, int com,
            std::function<std::unique_ptr<sim::Instrument>(const sim::Instrument&)> restart);
  ~FaultLine() override;

  void Arm(const Fault& fault);
  // Disarms the faults that act once (all but Silence): a retry meets a sound line.
  void Disarm();

  sim::Instrument& Instrument() const;
  // Every instrument the line has had, the first first (more than one after a restart).
  std::vector<sim::Instrument*> Instruments() const;
  std::vector<Write> Writes() const;
  int WriteCount() const;
  bool Restarted() const;
  // Called regularly on the window's thread: late answers whose time has come.
  void Tick();

  // platform::LoopbackPeer
  void Attach(platform::LoopbackLine* line) override;
  void OnHostBytes(const std::uint8_t* data, std::size_t n, const platform::LineSettings& line) override;
  void OnHostLineChanged(const platform::LineSettings& line) override;
  bool Busy() override;

 private:
  // platform::LoopbackLine, as the instrument sees it.
  void Emit(const std::uint8_t* data, std::size_t n) override;
  void EmitLineError(unsigned bits) override;
  platform::LineSettings HostLine() const override;

  void Forward(std::vector<std::uint8_t> bytes);
  void DoRestart();

  mutable std::recursive_mutex mutex_;
  std::vector<std::unique_ptr<sim::Instrument>> instruments_;  // the last is the one on the line
  int com_;
  std::function<std::unique_ptr<sim::Instrument>(const sim::Instrument&)> restart_;
  platform::LoopbackLine* host_ = nullptr;
  Fault fault_;
  bool armed_ = false;
  bool silent_ = false;
  std::vector<Write> writes_;
  int current_ = -1;                  // the write being taken, -1 outside one
  std::vector<std::uint8_t> answer_;  // the answer to the current write so far
  struct Late {
    std::uint32_t due;
    std::vector<std::uint8_t> bytes;
    bool lineError = false;
    unsigned bits = 0;
  };
  std::vector<Late> late_;
  std::uint32_t bootEnds_ = 0;  // a restarted instrument hears nothing before this
  bool booting_ = false;
};

}  // namespace sessiontest
