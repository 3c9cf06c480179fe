#pragma once
// A whole session in a box: a package folder written for the test, simulated instruments on
// loopback COM ports, the headless application on a virtual clock and the real main window.
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Headless.h"
#include "platform/Loopback.h"
#include "sim/Instrument.h"
#include "support/TestImages.h"
#include "update/Updatemain.h"

namespace sessiontest {

// A port that exists and is free, with nothing connected to it.
class NothingConnected : public platform::LoopbackPeer {
 public:
  struct Write {
    std::uint32_t ms;
    std::string bytes;
    std::uint32_t baud;
  };
  void Attach(platform::LoopbackLine*) override {}
  void OnHostBytes(const std::uint8_t* data, std::size_t n, const platform::LineSettings& line) override;
  std::vector<Write> writes;
  int bytesSeen = 0;
};

// Passes everything between the host and a peer (the simulated instrument) and keeps what
// the host wrote, with the line it wrote at.
class WireRecorder : public platform::LoopbackPeer {
 public:
  struct Write {
    std::uint32_t ms;
    std::string bytes;
    platform::LineSettings line;
  };
  explicit WireRecorder(platform::LoopbackPeer* peer) : peer_(peer) {}
  void Attach(platform::LoopbackLine* line) override { peer_->Attach(line); }
  void OnHostBytes(const std::uint8_t* data, std::size_t n, const platform::LineSettings& line) override;
  void OnHostLineChanged(const platform::LineSettings& line) override { peer_->OnHostLineChanged(line); }
  bool Busy() override { return peer_->Busy(); }
  std::vector<Write> Writes() const;

 private:
  platform::LoopbackPeer* peer_;
  mutable std::mutex mutex_;
  std::vector<Write> writes_;
};

struct PackageRow {
  std::string devStartCmd = "1";
  std::string deviceNrDef = "12345";
  std::string deviceNr = "28160";
  std::string deviceName = "Oxi 3310";
  std::string progFile1;
  std::string progFile2 = "FW_TEST.TXT";
  std::string progFile3;
  std::string swKenn1, swKenn2 = "56 45 52 53 3A ", swKenn3;
  std::string bootLoadKenn;
  std::string flashErase2 = "0xFC00";
  std::string prozTyp = "F16C";
  std::string progDefFile;
};

struct Package {
  std::string updateIni = "Language=1\r\nVersion=V 1.0\r\nBaud=\r\nCom=\r\nException=\r\n";
  std::vector<PackageRow> rows{PackageRow{}};
  std::string startText = "Willkommen\\rStarten mit OK";
  std::string startTextE = "Welcome\\rStart with OK";
  std::string abortD = "Abbruch\\rBitte Ger\xE4t in den Boot-Modus\\rEnde";
  std::string abortE = "Aborted\\rPut the meter into boot mode\\rEnd";
  // Firmware files: name -> TI-TXT content.
  std::map<std::string, std::string> files;
};

using testsupport::TiTxtWithVersion;

class SessionRig {
 public:
  SessionRig();
  ~SessionRig();

  // Writes the package into a fresh folder and makes it the current folder.
  void WritePackage(const Package& p);
  // COM numbers 1..n: the instrument (or what stands in front of it) on com, nothing on the
  // others.
  void Ports(int count, int instrumentCom, platform::LoopbackPeer* instrument);
  // Calls the instrument's Tick every periodMs of the clock: the loaders' requests, time-outs
  // and delayed answers (an XMODEM receiver's 'C' and NAK) depend on it. The instrument's own
  // clock should be this rig's (InstrumentConfig::clock).
  void TickInstrument(sim::Instrument* instrument, std::uint32_t periodMs = 100);
  // Builds the window (start-up runs), as the program does.
  update::TUpdateForm& Start();
  // Presses OK and runs until the session is over, idle again or the program ended, or
  // the virtual time limit passes. False on the time limit.
  bool RunSession(std::uint32_t limitMs = 20 * 60 * 1000);
  bool RunUntil(const std::function<bool()>& pred, std::uint32_t limitMs);

  std::vector<std::string> MemoLines() const;
  bool MemoHas(const std::string& text) const;
  const std::vector<platform::BoxRecord>& Boxes() const { return app.Boxes(); }

  platform::VirtualClock clock;
  platform::HeadlessApplication app{&clock};
  std::string folder;
  std::unique_ptr<update::TUpdateForm> form;
  std::vector<std::unique_ptr<NothingConnected>> empties;
  std::vector<int> registered;
  std::unique_ptr<platform::Timer> ticker;
};

}  // namespace sessiontest

namespace sessiontest {
using testsupport::ParseTiTxt;
// True when the instrument's flash holds exactly the image's bytes and is erased elsewhere;
// the first difference goes to *why.
bool FlashEqualsImage(const sim::Instrument& instrument, const std::string& tiTxt, std::string* why);
}  // namespace sessiontest
