#pragma once
// The serial port component: the line parameter record and its configuration file, the
// port object TComPort with its receive and transmit threads.
//
// The component keeps the German names of its record and properties, as the stored
// configuration files and the port dialog know them:
//   Schnittstelle   the port (COM number minus one)     Paritaet        parity
//   DatenBits       data bits                           StopBits        stop bits
//   Baudrate        line speed                          Handshake       flow control
//   KeinNullZeichen discard received NUL bytes          KeinString      Read adds no NUL terminator
//   Datei           the configuration file name         RXTimeOut...    read/write time-outs
//   V24             RS-232 (the German name of the standard)
//
// Note: <termios.h> defines B115200 as a macro; include it (if at all) after this header and
// do not name BaudTag members in such a translation unit.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/SerialDevice.h"
#include "platform/SerialTypes.h"

#include "platform/Components.h"

namespace comport {

// ---- line parameters ----
// All enumerations are stored as 32-bit ordinals.

enum DatBitTag : std::int32_t { D_7, D_8 };
enum StopBitTag : std::int32_t { S_1, S1_5, S_2 };
enum ParitaetTag : std::int32_t { NoParity, Odd, Even, Mark, Space };
enum BaudTag : std::int32_t {
  B__1200, B__2400, B__4800, B__9600, B_19200, B_38400, B_57600, B115200, B128000, B256000
};
enum HandshakeTag : std::int32_t { NoHandshake, RTS_CTS, XonXoff, ZAN_XonXoff };
// Port number minus one: Com__1 is COM1.
enum ComTag : std::int32_t {
  Com__1, Com__2, Com__3, Com__4, Com__5, Com__6, Com__7, Com__8,
  Com__9, Com_10, Com_11, Com_12, Com_13, Com_14, Com_15, Com_16,
  Com_17, Com_18, Com_19, Com_20, Com_21, Com_22, Com_23, Com_24,
  Com_25, Com_26, Com_27, Com_28, Com_29, Com_30, Com_31, Com_32,
  Com_33, Com_34, Com_35, Com_36, Com_37, Com_38, Com_39, Com_40,
  Com_41, Com_42, Com_43, Com_44, Com_45, Com_46, Com_47, Com_48,
  Com_49, Com_50, Com_51, Com_52, Com_53, Com_54, Com_55, Com_56,
  Com_57, Com_58, Com_59, Com_60, Com_61, Com_62, Com_63, Com_64,
  Com_65, Com_66, Com_67, Com_68, Com_69, Com_70, Com_71, Com_72,
  Com_73, Com_74, Com_75, Com_76, Com_77, Com_78, Com_79, Com_80,
  Com_81, Com_82, Com_83, Com_84, Com_85, Com_86, Com_87, Com_88,
  Com_89, Com_90, Com_91, Com_92, Com_93, Com_94, Com_95, Com_96,
  Com_97, Com_98, Com_99, Com100, Com101, Com102, Com103, Com104,
  Com105, Com106, Com107, Com108, Com109, Com110, Com111, Com112,
  Com113, Com114, Com115, Com116, Com117, Com118, Com119, Com120,
  Com121, Com122, Com123, Com124, Com125, Com126, Com127, Com128,
  Com129, Com130, Com131, Com132, Com133, Com134, Com135, Com136,
  Com137, Com138, Com139, Com140, Com141, Com142, Com143, Com144,
  Com145, Com146, Com147, Com148, Com149, Com150, Com151, Com152,
  Com153, Com154, Com155, Com156, Com157, Com158, Com159, Com160,
  Com161, Com162, Com163, Com164, Com165, Com166, Com167, Com168,
  Com169, Com170, Com171, Com172, Com173, Com174, Com175, Com176,
  Com177, Com178, Com179, Com180, Com181, Com182, Com183, Com184,
  Com185, Com186, Com187, Com188, Com189, Com190, Com191, Com192,
  Com193, Com194, Com195, Com196, Com197, Com198, Com199, Com200,
  Com201, Com202, Com203, Com204, Com205, Com206, Com207, Com208,
  Com209, Com210, Com211, Com212, Com213, Com214, Com215, Com216,
  Com217, Com218, Com219, Com220, Com221, Com222, Com223, Com224,
  Com225, Com226, Com227, Com228, Com229, Com230, Com231, Com232,
  Com233, Com234, Com235, Com236, Com237, Com238, Com239, Com240,
  Com241, Com242, Com243, Com244, Com245, Com246, Com247, Com248,
  Com249, Com250, Com251, Com252, Com253, Com254, Com255, Com256,
};

// Member names as a form description stores them ("Com__7", "B__9600", "ZAN_XonXoff").
// Values outside the enumeration give "".
std::string ComTagName(ComTag com);
const char* DatBitTagName(DatBitTag v);
const char* StopBitTagName(StopBitTag v);
const char* ParitaetTagName(ParitaetTag v);
const char* BaudTagName(BaudTag v);
const char* HandshakeTagName(HandshakeTag v);
// Bit/s of a baud tag; 0 for a value outside the enumeration.
std::uint32_t BaudRateOf(BaudTag b);

// One line parameter record: 48 bytes, little-endian, byte for byte the content of the
// configuration file. Bytes 34-35 are padding that is carried along unchanged.
struct V24ParameterTag {
  static constexpr std::size_t kSize = 48;

