#include "loaders/Bsl_unit.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "comport/Comport.h"
#include "kernel/Delay.h"
#include "kernel/Timer.h"
#include "loaders/BslFrame.h"
#include "platform/Application.h"
#include "platform/Files.h"
#include "update/DeviceRecord.h"
#include "update/Infotext.h"
#include "update/Notifications.h"
#include "update/ProcedureHost.h"

namespace loaders {

namespace {

constexpr const char* kVectorRequest[] = {"A.5577\r\n", "A.5555\r\n", "A.5555\r\n"};
constexpr const char* kLoaderStart[] = {"A.5588#QX17\r\n", "A.5566#QX17\r\n", "A.5567#QX17\r\n"};

constexpr std::uint32_t kDialogueTimeoutMs = 15000;
constexpr std::uint32_t kLoaderTimeoutMs = 5000;

std::uint32_t BlockEnd(const ImageBlock& b) {
  return static_cast<std::uint32_t>(b.address) + static_cast<std::uint32_t>(b.DataLength());
}

// The reply frame of a read-back carries exactly the block's data.
bool BlockMatches(const ImageBlock& b, const std::uint8_t* frame, std::size_t size) {
  std::size_t n = static_cast<std::size_t>(b.DataLength());
  return size >= n + 6 && std::memcmp(bsl::ReplyData(frame), b.data, n) == 0;
}

std::uint16_t ParseHexWord(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) i += 2;
  unsigned v = 0;
  for (; i < text.size(); ++i) {
    char c = text[i];
    unsigned d;
    if (c >= '0' && c <= '9') d = static_cast<unsigned>(c - '0');
    else if (c >= 'a' && c <= 'f') d = static_cast<unsigned>(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F') d = static_cast<unsigned>(c - 'A' + 10);
    else break;
    v = (v * 16 + d) & 0xFFFF;
  }
  return static_cast<std::uint16_t>(v);
}

}  // namespace

T_BSL430::T_BSL430(update::ProcedureHost& form, int language, platform::ProgressBar* progressBar,
                   kernel::TDelay& delay, update::DeviceRecord* record, comport::TComPort* port,
                   kernel::EventQueue& queue)
    : form_(form),
      language_(language),
      bar_(progressBar),
      delay_(delay),
      record_(record),
      port_(port),
      queue_(queue) {}

T_BSL430::~T_BSL430() {
  queue_.RemoveHandler(kernel::Bind<&T_BSL430::Handler>(), this);
  timer_ = form_.Timers().StopTimer(timer_);
}

bool T_BSL430::SendCommand(const std::string& text) {
  if (port_) port_->Write(text.c_str(), -1, false);
  form_.LogLine(text);
  return true;
}

void T_BSL430::ReportLine(const std::string& text) { form_.ReportText(text); }

bool T_BSL430::ReadImageFile(const std::string& fileName) {
  image_.assign(kImageBlocks, ImageBlock{});
  std::string path = platform::files::ResolveOrJoin(form_.PackageFolder(), fileName);
  ImageReadResult r = LoadImageFile(path, kImageBufferBytes, image_.data(), kImageBlocks, upperIndex_);
  if (!r.ok()) {
    imageError_ = ImageErrorText(r, fileName, language_);
    return false;
  }
  lastIndex_ = r.lastIndex;
  return true;
}

bool T_BSL430::Run(int variant, const std::string& fileName, bool askFirst, bool syncFirst) {
  variant_ = std::clamp(variant, 0, 2);
  askFirst_ = askFirst;
  if (bar_) bar_->SetPosition(0);
  failed_ = done_ = false;
  errorCode_ = 0;
  if (!ReadImageFile(fileName)) {
    // Without an image there is nothing to program: the run ends before the instrument is
    // touched, and the reason is shown with the loader's error.
    ReportLine(imageError_);
    status_ = 0;
    failed_ = true;
    ShowError();
    return false;
  }
  if (bar_) bar_->SetMax(4 * (lastIndex_ + 1) + 8);

  queue_.AddHandler(kernel::Bind<&T_BSL430::Handler>(), this);
  if (port_) port_->SaveLastV24Parameter();
  timer_ = form_.Timers().StartTimer(kDialogueTimeoutMs);
  form_.SetTitleProgress("", -1.0f);

  if (record_->laboratoryFlag) {
    if (record_->loaderVectorKnown) {
      vectorWord_ = static_cast<std::uint16_t>(record_->loaderVectorWord);
      vectorKnown_ = true;
    } else {
      vectorWord_ = DefaultVectorWordDirect();
    }
    EnterLoader(syncFirst);
  } else {
    SendCommand("A.1000\r\n");
  }

  while (!done_) {
    form_.PumpEvents();
    form_.ProcessMessages();
    if (!done_ && platform::HasApp()) {
      if (platform::App().Terminated() || !port_ || !port_->IsOpen()) {
        // The window was closed or the port went away under the run.
        if (!done_) Fail(status_ ? status_ : StSync);
        break;
      }
      platform::App().WaitMessage(1000);
    }
  }

  form_.SetTitleProgress("", -1.0f);
  if (port_) {
    if (form_.StartMode() == 2 && !failed_)
      port_->ChangeV24Parameter(comport::B__9600, comport::S_2, comport::NoParity, true);
    else
      port_->LoadLastV24Parameter();
  }
  delay_.DelayTime(1500, false);
  if (bar_) bar_->SetPosition(0);
  queue_.RemoveHandler(kernel::Bind<&T_BSL430::Handler>(), this);
  timer_ = form_.Timers().StopTimer(timer_);
  if (failed_) ShowError();
  return !failed_;
}

void T_BSL430::ShowError() {
  int code = status_;
  const bool refused = code == StLoaderRefused;
  if (!refused && (code < 1 || code > 15)) code = 16;
  errorCode_ = code;
  const char* text = update::Text(refused ? update::MsgBootloaderNotAvailable : update::MsgErrorInBootloader,
                                  language_);
  if (platform::HasApp())
    platform::App().MessageBox(text, "Error", platform::BoxIcon::Error, platform::BoxButtons::Ok);
}

void T_BSL430::Fail(int status) {
  status_ = status;
  failed_ = true;
  done_ = true;
  timer_ = form_.Timers().StopTimer(timer_);
}

// ---- instrument dialogue ----

std::string T_BSL430::DefaultVectorText() const {
  int which = 2;
  if (upperIndex_ >= 0 || record_->processorType == 62007) which = 1;
  else if (record_->processorType == 61749 && record_->noSensorFlag) which = 3;
  return bsl::DefaultVectorText(which);
}

std::uint16_t T_BSL430::DefaultVectorWordDirect() const {
  int which = 2;
  if (upperIndex_ >= 0 || record_->pcbNumber.find("23774") != std::string::npos ||
      record_->processorType == 62007)
    which = 1;
  return bsl::DefaultVectorWord(which);
}

kernel::Event T_BSL430::Handler(kernel::EventQueue&, kernel::Event ev) {
  using kernel::EventQueue;
  if (ev.kind == kernel::EvTimer) {
    if (timer_ == 0 || ev.code != timer_) return ev;
    if (loaderMode_)
      OnTimeout();
    else
      Fail(status_ ? status_ : StSync);  // the instrument did not answer within 15 s
    return EventQueue::ConsumeEvent(ev);
  }
  if (ev.kind != kernel::EvNotify) return ev;
  switch (ev.code) {
    case 80:
    case 81: {
      const char* text = reinterpret_cast<const char*>(ev.payload);
      if (!loaderMode_) TakeVector(text ? text : "");
      return EventQueue::ConsumeEvent(ev);
    }
    case update::NotifyRxData:
      form_.Timers().RestartTimer(timer_);
      if (!loaderMode_) return ev;
      OnReceive();
      return EventQueue::ConsumeEvent(ev);
    case update::NotifyAck:
      if (loaderMode_) return EventQueue::ConsumeEvent(ev);
      if (record_->noSensorFlag) {
        variant_ = 2;
        askFirst_ = false;
      }
      delay_.DelayTime(1000, false);
      if (askFirst_)
        SendCommand(kVectorRequest[variant_]);
      else
        TakeVector(DefaultVectorText());
      return EventQueue::ConsumeEvent(ev);
    case update::NotifyEcho:
      if (vectorKnown_ && !loaderMode_) EnterLoader(true);
      return EventQueue::ConsumeEvent(ev);
    case update::NotifyError:
      if (!loaderMode_) Fail(StLoaderRefused);
      return EventQueue::ConsumeEvent(ev);
    default:
      return ev;
  }
}

void T_BSL430::TakeVector(const std::string& text) {
  vectorWord_ = ParseHexWord(text);
  vectorKnown_ = true;
  record_->loaderVectorWord = vectorWord_;
  record_->loaderVectorKnown = true;
  SendCommand(kLoaderStart[variant_]);
}

void T_BSL430::EnterLoader(bool syncFirst) {
  loaderMode_ = true;
  timer_ = form_.Timers().StopTimer(timer_);
  if (port_) {
    port_->ChangeV24Parameter(comport::B__9600, comport::S_1, comport::Even, false);
    port_->ChangeHandShake(comport::NoHandshake);
  }
  delay_.DelayTime(8000, false);
  rx_.clear();
  if (port_) {
    // What the instrument said before it entered its loader is of no use to the loader dialogue.
    char discard[1001];
    port_->Read(discard, 1000);
  }
  timer_ = form_.Timers().StartTimer(kLoaderTimeoutMs);
  if (syncFirst)
    SendSync(&T_BSL430::ReadVersion);
  else
    ReadVersion();
}

// ---- link layer ----

void T_BSL430::SendSync(Step next) {
  onAck_ = next;
  onFrame_ = nullptr;
  onNak_ = &T_BSL430::ResendSync;
  status_ = StSync;
  ResendSync();
}

void T_BSL430::ResendSync() {
  status_ = StSync;
  const char sync = static_cast<char>(bsl::kSync);
  if (port_) port_->Write(&sync, 1, false);
}

void T_BSL430::SendFrame(std::uint8_t command, const std::uint8_t* bytes, std::size_t l1) {
  Send(bsl::MakeFrame(command, bytes, l1));
}

void T_BSL430::Send(const bsl::Frame& f) {
  // A frame that could not be built (a block too long for the loader) ends the run.
  if (f.size == 0) {
    Fail(status_);
    return;
  }
  if (port_) port_->Write(reinterpret_cast<const char*>(f.data()), static_cast<int>(f.size), false);
}

void T_BSL430::Progress() {
  if (!bar_) return;
  bar_->SetPosition(bar_->Position() + 1);
  float max = static_cast<float>(std::max(1, bar_->Max()));
  form_.SetTitleProgress("", static_cast<float>(bar_->Position()) / max * 100.0f);
}

void T_BSL430::OnReceive() {
  if (!port_) return;
  char buf[1001];
  long n = port_->Read(buf, 1000);
  if (n < 0) return;
  rx_.insert(rx_.end(), buf, buf + n);
  // Bytes that match nothing are dropped from the front rather than growing the buffer.
  if (rx_.size() > 2 * kReceiveCap) rx_.erase(rx_.begin(), rx_.end() - static_cast<std::ptrdiff_t>(kReceiveCap));

  std::ptrdiff_t header = -1, ack = -1, nak = -1;
  for (std::size_t i = 0; i < rx_.size(); ++i) {
    std::uint8_t b = rx_[i];
    if (b == bsl::kHeader) {
      header = static_cast<std::ptrdiff_t>(i);
      break;
    }
    if (b == bsl::kAck) ack = static_cast<std::ptrdiff_t>(i);
    if (b == bsl::kNak || b == bsl::kNakAlt) nak = static_cast<std::ptrdiff_t>(i);
  }

  if (header >= 0 && rx_.size() - static_cast<std::size_t>(header) > 3) {
    const std::uint8_t* p = rx_.data() + header;
    std::size_t avail = rx_.size() - static_cast<std::size_t>(header);
    std::size_t size = bsl::ReplyFrameSize(p, avail);
    if (size > 0 && avail >= size) {
      std::vector<std::uint8_t> frame(p, p + size);
      rx_.erase(rx_.begin() + header, rx_.begin() + header + static_cast<std::ptrdiff_t>(size));
      if (bsl::VerifyReplyFrame(frame.data(), frame.size())) {
        Progress();
        FrameStep step = onFrame_;
        if (step) (this->*step)(frame.data(), frame.size());
      }
      // The ACK and NAK found before the header still stand: their positions are unchanged.
    }
  }
  if (done_) return;

  if (ack >= 0) {
    Progress();
    // A refusal behind the acknowledgement belongs to nothing any more.
    if (nak > ack) {
      rx_.erase(rx_.begin() + nak);
      nak = -1;
    }
    rx_.erase(rx_.begin() + ack);
    if (nak > ack) --nak;
    Step step = onAck_;
    if (step) (this->*step)();
    if (done_) return;
  }
  if (nak >= 0) {
    Progress();
    if (static_cast<std::size_t>(nak) < rx_.size()) rx_.erase(rx_.begin() + nak);
    NakRule(false);
  }
}

void T_BSL430::NakRule(bool timeout) {
  Step step = onNak_;
  if (!step) return;
  for (Step& h : history_) {
    if (h != step) {
      h = step;
      if (step == &T_BSL430::EraseLoop)
        EraseLoop();
      else if (step == &T_BSL430::ResendSync && !timeout)
        // A refused synchronisation is sent again for the same next step; a new
        // synchronisation leading to the resender would never reach that step.
        ResendSync();
      else if (timeout)
        SendSync(onAck_);
      else
        SendSync(step);
      return;
    }
  }
  Fail(status_);
}

void T_BSL430::OnTimeout() {
  rx_.clear();
  NakRule(true);
}

// ---- programming sequence ----

void T_BSL430::ReadVersion() {
  status_ = StVersion;
  onFrame_ = &T_BSL430::VersionReply;
  onNak_ = &T_BSL430::VersionRefused;
  const std::uint8_t b[4] = {0x58, 0x58, 0x58, 0x58};
  SendFrame(bsl::kCmdVersion, b, 4);
}

void T_BSL430::VersionRefused() {
  if (!passwordAccepted_) {
    Password();
    return;
  }
  status_ = StVersion;
  onFrame_ = &T_BSL430::VersionReply;
  onNak_ = &T_BSL430::VersionRefused;
  Send(bsl::ReadBlockFrame(0x0FF0, 14));
}

void T_BSL430::VersionReply(const std::uint8_t* frame, std::size_t size) {
  if (size < 4 + 12) {
    // Too short to hold the identifier and the version: wait for the time-out to repeat.
    return;
  }
  const std::uint8_t* d = bsl::ReplyData(frame);
  versionKnown_ = true;
  processorId_ = static_cast<std::uint16_t>(d[0] * 256 + d[1]);
  char text[16];
  std::snprintf(text, sizeof text, "%X.%2X", d[10], d[11]);
  loaderVersion_ = static_cast<int>(std::atof(text) * 100.0 + 0.0001);
  if (record_->noSensorFlag) {
    std::string file = form_.ProgDefFileFor(processorId_);
    std::string upper = file;
    if (file.size() > 4 && (file.find(".txt") != std::string::npos || file.find(".TXT") != std::string::npos)) {
      if (file.back() == '@') {
        file.pop_back();
        record_->secondFileAtFlag = true;
      }
      std::vector<ImageBlock> keep = image_;
      int keepLast = lastIndex_, keepUpper = upperIndex_;
      if (!ReadImageFile(file)) {
        ReportLine(imageError_);
        image_ = std::move(keep);
        lastIndex_ = keepLast;
        upperIndex_ = keepUpper;
      }
    }
    if (processorId_ == 62503) vectorWord_ = bsl::DefaultVectorWord(2);
  }
  SendSync(&T_BSL430::Password);
}

void T_BSL430::Password() {
  status_ = StPassword;
  onAck_ = &T_BSL430::AfterPassword;
  onNak_ = &T_BSL430::Password;
  auto pw = bsl::PasswordBytes(vectorWord_);
  SendFrame(bsl::kCmdPassword, pw.data(), pw.size());
}

void T_BSL430::AfterPassword() {
  passwordAccepted_ = true;
  if (!versionKnown_) {
    SendSync(&T_BSL430::ReadVersion);
    return;
  }
  std::uint32_t eraseStart = 0xFC00;
  int index = std::min(variant_, 1);
  std::int32_t fe = record_->flashErase[static_cast<std::size_t>(index + 1)];
  if (fe > 0) eraseStart = static_cast<std::uint32_t>(fe);
  atFlag_ = index == 0 ? record_->firstFileAtFlag : record_->secondFileAtFlag;
  eraseAddress_ = eraseStart;
  if (bar_) {
    int second = lastIndex_ >= 1 ? image_[1].address : 0;
    int add = ((static_cast<int>(eraseStart) - second) / 512 + 2) * 2;
    bar_->SetMax(bar_->Max() + std::max(0, add));
  }
  if (loaderVersion_ == 110) {
    if (!LoadPatch()) return;
    SendSync(&T_BSL430::PatchLoadPc);
  } else if (loaderVersion_ >= 160 && !atFlag_) {
    SendSync(&T_BSL430::ChangeBaud);
  } else {
    SendSync(&T_BSL430::Erase);
  }
}

void T_BSL430::ChangeBaud() {
  status_ = StBaud;
  onAck_ = &T_BSL430::AfterBaud;
  onNak_ = &T_BSL430::ChangeBaud;
  bool fast = processorId_ == 0xF26F || processorId_ == 0xF237;
  std::uint8_t c1 = fast ? 0x80 : 0x00, c2 = fast ? 0x8C : 0xC8;
  Send(bsl::ChangeBaudFrame(c1, c2));
}

void T_BSL430::AfterBaud() {
  delay_.DelayTime(1000, false);
  if (port_) port_->ChangeV24Parameter(comport::B_38400, comport::S_1, comport::Even, false);
  delay_.DelayTime(1000, false);
  SendSync(&T_BSL430::Erase);
}

void T_BSL430::OffsetThen(std::uint8_t offset, Step next) {
  memoryOffset_ = offset;
  offsetNext_ = next;
  SetOffset();
}

void T_BSL430::SetOffset() {
  status_ = StMemoryOffset;
  onAck_ = &T_BSL430::AfterOffset;
  onNak_ = &T_BSL430::SetOffset;
  Send(bsl::MemoryOffsetFrame(memoryOffset_));
}

void T_BSL430::AfterOffset() {
  offsetMode_ = memoryOffset_;
  Step next = offsetNext_;
  if (next) (this->*next)();
}

void T_BSL430::Erase() {
  status_ = StErase;
  if (eraseAddress_ > 0xFFFF && offsetMode_ == 0) {
    OffsetThen(1, &T_BSL430::Erase);
    return;
  }
  if (eraseAddress_ < 0x10000 && offsetMode_ == 1) {
    eraseAddress_ -= 0x200;
    OffsetThen(0, &T_BSL430::Erase);
    return;
  }
  status_ = StErase;
  onAck_ = &T_BSL430::EraseLoop;
  onNak_ = eraseAddress_ < 0x1200 ? &T_BSL430::EraseLoop : &T_BSL430::Erase;
  std::uint32_t a = offsetMode_ == 1 ? eraseAddress_ - 0x10000 : eraseAddress_;
  Send(bsl::EraseSegmentFrame(static_cast<std::uint16_t>(a)));
}

void T_BSL430::EraseLoop() {
  eraseAddress_ -= 0x200;
  if (eraseAddress_ > 0x0E80) {
    std::uint32_t second = lastIndex_ >= 1 ? image_[1].address : 0;
    // The segment that holds the start of the image's second block is erased at that
    // address (an image starting at 0x3100 erases 0x3100 after 0x3200); below it only the
    // information segment at 0x1080 follows.
    if (eraseAddress_ < second && eraseAddress_ >= (second & ~0x1FFu)) eraseAddress_ = second;
    if (eraseAddress_ < second) eraseAddress_ = 0x1080;
    SendSync(&T_BSL430::Erase);
    onNak_ = &T_BSL430::Erase;
    return;
  }
  blockIndex_ = 0;
  Continue(&T_BSL430::WriteBlock);
}

void T_BSL430::EraseTop() {
  status_ = StEraseTop;
  onAck_ = &T_BSL430::TopErased;
  onNak_ = &T_BSL430::WriteBlock;
  Send(bsl::EraseSegmentFrame(0xFFFF));
}

void T_BSL430::WriteBlock() {
  status_ = StWrite;
  ImageBlock& b = image_[static_cast<std::size_t>(blockIndex_)];
  if (upperIndex_ < 0) {
    if (!vectorSegmentErased_ && BlockEnd(b) >= 0xFE00) {
      if (offsetMode_ == 1) {
        OffsetThen(0, &T_BSL430::WriteBlock);
        return;
      }
      EraseTop();
      return;
    }
  } else if (b.length == 0) {
    // The marker between the upper blocks and the top segment: back to the lower 64 KB,
    // erase the top segment, then go on with the block behind the marker.
    if (offsetMode_ == 1) {
      OffsetThen(0, &T_BSL430::WriteBlock);
      return;
    }
    if (!vectorSegmentErased_) {
      EraseTop();
      return;
    }
    AfterWrite();
    return;
  }
  if (blockIndex_ == upperIndex_ && offsetMode_ == 0) {
    OffsetThen(1, &T_BSL430::WriteBlock);
    return;
  }
  status_ = StWrite;
  onAck_ = &T_BSL430::AfterWrite;
  onNak_ = &T_BSL430::WriteBlock;
  Send(bsl::WriteBlockFrame(b.address, b.data, static_cast<std::size_t>(b.DataLength())));
}

void T_BSL430::TopErased() {
  vectorSegmentErased_ = true;
  // After the marker the next block is the first of the top segment.
  if (upperIndex_ >= 0 && image_[static_cast<std::size_t>(blockIndex_)].length == 0 &&
      blockIndex_ < lastIndex_)
    ++blockIndex_;
  Continue(&T_BSL430::WriteBlock);
}

void T_BSL430::AfterWrite() {
  if (blockIndex_ < lastIndex_) {
    ++blockIndex_;
    Continue(&T_BSL430::WriteBlock);
  } else {
    blockIndex_ = 0;
    Continue(&T_BSL430::ReadBack);
  }
}

void T_BSL430::ReadBack() {
  status_ = StReadBack;
  ImageBlock& b = image_[static_cast<std::size_t>(blockIndex_)];
  if (b.length == 0) {
    if (offsetMode_ == 1) {
      OffsetThen(0, &T_BSL430::ReadBack);
      return;
    }
    if (blockIndex_ < lastIndex_) {
      ++blockIndex_;
      ReadBack();
    } else {
      blockIndex_ = 0;
      SendSync(&T_BSL430::StartFirmware);
    }
    return;
  }
  if (upperIndex_ >= 0 && blockIndex_ == upperIndex_ && offsetMode_ == 0) {
    OffsetThen(1, &T_BSL430::ReadBack);
    return;
  }
  // The acknowledgement slot keeps the step of the synchronisation before: a time-out asks
  // for the same block again.
  onFrame_ = &T_BSL430::CompareBlock;
  onNak_ = &T_BSL430::ReadBack;
  Send(bsl::ReadBlockFrame(b.address, static_cast<std::size_t>(b.DataLength())));
}

void T_BSL430::CompareBlock(const std::uint8_t* frame, std::size_t size) {
  if (!BlockMatches(image_[static_cast<std::size_t>(blockIndex_)], frame, size)) {
    Fail(StReadBack);
    return;
  }
  if (blockIndex_ < lastIndex_) {
    ++blockIndex_;
    Continue(&T_BSL430::ReadBack);
  } else {
    blockIndex_ = 0;
    SendSync(&T_BSL430::StartFirmware);
  }
}

void T_BSL430::StartFirmware() {
  status_ = StStart;
  delay_.DelayTime(1000, false);
  const ImageBlock& last = image_[static_cast<std::size_t>(lastIndex_)];
  int off = last.length - 8;
  std::uint16_t pc = off >= 0 && off + 1 < static_cast<int>(kBlockDataMax)
                         ? static_cast<std::uint16_t>(last.data[off] | (last.data[off + 1] << 8))
                         : 0;
  status_ = StStart;
  onAck_ = &T_BSL430::Finished;
  onNak_ = &T_BSL430::StartFirmware;
  Send(bsl::LoadPcFrame(pc));
}

void T_BSL430::Finished() {
  loaderMode_ = false;
  form_.SetTitleProgress("", 100.0f);
  done_ = true;
}

void T_BSL430::Continue(Step next) {
  if (patchActive_) {
    patchNext_ = next;
    SendSync(&T_BSL430::PatchStart);
  } else {
    SendSync(next);
  }
}

void T_BSL430::PatchStart() {
  status_ = StPatchStart;
  onAck_ = &T_BSL430::AfterPatchStart;
  onNak_ = &T_BSL430::PatchStart;
  Send(bsl::LoadPcFrame(patch_[0].address));
}

void T_BSL430::AfterPatchStart() { SendSync(patchNext_); }

// ---- the patch of loader version 1.10 ----

bool T_BSL430::LoadPatch() {
  patch_.assign(kPatchBlocks, ImageBlock{});
  int upper = -1;
  std::string path = platform::files::ResolveOrJoin(platform::files::CurrentFolder(), "Patch.TXT");
  ImageReadResult r = LoadImageFile(path, kPatchBufferBytes, patch_.data(), kPatchBlocks, upper);
  if (!r.ok()) {
    ReportLine(ImageErrorText(r, "Patch.TXT", language_));
    Fail(StPatchLoadPc);
    return false;
  }
  patchLast_ = r.lastIndex;
  if (bar_) bar_->SetMax(8 * (lastIndex_ + 1) + 4 * (patchLast_ + 1) + 254);
  return true;
}

void T_BSL430::PatchLoadPc() {
  status_ = StPatchLoadPc;
  onAck_ = &T_BSL430::PatchAfterLoadPc;
  onNak_ = &T_BSL430::PatchLoadPc;
  Send(bsl::LoadPcFrame(0x0C22));
}

void T_BSL430::PatchAfterLoadPc() { SendSync(&T_BSL430::PatchPassword); }

// The loader wants its password again once the program counter was loaded.
void T_BSL430::PatchPassword() {
  status_ = StPassword;
  onAck_ = &T_BSL430::PatchPasswordAccepted;
  onNak_ = &T_BSL430::PatchPassword;
  auto pw = bsl::PasswordBytes(vectorWord_);
  SendFrame(bsl::kCmdPassword, pw.data(), pw.size());
}

void T_BSL430::PatchPasswordAccepted() {
  patchIndex_ = 0;
  SendSync(&T_BSL430::PatchWrite);
}

void T_BSL430::PatchWrite() {
  status_ = StPatchWrite;
  const ImageBlock& b = patch_[static_cast<std::size_t>(patchIndex_)];
  onAck_ = &T_BSL430::PatchAfterWrite;
  onNak_ = &T_BSL430::PatchWrite;
  Send(bsl::WriteBlockFrame(b.address, b.data, static_cast<std::size_t>(b.DataLength())));
}

void T_BSL430::PatchAfterWrite() {
  if (patchIndex_ < patchLast_) {
    ++patchIndex_;
    SendSync(&T_BSL430::PatchWrite);
  } else {
    patchIndex_ = 0;
    SendSync(&T_BSL430::PatchReadBack);
  }
}

void T_BSL430::PatchReadBack() {
  status_ = StPatchReadBack;
  const ImageBlock& b = patch_[static_cast<std::size_t>(patchIndex_)];
  onFrame_ = &T_BSL430::PatchCompare;
  onNak_ = &T_BSL430::PatchReadBack;
  Send(bsl::ReadBlockFrame(b.address, static_cast<std::size_t>(b.DataLength())));
}

void T_BSL430::PatchCompare(const std::uint8_t* frame, std::size_t size) {
  if (!BlockMatches(patch_[static_cast<std::size_t>(patchIndex_)], frame, size)) {
    Fail(StPatchReadBack);
    return;
  }
  if (patchIndex_ < patchLast_) {
    ++patchIndex_;
    SendSync(&T_BSL430::PatchReadBack);
  } else {
    patchActive_ = true;
    SendSync(&T_BSL430::Erase);
  }
}

}  // namespace loaders
