#include "sim/Instrument.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "sim/TiTxt.h"

namespace sim {

namespace {
const std::vector<std::vector<std::uint8_t>>& WakeFrames() {
  static const std::vector<std::vector<std::uint8_t>> frames = {
      {0x68, 0x00, 0x00, 0x68, 0x00, 0x00, 0x00, 0x00, 0x16},
      {0x80},
      {0x0D, 0x0A},
      {0x0D, 0x0A},
      {0x85, 0x01, 0x00, 0x1A},
  };
  return frames;
}

std::uint32_t SteadyMs() {
  return static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
}

// What a UART makes of frames at the wrong rate: mostly high bits, none of them a marker the
// host would take for an answer.
std::vector<std::uint8_t> Noise(std::size_t n, std::mt19937& random) {
  static const std::uint8_t noise[] = {0xE0, 0xF0, 0xF8, 0xFC, 0xFE, 0xFF, 0x00};
  std::vector<std::uint8_t> out;
  for (std::size_t k = 0; k < std::min<std::size_t>(n, 4); ++k) out.push_back(noise[random() % sizeof noise]);
  return out;
}

const MemoryMap& MapOf(const InstrumentConfig& c) {
  return c.loaderKind == LoaderKind::Bsl5xx ? c.bsl5xx.memory : c.loader.memory;
}

// Bits set in a byte: even means an even-parity bit of 0.
bool EvenOnes(std::uint8_t b) {
  int ones = 0;
  for (; b; b &= static_cast<std::uint8_t>(b - 1)) ++ones;
  return ones % 2 == 0;
}

unsigned BitsPerByte(const platform::LineSettings& line) {
  unsigned bits = 1u + static_cast<unsigned>(line.dataBits);
  if (line.parity != platform::Parity::None) ++bits;
  bits += line.stopBits == platform::StopBits::One ? 1u : 2u;
  return bits;
}
}  // namespace

const char* StateName(Instrument::State state) {
  switch (state) {
    case Instrument::State::Text: return "text";
    case Instrument::State::BootWait: return "boot";
    case Instrument::State::Loader: return "loader";
    case Instrument::State::WinCE: return "wince";
    case Instrument::State::BasicLoader: return "basic-loader";
    case Instrument::State::Xmodem: return "xmodem";
    case Instrument::State::Disconnected: return "disconnected";
  }
  return "?";
}

Instrument::Instrument(InstrumentConfig config)
    : config_(std::move(config)),
      flash_(MapOf(config_)),
      loader_(config_.loader, config_.frameFaults, flash_),
      bsl5xx_(config_.bsl5xx, config_.frameFaults, flash_),
      records_(config_.recordLoader, flash_),
      text_(config_, [this] { return ResetVector(); }),
      wince_(config_.wince, [this] { return Now(); }),
      basic_(config_.basic),
      xmodem_(config_.xmodem, [this] { return Now(); }),
      random_(config_.bytes.seed) {
  startMs_ = SteadyMs();
  // A device without preloaded firmware still has a vector table: it holds the password.
  if (flash_.IsFlash(0xFFFF)) {
    // The classic devices' table is 0xFFE0..0xFFFF, the 5xx devices' 0xFF80..0xFFFF.
    const std::uint32_t start = Is5xx() ? 0xFF80 : 0xFFE0;
    const std::uint8_t fill = Is5xx() ? config_.bsl5xx.fillByte : config_.loader.fillByte;
    const std::uint16_t reset = Is5xx() ? config_.bsl5xx.vectorWord : config_.loader.vectorWord;
    for (std::uint32_t a = start; a < 0xFFFE; ++a) flash_.Load(a, fill);
    flash_.Load(0xFFFE, static_cast<std::uint8_t>(reset & 0xFF));
    flash_.Load(0xFFFF, static_cast<std::uint8_t>(reset >> 8));
  }
  loader_.log = [this](const std::string& kind, const std::string& t) { Record(kind, t); };
  bsl5xx_.log = [this](const std::string& kind, const std::string& t) { Record(kind, t); };
  records_.log = [this](const std::string& kind, const std::string& t) { Record(kind, t); };
  text_.onCommand = [this](const std::string& line) { Record("cmd", line); };
  text_.onFault = [this](const std::string& t) { Record("fault", t); };
  wince_.dueFault = [this](const std::string& key) { return text_.DueFault(key); };
  wince_.note = [this](const std::string& line) { text_.Note(line); };
  wince_.other = [this](const std::string& line, std::vector<std::uint8_t>& out) { text_.Line(line, out); };
  wince_.log = [this](const std::string& kind, const std::string& t) { Record(kind, t); };
  basic_.log = [this](const std::string& kind, const std::string& t) { Record(kind, t); };
  xmodem_.log = [this](const std::string& kind, const std::string& t) { Record(kind, t); };
  textBaudBefore_ = config_.baud;
  // A 5xx instrument in boot mode sits in its loader: its own answers carry the marker.
  if (config_.startInLoader || (Is5xx() && config_.bootMode == BootMode::Marker)) {
    state_ = State::Loader;
    if (Is5xx())
      bsl5xx_.Enter();
    else
      loader_.Enter();
  } else if (config_.basic.startInLoader) {
    state_ = State::BasicLoader;
    basic_.EnterQuietly();
  } else if (config_.bootMode != BootMode::Off) {
    state_ = State::BootWait;
  } else {
    state_ = State::Text;
  }
  if (config_.pacing)
    pacer_ = std::make_unique<Pacer>(
        [this](const std::vector<std::uint8_t>& b, unsigned bits) { Emit(b, bits); });
}

Instrument::~Instrument() { pacer_.reset(); }

void Instrument::Attach(platform::LoopbackLine* line) {
  std::lock_guard<std::mutex> lock(sinkMutex_);
  line_ = line;
}

void Instrument::SetSinks(std::function<void(const std::uint8_t*, std::size_t)> bytes,
                          std::function<void(unsigned)> lineError) {
  std::lock_guard<std::mutex> lock(sinkMutex_);
  byteSink_ = std::move(bytes);
  errorSink_ = std::move(lineError);
}

void Instrument::SetDisconnectHandler(std::function<void()> handler) {
  std::lock_guard<std::mutex> lock(mutex_);
  onDisconnect_ = std::move(handler);
}

void Instrument::SetLogSink(std::function<void(const LogEntry&)> sink) {
  std::lock_guard<std::mutex> lock(mutex_);
  logSink_ = std::move(sink);
}

bool Instrument::Busy() { return pacer_ && pacer_->Busy(); }

platform::LineSettings Instrument::OwnLine() const {
  platform::LineSettings own;
  own.baud = config_.baud;
  switch (state_) {
    case State::Loader:
      own.baud = LoaderBaud();
      own.parity = recordMode_ ? platform::Parity::None : platform::Parity::Even;
      break;
    case State::WinCE:
      own.baud = winceBaud_;
      own.stopBits = platform::StopBits::Two;
      break;
    case State::BasicLoader:
      own.baud = basic_.Baud();
      break;
    case State::Xmodem:
      own.baud = xmodem_.Baud();
      own.stopBits = platform::StopBits::Two;
      break;
    default:
      break;
  }
  return own;
}

void Instrument::Announce(std::vector<Action>& actions) {
  startupPending_ = false;
  Record("state", "announced start-up");
  std::vector<std::uint8_t> out(config_.startupLine.begin(), config_.startupLine.end());
  out.push_back('\r');
  out.push_back('\n');
  actions.push_back({Faulted(out), 0});
}

void Instrument::OnHostLineChanged(const platform::LineSettings& line) {
  std::vector<Action> actions;
  platform::LineSettings own;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    hostLine_ = line;
    hostLineKnown_ = true;
    if (state_ == State::Disconnected) return;
    CheckIdle();
    if (startupPending_ && startupOnLineChange_ && state_ == State::Text && LineMatches(line)) Announce(actions);
    CheckSpeedAck(actions);
    if (state_ == State::BasicLoader) BasicLoaderHostLine(line, actions);
    own = OwnLine();
  }
  Deliver(std::move(actions), 0, own);
}

