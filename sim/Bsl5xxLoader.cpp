#include "sim/Bsl5xxLoader.h"

#include <algorithm>
#include <cstdio>

namespace sim {

std::uint16_t Crc16Ccitt(const std::uint8_t* data, std::size_t n) {
  std::uint16_t crc = 0xFFFF;
  for (std::size_t i = 0; i < n; ++i) {
    crc ^= static_cast<std::uint16_t>(data[i] << 8);
    for (int bit = 0; bit < 8; ++bit)
      crc = static_cast<std::uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
  }
  return crc;
}

std::vector<std::uint8_t> Bsl5xxFrame(const std::vector<std::uint8_t>& core) {
  std::vector<std::uint8_t> f;
  f.reserve(core.size() + 5);
  f.push_back(Bsl5xxHeader);
  f.push_back(static_cast<std::uint8_t>(core.size() & 0xFF));
  f.push_back(static_cast<std::uint8_t>(core.size() >> 8));
  f.insert(f.end(), core.begin(), core.end());
  std::uint16_t crc = Crc16Ccitt(core.data(), core.size());
  f.push_back(static_cast<std::uint8_t>(crc & 0xFF));
  f.push_back(static_cast<std::uint8_t>(crc >> 8));
  return f;
}

namespace {
constexpr std::uint32_t PasswordStart = 0xFFE0;  // the top 32 bytes of the vector table
constexpr std::size_t PasswordLength = 32;
constexpr std::uint8_t PiCommandUpper = 0x50;
constexpr std::uint8_t ChangeBaudRate = 0x52;

std::string Hex(const std::uint8_t* b, std::size_t n) {
  std::string s;
  char buf[4];
  for (std::size_t i = 0; i < n; ++i) {
    std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", b[i]);
    s += buf;
  }
  return s;
}

std::string Hex8(unsigned v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%02X", v);
  return buf;
}
}  // namespace

Bsl5xxLoader::Bsl5xxLoader(const Bsl5xxConfig& config, const std::vector<FrameFault>& faults,
                           Flash& flash)
    : config_(config), faults_(faults), flash_(flash), infoALocked_(config.infoALocked) {}

void Bsl5xxLoader::Enter() {
  pointer_ = 0;
  size_ = 0;
  checksum_ = 0;
  baud_ = 9600;
  unlocked_ = false;
  infoALocked_ = config_.infoALocked;
  running_ = true;
}

bool Bsl5xxLoader::TakeFirmwareStart() {
  bool s = firmwareStarted_;
  firmwareStarted_ = false;
  return s;
}

void Bsl5xxLoader::Feed(const std::uint8_t* data, std::size_t n, std::vector<std::uint8_t>& out) {
  for (std::size_t i = 0; i < n && running_; ++i) {
    const std::uint8_t b = data[i];
    if (pointer_ == 0) {
      if (b != Bsl5xxHeader) {
        Log("fault", "header incorrect: " + Hex8(b));
        out.push_back(Bsl5xxHeaderIncorrect);
        continue;
      }
      pointer_ = 1;
    } else if (pointer_ == 1) {
      size_ = b;
      pointer_ = 2;
    } else if (pointer_ == 2) {
      size_ |= static_cast<std::size_t>(b) << 8;
      pointer_ = 3;
      if (size_ == 0) {
        Log("fault", "packet size zero");
        out.push_back(Bsl5xxPacketSizeZero);
        pointer_ = 0;
      } else if (size_ > Bsl5xxBufferSize) {
        Log("fault", "packet size " + std::to_string(size_) + " exceeds the buffer");
        out.push_back(Bsl5xxPacketSizeTooBig);
        pointer_ = 0;
      }
    } else if (pointer_ == size_ + 3) {
      checksum_ = b;
      ++pointer_;
    } else if (pointer_ == size_ + 4) {
      checksum_ = static_cast<std::uint16_t>(checksum_ | (b << 8));
      pointer_ = 0;
      Packet(out);
      if (firmwareStarted_) return;  // the rest goes to the firmware, not to us
    } else {
      buffer_[pointer_ - 3] = b;  // pointer_ - 3 < size_ <= the buffer size
      ++pointer_;
    }
  }
}

void Bsl5xxLoader::Packet(std::vector<std::uint8_t>& out) {
  Log("frame", Hex(buffer_.data(), size_));
  if (Crc16Ccitt(buffer_.data(), size_) != checksum_) {
    Log("fault", "checksum incorrect");
    out.push_back(Bsl5xxChecksumIncorrect);
    return;
  }
  const std::uint8_t cmd = buffer_[0];
  ++frames_;
  const int nthOfCmd = ++framesOf_[cmd];
  Faults f;
  for (const FrameFault& fault : faults_) {
    int nth = fault.command == 0 ? frames_ : (fault.command == cmd ? nthOfCmd : 0);
    if (nth < fault.nth || nth >= fault.nth + fault.count) continue;
    switch (fault.kind) {
      case FrameFaultKind::Nak: {
        std::uint8_t code = fault.code ? fault.code : Bsl5xxChecksumIncorrect;
        Log("fault", "injected error byte " + Hex8(code));
        out.push_back(code);
        return;
      }
      case FrameFaultKind::Silence:
        Log("fault", "injected silence");
        return;
      case FrameFaultKind::Message:
        Log("fault", "injected message " + Hex8(fault.code));
        out.push_back(Bsl5xxAck);
        Message(fault.code, out, {});
        return;
      case FrameFaultKind::CorruptChecksum: f.corruptReply = true; break;
      case FrameFaultKind::WrongReadBack: f.wrongData = true; break;
      case FrameFaultKind::LostAnswer: f.loseAnswer = true; break;
    }
  }
  const std::size_t before = out.size();
  // Commands of the peripheral interface itself are answered by it alone, without an ACK.
  if ((cmd & 0xF0) == PiCommandUpper) {
    if (cmd == ChangeBaudRate) ChangeBaud(out);
  } else {
    out.push_back(Bsl5xxAck);
    Command(out, f);
  }
  if (f.loseAnswer) {
    Log("fault", "the answer is lost");
    out.resize(before);
  }
}

void Bsl5xxLoader::ChangeBaud(std::vector<std::uint8_t>& out) {
  static const std::uint32_t rates[] = {9600, 19200, 38400, 57600, 115200};
  const std::uint8_t code = buffer_[1];  // stale when the core has no second byte, as on the device
  if (code < 0x02 || code > 0x06) {
    Log("fault", "unknown baud rate " + Hex8(code));
    out.push_back(Bsl5xxUnknownBaudRate);
    return;
  }
  out.push_back(Bsl5xxAck);  // still at the old rate
  baud_ = rates[code - 0x02];
  Log("frame", "baud " + std::to_string(baud_));
}

void Bsl5xxLoader::Send(std::size_t size, std::vector<std::uint8_t>& out, const Faults& faults) {
  out.push_back(Bsl5xxHeader);
  out.push_back(static_cast<std::uint8_t>(size & 0xFF));
  out.push_back(static_cast<std::uint8_t>(size >> 8));
  out.insert(out.end(), buffer_.begin(), buffer_.begin() + static_cast<long>(size));
  std::uint16_t crc = Crc16Ccitt(buffer_.data(), size);
  if (faults.corruptReply) crc ^= 0xFFFF;
  out.push_back(static_cast<std::uint8_t>(crc & 0xFF));
  out.push_back(static_cast<std::uint8_t>(crc >> 8));
}

void Bsl5xxLoader::Message(std::uint8_t code, std::vector<std::uint8_t>& out, const Faults& faults) {
  buffer_[0] = Bsl5xxMessageReply;
  buffer_[1] = code;
  Send(2, out, faults);
}

void Bsl5xxLoader::SendData(std::uint32_t address, std::uint32_t length,
                            std::vector<std::uint8_t>& out, const Faults& faults) {
  // Long reads leave as several data replies, each as large as the buffer allows.
  const std::uint32_t end = address + length;
  while (address < end) {
    if (!unlocked_) return Message(Bsl5xxLocked, out, faults);
    std::uint32_t bytes = std::min<std::uint32_t>(end - address, Bsl5xxBufferSize - 1);
    buffer_[0] = Bsl5xxDataReply;
    for (std::uint32_t k = 0; k < bytes; ++k) buffer_[1 + k] = flash_.Read(address + k);
    if (faults.wrongData) buffer_[1 + bytes / 2] ^= 0x01;
    Send(bytes + 1, out, faults);
    address += bytes;
  }
}

bool Bsl5xxLoader::InInfoA(std::uint32_t address) const {
  const MemoryMap& m = flash_.Map();
  return address <= m.infoEnd && address + m.infoSegment > m.infoEnd;
}

void Bsl5xxLoader::WriteUnit(std::uint32_t address, std::uint8_t value) {
  // A locked segment A and the loader's own memory ignore the write; the read-back finds it.
  if (infoALocked_ && InInfoA(address)) return;
  if (flash_.RegionOf(address) == Flash::Region::Rom) return;
  flash_.Program(address, value);
}

std::uint8_t Bsl5xxLoader::WriteMemory(std::uint32_t address, std::size_t size, const std::uint8_t* data) {
  // Words from an even start address, the last odd byte alone; bytes from an odd one. Each
  // unit is read back at once and the first mismatch ends the write.
  for (std::size_t i = 0; i < size;) {
    std::size_t unit = (address & 1) == 0 && i + 1 < size ? 2 : 1;
    const std::uint32_t a = address + static_cast<std::uint32_t>(i);
    for (std::size_t k = 0; k < unit; ++k) WriteUnit(a + static_cast<std::uint32_t>(k), data[i + k]);
    for (std::size_t k = 0; k < unit; ++k)
      if (flash_.Read(a + static_cast<std::uint32_t>(k)) != data[i + k]) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "write check failed at 0x%05X", static_cast<unsigned>(a + k));
        Log("fault", buf);
        return Bsl5xxWriteCheckFailed;
      }
    i += unit;
  }
  return Bsl5xxOk;
}

