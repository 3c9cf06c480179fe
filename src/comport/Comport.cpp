// The port object: open and close, reads and writes, live changes of the line.
#include "comport/Comport.h"
#include "comport/V24Dialog.h"

#include <cstring>

#include "comport/ComportThreads.h"
#include "platform/Application.h"

namespace comport {

TComPort::TComPort(platform::Component* owner, std::string name)
    : platform::Component(owner, std::move(name), platform::ComponentClass::Other) {
  Check_AllV24();
}

TComPort::~TComPort() { Close(); }

std::string TComPort::PortName(unsigned comNumber) { return "COM" + std::to_string(comNumber); }

int TComPort::ComNumber() const { return IsOpen() ? dev_->ComNumber() : 0; }

std::string TComPort::DevicePath() const {
  if (IsOpen()) return dev_->Path();
  return platform::SerialDevicePath(static_cast<int>(v24_.Record.Schnittstelle) + 1);
}

// ---- the port lists ----

void TComPort::Check_AllV24() {
  deviceCount_ = 0;
  usableCount_ = 0;
  for (const auto& [com, path] : platform::SerialPortList()) {
    if (com < 1 || com > 256 || deviceCount_ >= kListMax) continue;
    switch (platform::ProbeSerialDevice(com)) {
      case platform::SerialProbe::Usable:
        usable_[usableCount_++] = com - 1;
        devices_[deviceCount_++] = com - 1;
        break;
      case platform::SerialProbe::Busy: devices_[deviceCount_++] = com - 1; break;
      case platform::SerialProbe::Missing: break;
    }
  }
}

void TComPort::OpenDialog(platform::Component* owner) {
  Check_AllV24();
  TV24_Dialog dialog(owner, language_, devices_, deviceCount_);
  V24ParameterTag copy = v24_.GetParameter(StreamOn, ConfigFile());
  if (dialog.ExecuteDialog(dlg_, &copy) != platform::mrOk) return;
  v24_.SetParameter(copy);
  if (IsOpen()) {
    Close();
    Open(window_, threadId_, copy.Schnittstelle, true);
  }
}

int TComPort::Get_DeviceV24(int i) const { return i >= 0 && i < deviceCount_ ? devices_[i] : -1; }
int TComPort::Get_UseableV24(int i) const { return i >= 0 && i < usableCount_ ? usable_[i] : -1; }

// ---- open and close ----

std::string OpenErrorText(int language, unsigned comNumber, const platform::SerialOpenResult& r) {
  std::string name = TComPort::PortName(comNumber);
  std::string text = language == 0 ? name + " konnte nicht ge\xF6" "ffnet werden!"
                                   : "Cannot open " + name + "! ";
  if (r.error == platform::SerialOpenError::Permission) {
    // The usual cause on this platform: the user is not in the group owning the device.
    if (language == 0) {
      text += "\r\nKeine Berechtigung f\xFCr " + r.path + ".";
      if (!r.group.empty())
        text += " Der Benutzer geh\xF6rt nicht zur Gruppe \"" + r.group +
                "\", der das Ger\xE4t geh\xF6rt.";
    } else {
      text += "\r\nPermission denied for " + r.path + ".";
      if (!r.group.empty())
        text += " The user is not a member of the group \"" + r.group +
                "\" that owns the device.";
    }
  }
  return text;
}

PortHandle TComPort::Open(platform::Form* window, unsigned long threadId, int port,
                          bool showError) {
  if (IsOpen()) return dev_.get();
  V24ParameterTag copy = v24_.GetParameter(StreamOn, ConfigFile());
  int chosen = static_cast<int>(copy.Schnittstelle);
  if (port != -1) chosen = port;
  window_ = window;
  threadId_ = threadId;

  platform::SerialOpenResult r;
  if (AutoSearch) {
    // Each existing port once, in list order (COM1 when there is none).
    int tries = deviceCount_ > 0 ? deviceCount_ : 1;
    for (int i = 0; i < tries; ++i) {
      chosen = deviceCount_ > 0 ? devices_[i] : 0;
      r = platform::OpenSerialDevice(chosen + 1);
      if (r.device) break;
    }
  } else {
    r = platform::OpenSerialDevice(chosen + 1);
  }
  if (!r.device) {
    if (showError && platform::HasApp())
      platform::App().MessageBox(OpenErrorText(language_, static_cast<unsigned>(chosen + 1), r),
                                 language_ == 0 ? "Fehler" : "Error", platform::BoxIcon::Error,
                                 platform::BoxButtons::Ok);
    return InvalidPortHandle;
  }

  copy.Schnittstelle = static_cast<ComTag>(chosen);
  v24_.SetParameter(copy);
  dev_ = std::move(r.device);
  open_ = true;

  reader_.reset();
  writer_.reset();
  if (window)
    reader_ = std::make_unique<TV24Read_Thread>(window, chosen + 1, dev_.get());
  else
    reader_ = std::make_unique<TV24Read_Thread_ID>(threadId, chosen + 1, dev_.get());
  writer_ = std::make_unique<TV24Write_Thread>(dev_.get());

  platform::LineSettings settings = LineSettingsOf(copy);
  handshake_ = copy.Handshake;
  keinString_ = copy.KeinString;
  dev_->GetSettings(savedSettings_);
  dev_->ApplySettings(settings);
  dev_->GetTimeouts(savedTimeouts_);
  dev_->ApplyTimeouts(LineTimeoutsOf(copy));
  reader_->SetNotificationPause(copy.RXNotification < 0 ? 0u
                                                        : static_cast<std::uint32_t>(copy.RXNotification));
  reader_->Start();
  return dev_.get();
}

void TComPort::Close() {
  if (!open_ || !dev_) return;
  reader_->Terminate();
  writer_->Terminate();
  reader_->WaitFor();
  writer_->WaitFor();  // a pending background write is sent first
  platform::LineSettings restore = savedSettings_;
  restore.discardNul = false;
  dev_->ApplySettings(restore);
  dev_->ApplyTimeouts(savedTimeouts_);
  dev_.reset();
  open_ = false;
  reader_->SetNotified(false);
  reader_.reset();
  writer_.reset();
}

// ---- reads and writes ----

long TComPort::Read(char* buffer, unsigned long count) {
  if (!IsOpen() || dev_->HungUp()) return V24NotOpen;
  reader_->SetNotified(false);
  if (!buffer) return 0;
  long n = dev_->Read(buffer, count);
  if (n < 0) return V24NotOpen;  // the device went away
  // The text's NUL goes behind the bytes only where the caller gave room for it: nothing is
  // ever written beyond count bytes.
  if (!keinString_ && static_cast<unsigned long>(n) < count) buffer[n] = '\0';
  return n;
}

bool TComPort::Gone() const { return IsOpen() && dev_->HungUp(); }

long TComPort::ReadAvailable(char* buffer, unsigned long count) {
  if (!IsOpen() || dev_->HungUp()) return V24NotOpen;
  reader_->SetNotified(false);
  if (!buffer) return 0;
  long n = dev_->ReadAvailable(buffer, count);
  return n < 0 ? V24NotOpen : n;
}

int TComPort::Write(const char* data, int length, bool background) {
  if (!IsOpen()) return V24NotOpen;
  if (length == -1) length = data ? static_cast<int>(std::strlen(data)) : 0;
  if (length < 0 || (length > 0 && !data)) return 0;
  return writer_->Submit(reinterpret_cast<const std::uint8_t*>(data),
                         static_cast<std::size_t>(length), handshake_ == ZAN_XonXoff, background);
}

// ---- live changes ----

void TComPort::ChangeV24Parameter(BaudTag baud, StopBitTag stop, ParitaetTag parity,
                                  bool keinNullZeichen) {
  if (!IsOpen()) return;
  platform::LineSettings s;
  if (!dev_->GetSettings(s)) return;
  V24ParameterTag r;
  r.Baudrate = baud;
  r.StopBits = stop;
  r.Paritaet = parity;
  platform::LineSettings from = LineSettingsOf(r);
  s.baud = from.baud;
  s.stopBits = from.stopBits;
  s.parity = from.parity;
  s.discardNul = keinNullZeichen;
  dev_->ApplySettings(s);
}

void TComPort::ChangeBaudrate(BaudTag baud) {
  if (!IsOpen()) return;
  platform::LineSettings s;
  if (!dev_->GetSettings(s)) return;
  V24ParameterTag r;
  r.Baudrate = baud;
  s.baud = LineSettingsOf(r).baud;
  dev_->ApplySettings(s);
}

void TComPort::ChangeHandShake(HandshakeTag handshake) {
  if (!IsOpen()) return;
  platform::LineSettings s;
  if (!dev_->GetSettings(s)) return;
  s.outXonXoff = false;
  s.ctsFlow = false;
  s.rts = true;
  if (handshake == XonXoff || handshake == ZAN_XonXoff) s.outXonXoff = true;
  if (handshake == RTS_CTS) s.ctsFlow = true;
  handshake_ = handshake;
  dev_->ApplySettings(s);
}

void TComPort::ChangeV24TimeOut(long rxConst, long txConst, long rxMultiplier,
                                long txMultiplier) {
  if (!IsOpen()) return;
  platform::LineTimeouts t;
  if (!dev_->GetTimeouts(t)) return;
  auto value = [](long v) { return v < 0 ? 0u : static_cast<std::uint32_t>(v); };
  if (rxConst != -1) t.readConstant = value(rxConst);
  if (txConst != -1) t.writeConstant = value(txConst);
  if (rxMultiplier != -1) {
    t.readMultiplier = value(rxMultiplier);
    if (t.readMultiplier == 0 && t.readConstant == 0) t.readConstant = 1;
  }
  if (txMultiplier != -1) t.writeMultiplier = value(txMultiplier);
  dev_->ApplyTimeouts(t);
}

void TComPort::ChangeRXNotifyDelay(unsigned long ms) {
  if (reader_) reader_->SetNotificationPause(static_cast<std::uint32_t>(ms));
}

unsigned long TComPort::GetRXNotificationTime() {
  return reader_ ? reader_->NotificationPause() : 0;
}

void TComPort::ClearBuffer(unsigned long flags) {
  if (IsOpen()) dev_->Purge(static_cast<unsigned>(flags));
}

bool* TComPort::GetWriteStatus() { return IsOpen() ? writer_->ClearError() : nullptr; }

void TComPort::Reset_SetAktiv() {
  if (reader_) reader_->SetNotified(false);
}

// ---- snapshots and live settings transfer ----

void TComPort::SaveLastV24Parameter() {
  if (IsOpen()) dev_->GetSettings(lastSettings_);
  lastValid_ = true;
}

void TComPort::LoadLastV24Parameter() {
  if (lastValid_ && IsOpen()) dev_->ApplySettings(lastSettings_);
}

platform::LineSettings TComPort::LoadV24Parameter() {
  platform::LineSettings s;
  if (IsOpen()) dev_->GetSettings(s);
  return s;
}

void TComPort::SaveV24Parameter(const platform::LineSettings* settings) {
  if (IsOpen() && settings) dev_->ApplySettings(*settings);
}

platform::LineTimeouts TComPort::LoadV24TimeOut() {
  platform::LineTimeouts t;
  if (IsOpen()) dev_->GetTimeouts(t);
  return t;
}

void TComPort::SaveV24TimeOut(const platform::LineTimeouts* timeouts) {
  if (IsOpen() && timeouts) dev_->ApplyTimeouts(*timeouts);
}

// ---- the parameter set ----

V24ParameterTag& TComPort::GetV24Parameter() { return v24_.GetParameter(false, ConfigFile()); }

void TComPort::InitParameter(const V24ParameterTag* record, bool autoSearch) {
  if (record) v24_.SetParameter(*record);
  AutoSearch = autoSearch;
}

void TComPort::SetV24(TV24Parameter* source) {
  if (!source) return;
  source->WriteThrough = false;
  v24_.WriteThrough = false;
  v24_.Record = source->Record;
}

void TComPort::SetV24Dlg(TDlgParameter* source) {
  if (source) dlg_ = *source;
}

void TComPort::SetNewConfigPath(const char* path) {
  std::string p = path ? path : "";
  if (!p.empty() && p.back() != '\\') p += '\\';
  configPath_ = p;
}

}  // namespace comport