void Instrument::Tick() {
  std::vector<Action> actions;
  platform::LineSettings own;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ == State::Disconnected) return;
    CheckIdle();
    CheckSpeedAck(actions);
    if (state_ == State::WinCE) {
      std::vector<std::uint8_t> out;
      wince_.Tick(out);
      if (!out.empty()) actions.push_back({Faulted(out), 0});
    } else if (state_ == State::Xmodem) {
      // Its requests and NAKs leave at its own line, heard only by a host that listens there.
      std::vector<std::uint8_t> out;
      xmodem_.Tick(out);
      Say(actions, std::move(out));
    }
    if (startupPending_ && state_ == State::Text && Now() - firmwareStartMs_ >= startupDelayMs_) Announce(actions);
    own = OwnLine();
  }
  Deliver(std::move(actions), 0, own);
}

void Instrument::CheckIdle() {
  if (state_ != State::WinCE || config_.wince.idleResetMs == 0) return;
  if (Now() - lastHostMs_ < config_.wince.idleResetMs) return;
  wince_.Abandon();
  state_ = State::Text;
  config_.baud = textBaudBefore_;
  speedAckPending_ = restartAfterAck_ = false;
  Record("state", "file receiver idle: text protocol at " + std::to_string(config_.baud) + " baud");
}

