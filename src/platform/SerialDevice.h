#pragma once
// A serial device opened by its COM number. COM numbers stay the program's identity; this
// layer maps them onto device paths (UPDATE_COM_PORTS, else the serial devices that exist)
// or onto in-process loopback peers, and gives the port object the driver services it
// needs: line settings, time-outs with the semantics of a blocking read and write, a
// bounded wait for data or line-error events, purge, input-queue length, hang-up.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/SerialTypes.h"

namespace platform {

// Purge flags (the values the port object's callers pass on).
enum PurgeFlags : unsigned {
  PurgeTxAbort = 0x1,
  PurgeRxAbort = 0x2,
  PurgeTxClear = 0x4,
  PurgeRxClear = 0x8,
};

// What WaitEvent reports.
enum SerialEventBits : unsigned {
  SerialEvData = 1,       // new bytes arrived since the last wait
  SerialEvLineError = 2,  // a line-error event; TakeLineErrors tells which
  SerialEvHangup = 4,     // the device went away (unplugged, far side closed)
};

class SerialDevice {
 public:
  virtual ~SerialDevice();
  SerialDevice(const SerialDevice&) = delete;
  SerialDevice& operator=(const SerialDevice&) = delete;

  int ComNumber() const { return com_; }
  const std::string& Path() const { return path_; }

  // Results of configuration calls are advisory: a device may keep part of a setting (a
  // pseudo-terminal drops parity) and still work.
  virtual bool GetSettings(LineSettings& out) = 0;
  virtual bool ApplySettings(const LineSettings& s) = 0;
  virtual bool GetTimeouts(LineTimeouts& out) = 0;
  virtual bool ApplyTimeouts(const LineTimeouts& t) = 0;

  // Blocking read: ends when count bytes arrived, readInterval ms passed after a byte
  // without another, or readMultiplier * count + readConstant ms passed (no total limit
  // when both are 0; then at most kReadBound ms). Bytes read, or -1 when the device is gone
  // and nothing was read.
  virtual long Read(void* buffer, std::size_t count) = 0;
  // What has arrived, at most count bytes, without waiting for more: for event-driven readers
  // that are told when further bytes come. -1 when the device is gone and nothing was read.
  virtual long ReadAvailable(void* buffer, std::size_t count) = 0;
  // Blocking write: the bytes handed over within writeMultiplier * n + writeConstant ms (no
  // limit when both are 0). -1 when the device is gone, kWriteAborted after PurgeTxAbort.
  virtual long Write(const void* data, std::size_t n) = 0;
  static constexpr long kWriteAborted = -2;
  static constexpr std::uint32_t kReadBound = 10000;

  // Waits up to ms for data or a line-error event (SerialEventBits; 0 on time-out or after
  // CancelWait). Data that is already waiting unread does not make it return again.
  virtual unsigned WaitEvent(std::uint32_t ms) = 0;
  // Makes a WaitEvent in progress (or the next one) return 0 at once. Any thread.
  virtual void CancelWait() = 0;
  // The receive thread has turned the events of its last wait into messages.
  virtual void EventsHandled() {}
  // Reads and clears the line-error state (LineErrorBits).
  virtual unsigned TakeLineErrors() = 0;
  virtual void ClearBreak() {}

  virtual bool Purge(unsigned flags) = 0;
  // Bytes waiting in the input queue.
  virtual long InputQueue() = 0;
  virtual bool HungUp() = 0;

 protected:
  SerialDevice(int com, std::string path) : com_(com), path_(std::move(path)) {}

 private:
  int com_;
  std::string path_;
};

enum class SerialOpenError {
  None,
  NotFound,    // no such port or not a serial device
  Busy,        // held by another open (this program or another)
  Permission,  // the user may not open it
  Other,
};

struct SerialOpenResult {
  std::unique_ptr<SerialDevice> device;
  SerialOpenError error = SerialOpenError::NotFound;
  std::string path;   // the device path tried (empty when the COM number maps to nothing)
  std::string group;  // with Permission: the group that owns the device, if known
  int sysError = 0;   // errno of the failure
  // With Permission: the user who may not open it; whether that user is listed in the group,
  // and whether this program already runs with the group (it does not until the user logs in
  // again after joining).
  std::string user;
  bool userInGroup = false;
  bool sessionHasGroup = false;
  // With Busy: the programs that hold the device open (process id, name), as far as the
  // system tells (other users' processes may be hidden); this program is never among them.
  std::vector<std::pair<int, std::string>> holders;
};

// Opens COM<comNumber> exclusively.
SerialOpenResult OpenSerialDevice(int comNumber);

// Probe without keeping the device open: Usable (opened and closed again), Busy (exists but
// held or not permitted), Missing (no such port, or not a serial device).
enum class SerialProbe { Usable, Busy, Missing };
SerialProbe ProbeSerialDevice(int comNumber);

// The COM numbers that map to a device path or a loopback peer, ascending, with their paths.
std::vector<std::pair<int, std::string>> SerialPortList();
// The device path behind a COM number ("" when it maps to nothing): a hint for the user.
std::string SerialDevicePath(int comNumber);

// Replaces UPDATE_COM_PORTS for this process ("3=/dev/pts/4,7=/dev/ttyUSB0"; an empty text
// means no ports but the loopback ones); nullopt goes back to the environment.
void SetSerialPortMap(std::optional<std::string> map);

}  // namespace platform
