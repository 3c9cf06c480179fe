#pragma once
// The two threads of an open port: the receive thread announces data and line errors to
// the port's owner (it never reads data itself), the transmit thread sends background
// writes from the staging buffer.
#include <atomic>
#include <cstdint>
#include <vector>

#include "comport/Comport.h"
#include "platform/Headless.h"
#include "platform/SerialDevice.h"
#include "platform/Thread.h"

namespace comport {

class TV24Read_Thread {
 public:
  TV24Read_Thread(platform::Form* window, int comNumber, platform::SerialDevice* device);
  virtual ~TV24Read_Thread();

  void Start();
  // Asks the thread to end; it notices at once (its waits are woken).
  void Terminate();
  void WaitFor();

  void SetNotified(bool on);
  bool Notified();
  void SetNotificationPause(std::uint32_t ms) { pause_ = ms; }
  std::uint32_t NotificationPause() const { return pause_; }
  // False once the thread has ended on its own (the device went away).
  bool Running();

 protected:
  // Posts one of the receive messages (window numbers); false when it could not be posted.
  virtual bool Post(std::uint32_t windowMessage);
  int ComNumber() const { return com_; }

 private:
  void Execute();
  std::uint32_t Now();
  void Pause(std::uint32_t ms);

  platform::Form* window_;
  int com_;
  platform::SerialDevice* dev_;
  std::atomic<std::uint32_t> pause_{0};

  platform::Mutex lock_;  // guards notified_
  bool notified_ = false;

  platform::Mutex stateLock_;  // guards terminated_ and ended_
  platform::CondVar stateCv_;
  bool terminated_ = false;
  bool ended_ = false;
  platform::Thread thread_;
};

// The variant for a port opened without a window: thread messages to a thread identifier.
class TV24Read_Thread_ID : public TV24Read_Thread {
 public:
  TV24Read_Thread_ID(unsigned long threadId, int comNumber, platform::SerialDevice* device);

 protected:
  bool Post(std::uint32_t windowMessage) override;

 private:
  unsigned long threadId_;
};

// A background write still on its way keeps a virtual clock from moving on, as a reply on its
// way does: the far side answers only once it has the bytes.
class TV24Write_Thread : public platform::ActivitySource {
 public:
  explicit TV24Write_Thread(platform::SerialDevice* device);
  ~TV24Write_Thread() override;
  bool Quiet() override;

  // -1 while a background write is pending, -100 while the sticky error flag is set; else
  // copies the data and sends it in the background (result: length) or at once on the
  // caller's thread (result: bytes written, -100 when short, 0 when rejected).
  // With zanFraming the staging buffer holds XOFF, the data, XON and a NUL that is not sent.
  int Submit(const std::uint8_t* data, std::size_t length, bool zanFraming, bool background);
  bool* ClearError();
  // Ends the thread after a pending background write has been sent.
  void Terminate();
  void WaitFor();

 private:
  void Execute();
  long Send(std::size_t length);

  platform::SerialDevice* dev_;
  std::vector<std::uint8_t> staging_;

  platform::Mutex lock_;
  platform::CondVar cv_;
  std::size_t length_ = 0;  // pending background bytes; 0 when idle
  bool background_ = false;
  bool error_ = false;      // sticky: a write ended short
  long lastWritten_ = 0;
  bool terminated_ = false;
  platform::Thread thread_;
};

}  // namespace comport