void Instrument::SpeedChange(std::uint32_t baud) {
  if (state_ == State::WinCE) winceBaud_ = baud;
  speedAckPending_ = true;
  speedChangeMs_ = lastHostMs_ = Now();
  Record("state", state_ == State::WinCE ? "file receiver at " + std::to_string(baud) + " baud 8N2"
                                         : "text protocol at " + std::to_string(baud) + " baud");
}

// The "!" of a speed change leaves at the new line, so it is sent only once the host listens
// there: a host that never switches never sees it.
void Instrument::CheckSpeedAck(std::vector<Action>& actions) {
  if (!speedAckPending_ || !hostLineKnown_ || !LineMatches(hostLine_)) return;
  if (Now() - speedChangeMs_ < config_.wince.speedAckDelayMs) return;
  speedAckPending_ = false;
  actions.push_back({Faulted({'!', '\r', '\n'}), 0});
  Record("state", "speed change acknowledged at " + std::to_string(OwnLine().baud) + " baud");
  if (restartAfterAck_) {
    restartAfterAck_ = false;
    Restarted();
  }
}

// After the transfer the instrument restarts with its new files and announces itself when it
// is up again.
void Instrument::Restarted() {
  ++firmwareStarts_;
  if (!config_.versionAfterUpdate.empty()) config_.version = config_.versionAfterUpdate;
  startupPending_ = !config_.startupLine.empty();
  firmwareStartMs_ = Now();
  startupDelayMs_ = config_.wince.restartMs;
  startupOnLineChange_ = false;
  Record("state", "restarting with the received files, version " + config_.version);
}

void Instrument::EnterBasicLoader(std::vector<Action>& actions) {
  state_ = State::BasicLoader;
  Record("state", "Basic-Loader");
  std::vector<std::uint8_t> out;
  basic_.Enter(out);
  Say(actions, std::move(out));
  if (hostLineKnown_) BasicLoaderHostLine(hostLine_, actions);
}

// The loader goes on once the PC listens at its line: with the RTS/CTS handshake, or
// (needHandshake off) with RTS active.
void Instrument::BasicLoaderHostLine(const platform::LineSettings& line, std::vector<Action>& actions) {
  if (basic_.GetPhase() != BasicLoader::Phase::WaitingForPc) return;
  if (!LineMatches(line) || !(line.ctsFlow || (!config_.basic.needHandshake && line.rts))) return;
  std::vector<std::uint8_t> out;
  basic_.PcReady(out);
  Say(actions, std::move(out));
}

void Instrument::Say(std::vector<Action>& actions, std::vector<std::uint8_t> bytes) {
  if (bytes.empty()) return;
  if (!hostLineKnown_ || LineMatches(hostLine_)) {
    actions.push_back({Faulted(bytes), 0});
    return;
  }
  char buf[112];
  std::snprintf(buf, sizeof buf, "%zu bytes sent at %u baud while the host listens at %u", bytes.size(),
                static_cast<unsigned>(OwnLine().baud), static_cast<unsigned>(hostLine_.baud));
  Record("wrong-line", buf);
  if (config_.wrongRate == WrongRate::LineError)
    actions.push_back({{}, platform::LineErrFraming});
  else if (config_.wrongRate == WrongRate::Garbage)
    actions.push_back({Noise(bytes.size(), random_), 0});
}