  DatBitTag DatenBits = D_7;
  ParitaetTag Paritaet = NoParity;
  StopBitTag StopBits = S_1;
  BaudTag Baudrate = B__1200;
  HandshakeTag Handshake = NoHandshake;
  std::int32_t RXTimeOut = 0;
  std::int32_t TXTimeOut = 0;
  ComTag Schnittstelle = Com__1;
  bool KeinNullZeichen = false;
  bool KeinString = false;
  std::uint8_t Padding[2] = {0, 0};
  std::int32_t RXNotification = 0;
  std::int32_t RXTimeOutproChar = 0;
  std::int32_t TXTimeOutproChar = 0;

  // The record's bytes, field by field (not a memory image).
  void ToBytes(std::uint8_t out[kSize]) const;
  // Overwrites the leading n bytes of the record (n <= kSize) with bytes; the fields behind
  // keep their values, as when a short file is read over the record.
  void OverlayBytes(const std::uint8_t* bytes, std::size_t n);
  bool operator==(const V24ParameterTag& o) const;
};
static_assert(sizeof(V24ParameterTag) == V24ParameterTag::kSize);

// A persistent parameter set.
class TV24Parameter {
 public:
  TV24Parameter();

  V24ParameterTag& GetParameter(bool fromFile, const std::string& fileName);
  void SetParameter(const V24ParameterTag& record);
  // 0 read, -10 when the file cannot be opened (then it is written from the record).
  int ReadConfigFile(const std::string& fileName);
  // 0 written, -10 when the file cannot be opened.
  int WriteConfigFile(const std::string& fileName);

  V24ParameterTag Record;
  bool WriteThrough = false;
  std::string ConfigFileName;
};

// Which fields the settings dialog lets the user change, in this order.
struct TDlgParameter {
  bool DatenBits = false;
  bool Schnittstelle = false;
  bool Paritaet = false;
  bool StopBits = false;
  bool Baudrate = false;
  bool Handshake = false;
  bool RXTimeOut = false;
  bool RXTimeOutproChar = false;
  bool RXNotification = false;
  bool TXTimeOut = false;
  bool TXTimeOutproChar = false;
  bool KeinNullZeichen = false;
  bool KeinString = false;
};
static_assert(sizeof(TDlgParameter) == 13);

// The line settings and time-outs a record stands for (values outside an enumeration
// count as that field's value in a new TV24Parameter).
platform::LineSettings LineSettingsOf(const V24ParameterTag& r);
platform::LineTimeouts LineTimeoutsOf(const V24ParameterTag& r);

// ---- messages of the receive thread ----
// Window messages (first parameter the COM number, second 0) ...
inline constexpr std::uint32_t V24MsgRxData = 34768;
inline constexpr std::uint32_t V24MsgRxError = 34788;
inline constexpr std::uint32_t V24MsgRxOverrun = 34798;
inline constexpr std::uint32_t V24MsgRxParity = 34808;
// The device went away (unplugged, or the far side closed): nothing more will come.
inline constexpr std::uint32_t V24MsgHangUp = 34818;
// ... and the thread messages of a port opened without a window.
inline constexpr std::uint32_t V24ThreadMsgRxData = 3024;
inline constexpr std::uint32_t V24ThreadMsgRxError = 3044;
inline constexpr std::uint32_t V24ThreadMsgRxOverrun = 3054;
inline constexpr std::uint32_t V24ThreadMsgRxParity = 3064;

// Purge flags for ClearBuffer.
inline constexpr unsigned long PURGE_TXABORT = platform::PurgeTxAbort;
inline constexpr unsigned long PURGE_RXABORT = platform::PurgeRxAbort;
inline constexpr unsigned long PURGE_TXCLEAR = platform::PurgeTxClear;
inline constexpr unsigned long PURGE_RXCLEAR = platform::PurgeRxClear;

// Results of Read and Write.
inline constexpr int V24NotOpen = -10;
inline constexpr int V24Busy = -1;
inline constexpr int V24ShortWrite = -100;

// The size of the transmit staging buffer: the longest single write (with ZAN_XonXoff three
// bytes less: the framing and a terminating NUL share it).
inline constexpr std::size_t V24StagingSize = 32768;

class TV24Read_Thread;
class TV24Write_Thread;

// The text of the box that a failed Open shows (language 0 German, else English), with the
// reason in plain words when the user lacks the permission to open the device.
std::string OpenErrorText(int language, unsigned comNumber, const platform::SerialOpenResult& r);

// The open handle; null is the invalid handle value.
using PortHandle = platform::SerialDevice*;
inline constexpr PortHandle InvalidPortHandle = nullptr;

// The port object. All operations belong to the window's thread.
class TComPort : public platform::Component {
 public:
  explicit TComPort(platform::Component* owner, std::string name = "ComPort");
  ~TComPort() override;

