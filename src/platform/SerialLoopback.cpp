// The loopback backend: an in-process far end instead of a driver.
#include "platform/SerialLoopback.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>

#include "platform/Headless.h"

namespace platform {
namespace {

class LoopbackDevice;

std::mutex gRegMutex;
std::map<int, LoopbackPeer*> gPorts;
std::map<std::string, LoopbackPeer*> gNamed;
std::map<LoopbackPeer*, LoopbackDevice*> gOpen;

class LoopbackDevice : public SerialDevice, public LoopbackLine, public ActivitySource {
 public:
  LoopbackDevice(int com, std::string path, LoopbackPeer* peer)
      : SerialDevice(com, std::move(path)), peer_(peer) {}

  // Called once the device is in the open table.
  void Start() {
    RegisterActivitySource(this);
    peer_->Attach(this);
  }

  ~LoopbackDevice() override {
    UnregisterActivitySource(this);
    peer_->Attach(nullptr);
    std::lock_guard lock(gRegMutex);
    gOpen.erase(peer_);
  }

  // LoopbackLine
  void Emit(const std::uint8_t* data, std::size_t n) override {
    std::lock_guard lock(m_);
    if (hungUp_) return;
    std::size_t added = 0;
    for (std::size_t i = 0; i < n; ++i) {
      if (settings_.discardNul && data[i] == 0) continue;
      rx_.push_back(data[i]);
      ++added;
    }
    if (added) {
      pending_ |= SerialEvData;
      cv_.notify_all();
    }
  }

  void EmitLineError(unsigned bits) override {
    std::lock_guard lock(m_);
    if (hungUp_) return;
    errors_ |= bits;
    pending_ |= SerialEvLineError;
    cv_.notify_all();
  }

  LineSettings HostLine() const override {
    std::lock_guard lock(m_);
    return settings_;
  }

  // ActivitySource: not quiet while events wait for the receive thread or are being
  // turned into messages, or while the peer has a reply on its way.
  bool Quiet() override {
    {
      std::lock_guard lock(m_);
      if (!hungUp_ && (pending_ || inPass_)) return false;
    }
    return !peer_->Busy();
  }

  // SerialDevice
  bool GetSettings(LineSettings& out) override {
    std::lock_guard lock(m_);
    out = settings_;
    return true;
  }
  bool ApplySettings(const LineSettings& s) override {
    {
      std::lock_guard lock(m_);
      settings_ = s;
    }
    peer_->OnHostLineChanged(s);
    return true;
  }
  bool GetTimeouts(LineTimeouts& out) override {
    std::lock_guard lock(m_);
    out = timeouts_;
    return true;
  }
  bool ApplyTimeouts(const LineTimeouts& t) override {
    std::lock_guard lock(m_);
    timeouts_ = t;
    return true;
  }

  // What the peer has emitted. The peer answers on the writing thread, so more bytes can
  // only come while it says it is busy (a paced reply); only then does the read wait.
  long Read(void* buffer, std::size_t count) override {
    auto* p = static_cast<std::uint8_t*>(buffer);
    std::size_t got = 0;
    auto start = std::chrono::steady_clock::now();
    std::unique_lock lock(m_);
    if (hungUp_) return -1;
    const LineTimeouts t = timeouts_;
    const auto total = std::chrono::milliseconds(
        t.readMultiplier || t.readConstant
            ? static_cast<unsigned long long>(t.readMultiplier) * count + t.readConstant
            : kReadBound);
    auto lastByte = start;
    for (;;) {
      while (got < count && !rx_.empty()) {
        p[got++] = rx_.front();
        rx_.pop_front();
        lastByte = std::chrono::steady_clock::now();
      }
      if (got == count || hungUp_) break;
      lock.unlock();
      bool busy = peer_->Busy();
      lock.lock();
      if (!busy && rx_.empty()) break;
      auto until = start + total;
      if (got && t.readInterval)
        until = std::min(until, lastByte + std::chrono::milliseconds(t.readInterval));
      if (std::chrono::steady_clock::now() >= until) break;
      cv_.wait_until(lock, std::min(until, std::chrono::steady_clock::now() +
                                               std::chrono::milliseconds(5)));
    }
    return static_cast<long>(got);
  }

  long ReadAvailable(void* buffer, std::size_t count) override {
    auto* p = static_cast<std::uint8_t*>(buffer);
    std::size_t got = 0;
    std::lock_guard lock(m_);
    if (hungUp_ && rx_.empty()) return -1;
    while (got < count && !rx_.empty()) {
      p[got++] = rx_.front();
      rx_.pop_front();
    }
    return static_cast<long>(got);
  }