void Instrument::Disconnect() {
  state_ = State::Disconnected;
  Record("state", "disconnected");
}

bool Instrument::WaitIdle(std::uint32_t ms) { return !pacer_ || pacer_->WaitIdle(ms); }

std::uint32_t Instrument::Now() const {
  return config_.clock ? config_.clock() : SteadyMs() - startMs_;
}

void Instrument::Record(const std::string& kind, const std::string& text) {
  log_.push_back({Now(), kind, text});
  if (logSink_) logSink_(log_.back());
}

std::uint16_t Instrument::ResetVector() const {
  return static_cast<std::uint16_t>(flash_.Read(0xFFFE) | (flash_.Read(0xFFFF) << 8));
}

bool Instrument::LoadFirmware(const std::string& tiTxt, std::string* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  bool outside = false;
  bool ok = ParseTiTxt(
      tiTxt,
      [&](std::uint32_t a, std::uint8_t v) {
        if (flash_.IsFlash(a))
          flash_.Load(a, v);
        else
          outside = true;
      },
      error);
  if (ok && outside && error) *error = "bytes outside the flash were left out";
  return ok;
}

std::uint32_t Instrument::LoaderBaud() const {
  if (recordMode_) return records_.Baud();
  return Is5xx() ? bsl5xx_.Baud() : loader_.Baud();
}

void Instrument::EnterLoader() {
  state_ = State::Loader;
  if (Is5xx())
    bsl5xx_.Enter();
  else
    loader_.Enter();
  Record("state", Is5xx() ? "5xx loader" : "loader");
}

void Instrument::EnterRecordLoader() {
  state_ = State::Loader;
  recordMode_ = true;
  records_.Enter();
  Record("state", "record loader");
}

std::uint32_t Instrument::ListeningBaud() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return OwnLine().baud;
}

bool Instrument::LineMatches(const platform::LineSettings& line) const {
  if (state_ == State::Loader && recordMode_) return line.baud == records_.Baud() && line.dataBits == 8;
  switch (state_) {
    case State::Text:
      return line.baud == config_.baud && line.dataBits == 8;
    case State::BootWait:  // the wake-up frames come at the rate only
      return line.baud == config_.baud;
    case State::Loader:
      if (Is5xx())  // the timer UART samples the parity bit without checking it
        return line.baud == bsl5xx_.Baud() && line.dataBits == 8 &&
               (!config_.checkParity || config_.bsl5xx.uart == Bsl5xxUart::TimerA ||
                line.parity == platform::Parity::Even);
      return line.baud == loader_.Baud() && line.dataBits == 8 &&
             (!config_.checkParity || line.parity == platform::Parity::Even);
    case State::WinCE:
      return line.baud == winceBaud_ && line.dataBits == 8 &&
             (!config_.checkParity || line.parity == platform::Parity::None) &&
             (!config_.wince.checkStopBits || line.stopBits == platform::StopBits::Two);
    case State::BasicLoader:
      return line.baud == basic_.Baud() && line.dataBits == 8 &&
             (!config_.checkParity || line.parity == platform::Parity::None);
    case State::Xmodem:  // a UART at 8N2 takes 8N1 as well: only the rate and the parity count
      return xmodem_.Listening() && line.baud == xmodem_.Baud() && line.dataBits == 8 &&
             (!config_.checkParity || line.parity == platform::Parity::None);
    case State::Disconnected:
      return false;
  }
  return false;
}

