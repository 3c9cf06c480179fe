#pragma once
// The simulated instrument: the text command protocol of its firmware, an optional boot
// mode that answers wake-up frames, its loader (the classic ROM loader or the 5xx bootstrap
// loader) with its flash, the serial boot loader that takes an image with XMODEM-CRC, the
// Windows-CE file receiver and the Basic-Loader terminal. It is the far
// end of a loopback serial device (or of a pseudo-terminal, see Main.cpp) and answers only at
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
#include "sim/BasicLoader.h"
#include "sim/ClassicLoader.h"
#include "sim/Config.h"
#include "sim/Flash.h"
#include "sim/Pacer.h"
#include "sim/RecordLoader.h"
#include "sim/TextProtocol.h"
#include "sim/WinCEReceiver.h"
#include "sim/XmodemLoader.h"

namespace sim {

struct LogEntry {
  std::uint32_t ms;  // time stamp from the configured clock
  std::string kind;  // "cmd", "frame", "sync", "wake", "wrong-line", "fault", "state",
                     // "block", "file" (file receiver), "loader", "record" (Basic-Loader),
                     // "xmodem" (XMODEM loader)
  std::string text;
};

class Instrument : public platform::LoopbackPeer {
 public:
  // Loader: the classic ROM loader; WinCE: the file receiver at the transfer speed;
  // BasicLoader: the Basic-Loader terminal; Xmodem: the XMODEM-CRC serial boot loader.
  enum class State { Text, BootWait, Loader, WinCE, BasicLoader, Xmodem, Disconnected };

  explicit Instrument(InstrumentConfig config = {});
  ~Instrument() override;

  // platform::LoopbackPeer
  void Attach(platform::LoopbackLine* line) override;
  void OnHostBytes(const std::uint8_t* data, std::size_t n, const platform::LineSettings& line) override;
  void OnHostLineChanged(const platform::LineSettings& line) override;
  bool Busy() override;
  // Time-driven work (the start-up line's fallback, the file receiver's time-outs and its
  // restart, the XMODEM loader's requests and time-outs); the pty program calls it regularly,
  // virtual-time tests after moving the clock.
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

  // The file receiver: the instrument's files (configured and received), names received in
  // order, data packets seen.
  std::vector<WinCEFile> WinCEFiles() const;
  std::vector<std::string> WinCEReceived() const;
  int WinCEBlocks() const;
  // The Basic-Loader: its phase, the bytes programmed since its erase, record lines taken,
  // and the memory as an S-record file or as raw bytes from flashStart to the highest
  // programmed address (unwritten bytes 0xFF).
  BasicLoader::Phase BasicLoaderPhase() const;
  std::map<std::uint32_t, std::uint8_t> BasicMemory() const;
  int BasicRecords() const;
  std::string DumpBasicSRecords() const;
  std::vector<std::uint8_t> DumpBasicBinary(std::uint32_t* base) const;
  // The file-list upload: the files kept (under their announced names) and the names in the
  // order their files were closed.
  std::vector<UploadedFile> UploadedFiles() const;
  std::vector<std::string> UploadedNames() const;
  // The XMODEM loader: its state and what its current (or last) upload received.
  XmodemLoader::Status Xmodem() const;
  std::vector<std::uint8_t> XmodemReceived() const;

 private:
  struct Action {
    std::vector<std::uint8_t> bytes;
    unsigned errorBits = 0;
  };
  void Record(const std::string& kind, const std::string& text);
  std::uint32_t Now() const;
  bool LineMatches(const platform::LineSettings& line) const;
  void Dispatch(const std::uint8_t* data, std::size_t n, const platform::LineSettings& line,
                std::vector<Action>& actions);
  void Disconnect();
  // Bytes the instrument sends at its own line: the host gets them only when it listens there.
  void Say(std::vector<Action>& actions, std::vector<std::uint8_t> bytes);
  void EnterBasicLoader(std::vector<Action>& actions);
  void BasicLoaderHostLine(const platform::LineSettings& line, std::vector<Action>& actions);
  void SpeedChange(std::uint32_t baud);
  void CheckSpeedAck(std::vector<Action>& actions);
  void CheckIdle();
  void Restarted();
  void Wake(std::vector<std::uint8_t>& out);
  void FirmwareStarted(std::string version);
  std::string VersionFromFlash() const;
  std::string VersionFromImage(const std::vector<std::uint8_t>& image) const;
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
  WinCEReceiver wince_;
  BasicLoader basic_;
  XmodemLoader xmodem_;
  std::vector<std::uint8_t> bootBuffer_;
  std::vector<LogEntry> log_;
  std::function<void(const LogEntry&)> logSink_;
  std::function<void()> onDisconnect_;
  bool disconnectReported_ = false;
  int firmwareStarts_ = 0;
  bool startupPending_ = false;
  std::uint32_t firmwareStartMs_ = 0;
  std::uint32_t startupDelayMs_ = 0;     // the fallback, or the file receiver's restart time
  bool startupOnLineChange_ = true;      // a line change back to the text settings announces
  // The file receiver's line and speed changes.
  std::uint32_t winceBaud_ = 38400;
  std::uint32_t textBaudBefore_ = 9600;  // the text rate before the first speed change
  bool speedAckPending_ = false;
  std::uint32_t speedChangeMs_ = 0;
  bool restartAfterAck_ = false;
  std::uint32_t lastHostMs_ = 0;
  // The host's line as last seen (bytes or a change); answers at another line are lost.
  platform::LineSettings hostLine_;
  bool hostLineKnown_ = false;
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