  long Write(const void* data, std::size_t n) override {
    LineSettings s;
    {
      std::lock_guard lock(m_);
      if (hungUp_) return -1;
      s = settings_;
    }
    if (n) peer_->OnHostBytes(static_cast<const std::uint8_t*>(data), n, s);
    return static_cast<long>(n);
  }

  unsigned WaitEvent(std::uint32_t ms) override {
    std::unique_lock lock(m_);
    cv_.wait_for(lock, std::chrono::milliseconds(ms),
                 [this] { return pending_ || cancel_ || hungUp_; });
    if (hungUp_) return SerialEvHangup;
    if (cancel_) {
      cancel_ = false;
      return 0;
    }
    unsigned ev = pending_;
    pending_ = 0;
    if (ev) inPass_ = true;
    return ev;
  }

  void CancelWait() override {
    std::lock_guard lock(m_);
    cancel_ = true;
    cv_.notify_all();
  }

  void EventsHandled() override {
    std::lock_guard lock(m_);
    inPass_ = false;
  }

  unsigned TakeLineErrors() override {
    std::lock_guard lock(m_);
    unsigned e = errors_;
    errors_ = 0;
    return e;
  }

  bool Purge(unsigned flags) override {
    std::lock_guard lock(m_);
    if (flags & PurgeRxClear) {
      rx_.clear();
      pending_ &= ~SerialEvData;
    }
    return true;
  }

  long InputQueue() override {
    std::lock_guard lock(m_);
    return static_cast<long>(rx_.size());
  }

  bool HungUp() override {
    std::lock_guard lock(m_);
    return hungUp_;
  }

  void HangUp() {
    std::lock_guard lock(m_);
    hungUp_ = true;
    cv_.notify_all();
  }

 private:
  LoopbackPeer* peer_;
  mutable std::mutex m_;
  std::condition_variable cv_;
  std::deque<std::uint8_t> rx_;
  LineSettings settings_;
  LineTimeouts timeouts_;
  unsigned pending_ = 0;
  unsigned errors_ = 0;
  bool inPass_ = false;
  bool cancel_ = false;
  bool hungUp_ = false;
};

}  // namespace

void RegisterLoopbackPort(int comNumber, LoopbackPeer* peer) {
  std::lock_guard lock(gRegMutex);
  if (peer)
    gPorts[comNumber] = peer;
  else
    gPorts.erase(comNumber);
}

void UnregisterLoopbackPort(int comNumber) {
  std::lock_guard lock(gRegMutex);
  gPorts.erase(comNumber);
}

void RegisterLoopbackPeer(const std::string& name, LoopbackPeer* peer) {
  std::lock_guard lock(gRegMutex);
  if (peer)
    gNamed[name] = peer;
  else
    gNamed.erase(name);
}

void UnregisterLoopbackPeer(const std::string& name) {
  std::lock_guard lock(gRegMutex);
  gNamed.erase(name);
}

void HangUpLoopbackPort(int comNumber) {
  std::lock_guard lock(gRegMutex);
  auto it = gPorts.find(comNumber);
  if (it == gPorts.end()) return;
  auto open = gOpen.find(it->second);
  if (open != gOpen.end()) open->second->HangUp();
}

namespace detail {

LoopbackPeer* LoopbackPortPeer(int comNumber) {
  std::lock_guard lock(gRegMutex);
  auto it = gPorts.find(comNumber);
  return it == gPorts.end() ? nullptr : it->second;
}

LoopbackPeer* LoopbackNamedPeer(const std::string& name) {
  std::lock_guard lock(gRegMutex);
  auto it = gNamed.find(name);
  return it == gNamed.end() ? nullptr : it->second;
}

bool LoopbackPortsRegistered(std::vector<int>& comNumbers) {
  std::lock_guard lock(gRegMutex);
  comNumbers.clear();
  for (auto& [n, peer] : gPorts) comNumbers.push_back(n);
  return !comNumbers.empty();
}

bool LoopbackInUse(LoopbackPeer* peer) {
  std::lock_guard lock(gRegMutex);
  return gOpen.count(peer) != 0;
}

SerialOpenResult OpenLoopback(int comNumber, const std::string& path, LoopbackPeer* peer) {
  SerialOpenResult r;
  r.path = path;
  std::unique_ptr<LoopbackDevice> dev;
  {
    std::lock_guard lock(gRegMutex);
    if (gOpen.count(peer)) {
      r.error = SerialOpenError::Busy;
      return r;
    }
    dev = std::make_unique<LoopbackDevice>(comNumber, path, peer);
    gOpen[peer] = dev.get();
  }
  dev->Start();
  r.device = std::move(dev);
  r.error = SerialOpenError::None;
  return r;
}

}  // namespace detail
}  // namespace platform