void Bsl5xxLoader::Erase(std::uint32_t address) {
  // The erase is a dummy write with the erase bit set: flash loses the segment (a locked
  // segment A keeps it), RAM simply gets the 0 written.
  switch (flash_.RegionOf(address)) {
    case Flash::Region::Main: flash_.EraseSegment(address); break;
    case Flash::Region::Info:
      if (!(infoALocked_ && InInfoA(address))) flash_.EraseSegment(address);
      break;
    case Flash::Region::Ram: flash_.Program(address, 0x00); break;
    default: break;
  }
}

void Bsl5xxLoader::MassErase() {
  // All main flash banks; information memory and the loader stay.
  flash_.EraseMain();
  Log("frame", "mass erase");
}

void Bsl5xxLoader::Command(std::vector<std::uint8_t>& out, const Faults& f) {
  const std::uint8_t cmd = buffer_[0];
  // Address and length bytes are read whatever the core's size: short cores see stale buffer.
  const std::uint32_t address = static_cast<std::uint32_t>(buffer_[1] | (buffer_[2] << 8) | (buffer_[3] << 16));
  const std::uint32_t length = static_cast<std::uint32_t>(buffer_[4] | (buffer_[5] << 8));
  switch (cmd) {
    case 0x10:    // RX data block
    case 0x1B: {  // RX data block fast: the same without a reply
      std::uint8_t result = Bsl5xxLocked;
      if (unlocked_) result = size_ > 4 ? WriteMemory(address, size_ - 4, &buffer_[4]) : Bsl5xxOk;
      if (cmd == 0x10) Message(result, out, f);
      return;
    }
    case 0x11: {  // RX password: the vector table's top 32 bytes
      bool right = true;
      for (std::size_t k = 0; k < PasswordLength; ++k)
        right = right && buffer_[1 + k] == flash_.Read(PasswordStart + static_cast<std::uint32_t>(k));
      if (right) {
        unlocked_ = true;
        return Message(Bsl5xxOk, out, f);
      }
      // A wrong password erases the device (and does not lock an unlocked loader).
      Log("fault", "wrong password");
      MassErase();
      return Message(Bsl5xxPasswordError, out, f);
    }
    case 0x12:  // erase segment
      if (!unlocked_) return Message(Bsl5xxLocked, out, f);
      Erase(address);
      return Message(Bsl5xxOk, out, f);
    case 0x13:  // unlock and lock info (toggles LOCKA)
      if (!unlocked_) return Message(Bsl5xxLocked, out, f);
      infoALocked_ = !infoALocked_;
      Log("frame", infoALocked_ ? "segment A locked" : "segment A unlocked");
      return Message(Bsl5xxOk, out, f);
    case 0x15:  // mass erase, no password needed
      MassErase();
      return Message(Bsl5xxOk, out, f);
    case 0x16: {  // CRC check over length bytes from the address
      if (!unlocked_) return Message(Bsl5xxLocked, out, f);
      std::vector<std::uint8_t> bytes;
      bytes.reserve(length);
      for (std::uint32_t k = 0; k < length; ++k) bytes.push_back(flash_.Read(address + k));
      std::uint16_t crc = Crc16Ccitt(bytes.data(), bytes.size());
      buffer_[0] = Bsl5xxDataReply;
      buffer_[1] = static_cast<std::uint8_t>(crc & 0xFF);
      buffer_[2] = static_cast<std::uint8_t>(crc >> 8);
      return Send(3, out, f);
    }
    case 0x17: {  // load PC: no reply unless locked, the call does not come back
      if (!unlocked_) return Message(Bsl5xxLocked, out, f);
      char buf[48];
      std::snprintf(buf, sizeof buf, "load PC 0x%05X", static_cast<unsigned>(address));
      Log("frame", buf);
      switch (flash_.RegionOf(address)) {
        case Flash::Region::Main: firmwareStarted_ = true; break;
        case Flash::Region::Rom:  // into the loader itself: it starts over, locked
          Log("state", "loader restart");
          Enter();
          break;
        default:
          Log("state", "running code the simulation cannot run: silent");
          running_ = false;
          break;
      }
      return;
    }
    case 0x18:  // TX data block
      return SendData(address, length, out, f);
    case 0x19: {  // TX BSL version: a read of the version bytes, so locked before the password
      if (!unlocked_) return Message(Bsl5xxLocked, out, f);
      buffer_[0] = Bsl5xxDataReply;
      for (int k = 0; k < 4; ++k) buffer_[1 + k] = config_.version[k];
      return Send(5, out, f);
    }
    default:
      Log("fault", "unknown command " + Hex8(cmd));
      return Message(Bsl5xxUnknownCommand, out, f);
  }
}

}  // namespace sim
