// The instrument search: all ports switched together through the baud list, a probe at
// each rate, then the boot-loader fallback with its wake-up frames.
#include "comport/Comport.h"
#include "platform/Application.h"
#include "procedure/Infotext.h"
#include "procedure/Notifications.h"
#include "update/Updatemain.h"

namespace update {

using namespace procedure;


namespace {
const char* BaudName(std::int32_t baud) {
  static const char* const kNames[] = {"1200", "2400", "4800", "9600", "19200", "38400"};
  return baud >= 0 && baud < 6 ? kNames[baud] : "";
}
}  // namespace

const char* TUpdateForm::Probe() const {
  return startMode_ == StartModeTag::CommandMode ? command::CommandMode : command::Normal;
}

void TUpdateForm::SwitchAllPorts(std::int32_t baud) {
  for (int i = 0; i < PortCount; ++i)
    if (PortTable[static_cast<std::size_t>(i)])
      PortTable[static_cast<std::size_t>(i)]->ChangeBaudrate(static_cast<comport::BaudTag>(baud));
}

bool TUpdateForm::SearchStep(bool advance) {
  // A step's own writes may draw line errors while it still waits; they must not start
  // further steps inside this one (each would send its probe at the rate the inner step left).
  ++searchDepth_;
  bool result = SearchStepBody(advance);
  --searchDepth_;
  return result;
}

bool TUpdateForm::SearchStepBody(bool advance) {
  if (advance) ++session.BaudIndex;
  const auto count = static_cast<std::int32_t>(ini_.baud.Count());
  if (session.BaudIndex > count) {
    ReportNoDevice();
    return false;
  }
  if (session.BaudIndex < count) {
    session.CurrentBaud = ini_.baud.items[static_cast<std::size_t>(session.BaudIndex)];
    UpdateStatusBar->SetPanelText(2, BaudName(session.CurrentBaud));
    parser_->ClearReceive();
    SwitchAllPorts(session.CurrentBaud);
    wait.DelayTime(500, false);
    WriteAllPorts(command::Wake, -1);
    wait.DelayTime(500, true);
    WriteAllPorts(Probe(), -1);
    LogLine(Probe());
    return true;
  }

  // Nothing answered at any configured rate: wake an instrument that sits in its loader.
  parser_->ClearReceive();
  if (PortCount > 0 && PortTable[0]) {
    comport::V24ParameterTag rec = PortTable[0]->GetV24Parameter();
    rec.StopBits = comport::S_1;
    if (fileType_ == FileTypeTag::Txt) rec.Paritaet = comport::Even;
    for (int i = 0; i < PortCount; ++i)
      if (PortTable[static_cast<std::size_t>(i)])
        PortTable[static_cast<std::size_t>(i)]->InitParameter(&rec, false);
  }
  UpdateStatusBar->SetPanelText(2, "BL-Baud");
  parser_->ClearReceive();
  SwitchAllPorts(fileType_ == FileTypeTag::Txt ? comport::B__9600 : comport::B_38400);
  wait.DelayTime(200, false);
  session.SessionTimer = timerPool_.StopTimer(session.SessionTimer);
  if (fileType_ == FileTypeTag::Txt && !BootHintShown) {
    std::string text = Expand(progDevice_.texts.AbortText(language_));
    std::size_t first = text.find("\r\n");
    if (first != std::string::npos) {
      std::size_t second = text.find("\r\n", first + 2);
      if (second != std::string::npos) {
        BootHintShown = true;
        std::string hint = text.substr(first + 2, second + 2 - (first + 2)) +
                           CatalogueText(MsgConfirmWithOk);
        ShowBox(hint, platform::BoxIcon::Information, platform::BoxButtons::Ok);
      }
    }
  }
  session.SessionTimer = timerPool_.StartTimer(6000);
  auto frame = FirstWakeUpFrame(static_cast<int>(fileType_));
  parser_->SetBootMarkersWanted(true);
  if (!frame.empty())
    WriteAllPorts(reinterpret_cast<const char*>(frame.data()), static_cast<int>(frame.size()));
  WakeState = 3;
  return true;
}

void TUpdateForm::OnSessionTimer() {
  if (WakeState == 3) {
    auto frame = SecondWakeUpFrame(static_cast<int>(fileType_));
    if (!frame.empty())
      WriteAllPorts(reinterpret_cast<const char*>(frame.data()), static_cast<int>(frame.size()));
    WakeState = 4;
    return;
  }
  // After a line error a time-out repeats the rate, but not for ever: a line whose errors
  // come inside the step's own wait would otherwise hold the search at one rate.
  constexpr std::int32_t kRateRepeats = 2;
  const bool repeat = session.LineErrorSeen && session.RateRepeats < kRateRepeats;
  session.RateRepeats = repeat ? session.RateRepeats + 1 : 0;
  SearchStep(!repeat);
}

void TUpdateForm::OnLineError(int com) {
  session.LineErrorSeen = true;
  // While a procedure or the Basic-Loader terminal has the port, what arrives is theirs: the
  // search's discard would throw away the answers they wait for.
  if (procedureRunning_ || basicLoader_) return;
  int index = PortIndexOf(com);
  if (index >= 0 && PortTable[static_cast<std::size_t>(index)]) {
    char discard[251];
    PortTable[static_cast<std::size_t>(index)]->Read(discard, 250);
  }
  if (session.SessionTimer == 0 || !timerPool_.Busy(session.SessionTimer)) return;
  if (searchDepth_ > 0) return;
  timerPool_.RestartTimer(session.SessionTimer);
  wait.DelayTime(500, true);
  session.RateRepeats = 0;
  SearchStep(true);
}

void TUpdateForm::ReportNoDevice() {
  session.IdentityStep = 0;
  session.SessionTimer = timerPool_.StopTimer(session.SessionTimer);
  TGZ48Programming->SetEnabled(true);
  WaitPanel->SetVisible(false);
  BootHintShown = false;
  if (NoDevicePrompts == 0) {
    ShowBox(CatalogueText(MsgNoDeviceFound), platform::BoxIcon::Error, platform::BoxButtons::Ok);
    queue_.PostKey(13);
    NoDevicePrompts = 1;
  } else {
    ShowBox(CatalogueText(MsgNoNameFound), platform::BoxIcon::Error, platform::BoxButtons::Ok);
    outcome_ = Outcome::Failed;
    Close();
  }
  ClearIdentityLabels();
}

}  // namespace update