  // Properties.
  TV24Parameter& V24() { return v24_; }
  TDlgParameter& V24Dialog() { return dlg_; }
  bool StreamOn = false;
  bool AutoSearch = false;
  std::string Datei = "ComData.cfg";
  const std::string& ConfigPath() const { return configPath_; }

  // port: port number minus one, -1 for the record's; a null window posts thread messages
  // to threadId.
  PortHandle Open(platform::Form* window, unsigned long threadId, int port, bool showError);
  void Close();
  bool IsOpen() const { return open_ && dev_; }
  // Open, but the device went away under it (unplugged): reads and writes fail from now on.
  bool Gone() const;
  // Bytes received (at most count), or -10 when not open (or the device went away). Nothing
  // is written beyond buffer[count - 1]. Unless KeinString, a NUL follows the bytes when
  // fewer than count arrived; a caller that needs a terminated text when the count is reached
  // keeps a byte of room behind it and terminates the text itself.
  long Read(char* buffer, unsigned long count);
  // What has arrived, at most count bytes, without waiting and without a terminator: for the
  // procedures, which read on every data notification. -10 as for Read.
  long ReadAvailable(char* buffer, unsigned long count);
  // length -1: NUL-terminated text. See the result constants above.
  int Write(const char* data, int length, bool background);

  void ChangeV24Parameter(BaudTag baud, StopBitTag stop, ParitaetTag parity, bool keinNullZeichen);
  void ChangeBaudrate(BaudTag baud);
  void ChangeHandShake(HandshakeTag handshake);
  // -1 keeps a value.
  void ChangeV24TimeOut(long rxConst, long txConst, long rxMultiplier, long txMultiplier);
  void ChangeRXNotifyDelay(unsigned long ms);
  unsigned long GetRXNotificationTime();
  void ClearBuffer(unsigned long flags);
  // The (now cleared) sticky short-write flag; null when closed.
  bool* GetWriteStatus();
  void Reset_SetAktiv();

  void SaveLastV24Parameter();
  void LoadLastV24Parameter();
  platform::LineSettings LoadV24Parameter();
  void SaveV24Parameter(const platform::LineSettings* settings);
  platform::LineTimeouts LoadV24TimeOut();
  void SaveV24TimeOut(const platform::LineTimeouts* timeouts);

  V24ParameterTag& GetV24Parameter();
  void InitParameter(const V24ParameterTag* record, bool autoSearch);
  void SetV24(TV24Parameter* source);
  void SetV24Dlg(TDlgParameter* source);
  void SetNewConfigPath(const char* path);

  void Check_AllV24();
  // The settings dialog (TV24_Dialog) on the record, the fields the V24Dialog flags allow;
  // OK stores the result (the file too with StreamOn) and reopens an open port with it.
  // Nothing in the program calls it: it serves tools built on the port component.
  void OpenDialog(platform::Component* owner);
  int GetMaxV24Devices() const { return deviceCount_; }
  int GetMaxV24Useable() const { return usableCount_; }
  // Port number minus one; -1 outside 0 .. count-1.
  int Get_DeviceV24(int i) const;
  int Get_UseableV24(int i) const;

  void SetLanguage(int language) { language_ = language; }
  int Language() const { return language_; }

  // The display name of a port number (1-based): "COM7".
  static std::string PortName(unsigned comNumber);
  // The device path behind the open port (or behind the record's port when closed), for
  // the user's hint.
  std::string DevicePath() const;
  // COM number (1-based) of the open port, 0 when closed.
  int ComNumber() const;

  // The live-settings snapshots (tests and the dialog look at them).
  const platform::LineSettings& SavedLineSettings() const { return savedSettings_; }
  const platform::LineTimeouts& SavedLineTimeouts() const { return savedTimeouts_; }
  bool LastValid() const { return lastValid_; }

 private:
  std::string ConfigFile() const { return configPath_ + Datei; }

  TV24Parameter v24_;
  TDlgParameter dlg_;
  std::string configPath_;

  std::unique_ptr<platform::SerialDevice> dev_;
  bool open_ = false;
  HandshakeTag handshake_ = NoHandshake;
  bool keinString_ = false;

  static constexpr int kListMax = 257;
  int devices_[kListMax] = {};
  int usable_[kListMax] = {};
  int deviceCount_ = 0;
  int usableCount_ = 0;

  platform::LineSettings savedSettings_;
  platform::LineTimeouts savedTimeouts_;
  platform::LineSettings lastSettings_;
  bool lastValid_ = false;

  int language_ = 0;
  platform::Form* window_ = nullptr;
  unsigned long threadId_ = 0;

  std::unique_ptr<TV24Read_Thread> reader_;
  std::unique_ptr<TV24Write_Thread> writer_;
};

}  // namespace comport