void Instrument::OnHostBytes(const std::uint8_t* data, std::size_t n,
                             const platform::LineSettings& line) {
  std::vector<Action> actions;
  platform::LineSettings own;
  std::function<void()> disconnected;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ == State::Disconnected || n == 0) return;
    CheckIdle();
    hostLine_ = line;
    hostLineKnown_ = true;
    own = OwnLine();  // the bytes cross the line at the instrument's own settings
    std::vector<std::uint8_t> in(data, data + n);
    if (config_.bytes.dropInRate > 0) {
      std::uniform_real_distribution<double> u(0.0, 1.0);
      std::vector<std::uint8_t> kept;
      for (std::uint8_t b : in)
        if (u(random_) >= config_.bytes.dropInRate) kept.push_back(b);
      in.swap(kept);
    }
    if (!LineMatches(line)) {
      char buf[96];
      std::snprintf(buf, sizeof buf, "%zu bytes at %u baud %d data bits, listening at %u", n,
                    static_cast<unsigned>(line.baud), line.dataBits, static_cast<unsigned>(own.baud));
      Record("wrong-line", buf);
      if (state_ == State::Xmodem && !xmodem_.Listening()) {
        // Restarting: nobody is there to hear anything.
      } else if (config_.wrongRate == WrongRate::LineError) {
        actions.push_back({{}, platform::LineErrFraming});
      } else if (config_.wrongRate == WrongRate::Garbage) {
        actions.push_back({Noise(n, random_), 0});
      }
    } else if (!in.empty()) {
      lastHostMs_ = Now();
      if (startupPending_ && state_ == State::Text) Announce(actions);
      CheckSpeedAck(actions);
      Dispatch(in.data(), in.size(), line, actions);
    }
    if (state_ == State::Disconnected && !disconnectReported_) {
      disconnectReported_ = true;
      disconnected = onDisconnect_;
    }
  }
  Deliver(std::move(actions), n, own);
  if (disconnected) disconnected();
}

