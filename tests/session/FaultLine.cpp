#include "FaultLine.h"

#include "platform/Application.h"
#include "platform/SerialLoopback.h"

namespace sessiontest {

namespace {
std::uint32_t Now() { return platform::HasApp() ? platform::App().GetClock().Milliseconds() : 0; }
}  // namespace

FaultLine::FaultLine(std::unique_ptr<sim::Instrument> instrument, int com,
                     std::function<std::unique_ptr<sim::Instrument>(const sim::Instrument&)> restart)
    : com_(com), restart_(std::move(restart)) {
  instruments_.push_back(std::move(instrument));
}

FaultLine::~FaultLine() {
  for (auto& i : instruments_) i->Attach(nullptr);
}

void FaultLine::Arm(const Fault& fault) {
  std::lock_guard lock(mutex_);
  fault_ = fault;
  armed_ = fault.kind != Kind::None;
}

void FaultLine::Disarm() {
  std::lock_guard lock(mutex_);
  armed_ = false;
}

sim::Instrument& FaultLine::Instrument() const {
  std::lock_guard lock(mutex_);
  return *instruments_.back();
}

std::vector<sim::Instrument*> FaultLine::Instruments() const {
  std::lock_guard lock(mutex_);
  std::vector<sim::Instrument*> all;
  for (const auto& i : instruments_) all.push_back(i.get());
  return all;
}

std::vector<FaultLine::Write> FaultLine::Writes() const {
  std::lock_guard lock(mutex_);
  return writes_;
}

int FaultLine::WriteCount() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(writes_.size());
}

bool FaultLine::Restarted() const {
  std::lock_guard lock(mutex_);
  return instruments_.size() > 1;
}

void FaultLine::Attach(platform::LoopbackLine* line) {
  std::lock_guard lock(mutex_);
  host_ = line;
  instruments_.back()->Attach(line ? this : nullptr);
}

void FaultLine::OnHostBytes(const std::uint8_t* data, std::size_t n, const platform::LineSettings& line) {
  std::lock_guard lock(mutex_);
  const int index = static_cast<int>(writes_.size());
  writes_.push_back({std::string(reinterpret_cast<const char*>(data), n), instruments_.back()->GetState(), Now()});
  std::vector<std::uint8_t> bytes(data, data + n);
  const bool here = armed_ && fault_.at == index;
  if (here) {
    switch (fault_.kind) {
      case Kind::Silence:
        silent_ = true;
        break;
      case Kind::PortGone:
        armed_ = false;
        silent_ = true;
        platform::HangUpLoopbackPort(com_);
        return;
      case Kind::Restart:
        DoRestart();
        return;  // lost: the instrument is starting
      case Kind::DropHostByte:
      case Kind::CorruptHostByte: {
        if (bytes.empty()) break;
        int at = fault_.param < 0 ? static_cast<int>(bytes.size()) + fault_.param : fault_.param;
        at = std::clamp(at, 0, static_cast<int>(bytes.size()) - 1);
        if (fault_.kind == Kind::DropHostByte)
          bytes.erase(bytes.begin() + at);
        else
          bytes[static_cast<std::size_t>(at)] ^= 0x5A;
        break;
      }
      default:
        break;
    }
  }
  if (silent_) return;
  if (booting_) return;  // a restarting instrument hears nothing
  if (armed_ && fault_.kind == Kind::Noise && index >= fault_.at && index <= fault_.at + fault_.param && host_)
    host_->Emit(reinterpret_cast<const std::uint8_t*>(fault_.noise.data()), fault_.noise.size());
  const bool capture = here && (fault_.kind == Kind::DropAnswerByte || fault_.kind == Kind::CorruptAnswerByte ||
                                fault_.kind == Kind::Delay);
  current_ = capture ? index : -1;
  answer_.clear();
  if (!bytes.empty()) instruments_.back()->OnHostBytes(bytes.data(), bytes.size(), line);
  if (!capture) return;
  current_ = -1;
  std::vector<std::uint8_t> answer;
  answer.swap(answer_);
  if (fault_.kind == Kind::Delay) {
    late_.push_back({Now() + static_cast<std::uint32_t>(fault_.param), std::move(answer)});
    return;
  }
  if (!answer.empty()) {
    int at = fault_.param < 0 ? static_cast<int>(answer.size()) + fault_.param : fault_.param;
    at = std::clamp(at, 0, static_cast<int>(answer.size()) - 1);
    if (fault_.kind == Kind::DropAnswerByte)
      answer.erase(answer.begin() + at);
    else
      answer[static_cast<std::size_t>(at)] ^= 0x5A;
  }
  Forward(std::move(answer));
}

void FaultLine::OnHostLineChanged(const platform::LineSettings& line) {
  std::lock_guard lock(mutex_);
  if (!silent_) instruments_.back()->OnHostLineChanged(line);
}

bool FaultLine::Busy() {
  std::lock_guard lock(mutex_);
  return instruments_.back()->Busy();
}

void FaultLine::Emit(const std::uint8_t* data, std::size_t n) {
  std::lock_guard lock(mutex_);
  if (silent_) return;
  if (current_ >= 0) {
    answer_.insert(answer_.end(), data, data + n);
    return;
  }
  Forward(std::vector<std::uint8_t>(data, data + n));
}

void FaultLine::EmitLineError(unsigned bits) {
  std::lock_guard lock(mutex_);
  if (silent_ || !host_) return;
  if (!late_.empty()) {
    late_.push_back({late_.back().due, {}, true, bits});
    return;
  }
  host_->EmitLineError(bits);
}

platform::LineSettings FaultLine::HostLine() const {
  std::lock_guard lock(mutex_);
  return host_ ? host_->HostLine() : platform::LineSettings{};
}

void FaultLine::Forward(std::vector<std::uint8_t> bytes) {
  if (bytes.empty() || !host_) return;
  // What follows a late answer waits behind it.
  if (!late_.empty()) {
    late_.push_back({late_.back().due, std::move(bytes)});
    return;
  }
  host_->Emit(bytes.data(), bytes.size());
}

void FaultLine::Tick() {
  std::lock_guard lock(mutex_);
  const std::uint32_t now = Now();
  while (!late_.empty() && static_cast<std::int32_t>(now - late_.front().due) >= 0) {
    Late l = std::move(late_.front());
    late_.erase(late_.begin());
    if (!host_ || silent_) continue;
    if (l.lineError)
      host_->EmitLineError(l.bits);
    else if (!l.bytes.empty())
      host_->Emit(l.bytes.data(), l.bytes.size());
  }
  if (booting_ && static_cast<std::int32_t>(now - bootEnds_) >= 0) {
    // Started: it announces itself at its own line.
    booting_ = false;
    if (!silent_) instruments_.back()->SendLine("!");
  }
  if (!silent_ && !booting_) instruments_.back()->Tick();
}

void FaultLine::DoRestart() {
  std::unique_ptr<sim::Instrument> next = restart_(*instruments_.back());
  instruments_.back()->Attach(nullptr);
  instruments_.push_back(std::move(next));
  instruments_.back()->Attach(host_ ? this : nullptr);
  booting_ = true;
  bootEnds_ = Now() + kBootMs;
}

}  // namespace sessiontest
