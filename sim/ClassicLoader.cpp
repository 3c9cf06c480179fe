#include "sim/ClassicLoader.h"

#include <cstdio>

namespace sim {

std::uint16_t BslChecksum(const std::uint8_t* frame, std::size_t n) {
  std::uint16_t x = 0;
  for (std::size_t i = 0; i + 1 < n; i += 2)
    x ^= static_cast<std::uint16_t>(frame[i] | (frame[i + 1] << 8));
  return static_cast<std::uint16_t>(x ^ 0xFFFF);
}

std::vector<std::uint8_t> BslFrame(std::uint8_t command, const std::vector<std::uint8_t>& data) {
  std::vector<std::uint8_t> f;
  f.reserve(data.size() + 6);
  f.push_back(BslSync);
  f.push_back(command);
  f.push_back(static_cast<std::uint8_t>(data.size()));
  f.push_back(static_cast<std::uint8_t>(data.size()));
  for (std::uint8_t b : data) f.push_back(b);
  std::uint16_t ck = BslChecksum(f.data(), f.size());
  f.push_back(static_cast<std::uint8_t>(ck & 0xFF));
  f.push_back(static_cast<std::uint8_t>(ck >> 8));
  return f;
}

namespace {
bool KnownCommand(std::uint8_t c) {
  switch (c) {
    case 0x10: case 0x12: case 0x14: case 0x16: case 0x18: case 0x1A: case 0x1C: case 0x1E:
    case 0x20: case 0x21:
      return true;
    default:
      return false;
  }
}

Family FamilyOf(const LoaderConfig& c) {
  if (c.family != Family::FromChipId) return c.family;
  switch ((c.chipId >> 8) & 0xF) {
    case 2: return Family::F2xx;
    case 4: return Family::F4xx;
    default: return Family::F1xx;
  }
}

// The clock register values of the change-baud-rate command (D1, D2) for 9600, 19200 and
// 38400 baud (D3 = 0, 1, 2): DCOCTL and BCSCTL1 on 1xx and 2xx parts, SCFI0 and SCFI1 on 4xx
// parts. The 9600 and 19200 rows of 1xx and 4xx are the maker's table; the copy of it at hand
// ends before the 38400 row, and the table has no 2xx column: the 1xx 38400 value is the one
// of the maker's own demo program, the 4xx one continues the maker's column, and the 2xx
// values are the clock the 2xx loader starts with (9600: BCSCTL1 88h, DCOCTL 80h) and the
// settings other clients use with 2xx loaders. Check them against the maker's current guide
// before relying on them. Other values leave the processor at a clock on which the loader's
// serial timing does not give the rate.
struct ClockBytes {
  std::uint8_t d1, d2;
};
const ClockBytes* BaudClocks(Family f) {
  static const ClockBytes f1xx[3] = {{0x80, 0x85}, {0xE0, 0x86}, {0xE0, 0x87}};
  static const ClockBytes f2xx[3] = {{0x80, 0x88}, {0x00, 0x8B}, {0x80, 0x8C}};
  static const ClockBytes f4xx[3] = {{0x00, 0x98}, {0x00, 0xB0}, {0x00, 0xC8}};
  switch (f) {
    case Family::F2xx: return f2xx;
    case Family::F4xx: return f4xx;
    default: return f1xx;
  }
}

std::string Hex(const std::vector<std::uint8_t>& b) {
  std::string s;
  char buf[4];
  for (std::size_t i = 0; i < b.size(); ++i) {
    std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", b[i]);
    s += buf;
  }
  return s;
}
}  // namespace

ClassicLoader::ClassicLoader(const LoaderConfig& config, const std::vector<FrameFault>& faults,
                             Flash& flash)
    : config_(config),
      family_(FamilyOf(config)),
      securityKey_(config.securityKey.value_or(family_ == Family::F2xx)),
      faults_(faults),
      flash_(flash) {
  // The loader ROM carries the chip identifier at 0x0FF0 and the loader version at 0x0FFA,
  // which is what the version command sends and what a read of 0x0FF0 shows.
  flash_.Load(0x0FF0, static_cast<std::uint8_t>(config_.chipId >> 8));
  flash_.Load(0x0FF1, static_cast<std::uint8_t>(config_.chipId & 0xFF));
  flash_.Load(0x0FFA, static_cast<std::uint8_t>(config_.version >> 8));
  flash_.Load(0x0FFB, static_cast<std::uint8_t>(config_.version & 0xFF));
}

void ClassicLoader::Enter() {
  rx_ = Rx::Idle;
  frame_.clear();
  baud_ = 9600;
  unlocked_ = false;
  patchArmed_ = false;
  offset_ = 0;
}

bool ClassicLoader::TakeFirmwareStart() {
  bool s = firmwareStarted_;
  firmwareStarted_ = false;
  return s;
}

void ClassicLoader::Feed(const std::uint8_t* data, std::size_t n, std::vector<std::uint8_t>& out) {
  for (std::size_t i = 0; i < n; ++i) {
    std::uint8_t b = data[i];
    if (rx_ == Rx::Frame) {
      frame_.push_back(b);
      if (frame_.size() >= 4 && frame_.size() == static_cast<std::size_t>(frame_[2]) + 6u) {
        std::vector<std::uint8_t> f;
        f.swap(frame_);
        rx_ = Rx::Idle;
        const std::size_t before = out.size();
        loseAnswer_ = false;
        HandleFrame(f, out);
        if (loseAnswer_) out.resize(before);
        if (firmwareStarted_) return;  // the rest goes to the firmware, not to us
      }
      continue;
    }
    if (b != BslSync) continue;  // noise between frames is ignored
    bool frameStart = rx_ == Rx::Synced;
    // A header that arrives without a sync before it is accepted when the command byte
    // follows in the same chunk (a frame is always written in one piece).
    if (!frameStart && !config_.strictSync && i + 1 < n && KnownCommand(data[i + 1]))
      frameStart = true;
    if (frameStart) {
      rx_ = Rx::Frame;
      frame_.assign(1, b);
    } else {
      rx_ = Rx::Synced;
      Log("sync", "80");
      out.push_back(BslAck);
    }
  }
}

std::uint32_t ClassicLoader::Address(const std::vector<std::uint8_t>& f) const {
  return static_cast<std::uint32_t>(f[4] | (f[5] << 8)) + 0x10000u * static_cast<std::uint32_t>(offset_);
}

bool ClassicLoader::NeedsPatch(std::uint32_t address, std::uint32_t n) const {
  if (config_.version != 0x0110 || patchArmed_) return false;
  for (std::uint32_t a = address; a < address + n; ++a)
    if (flash_.IsFlash(a)) return true;
  return false;
}

void ClassicLoader::HandleFrame(const std::vector<std::uint8_t>& f, std::vector<std::uint8_t>& out) {
  const std::uint8_t cmd = f[1];
  const std::size_t l1 = f[2];
  ++frames_;
  int nthOfCmd = ++framesOf_[cmd];
  Log("frame", Hex(f));

  if (f[3] != f[2]) {
    Log("fault", "L1 and L2 differ");
    out.push_back(BslNak);
    return;
  }
  std::uint16_t ck = BslChecksum(f.data(), l1 + 4);
  if (f[l1 + 4] != (ck & 0xFF) || f[l1 + 5] != (ck >> 8)) {
    Log("fault", "checksum");
    out.push_back(BslNak);
    return;
  }

  bool corruptReply = false, wrongData = false;
  for (const FrameFault& fault : faults_) {
    int nth = fault.command == 0 ? frames_ : (fault.command == cmd ? nthOfCmd : 0);
    if (nth < fault.nth || nth >= fault.nth + fault.count) continue;
    switch (fault.kind) {
      case FrameFaultKind::Nak:
        Log("fault", "injected NAK");
        out.push_back(BslNak);
        return;
      case FrameFaultKind::Silence:
        Log("fault", "injected silence");
        return;
      case FrameFaultKind::CorruptChecksum: corruptReply = true; break;
      case FrameFaultKind::WrongReadBack: wrongData = true; break;
      case FrameFaultKind::Message: break;  // the classic loader has no messages
      case FrameFaultKind::LostAnswer:
        Log("fault", "the answer is lost");
        loseAnswer_ = true;
        break;
    }
  }

  auto ack = [&] { out.push_back(BslAck); };
  auto nak = [&] { out.push_back(BslNak); };
  auto reply = [&](std::vector<std::uint8_t> data) {
    if (wrongData && !data.empty()) data[data.size() / 2] ^= 0x01;
    std::vector<std::uint8_t> r = BslFrame(0x00, data);
    if (corruptReply) r[r.size() - 2] ^= 0xFF;
    out.insert(out.end(), r.begin(), r.end());
  };
  // Every command carries at least the four address and length bytes.
  if (l1 < 4) return nak();
  const std::uint32_t address = Address(f);
  const std::uint32_t length = static_cast<std::uint32_t>(f[6] | (f[7] << 8));

  switch (cmd) {
    case 0x10: {  // RX password: the 32 bytes after the 4 dummies against the vector table
      // The ACK says the frame was well formed, not that the password was right; a wrong one
      // leaves the loader locked (an unlocked one stays unlocked until the next entry).
      if (l1 != 36) return nak();
      bool right = true;
      for (int k = 0; k < 32; ++k)
        right = right && f[8 + k] == flash_.Read(0xFFE0u + static_cast<std::uint32_t>(k));
      if (right) {
        unlocked_ = true;
        return ack();
      }
      Log("fault", "wrong password");
      const std::uint16_t key = static_cast<std::uint16_t>(flash_.Read(0xFFBE) | flash_.Read(0xFFBF) << 8);
      if (securityKey_ && key != 0x0000) {
        Log("fault", "wrong password: main and information memory erased");
        flash_.EraseMain();
        flash_.EraseInfo();
      }
      return ack();
    }
    case 0x12: {  // RX data block
      if (!unlocked_ || length != l1 - 4) return nak();
      if (NeedsPatch(address, length)) {
        Log("fault", "write refused without the patch");
        return nak();
      }
      bool touchesFlash = false;
      for (std::uint32_t k = 0; k < length; ++k) {
        touchesFlash = touchesFlash || flash_.IsFlash(address + k);
        flash_.Program(address + k, f[8 + k]);
      }
      if (flash_.RegionOf(address) == Flash::Region::Ram) ramBlocks_.insert(address);
      if (touchesFlash) patchArmed_ = false;
      return ack();
    }
    case 0x14: {  // TX data block
      std::uint32_t n = f[6];
      if (!unlocked_ || f[7] != 0 || n == 0 || n > 250) return nak();
      if (NeedsPatch(address, n)) {
        Log("fault", "read refused without the patch");
        return nak();
      }
      std::vector<std::uint8_t> data;
      bool touchesFlash = false;
      for (std::uint32_t k = 0; k < n; ++k) {
        touchesFlash = touchesFlash || flash_.IsFlash(address + k);
        data.push_back(flash_.Read(address + k));
      }
      if (touchesFlash) patchArmed_ = false;
      return reply(std::move(data));
    }
    case 0x16: {  // erase segment (0x02 0xA5) or main or info (0x04 0xA5)
      if (!unlocked_ || f[7] != 0xA5 || (f[6] != 0x02 && f[6] != 0x04)) return nak();
      Flash::Region region = flash_.RegionOf(address);
      if (region == Flash::Region::Info && config_.nakInfoErase) return nak();
      if (f[6] == 0x02)
        flash_.EraseSegment(address);
      else if (region == Flash::Region::Main)
        flash_.EraseMain();
      else if (region == Flash::Region::Info)
        flash_.EraseInfo();
      return ack();
    }
    case 0x18: {  // mass erase: main and information memory
      if (f[7] != 0xA5 || f[6] != 0x06) return nak();
      flash_.EraseMain();
      flash_.EraseInfo();
      return ack();
    }
    case 0x1A: {  // load PC
      if (!unlocked_) return nak();
      ack();
      switch (flash_.RegionOf(address)) {
        case Flash::Region::Rom:  // into the loader itself: it starts over, locked
          Log("frame", "loader restart");
          unlocked_ = false;
          patchArmed_ = false;
          offset_ = 0;
          baud_ = 9600;
          break;
        case Flash::Region::Ram:
          patchArmed_ = ramBlocks_.count(address) > 0;
          if (patchArmed_) Log("frame", "patch started");
          break;
        case Flash::Region::Main:
        case Flash::Region::Info:
          firmwareStarted_ = true;
          break;
        default: break;
      }
      return;
    }
    case 0x1C: {  // erase check
      if (config_.version < 0x0150 || !unlocked_) return nak();
      for (std::uint32_t k = 0; k < length; ++k)
        if (flash_.Read(address + k) != 0xFF) return nak();
      return ack();
    }
    case 0x1E: {  // TX BSL version: the 16 bytes of the ROM from 0x0FF0
      if (config_.version < 0x0150) return nak();
      std::vector<std::uint8_t> data(16, 0x00);
      data[0] = static_cast<std::uint8_t>(config_.chipId >> 8);
      data[1] = static_cast<std::uint8_t>(config_.chipId & 0xFF);
      data[10] = static_cast<std::uint8_t>(config_.version >> 8);
      data[11] = static_cast<std::uint8_t>(config_.version & 0xFF);
      return reply(std::move(data));
    }
    case 0x20: {  // change baud rate: D1 D2 set the clock, D3 the rate; no password needed
      if (config_.version < 0x0160) return nak();
      static const std::uint32_t rates[] = {9600, 19200, 38400};
      if (f[6] > 2) return nak();
      // The loader takes the clock values as they come and answers at the old rate.
      ack();
      const ClockBytes want = BaudClocks(family_)[f[6]];
      if (f[4] == want.d1 && f[5] == want.d2) {
        baud_ = rates[f[6]];
        Log("frame", "baud " + std::to_string(baud_));
      } else {
        baud_ = 0;
        char text[96];
        std::snprintf(text, sizeof text, "clock values %02X %02X do not give %u baud: the line is lost",
                      f[4], f[5], static_cast<unsigned>(rates[f[6]]));
        Log("fault", text);
      }
      return;
    }
    case 0x21: {  // set memory offset: the offset in the third data byte
      if (!unlocked_ || flash_.Top() <= 0xFFFF) return nak();
      if (0x10000u * f[6] > flash_.Top()) return nak();
      offset_ = f[6];
      return ack();
    }
    default:
      return nak();
  }
}

}  // namespace sim