void Instrument::Dispatch(const std::uint8_t* data, std::size_t n, const platform::LineSettings& line,
                          std::vector<Action>& actions) {
  std::size_t at = 0;
  auto commandsDone = [this] {
    return config_.disconnectAfterCommands >= 0 &&
           static_cast<int>(text_.Commands().size()) >= config_.disconnectAfterCommands;
  };
  while (at < n && state_ != State::Disconnected) {
    std::vector<std::uint8_t> out;
    if (state_ == State::Text) {
      const std::size_t before = text_.Commands().size();
      at += text_.Feed(data + at, n - at, out);
      if (!out.empty()) actions.push_back({Faulted(out), 0});
      if (commandsDone()) return Disconnect();
      if (config_.recordLoader.enabled) {
        const auto& commands = text_.Commands();
        for (std::size_t k = before; k < commands.size(); ++k)
          if (commands[k] == "A.1200" || commands[k] == "A.1230" || commands[k] == "A.1231") {
            // Acknowledged; the program command hands over to the record loader.
            EnterRecordLoader();
            return;
          }
      }
      std::uint32_t baud = 0;
      int command = 0, rateCode = 0;
      if (text_.TakeLoaderRequest()) {
        // The rest of this write (the LF after the CR) reaches the firmware while it is still
        // answering; the loader starts with an empty receiver.
        EnterLoader();
        return;
      } else if (text_.TakeSpeedRequest(baud)) {
        textBaudBefore_ = config_.baud;
        state_ = State::WinCE;
        wince_.Start();
        SpeedChange(baud);
      } else if (text_.TakeBasicLoaderRequest()) {
        EnterBasicLoader(actions);
      } else if (text_.TakeXmodemRequest(command, rateCode)) {
        state_ = State::Xmodem;
        xmodem_.Enter(command, rateCode);
        // The rest of this write goes to the loader only where it listens at the host's line.
        if (!LineMatches(line)) return;
      }
    } else if (state_ == State::WinCE) {
      wince_.Feed(data + at, n - at, out);
      at = n;
      if (!out.empty()) actions.push_back({Faulted(out), 0});
      // Loader starts are not taken in the middle of a transfer.
      text_.TakeLoaderRequest();
      text_.TakeBasicLoaderRequest();
      std::uint32_t ignored = 0;
      text_.TakeSpeedRequest(ignored);
      int ignoredCommand = 0, ignoredCode = 0;
      text_.TakeXmodemRequest(ignoredCommand, ignoredCode);
      if (commandsDone()) return Disconnect();
      if (config_.wince.disconnectAfterBlocks >= 0 && wince_.Blocks() >= config_.wince.disconnectAfterBlocks)
        return Disconnect();
      std::uint32_t baud = 0;
      if (wince_.TakeSpeedRequest(baud)) {
        if (wince_.TransferEnded()) {
          // The final speed change: back to the command protocol, then the restart.
          state_ = State::Text;
          config_.baud = baud;
          restartAfterAck_ = true;
        }
        SpeedChange(baud);
      }
    } else if (state_ == State::BasicLoader) {
      BasicLoaderHostLine(line, actions);
      basic_.Feed(data + at, n - at, line.ctsFlow, out);
      at = n;
      if (!out.empty()) actions.push_back({Faulted(out), 0});
      if (basic_.GetPhase() == BasicLoader::Phase::Aborted) return Disconnect();
    } else if (state_ == State::Xmodem) {
      xmodem_.Feed(data + at, n - at, out);
      at = n;
      if (!out.empty()) actions.push_back({Faulted(out), 0});
      if (config_.disconnectAfterFrames >= 0 && xmodem_.GetStatus().packets >= config_.disconnectAfterFrames)
        return Disconnect();
      if (xmodem_.TakeApplicationStart()) FirmwareStarted(VersionFromImage(xmodem_.Received()));
    } else if (state_ == State::Loader && recordMode_) {
      records_.Feed(data + at, n - at, out);
      at = n;
      if (!out.empty()) actions.push_back({Faulted(out), 0});
      if (records_.TakeFirmwareStart()) {
        recordMode_ = false;
        FirmwareStarted(VersionFromFlash());
      }
    } else if (state_ == State::Loader) {
      int frames;
      bool started;
      if (Is5xx()) {
        bsl5xx_.Feed(data + at, n - at, out);
        frames = bsl5xx_.Frames();
        started = bsl5xx_.TakeFirmwareStart();
      } else {
        loader_.Feed(data + at, n - at, out);
        frames = loader_.Frames();
        started = loader_.TakeFirmwareStart();
      }
      at = n;
      if (!out.empty()) {
        std::vector<std::uint8_t> sent = Faulted(out);
        // The 5xx loader answers in 8E1. A host without parity takes the parity bit for the
        // stop bit (a framing error where it is 0); one with odd parity finds every byte wrong.
        unsigned errors = 0;
        if (Is5xx() && config_.checkParity) {
          if (line.parity == platform::Parity::Odd && !sent.empty()) errors = platform::LineErrParity;
          if (line.parity == platform::Parity::None)
            for (std::uint8_t b : sent)
              if (EvenOnes(b)) errors = platform::LineErrFraming;
        }
        actions.push_back({std::move(sent), 0});
        if (errors) actions.push_back({{}, errors});
      }
      if (config_.disconnectAfterFrames >= 0 && frames >= config_.disconnectAfterFrames)
        return Disconnect();
      if (started) FirmwareStarted(VersionFromFlash());
    } else {  // boot mode: look for a wake-up frame at the end of what came
      for (; at < n; ++at) {
        bootBuffer_.push_back(data[at]);
        if (bootBuffer_.size() > 64) bootBuffer_.erase(bootBuffer_.begin());
        Wake(out);
        if (state_ != State::BootWait) {
          ++at;
          break;
        }
      }
      if (!out.empty()) actions.push_back({Faulted(out), 0});
    }
  }
}

void Instrument::Wake(std::vector<std::uint8_t>& out) {
  const auto& frames = WakeFrames();
  // The classic ROM loader answers nothing but its synchronisation character 0x80.
  const bool classicLoader = config_.bootMode == BootMode::Marker && config_.bootMarker == BslAck &&
                             config_.markerEntersLoader;
  for (std::size_t e = 0; e < frames.size(); ++e) {
    if (!(config_.wakeFrames & (1u << e)) || (classicLoader && e != 1)) continue;
    const auto& f = frames[e];
    if (bootBuffer_.size() < f.size() ||
        !std::equal(f.begin(), f.end(), bootBuffer_.end() - static_cast<long>(f.size())))
      continue;
    bootBuffer_.clear();
    Record("wake", "frame " + std::to_string(e));
    if (config_.bootMode == BootMode::IdFrame) {
      static const char* starts[] = {"h00h", "h11h", "h,,h"};
      static const std::uint8_t textStart[] = {0x1D, 0x1E, 0x19};
      static const std::uint8_t textEnd[] = {0x0C, 0x0A, 0x0C};
      int form = config_.bootForm >= 0 && config_.bootForm <= 2 ? config_.bootForm : 0;
      std::string s = starts[form];
      out.insert(out.end(), s.begin(), s.end());
      out.push_back(textStart[form]);
      out.insert(out.end(), config_.bootText.begin(), config_.bootText.end());
      out.push_back(textEnd[form]);
      out.push_back(0x16);
      // The handheld loader takes the records of an external loader program from now on.
      if (config_.recordLoader.enabled) EnterRecordLoader();
    } else {
      out.push_back(config_.bootMarker);
      if (config_.bootMarker == BslAck && config_.markerEntersLoader) EnterLoader();
    }
    return;
  }
}

