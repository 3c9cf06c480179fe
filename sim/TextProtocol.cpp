#include "sim/TextProtocol.h"

#include <algorithm>
#include <cstdio>

#include "sim/WinCEReceiver.h"
#include "sim/XmodemLoader.h"

namespace sim {

namespace {
constexpr std::size_t MaxLine = 512;
// The header of an upload packet; its length byte and data follow without a line end.
constexpr const char* kPacketHeader = "A.12010#";

std::string Trim(const std::string& s) {
  std::size_t a = 0, b = s.size();
  while (a < b && (s[a] == ' ' || s[a] == '\t' || s[a] == '\0')) ++a;
  while (b > a && (s[b - 1] == ' ' || s[b - 1] == '\t' || s[b - 1] == '\0')) --b;
  return s.substr(a, b - a);
}
}  // namespace

ReplyCodes CodesFor(Numbering numbering) {
  switch (numbering) {
    case Numbering::Hundreds: return {203, 200, 201, 205};
    case Numbering::Thousands: return {2013, 2010, 2011, 205};
    case Numbering::Classic: break;
  }
  return {23, 20, 21, 25};
}

TextProtocol::TextProtocol(InstrumentConfig& config, std::function<std::uint16_t()> resetVector)
    : config_(config), resetVector_(std::move(resetVector)) {}

bool TextProtocol::TakeLoaderRequest() {
  bool r = loaderRequest_;
  loaderRequest_ = false;
  return r;
}

bool TextProtocol::TakeSpeedRequest(std::uint32_t& baud) {
  if (!speedRequest_) return false;
  speedRequest_ = false;
  baud = speedBaud_;
  return true;
}

bool TextProtocol::TakeBasicLoaderRequest() {
  bool r = basicRequest_;
  basicRequest_ = false;
  return r;
}

void TextProtocol::Line(const std::string& line, std::vector<std::uint8_t>& out) {
  std::string trimmed = Trim(line);
  if (!trimmed.empty()) Handle(trimmed, out);
}

void TextProtocol::Note(const std::string& line) {
  commands_.push_back(line);
  if (onCommand) onCommand(line);
}

const TextFault* TextProtocol::DueFault(const std::string& key) {
  // Every fault counts its own commands; the first one due applies.
  const TextFault* due = nullptr;
  for (std::size_t k = 0; k < config_.textFaults.size(); ++k) {
    const TextFault& fault = config_.textFaults[k];
    if (!fault.command.empty() && fault.command != key) continue;
    int nth = ++faultCounts_[k];
    if (!due && nth >= fault.nth && nth < fault.nth + fault.count) due = &fault;
  }
  return due;
}


bool TextProtocol::TakeXmodemRequest(int& command, int& rateCode) {
  if (!xmodemRequest_) return false;
  xmodemRequest_ = false;
  command = xmodemCommand_;
  rateCode = xmodemRate_;
  return true;
}

std::size_t TextProtocol::Feed(const std::uint8_t* data, std::size_t n, std::vector<std::uint8_t>& out) {
  for (std::size_t i = 0; i < n; ++i) {
    if (packetState_ == PacketState::Length) {
      packetLeft_ = data[i];
      packet_.clear();
      packetState_ = PacketState::Data;
      if (packetLeft_ == 0) FinishPacket(out);
      continue;
    }
    if (packetState_ == PacketState::Data) {
      // Data bytes are taken as they are (CR and LF too) until the length is reached; a
      // packet that stops half-way takes the next bytes as its rest.
      const std::size_t k = std::min(packetLeft_, n - i);
      packet_.insert(packet_.end(), data + i, data + i + k);
      packetLeft_ -= k;
      i += k - 1;
      if (packetLeft_ == 0) FinishPacket(out);
      continue;
    }
    char c = static_cast<char>(data[i]);
    if (c == '\r' || c == '\n') {
      std::string line = Trim(line_);
      bool overlong = overlong_;
      line_.clear();
      overlong_ = false;
      if (overlong) {
        if (onFault) onFault("line too long, dropped");
        out.insert(out.end(), {'?', '\r', '\n'});
      } else if (!line.empty()) {
        Handle(line, out);
      }
      // What follows is for the loader, or comes at another line.
      if (loaderRequest_ || speedRequest_ || basicRequest_ || xmodemRequest_) return i + 1;
      continue;
    }
    if (line_.size() < MaxLine)
      line_ += c;
    else
      overlong_ = true;
    if (c == '#' && !overlong_ && Trim(line_) == kPacketHeader) {
      line_.clear();
      packetState_ = PacketState::Length;
    }
  }
  return n;
}

std::string TextProtocol::InjectedReply(const TextFault& due) {
  switch (due.kind) {
    case TextFaultKind::Silence:
      if (onFault) onFault("injected silence");
      return {};
    case TextFaultKind::Refuse:
      if (onFault) onFault("injected refusal");
      return "?";
    case TextFaultKind::AskAgain: {
      std::string reply = "I.261#" + std::to_string(due.value);
      if (onFault) onFault("injected reply " + reply);
      return reply;
    }
  }
  return {};
}

void TextProtocol::FinishPacket(std::vector<std::uint8_t>& out) {
  packetState_ = PacketState::None;
  Note(std::string(kPacketHeader) + "(" + std::to_string(packet_.size()) + " bytes)");
  std::string reply = "!";
  if (const TextFault* due = DueFault("A.12010")) {
    reply = InjectedReply(*due);
    if (reply.empty()) return;
  } else if (!upload_.Packet(packet_)) {
    reply = "?";
  }
  out.insert(out.end(), reply.begin(), reply.end());
  out.insert(out.end(), {'\r', '\n'});
}

void TextProtocol::Handle(const std::string& line, std::vector<std::uint8_t>& out) {
  Note(line);
  std::size_t hash = line.find('#');
  std::string key = Trim(line.substr(0, hash));
  std::string arg = hash == std::string::npos ? std::string() : line.substr(hash + 1);

  if (const TextFault* due = DueFault(key)) {
    const std::string reply = InjectedReply(*due);
    if (!reply.empty()) {
      out.insert(out.end(), reply.begin(), reply.end());
      out.insert(out.end(), {'\r', '\n'});
    }
    return;
  }

  std::vector<std::string> replies;
  Answer(key, arg, line, replies);
  for (ExtraReply& extra : config_.extraReplies) {
    if (extra.after != "*" && extra.after != key && extra.after != line) continue;
    if (extra.once && extra.sent) continue;
    extra.sent = true;
    replies.push_back(extra.line);
  }
  if (config_.basic.enabled && !config_.basic.bootCharAfter.empty() && key == config_.basic.bootCharAfter)
    replies.push_back(std::string("I.208#") + config_.basic.bootChar);
  for (const std::string& r : replies) {
    out.insert(out.end(), r.begin(), r.end());
    out.insert(out.end(), {'\r', '\n'});
  }
}

bool TextProtocol::Answer(const std::string& key, const std::string& arg, const std::string& line,
                          std::vector<std::string>& replies) {
  const ReplyCodes codes = CodesFor(config_.numbering);
  auto numbered = [&](int code, const std::string& text) {
    replies.push_back("I." + std::to_string(code) + "#" + text);
  };
  auto end = [&] {
    if (commandMode_ || sessionSeen_) {
      ended_ = true;
      ++endCount_;
    }
    commandMode_ = false;
  };

  if (key == "A.1111") {
    end();
    if (config_.ackA1111) replies.push_back("!");
    return true;
  }
  if (key == "A.1121") {
    end();
    replies.push_back("!");
    return true;
  }
  if (key == "A.1000") {
    if (!config_.ackA1000) return true;
    commandMode_ = sessionSeen_ = true;
    ended_ = false;
    replies.push_back("!");
    return true;
  }
  if (config_.requireCommandMode && !commandMode_) {
    replies.push_back("?");
    return false;
  }
  if (config_.basic.enabled && key == config_.basic.entryCommand) {
    basicRequest_ = true;  // restarts into the loader without a word
    return true;
  }
  if (config_.wince.enabled && key == "A.1300") {
    if (!ParseTransferRate(arg, speedBaud_)) {
      replies.push_back("?");
      return false;
    }
    speedRequest_ = true;  // acknowledged at the new rate
    return true;
  }
  if (key == "A.2003") return numbered(codes.pcb, config_.pcb), true;
  if (key == "A.2000") return numbered(codes.device, config_.device), true;
  if (key == "A.2001") return numbered(codes.version, config_.version), true;
  if (key == "A.4001") return numbered(codes.serial, config_.serial), true;
  if (key == "A.1200" || key == "A.1230" || key == "A.1231") {
    replies.push_back("!");
    return true;
  }
  // Notes without an answer.
  if (key == "A.2100" || key == "A.1220" || key == "A.1500" || key == "A.2005" || key == "U.606")
    return true;
  if (key == "A.12000") {
    replies.push_back(upload_.Announce(arg) ? "!" : "?");
    return true;
  }
  if (key == "A.12030") {
    replies.push_back(upload_.Close() ? "!" : "?");
    return true;
  }
  if (key == "A.1600") {
    clock_ = arg;
    ++clockCount_;
    return true;
  }
  if (key == "A.6162") {
    airPressure_ = arg;
    replies.push_back("!");
    return true;
  }
  if (key == "A.5577" || key == "A.5555") {
    std::string text = config_.vectorText;
    if (text.empty()) {
      char buf[16];
      std::snprintf(buf, sizeof buf, "0x%03X", static_cast<unsigned>(resetVector_()));
      text = buf;
    }
    numbered(config_.vectorReplyCode, text);
    return true;
  }
  if (key == "A.5588" || key == "A.5566" || key == "A.5567") {
    if (config_.refuseLoaderStart || Trim(arg) != "QX17") {
      replies.push_back("?");
      return false;
    }
    replies.push_back(line);
    loaderRequest_ = true;
    return true;
  }
  if (config_.xmodem.enabled && (key == "A.1250" || key == "A.1255" || key == "A.1256")) {
    if (config_.refuseLoaderStart || !ParseXmodemStart(key, arg, xmodemCommand_, xmodemRate_)) {
      replies.push_back("?");
      return false;
    }
    replies.push_back(line);
    xmodemRequest_ = true;
    return true;
  }
  if (config_.unknownGetsError) replies.push_back("?");
  return false;
}

}  // namespace sim
