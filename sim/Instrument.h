#pragma once
// The simulated instrument: the text command protocol of its firmware, an optional boot
// mode that answers wake-up frames, and its loader (the classic ROM loader or the 5xx
// bootstrap loader) with its flash. It is the far
// end of a loopback serial device (or of a pseudo-terminal, see main.cpp) and answers only at
// its own line settings. Without pacing, answers are emitted synchronously from OnHostBytes,
// so virtual-time tests see them at once; with pacing they leave at the line rate.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "platform/Loopback.h"
#include "sim/Bsl5xxLoader.h"
#include "sim/ClassicLoader.h"
#include "sim/Config.h"
#include "sim/Flash.h"
#include "sim/Pacer.h"
#include "sim/RecordLoader.h"
#include "sim/TextProtocol.h"

namespace sim {

struct LogEntry {
  std::uint32_t ms;  // time stamp from the configured clock
  std::string kind;  // "cmd", "frame", "sync", "wake", "wrong-line", "fault", "state"
  std::string text;
};

class Instrument : public platform::LoopbackPeer {
 public:
  enum class State { Text, BootWait, Loader, Disconnected };

  explicit Instrument(InstrumentConfig config = {});
  ~Instrument() override;

  // platform::LoopbackPeer
  void Attach(platform::LoopbackLine* line) override;
  void OnHostBytes(const std::uint8_t* data, std::size_t n, const platform::LineSettings& line) override;
  void OnHostLineChanged(const platform::LineSettings& line) override;
  bool Busy() override;
  // Time-driven work (the start-up line's fallback); the pty program calls it regularly.
  void Tick();

  // Other transports (the pseudo-terminal program): where emitted bytes and line errors go.
  void SetSinks(std::function<void(const std::uint8_t*, std::size_t)> bytes,
                std::function<void(unsigned)> lineError);
  // Called once when an injected disconnection happens (a test may hang up its loopback port).
  void SetDisconnectHandler(std::function<void()> handler);
  // Every log entry as it is made (for a log file).
  void SetLogSink(std::function<void(const LogEntry&)> sink);

  // Preloads the flash from a TI-TXT image (before the host talks to it).
  bool LoadFirmware(const std::string& tiTxt, std::string* error);
  // An unsolicited line from the instrument, CR LF added.
  void SendLine(const std::string& line);
  // With pacing: waits until everything is emitted.
  bool WaitIdle(std::uint32_t ms);

  // Observations; all thread-safe.
  State GetState() const;
  std::uint32_t ListeningBaud() const;  // the rate it answers at now
  std::string Version() const;
  std::vector<LogEntry> Log() const;
  std::vector<std::string> Commands() const;
  bool InCommandMode() const;
  bool Ended() const;
  int EndCount() const;
  std::string ClockValue() const;
  int ClockCount() const;
  std::string AirPressure() const;
  int FirmwareStarts() const;
  bool LoaderUnlocked() const;
  std::uint8_t ReadMemory(std::uint32_t address) const;
  std::map<std::uint32_t, std::uint8_t> FlashBytes() const;  // not 0xFF, by address
  std::string DumpTiTxt() const;
  // Raw image of main flash from its start address (unwritten bytes 0xFF).
  std::vector<std::uint8_t> DumpMain(std::uint32_t* base) const;

 private:
  struct Action {
    std::vector<std::uint8_t> bytes;
    unsigned errorBits = 0;
  };
  void Record(const std::string& kind, const std::string& text);
  std::uint32_t Now() const;
  bool LineMatches(const platform::LineSettings& line) const;
  void Dispatch(const std::uint8_t* data, std::size_t n, std::vector<std::uint8_t>& out);
  void Wake(std::vector<std::uint8_t>& out);
  void FirmwareStarted();
  std::vector<std::uint8_t> Faulted(const std::vector<std::uint8_t>& bytes);
  // The instrument's own line now: bits per byte and rate.
  platform::LineSettings OwnLine() const;
  void Announce(std::vector<Action>& actions);
  void Deliver(std::vector<Action> actions, std::size_t hostBytes, const platform::LineSettings& line);
  void Emit(const std::vector<std::uint8_t>& bytes, unsigned errorBits);
  std::uint16_t ResetVector() const;
  void EnterLoader();
  void EnterRecordLoader();
  bool Is5xx() const { return config_.loaderKind == LoaderKind::Bsl5xx; }
  std::uint32_t LoaderBaud() const;

  mutable std::mutex mutex_;
  InstrumentConfig config_;
  Flash flash_;
  ClassicLoader loader_;
  Bsl5xxLoader bsl5xx_;
  RecordLoader records_;
  bool recordMode_ = false;  // State::Loader is the record loader
  TextProtocol text_;
  State state_;
  std::vector<std::uint8_t> bootBuffer_;
  std::vector<LogEntry> log_;
  std::function<void(const LogEntry&)> logSink_;
  std::function<void()> onDisconnect_;
  bool disconnectReported_ = false;
  int firmwareStarts_ = 0;
  bool startupPending_ = false;
  std::uint32_t firmwareStartMs_ = 0;
  std::uint64_t emitted_ = 0;
  std::mt19937 random_;
  std::uint32_t startMs_;

  std::mutex sinkMutex_;
  platform::LoopbackLine* line_ = nullptr;
  std::function<void(const std::uint8_t*, std::size_t)> byteSink_;
  std::function<void(unsigned)> errorSink_;

  std::unique_ptr<Pacer> pacer_;
  Pacer::Clock::time_point inputFree_{};
};

const char* StateName(Instrument::State state);

}  // namespace sim