std::string Instrument::VersionFromFlash() const {
  std::string version;
  const std::string& marker = config_.versionMarker;
  if (!marker.empty()) {
    const Flash::Region main = Flash::Region::Main;
    const MemoryMap& m = flash_.Map();
    for (std::uint32_t a = m.mainStart; a + marker.size() <= m.mainEnd && version.empty(); ++a) {
      bool hit = true;
      for (std::size_t k = 0; k < marker.size() && hit; ++k)
        hit = flash_.Read(a + static_cast<std::uint32_t>(k)) == static_cast<std::uint8_t>(marker[k]);
      if (!hit) continue;
      for (std::uint32_t p = a + static_cast<std::uint32_t>(marker.size());
           flash_.RegionOf(p) == main && version.size() < 15; ++p) {
        std::uint8_t c = flash_.Read(p);
        if (c < 0x20 || c > 0x7E) break;
        version += static_cast<char>(c);
      }
    }
  }
  return version;
}

std::string Instrument::VersionFromImage(const std::vector<std::uint8_t>& image) const {
  const std::string& marker = config_.versionMarker;
  if (marker.empty()) return {};
  auto at = std::search(image.begin(), image.end(), marker.begin(), marker.end());
  std::string version;
  if (at == image.end()) return version;
  for (at += static_cast<long>(marker.size()); at != image.end() && version.size() < 15; ++at) {
    if (*at < 0x20 || *at > 0x7E) break;
    version += static_cast<char>(*at);
  }
  return version;
}

void Instrument::FirmwareStarted(std::string version) {
  ++firmwareStarts_;
  state_ = State::Text;
  if (version.empty()) version = config_.versionAfterUpdate;
  if (!version.empty()) config_.version = version;
  startupPending_ = !config_.startupLine.empty();
  firmwareStartMs_ = Now();
  startupDelayMs_ = config_.startupFallbackMs;
  startupOnLineChange_ = true;
  Record("state", "firmware started, version " + config_.version);
}

std::vector<std::uint8_t> Instrument::Faulted(const std::vector<std::uint8_t>& bytes) {
  const ByteFaults& f = config_.bytes;
  std::uniform_real_distribution<double> u(0.0, 1.0);
  std::vector<std::uint8_t> out;
  for (std::uint8_t b : bytes) {
    std::uint64_t index = emitted_++;
    if (f.dropOut.count(index) || (f.dropOutRate > 0 && u(random_) < f.dropOutRate)) continue;
    if (f.corruptOut.count(index) || (f.corruptOutRate > 0 && u(random_) < f.corruptOutRate))
      b ^= 0x5A;
    out.push_back(b);
  }
  return out;
}

void Instrument::Deliver(std::vector<Action> actions, std::size_t hostBytes,
                         const platform::LineSettings& line) {
  if (!pacer_) {
    for (const Action& a : actions) Emit(a.bytes, a.errorBits);
    return;
  }
  // The answer can start only when the host's bytes have crossed the line.
  using namespace std::chrono;
  nanoseconds perByte(1000000000ull * BitsPerByte(line) / (line.baud ? line.baud : 9600));
  Pacer::Clock::time_point now = Pacer::Clock::now();
  inputFree_ = std::max(inputFree_, now) + perByte * static_cast<long>(hostBytes);
  for (Action& a : actions) {
    if (a.bytes.empty())
      pacer_->QueueLineError(a.errorBits, inputFree_);
    else
      pacer_->Queue(std::move(a.bytes), perByte, inputFree_);
  }
}

