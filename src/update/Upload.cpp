// The file-list upload: after the firmware, every file of the FileList goes to the instrument,
// one acknowledged step at a time: the announcement "A.12000#" with the entry in lower case,
// packets "A.12010#" of one length byte and up to 255 data bytes, "A.12030" at the end of the
// file. The last "!" ends the session with "U.606". Each step's answer is awaited with a time
// limit; a refusal, silence or a file that cannot be opened ends the upload as a failure.
#include "comport/Comport.h"
#include "platform/Application.h"
#include "platform/Files.h"
#include "procedure/Infotext.h"
#include "procedure/Notifications.h"
#include "update/Updatemain.h"

namespace update {

using namespace procedure;

namespace {
constexpr std::size_t kPacketData = 255;
constexpr std::int32_t kUploadAnswerMs = 10000;
// Larger files are not read into memory; the instruments' files are far smaller.
constexpr std::uint64_t kUploadFileMax = 64u * 1024u * 1024u;

// Windows-1252 lower case: ASCII and the accented capitals (0xC0..0xDE without 0xD7).
std::string LowerCp1252(std::string text) {
  for (char& c : text) {
    const auto b = static_cast<unsigned char>(c);
    if ((b >= 'A' && b <= 'Z') || (b >= 0xC0 && b <= 0xDE && b != 0xD7))
      c = static_cast<char>(b + 0x20);
  }
  return text;
}
}  // namespace

void TUpdateForm::StartFileUpload() {
  queue_.AddHandler(kernel::Bind<&TUpdateForm::UploadHandler>(), this);
  upload_ = UploadState{};
  upload_.active = true;
  WaitProgressBar->SetPosition(0);
  if (record_.fileList.empty()) {
    NextUploadFile();
    return;
  }
  AnnounceUploadFile(true);
}

// Opens the entry at the upload index and announces it; false when it cannot be opened (the
// upload has then ended as a failure).
bool TUpdateForm::AnnounceUploadFile(bool first) {
  const std::string entry = record_.fileList[upload_.index];
  std::optional<std::string> data;
  if (auto path = platform::files::Resolve(programFolder_, entry))
    data = platform::files::ReadWholeFile(*path, kUploadFileMax);
  if (!data) {
    UploadFailed(MsgUploadFileUnreadable, entry);
    return false;
  }
  upload_.entry = entry;
  upload_.data = std::move(*data);
  upload_.sent = 0;
  upload_.sending = true;
  const int packets = static_cast<int>(upload_.data.size() / kPacketData);
  WaitProgressBar->SetPosition(0);
  WaitProgressBar->SetMax(first ? packets : packets + 1);
  SendToInstrument(command::UploadAnnounce + LowerCp1252(entry) + "\r\n");
  Await(AwaitTag::Command, kUploadAnswerMs);
  ++upload_.index;
  if (!first) WaitProgressBar->SetPosition(WaitProgressBar->Position() + 1);
  return true;
}

void TUpdateForm::SendUploadPacket() {
  const std::size_t n = std::min(kPacketData, upload_.data.size() - upload_.sent);
  std::string packet = command::UploadData;
  packet += static_cast<char>(n);
  packet.append(upload_.data, upload_.sent, n);
  upload_.sent += n;
  WaitProgressBar->SetPosition(WaitProgressBar->Position() + 1);
  if (comport::TComPort* p = InstrumentPortObject()) p->Write(packet.data(), static_cast<int>(packet.size()), false);
  LogLine(std::string(command::UploadData) + "(" + std::to_string(n) + " bytes)");
  Await(AwaitTag::Command, kUploadAnswerMs);
}

kernel::Event TUpdateForm::UploadHandler(kernel::EventQueue&, kernel::Event ev) {
  using kernel::EventQueue;
  // The OK button does nothing while files go out.
  if (ev.kind == kernel::EvKey) return ev.code == 13 ? EventQueue::ConsumeEvent(ev) : ev;
  if (ev.kind != kernel::EvNotify) return ev;
  if (ev.code == NotifyError && session.AwaitingAck) {
    // The instrument refused the step: waiting on would only end in the time limit.
    UploadFailed(MsgUploadRefused, upload_.entry);
    return EventQueue::ConsumeEvent(ev);
  }
  if (ev.code != NotifyAck) return ev;
  if (!session.AwaitingAck) {
    LogLine("! <- (not awaited)");
    return EventQueue::ConsumeEvent(ev);
  }
  StopAwaiting();
  if (upload_.sending && upload_.sent < upload_.data.size()) {
    SendUploadPacket();
  } else if (upload_.sending) {
    WaitProgressBar->SetPosition(0);
    SendToInstrument(command::UploadEndOfFile);
    upload_.sending = false;
    upload_.data.clear();
    Await(AwaitTag::Command, kUploadAnswerMs);
  } else {
    NextUploadFile();
  }
  return EventQueue::ConsumeEvent(ev);
}

void TUpdateForm::NextUploadFile() {
  if (upload_.index >= record_.fileList.size()) {
    WaitProgressBar->SetPosition(0);
    StopUpload();
    EndSession(true);
    return;
  }
  AnnounceUploadFile(false);
}

void TUpdateForm::StopUpload() {
  upload_ = UploadState{};
  queue_.RemoveHandler(kernel::Bind<&TUpdateForm::UploadHandler>(), this);
}

void TUpdateForm::UploadFailed(int message, std::string file) {
  StopUpload();
  session.Retry = RetryTag::Upload;
  ReportFailure(NotifyStepFailed);
  const std::string text = FillX(CatalogueText(message), file);
  UpdateMemo->Add(Expand(text));
  if (message == MsgUploadFileUnreadable) ShowBox(text, platform::BoxIcon::Error, platform::BoxButtons::Ok);
}

}  // namespace update
