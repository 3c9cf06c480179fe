#pragma once
// TV24_Dialog: the modal dialog in which a user edits a port's line parameters. Each of its
// thirteen rows (a label and a control) stands for one field of the record; the port's
// TDlgParameter flags decide which rows can be changed. TComPort::OpenDialog shows it.
//
// Choices of this build where the form left them open:
// - The parity list offers the five parities in the order of ParitaetTag ("keine",
//   "ungerade", "gerade", "Markierung", "Leerzeichen"), so the item index is the ordinal.
// - A record value that no list item stands for (a port missing from the device list, a
//   value outside an enumeration) leaves the list without a choice; OK then keeps the
//   record's value.
// - The two NUL fields are editable lists: "true" and "false" (any case) are taken as typed;
//   another text keeps the record's value.
#include <array>
#include <vector>

#include "comport/Comport.h"
#include "platform/Components.h"

namespace comport {

class TV24_Dialog : public platform::Form {
 public:
  static constexpr int kRows = 13;
  // language 0 German, any other English; deviceList: port numbers minus one.
  TV24_Dialog(platform::Component* owner, int language, const int* deviceList, int deviceCount);

  // Shows the record (a working copy the caller owns) with the rows enabled by the flags;
  // OK writes every field back and gives mrOk, Cancel leaves it and gives mrCancel.
  int ExecuteDialog(const TDlgParameter& flags, V24ParameterTag* record);

  platform::Panel* OuterPanel;
  platform::Panel* RowPanel;
  std::array<platform::Label*, kRows> RowLabels{};
  platform::ComboBox *Datenbit_Box, *Paritaet_Box, *StopBit_Box, *Baudrate_Box, *Handshake_Box;
  platform::Edit *RX_TimeoutEdit, *RXMultiproCharEdit, *Edit_NotificationTime, *TX_TimeoutEdit,
      *TXMultiproCharEdit;
  platform::UpDown *RX_TimeoutUpDown, *RXMultiproCharUpDown, *NotificationTimeUpDown, *TX_TimeoutUpDown,
      *TXMultiproCharUpDown;
  platform::ComboBox *NullZeichenBox, *NoStringBox, *Schnittstellen_Box;
  platform::Button *V24_Adjust_okay, *V24_Adjust_cancel;

  // The controls of a row (1..13), for the flags and for tests.
  std::vector<platform::Control*> RowControls(int row) const;

 private:
  void OkClick();

  V24ParameterTag* record_ = nullptr;
  std::vector<int> devices_;
};

}  // namespace comport