void Instrument::Emit(const std::vector<std::uint8_t>& bytes, unsigned errorBits) {
  std::lock_guard<std::mutex> lock(sinkMutex_);
  if (bytes.empty()) {
    if (errorSink_) errorSink_(errorBits);
    if (line_) line_->EmitLineError(errorBits);
    return;
  }
  if (byteSink_) byteSink_(bytes.data(), bytes.size());
  if (line_) line_->Emit(bytes.data(), bytes.size());
}

void Instrument::SendLine(const std::string& text) {
  std::vector<Action> actions;
  platform::LineSettings line;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ == State::Disconnected) return;
    std::vector<std::uint8_t> out(text.begin(), text.end());
    out.push_back('\r');
    out.push_back('\n');
    actions.push_back({Faulted(out), 0});
    line = OwnLine();
  }
  Deliver(std::move(actions), 0, line);
}

Instrument::State Instrument::GetState() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_;
}
std::string Instrument::Version() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return config_.version;
}
std::vector<LogEntry> Instrument::Log() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return log_;
}
std::vector<std::string> Instrument::Commands() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return text_.Commands();
}
bool Instrument::InCommandMode() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return text_.InCommandMode();
}
bool Instrument::Ended() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return text_.Ended();
}
int Instrument::EndCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return text_.EndCount();
}
std::string Instrument::ClockValue() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return text_.ClockValue();
}
int Instrument::ClockCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return text_.ClockCount();
}
std::string Instrument::AirPressure() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return text_.AirPressure();
}
int Instrument::FirmwareStarts() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return firmwareStarts_;
}
bool Instrument::LoaderUnlocked() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return Is5xx() ? bsl5xx_.Unlocked() : loader_.Unlocked();
}
std::uint8_t Instrument::ReadMemory(std::uint32_t address) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return flash_.Read(address);
}
std::map<std::uint32_t, std::uint8_t> Instrument::FlashBytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return flash_.Programmed();
}
std::string Instrument::DumpTiTxt() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return FormatTiTxt(flash_.Runs());
}
std::vector<std::uint8_t> Instrument::DumpMain(std::uint32_t* base) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const MemoryMap& m = flash_.Map();
  if (base) *base = m.mainStart;
  std::vector<std::uint8_t> out;
  for (std::uint32_t a = m.mainStart; a <= m.mainEnd && a <= flash_.Top(); ++a)
    out.push_back(flash_.Read(a));
  return out;
}

}  // namespace sim

namespace sim {

std::vector<WinCEFile> Instrument::WinCEFiles() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return wince_.Files();
}
std::vector<std::string> Instrument::WinCEReceived() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return wince_.Received();
}
int Instrument::WinCEBlocks() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return wince_.Blocks();
}
BasicLoader::Phase Instrument::BasicLoaderPhase() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return basic_.GetPhase();
}
std::map<std::uint32_t, std::uint8_t> Instrument::BasicMemory() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return basic_.Memory();
}
int Instrument::BasicRecords() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return basic_.Records();
}
std::string Instrument::DumpBasicSRecords() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return FormatSRecords(basic_.Memory(), "basic-loader memory", basic_.EntryAddress());
}
std::vector<std::uint8_t> Instrument::DumpBasicBinary(std::uint32_t* base) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::map<std::uint32_t, std::uint8_t>& memory = basic_.Memory();
  std::uint32_t start = config_.basic.flashStart;
  if (base) *base = start;
  std::vector<std::uint8_t> out;
  if (memory.empty()) return out;
  out.assign(memory.rbegin()->first - start + 1, 0xFF);
  for (const auto& [address, value] : memory) out[address - start] = value;
  return out;
}

std::vector<UploadedFile> Instrument::UploadedFiles() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return text_.Upload().Files();
}
std::vector<std::string> Instrument::UploadedNames() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return text_.Upload().Received();
}

XmodemLoader::Status Instrument::Xmodem() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return xmodem_.GetStatus();
}
std::vector<std::uint8_t> Instrument::XmodemReceived() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return xmodem_.Received();
}

}  // namespace sim
