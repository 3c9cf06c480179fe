#include "comport/V24Dialog.h"

#include <cctype>
#include <string>

namespace comport {

namespace {

struct RowText {
  const char* german;
  const char* english;
};
// Top to bottom, as the rows stand.
constexpr RowText kRowTexts[TV24_Dialog::kRows] = {
    {"&Datenbit", "Data Bits"},
    {"Parit\xE4t", "Parity"},
    {"StopBits", "Stop Bits"},
    {"Baudrate", "Baud Rate"},
    {"Handshake", "Flow Control"},
    {"RX-Konstant-Timeout /ms", "RX const Timeout/ms"},
    {"RX-Multiplikator-Timeout", "RX multiplier Timeout"},
    {"RX-Ereignis-Verz. /ms", "RX Notify/ms"},
    {"TX-Konstant-Timeout /ms", "TX const Timeout/ms"},
    {"TX-Multiplikator-Timeout", "TX multiplier Timeout"},
    {"kein Nullzeichen", "No NullChar"},
    {"kein String", "No String"},
    {"Schnittstelle", "Com Port"},
};

constexpr int kRowTop = 8, kRowHeight = 33, kLabelLeft = 10, kControlLeft = 196, kControlWidth = 160,
              kUpDownWidth = 17;

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// The list's item index as the field's ordinal; no choice keeps the value.
template <typename E>
void TakeIndex(const platform::ComboBox* box, E& field) {
  if (box->ItemIndex() >= 0) field = static_cast<E>(box->ItemIndex());
}

void TakeBool(const platform::ComboBox* box, bool& field) {
  const std::string text = Lower(box->Caption());
  if (text == "true") field = true;
  else if (text == "false") field = false;
}

}  // namespace

TV24_Dialog::TV24_Dialog(platform::Component* owner, int language, const int* deviceList, int deviceCount)
    : platform::Form(owner, "V24_Dialog") {
  const bool english = language != 0;
  SetCaption(english ? "Settings" : "Einstellungen");
  SetBounds(0, 0, 399, 515);
  Centered = true;
  for (int i = 0; i < deviceCount && deviceList; ++i) devices_.push_back(deviceList[i]);

  OuterPanel = new platform::Panel(this, this, "Panel1");
  OuterPanel->Sunken = true;
  OuterPanel->SetBounds(8, 8, 383, 455);
  RowPanel = new platform::Panel(this, OuterPanel, "Panel2");
  RowPanel->SetBounds(6, 6, 371, 443);

  for (int r = 0; r < kRows; ++r) {
    auto* l = new platform::Label(this, RowPanel, "Label" + std::to_string(r + 1));
    l->SetBounds(kLabelLeft, kRowTop + r * kRowHeight + 4, kControlLeft - kLabelLeft - 6, 17);
    l->SetCaption(english ? kRowTexts[r].english : kRowTexts[r].german);
    RowLabels[static_cast<std::size_t>(r)] = l;
  }
  auto list = [this](const char* name, int row, std::initializer_list<const char*> items,
                     platform::ComboBox::Style style = platform::ComboBox::Style::DropDownList) {
    auto* b = new platform::ComboBox(this, RowPanel, name, style);
    b->SetBounds(kControlLeft, kRowTop + (row - 1) * kRowHeight, kControlWidth, 24);
    for (const char* item : items) b->AddItem(item);
    return b;
  };
  auto number = [this](const char* edit, const char* updown, int row, int max, platform::Edit*& e,
                       platform::UpDown*& u) {
    const int top = kRowTop + (row - 1) * kRowHeight;
    e = new platform::Edit(this, RowPanel, edit);
    e->NumbersOnly = true;
    e->SetBounds(kControlLeft, top, kControlWidth - kUpDownWidth, 24);
    u = new platform::UpDown(this, RowPanel, updown);
    u->SetBounds(kControlLeft + kControlWidth - kUpDownWidth, top, kUpDownWidth, 24);
    u->SetRange(0, max);
    u->SetAssociate(e);
  };
  Datenbit_Box = list("Datenbit_Box", 1, {"7", "8"});
  Paritaet_Box = list("Paritaet_Box", 2, {"keine", "ungerade", "gerade", "Markierung", "Leerzeichen"});
  StopBit_Box = list("StopBit_Box", 3, {"1", "1.5", "2"});
  Baudrate_Box = list("Baudrate_Box", 4,
                      {"1200", "2400", "4800", "9600", "19200", "38400", "57600", "115200", "128000", "256000"});
  Handshake_Box = list("Handshake_Box", 5, {"kein Handshake", "RTS/CTS", "X_On/X_Off", "ZAN X_On/X_Off"});
  number("RX_TimeoutEdit", "RX_TimeoutUpDown", 6, 1000, RX_TimeoutEdit, RX_TimeoutUpDown);
  number("RXMultiproCharEdit", "RXMultiproCharUpDown", 7, 1000, RXMultiproCharEdit, RXMultiproCharUpDown);
  number("Edit_NotificationTime", "NotificationTimeUpDown", 8, 10000, Edit_NotificationTime, NotificationTimeUpDown);
  number("TX_TimeoutEdit", "TX_TimeoutUpDown", 9, 1000, TX_TimeoutEdit, TX_TimeoutUpDown);
  number("TXMultiproCharEdit", "TXMultiproCharUpDown", 10, 1000, TXMultiproCharEdit, TXMultiproCharUpDown);
  NullZeichenBox = list("NullZeichenBox", 11, {"false", "true"}, platform::ComboBox::Style::DropDown);
  NoStringBox = list("NoStringBox", 12, {"false", "true"}, platform::ComboBox::Style::DropDown);
  Schnittstellen_Box = list("Schnittstellen_Box", 13, {});

  V24_Adjust_okay = new platform::Button(this, this, "V24_Adjust_okay");
  V24_Adjust_okay->SetCaption("OK");
  V24_Adjust_okay->SetBounds(64, 476, 100, 28);
  V24_Adjust_okay->OnClick = [this](platform::Component*) { OkClick(); };
  V24_Adjust_okay->ModalResult = platform::mrOk;
  V24_Adjust_cancel = new platform::Button(this, this, "V24_Adjust_cancel");
  V24_Adjust_cancel->SetCaption(english ? "Cancel" : "Abbrechen");
  V24_Adjust_cancel->SetBounds(236, 476, 100, 28);
  V24_Adjust_cancel->ModalResult = platform::mrCancel;
}

std::vector<platform::Control*> TV24_Dialog::RowControls(int row) const {
  switch (row) {
    case 1: return {Datenbit_Box};
    case 2: return {Paritaet_Box};
    case 3: return {StopBit_Box};
    case 4: return {Baudrate_Box};
    case 5: return {Handshake_Box};
    case 6: return {RX_TimeoutEdit, RX_TimeoutUpDown};
    case 7: return {RXMultiproCharEdit, RXMultiproCharUpDown};
    case 8: return {Edit_NotificationTime, NotificationTimeUpDown};
    case 9: return {TX_TimeoutEdit, TX_TimeoutUpDown};
    case 10: return {TXMultiproCharEdit, TXMultiproCharUpDown};
    case 11: return {NullZeichenBox};
    case 12: return {NoStringBox};
    case 13: return {Schnittstellen_Box};
    default: return {};
  }
}

int TV24_Dialog::ExecuteDialog(const TDlgParameter& flags, V24ParameterTag* record) {
  if (!record) return platform::mrCancel;
  // Row by row, the flag that enables it.
  const bool enabled[kRows] = {flags.DatenBits,        flags.Paritaet,         flags.StopBits,
                               flags.Baudrate,         flags.Handshake,        flags.RXTimeOut,
                               flags.RXTimeOutproChar, flags.RXNotification,   flags.TXTimeOut,
                               flags.TXTimeOutproChar, flags.KeinNullZeichen,  flags.KeinString,
                               flags.Schnittstelle};
  for (int r = 0; r < kRows; ++r)
    for (platform::Control* c : RowControls(r + 1)) c->SetEnabled(enabled[r]);

  record_ = record;
  const V24ParameterTag& v = *record;
  Datenbit_Box->SetItemIndex(v.DatenBits);
  Paritaet_Box->SetItemIndex(v.Paritaet);
  StopBit_Box->SetItemIndex(v.StopBits);
  Baudrate_Box->SetItemIndex(v.Baudrate);
  Handshake_Box->SetItemIndex(v.Handshake);
  RX_TimeoutUpDown->SetPosition(v.RXTimeOut);
  RXMultiproCharUpDown->SetPosition(v.RXTimeOutproChar);
  NotificationTimeUpDown->SetPosition(v.RXNotification);
  TX_TimeoutUpDown->SetPosition(v.TXTimeOut);
  TXMultiproCharUpDown->SetPosition(v.TXTimeOutproChar);
  NullZeichenBox->SetItemIndex(v.KeinNullZeichen ? 1 : 0);
  NoStringBox->SetItemIndex(v.KeinString ? 1 : 0);

  Schnittstellen_Box->ClearItems();
  int chosen = -1;
  for (std::size_t i = 0; i < devices_.size(); ++i) {
    Schnittstellen_Box->AddItem(TComPort::PortName(static_cast<unsigned>(devices_[i] + 1)));
    if (devices_[i] == v.Schnittstelle) chosen = static_cast<int>(i);
  }
  Schnittstellen_Box->SetItemIndex(chosen);

  const int result = ShowModal();
  record_ = nullptr;
  return result == platform::mrOk ? platform::mrOk : platform::mrCancel;
}

// Every field from its control, those of disabled rows too (they still show the record).
void TV24_Dialog::OkClick() {
  if (!record_) return;
  V24ParameterTag& v = *record_;
  TakeIndex(Datenbit_Box, v.DatenBits);
  TakeIndex(Paritaet_Box, v.Paritaet);
  TakeIndex(StopBit_Box, v.StopBits);
  TakeIndex(Baudrate_Box, v.Baudrate);
  TakeIndex(Handshake_Box, v.Handshake);
  v.RXTimeOut = RX_TimeoutUpDown->Position();
  v.RXTimeOutproChar = RXMultiproCharUpDown->Position();
  v.RXNotification = NotificationTimeUpDown->Position();
  v.TXTimeOut = TX_TimeoutUpDown->Position();
  v.TXTimeOutproChar = TXMultiproCharUpDown->Position();
  TakeBool(NullZeichenBox, v.KeinNullZeichen);
  TakeBool(NoStringBox, v.KeinString);
  const int port = Schnittstellen_Box->ItemIndex();
  if (port >= 0 && static_cast<std::size_t>(port) < devices_.size())
    v.Schnittstelle = static_cast<ComTag>(devices_[static_cast<std::size_t>(port)]);
}

}  // namespace comport
