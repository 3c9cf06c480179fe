// The fault matrix: whole sessions on the virtual clock against the simulated instrument, for
// every loader family, under every fault class at several points of the run (the search, the
// loader's entry, the handshake before the first block, the first, a middle and the last
// block, the check after the blocks and the end of the session). Each run is classified:
//   success        the session reported success and the instrument holds exactly the package
//   clean failure  the session failed with its reason in the log and offers the retry (OK, or
//                  for the Basic-Loader terminal a new start); the retry, when offered, is run
//                  with the line sound again and is classified the same way
//   defect         anything else: a success with other memory, a failure without reason or
//                  retry, no end within the time limits, a crash
//   limit          a false success in one of the few runs marked as showing a limit of the
//                  protocol itself (no check the host could read), listed with its reason
// Every run is a child process of its own, so that a crash or a hang is a result, not the end
// of the matrix. The table (family x fault class) is printed; the exit status is 1 when any
// run is a defect.
//
// Usage: fault_matrix [--subset] [--jobs N] [--family NAME[,NAME...]] [--filter TEXT] [--list]
//                     [--run NAME] [--verbose] [--random N]
// --random N adds N runs per family whose line loses and spoils bytes at random (a soak).
// Families: classic, bsl5xx, xmodem, wince, basic, lab, lab5xx, upload (virtual clock; all of
// them: "virtual"), external (real time).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <fstream>

#include "FaultLine.h"
#include "PtyInstrument.h"
#include "SessionRig.h"
#include "platform/Files.h"
#include "platform/SerialDevice.h"
#include "support/RecordImages.h"
#include "support/RunProgram.h"
#include "loaders/Xmodem.h"
#include "platform/SerialLoopback.h"
#include "sim/BasicLoader.h"

namespace sessiontest {
namespace {

using Outcome = update::TUpdateForm::Outcome;
using Kind = FaultLine::Kind;

// ---------------------------------------------------------------------------------------------
// Families

// External: the HEX loader program and the updater library (the project's stand-ins) with the
// simulated instrument's record loader on a pseudo-terminal, in real time.
// Lab, Lab5xx: a laboratory instrument in boot mode, found by the search's wake-up frames and
// programmed through its classic or 5xx loader without the identity dialogue. Upload: the
// classic update followed by the file-list upload of the package's further files.
enum class Family { Classic, Bsl5xx, Xmodem, WinCE, Basic, Lab, Lab5xx, Upload, External };
constexpr Family kFamilies[] = {Family::Classic, Family::Bsl5xx, Family::Xmodem, Family::WinCE,  Family::Basic,
                                Family::Lab,     Family::Lab5xx, Family::Upload, Family::External};

const char* FamilyName(Family f) {
  switch (f) {
    case Family::Classic: return "classic";
    case Family::Bsl5xx: return "bsl5xx";
    case Family::Xmodem: return "xmodem";
    case Family::WinCE: return "wince";
    case Family::Basic: return "basic";
    case Family::Lab: return "lab";
    case Family::Lab5xx: return "lab5xx";
    case Family::Upload: return "upload";
    case Family::External: return "external";
  }
  return "?";
}

// Where in the run a fault strikes: indices of host writes found in a fault-free run.
enum class Point { Search, Identify, Entry, Handshake, First, Middle, Last, Verify, End };
const char* PointName(Point p) {
  switch (p) {
    case Point::Search: return "search";
    case Point::Identify: return "identify";
    case Point::Entry: return "entry";
    case Point::Handshake: return "handshake";
    case Point::First: return "first";
    case Point::Middle: return "middle";
    case Point::Last: return "last";
    case Point::Verify: return "verify";
    case Point::End: return "end";
  }
  return "?";
}
constexpr Point kLoaderPoints[] = {Point::Entry, Point::Handshake, Point::First, Point::Middle,
                                   Point::Last, Point::Verify, Point::End};
constexpr Point kBlockPoints[] = {Point::First, Point::Middle, Point::Last};

struct Points {
  std::map<Point, int> write;  // host write index of each point
  int blocks = 0;              // block writes in the run
  std::map<Point, int> block;  // ordinal (1-based) of the block at First, Middle, Last
  std::map<Point, int> record; // Basic-Loader: the record line that starts that block
};

enum class Class {
  FaultFree,
  Dropped, Corrupted, Refusals, Silence, PortGone, ReadBack, TimeInside, TimeBeyond, SearchGarbage, Restart,
  Random
};
constexpr Class kClasses[] = {Class::FaultFree, Class::Dropped,    Class::Corrupted,  Class::Refusals,      Class::Silence,
                              Class::PortGone,   Class::ReadBack,   Class::TimeInside,    Class::TimeBeyond,
                              Class::SearchGarbage, Class::Restart, Class::Random};
const char* ClassName(Class c) {
  switch (c) {
    case Class::FaultFree: return "none (fault-free)";
    case Class::Dropped: return "dropped byte";
    case Class::Corrupted: return "corrupted byte";
    case Class::Refusals: return "refusal burst";
    case Class::Silence: return "silence";
    case Class::PortGone: return "port gone";
    case Class::ReadBack: return "read-back/checksum";
    case Class::TimeInside: return "late, inside limit";
    case Class::TimeBeyond: return "late, beyond limit";
    case Class::SearchGarbage: return "garbage in search";
    case Class::Restart: return "restart";
    case Class::Random: return "random line noise";
  }
  return "?";
}

// One run: the family, the fault class and what exactly is done.
struct Run {
  Family family;
  Class cls;
  std::string name;  // unique: family/class/what
  FaultLine::Fault line;
  std::function<void(sim::InstrumentConfig&)> instrument;  // faults of the simulated loader
  std::string neighbour;  // noise the port beside the instrument sends on every write
  // External family: the updater library in the package, the loader program's exit codes
  // run by run, and further settings of the stand-ins (STANDIN_FAIL, STANDIN_DRY).
  bool library = false;
  std::string exits;
  std::vector<std::pair<std::string, std::string>> env;
  // Set where the protocol itself cannot show the fault to the host: a false success of this
  // run is reported as a limit of the protocol, with this reason, not as a defect of the tool.
  std::string limit;
};

// A binary image for the XMODEM loader: the version behind "VERS:", code around it.
std::string BinImage(const std::string& version, std::size_t size) {
  std::string b(size, '\0');
  for (std::size_t i = 1; i < size; ++i) b[i] = static_cast<char>((i * 131 + (i >> 5)) & 0xFF);
  const std::string marker = "VERS: " + version + std::string(1, '\0');
  b.replace(size / 3, marker.size(), marker);
  return b;
}

std::string RandomBytes(std::size_t n, std::uint32_t seed) {
  std::mt19937 random(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(random());
  return s;
}

// A Windows-CE program file: random bytes with its version as a UTF-16 string near the end.
std::string ProgramFile(std::size_t size, const std::string& version, std::uint32_t seed) {
  std::string bytes = RandomBytes(size, seed);
  const std::string text = "VERS: " + version;
  const std::size_t at = (size - 100) & ~std::size_t{1};
  for (std::size_t i = 0; i <= text.size(); ++i) {
    bytes[at + 2 * i] = i < text.size() ? text[i] : '\0';
    bytes[at + 2 * i + 1] = '\0';
  }
  return bytes;
}

// The Basic-Loader's image: S-records whose first data record carries the version.
std::string LoaderImage(const std::string& version, std::size_t codeBytes, std::uint32_t seed) {
  std::map<std::uint32_t, std::uint8_t> bytes;
  std::uint32_t at = 0x4000;
  for (char c : "VERS:" + version) bytes[at++] = static_cast<std::uint8_t>(c);
  bytes[at++] = 0;
  std::mt19937 random(seed);
  for (std::size_t i = 0; i < codeBytes; ++i) bytes[at++] = static_cast<std::uint8_t>(random());
  return sim::FormatSRecords(bytes, "L3TERM", 0x4000);
}

std::map<std::uint32_t, std::uint8_t> SRecordBytes(const std::string& image) {
  std::map<std::uint32_t, std::uint8_t> bytes;
  std::istringstream in(image);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    sim::SRecord r;
    if (line.empty() || !sim::ParseSRecord(line, r, nullptr) || r.type < 1 || r.type > 3) continue;
    for (std::size_t k = 0; k < r.data.size(); ++k) bytes[r.address + static_cast<std::uint32_t>(k)] = r.data[k];
  }
  return bytes;
}

// What a family's session needs and how its result is judged.
struct Setup {
  sim::InstrumentConfig config;
  std::string oldFirmware;  // TI-TXT preloaded into the flash (classic and 5xx)
  Package package;
  std::string image;        // the firmware the instrument must hold after a success
  std::vector<std::pair<std::string, std::string>> files;  // Windows CE, upload: name, content
  // The time limits the procedure gives: the loader-start command's answer, a loader step's
  // answer, the session's command answer at the end.
  std::uint32_t entryLimitMs, stepLimitMs, endLimitMs;
};

Setup MakeSetup(Family f) {
  Setup s;
  sim::InstrumentConfig& c = s.config;
  c.baud = 9600;
  c.version = "1.01";
  c.serial = "14210045";
  switch (f) {
    case Family::Classic:
      c.loader.version = 0x0160;  // with the change to 38400 baud
      s.image = TiTxtWithVersion("1.02", 1500);
      s.oldFirmware = TiTxtWithVersion("1.01", 300);
      s.package.files["FW_TEST.TXT"] = s.image;
      s.package.files["Patch.TXT"] = "@0220\r\n31 40 00 0A 30 41\r\nq\r\n";
      s.entryLimitMs = 15000, s.stepLimitMs = 5000, s.endLimitMs = 10000;
      break;
    case Family::Bsl5xx:
      c.loaderKind = sim::LoaderKind::Bsl5xx;
      s.image = testsupport::TiTxt5xx("1.02", 2000);
      s.oldFirmware = testsupport::TiTxt5xx("1.01", 900);
      s.package.rows[0].prozTyp = "5438";
      s.package.files["FW_TEST.TXT"] = s.image;
      s.entryLimitMs = 15000, s.stepLimitMs = 5000, s.endLimitMs = 10000;
      break;
    case Family::Xmodem:
      c.versionMarker = "VERS: ";
      c.xmodem.enabled = true;
      s.image = BinImage("1.02", 5000);
      s.package.rows[0].progFile2 = "FW_TEST.BIN";
      s.package.rows[0].swKenn2 = "VERS:";
      s.package.files["FW_TEST.BIN"] = s.image;
      s.entryLimitMs = 10000, s.stepLimitMs = loaders::xmodem::Sender::kAnswerMs, s.endLimitMs = 10000;
      break;
    case Family::WinCE:
      c.wince.enabled = true;
      s.files = {{"TORVEX.EXE", ProgramFile(4500, "1.02", 1)}, {"HELP.DLL", RandomBytes(4000, 2)}};
      s.package.rows[0].progFile2 = "TORVEX.EXE,HELP.DLL";
      s.package.rows[0].swKenn2 = "VERS:";
      for (const auto& [name, content] : s.files) s.package.files[name] = content;
      s.entryLimitMs = 8000, s.stepLimitMs = 8000, s.endLimitMs = 10000;
      break;
    case Family::Basic:
      c.baud = 19200;
      c.basic.enabled = true;
      s.image = LoaderImage("1.02", 9000, 1);
      s.package.rows[0].progFile2 = "FW_L3.MOT";
      s.package.rows[0].swKenn2 = "564552533A";
      s.package.files["FW_L3.MOT"] = LoaderImage("1.02", 100, 99);
      s.package.files["L3_TermH.A37"] = s.image;
      s.entryLimitMs = 10000, s.stepLimitMs = 30000, s.endLimitMs = 30000;
      break;
    case Family::Lab:
    case Family::Lab5xx: {
      c.bootMode = sim::BootMode::Marker;
      const bool fivexx = f == Family::Lab5xx;
      if (fivexx)
        c.loaderKind = sim::LoaderKind::Bsl5xx;
      else
        c.loader.version = 0x0160;
      s.image = fivexx ? testsupport::TiTxt5xx("1.05", 2000) : TiTxtWithVersion("1.05", 1500);
      PackageRow& row = s.package.rows[0];
      row.deviceNr = row.deviceNrDef = "40100";
      row.deviceName = "Lab 860";
      row.progFile2 = "LAB860.TXT";
      s.package.files["LAB860.TXT"] = fivexx ? testsupport::TiTxt5xx("1.05", 100) : TiTxtWithVersion("1.05", 100);
      s.package.files["LABXXX.TXT"] = s.image;
      if (fivexx) {
        // The 5xx loader's 'Q' takes the second row.
        PackageRow second = row;
        second.deviceNr = second.deviceNrDef = "40200";
        second.deviceName = "Lab 5xx";
        second.progFile2 = "LAB5XX.TXT";
        s.package.rows.push_back(second);
        s.package.files["LAB5XX.TXT"] = testsupport::TiTxt5xx("1.05", 100);
      }
      s.entryLimitMs = 5000, s.stepLimitMs = 5000, s.endLimitMs = 10000;
      break;
    }
    case Family::Upload:
      c.device = "40500.000";  // no air pressure to set
      c.loader.version = 0x0150;
      s.image = TiTxtWithVersion("1.02", 400);
      s.oldFirmware = TiTxtWithVersion("1.01", 300);
      s.files = {{"Data1.bin", RandomBytes(1100, 5)}, {"EMPTY.DAT", ""}, {"Note.txt", RandomBytes(300, 6)}};
      s.package.rows[0].deviceNr = "40500";
      s.package.rows[0].progFile2 = "FW_TEST.TXT,DATA1.BIN,EMPTY.DAT,NOTE.TXT";
      s.package.files["FW_TEST.TXT"] = s.image;
      for (const auto& [name, content] : s.files) s.package.files[name] = content;
      s.entryLimitMs = s.stepLimitMs = s.endLimitMs = 10000;
      break;
    case Family::External:
      c.recordLoader.enabled = true;
      s.entryLimitMs = s.stepLimitMs = s.endLimitMs = 0;
      break;
  }
  return s;
}

// The instrument after a power cut: the same kind, its memory kept, in its power-on state.
std::unique_ptr<sim::Instrument> Restarted(const sim::InstrumentConfig& base, const sim::Instrument& before) {
  sim::InstrumentConfig c = base;
  c.frameFaults.clear();
  c.textFaults.clear();
  c.xmodem.faults.clear();
  c.basic.fault = sim::BasicFaultKind::None;
  c.wince.existing = before.WinCEFiles();
  auto next = std::make_unique<sim::Instrument>(c);
  std::string error;
  next->LoadFirmware(before.DumpTiTxt(), &error);
  return next;
}

bool IsBlock(Family f, const FaultLine::Write& w) {
  const std::string& b = w.bytes;
  switch (f) {
    case Family::Classic: return b.size() >= 8 && static_cast<std::uint8_t>(b[0]) == 0x80 && b[1] == 0x12;
    case Family::Bsl5xx: return b.size() >= 8 && static_cast<std::uint8_t>(b[0]) == 0x80 && b[3] == 0x10;
    case Family::Xmodem: return b.size() == loaders::xmodem::kPacketSize && b[0] == 0x01;
    case Family::WinCE: return b.rfind("D.", 0) == 0;
    case Family::Basic: return w.state == sim::Instrument::State::BasicLoader && b.size() > 20;
    case Family::Lab: return b.size() >= 8 && static_cast<std::uint8_t>(b[0]) == 0x80 && b[1] == 0x12;
    case Family::Lab5xx: return b.size() >= 8 && static_cast<std::uint8_t>(b[0]) == 0x80 && b[3] == 0x10;
    case Family::Upload: return b.rfind("A.12010#", 0) == 0;
    case Family::External: return false;
  }
  return false;
}

bool IsEntry(Family f, const FaultLine::Write& w) {
  const std::string& b = w.bytes;
  switch (f) {
    case Family::Lab:
    case Family::Lab5xx: return w.state == sim::Instrument::State::Loader;  // the loader's first frame
    case Family::Upload: return b.rfind("A.12000#", 0) == 0;
    case Family::Classic:
    case Family::Bsl5xx: return b.rfind("A.5588", 0) == 0 || b.rfind("A.5566", 0) == 0 || b.rfind("A.5567", 0) == 0;
    case Family::Xmodem: return b.rfind("A.125", 0) == 0;
    case Family::WinCE: return b.rfind("A.1300#", 0) == 0;
    case Family::Basic: return b.rfind("A.1220", 0) == 0;
    case Family::External: return b.rfind("A.1200", 0) == 0;
  }
  return false;
}

// ---------------------------------------------------------------------------------------------
// One session

// A port beside the instrument's that answers every write with noise.
class NoisyPort : public platform::LoopbackPeer {
 public:
  explicit NoisyPort(std::string noise) : noise_(std::move(noise)) {}
  void Attach(platform::LoopbackLine* line) override { line_ = line; }
  void OnHostBytes(const std::uint8_t*, std::size_t, const platform::LineSettings&) override {
    if (line_ && !noise_.empty()) line_->Emit(reinterpret_cast<const std::uint8_t*>(noise_.data()), noise_.size());
  }

 private:
  std::string noise_;
  platform::LoopbackLine* line_ = nullptr;
};

// Limit: a false success that the protocol itself leaves the host no way to see (Run::limit).
enum class Verdict { Success, Clean, Defect, Limit };
const char* VerdictName(Verdict v) {
  return v == Verdict::Success ? "success" : v == Verdict::Clean ? "clean" : v == Verdict::Limit ? "limit" : "DEFECT";
}

struct Result {
  Verdict verdict = Verdict::Defect;
  std::string detail;
  std::uint32_t virtualMs = 0;
  bool retried = false;
  bool recovered = false;  // the retry succeeded
};

// How one attempt ended. finished: the session ended within its time limits; newStartIsRetry:
// the Basic-Loader terminal, whose failure asks for a new start of the program instead of OK.
Verdict Judge(bool finished, update::TUpdateForm& form, platform::HeadlessApplication& app, bool newStartIsRetry,
              const std::function<bool(std::string*)>& memoryHoldsPackage, std::string& detail) {
  if (!finished) {
    detail = "no end within the time limits";
    return Verdict::Defect;
  }
  auto memoHas = [&](const std::string& text) {
    for (const std::string& l : form.UpdateMemo->Lines())
      if (l.find(text) != std::string::npos) return true;
    return false;
  };
  const Outcome o = form.SessionOutcome();
  const bool successText = memoHas("Download successfully completed") || memoHas("successfully programmed");
  if (o == Outcome::Succeeded || o == Outcome::NotNeeded) {
    std::string why;
    if (!memoryHoldsPackage(&why)) {
      detail = std::string(o == Outcome::NotNeeded ? "no update needed" : "success") + " claimed, but " + why;
      return Verdict::Defect;
    }
    if (!successText) {
      detail = "success without its text";
      return Verdict::Defect;
    }
    detail = "success";
    return Verdict::Success;
  }
  if (successText) {
    detail = "the success text on a failed session";
    return Verdict::Defect;
  }
  std::string reason;
  for (const std::string& l : form.UpdateMemo->Lines())
    if (!l.empty()) reason = l;
  if (!app.Boxes().empty()) reason = app.Boxes().back().text;
  if (form.Closed() || app.Terminated()) {
    // The program ended by itself (the search gave up): it said why.
    if (reason.empty()) {
      detail = "the program ended without a word";
      return Verdict::Defect;
    }
    detail = "ended: " + reason;
    return Verdict::Clean;
  }
  const bool retryOffered = form.OkBitBtn->Enabled() || (newStartIsRetry && form.NewStartNeeded());
  if (reason.empty()) {
    detail = "failure without a reason";
    return Verdict::Defect;
  }
  if (!retryOffered) {
    detail = "failure without the retry: " + reason;
    return Verdict::Defect;
  }
  if (o != Outcome::Failed && o != Outcome::Refused && o != Outcome::Running) {
    detail = "unexpected outcome " + std::to_string(static_cast<int>(o));
    return Verdict::Defect;
  }
  detail = "failed: " + reason;
  return Verdict::Clean;
}

constexpr std::uint32_t kSessionLimitMs = 30 * 60 * 1000;  // virtual time for one attempt
constexpr std::uint32_t kReadingMs = 20000;                 // before the user presses OK again

class Session {
 public:
  Session(Family family, const Run* run) : family_(family), run_(run), setup_(MakeSetup(family)) {
    sim::InstrumentConfig c = setup_.config;
    if (run && run->instrument) run->instrument(c);
    c.clock = [clock = &rig_.clock] { return clock->Milliseconds(); };
    setup_.config.clock = c.clock;
    auto instrument = std::make_unique<sim::Instrument>(c);
    if (!setup_.oldFirmware.empty()) {
      std::string error;
      instrument->LoadFirmware(setup_.oldFirmware, &error);
    }
    const sim::InstrumentConfig base = setup_.config;
    line_ = std::make_unique<FaultLine>(std::move(instrument), 2, [base](const sim::Instrument& before) {
      return Restarted(base, before);
    });
    if (run) line_->Arm(run->line);
    neighbour_ = std::make_unique<NoisyPort>(run ? run->neighbour : std::string());
    rig_.WritePackage(setup_.package);
    platform::RegisterLoopbackPort(1, neighbour_.get());
    platform::RegisterLoopbackPort(2, line_.get());
    rig_.registered = {1, 2};
    ticker_ = std::make_unique<platform::Timer>(nullptr, "MatrixTick");
    ticker_->SetInterval(100);
    ticker_->OnTimer = [this](platform::Timer&) { line_->Tick(); };
    ticker_->SetEnabled(true);
    rig_.Start();
  }
  ~Session() {
    ticker_.reset();
    rig_.form.reset();
    std::error_code ec;
    std::filesystem::remove_all(rig_.folder, ec);
  }

  Result Play(bool verbose) {
    Result r;
    if (verbose) rig_.form->DebugMode = true;  // the procedures' traces in the log
    const std::uint32_t start = rig_.clock.Milliseconds();
    Verdict v = Attempt(r.detail);
    if (v == Verdict::Clean && rig_.form && !rig_.form->Closed() && rig_.form->OkBitBtn->Enabled()) {
      // The retry the user is offered, with the line sound again, after the time it takes
      // to read the message (an instrument's own time-outs may run meanwhile).
      r.retried = true;
      if (verbose)
        for (const auto& l : rig_.MemoLines()) std::fprintf(stderr, "  memo (first attempt) %s\n", l.c_str());
      line_->Disarm();
      rig_.RunUntil([] { return false; }, kReadingMs);
      std::string again;
      const Verdict second = Attempt(again);
      if (second == Verdict::Defect) {
        v = Verdict::Defect;
        r.detail = "retry: " + again;
      } else {
        r.recovered = second == Verdict::Success;
        r.detail += r.recovered ? "; retry succeeded" : "; retry: " + again;
      }
    }
    r.verdict = v;
    r.virtualMs = rig_.clock.Milliseconds() - start;
    // A known limit's false success is listed with its reason; its log would only be noise.
    if (verbose || (v == Verdict::Defect && (!run_ || run_->limit.empty()))) Dump();
    return r;
  }

  std::vector<FaultLine::Write> Writes() const { return line_->Writes(); }

 private:
  Verdict Attempt(std::string& detail) {
    const bool finished = rig_.RunSession(kSessionLimitMs);
    return Judge(finished, *rig_.form, rig_.app, family_ == Family::Basic,
                 [this](std::string* why) { return MemoryHoldsPackage(why); }, detail);
  }

  bool MemoryHoldsPackage(std::string* why) {
    std::reference_wrapper<sim::Instrument> in = line_->Instrument();
    switch (family_) {
      case Family::Classic:
      case Family::Bsl5xx:
      case Family::Lab:
      case Family::Lab5xx:
        return FlashEqualsImage(in.get(), setup_.image, why);
      case Family::Upload: {
        if (!FlashEqualsImage(in.get(), setup_.image, why)) return false;
        // What was uploaded stays over a restart: the latest copy of each name counts.
        std::map<std::string, std::vector<std::uint8_t>> held;
        for (sim::Instrument* i : line_->Instruments())
          for (const sim::UploadedFile& f : i->UploadedFiles()) held[f.name] = f.data;
        for (const auto& [name, content] : setup_.files) {
          std::string lower = name;
          for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
          auto it = held.find(lower);
          if (it == held.end() || std::string(it->second.begin(), it->second.end()) != content) {
            *why = name + " is not on the instrument as in the package";
            return false;
          }
        }
        return true;
      }
      case Family::Xmodem: {
        // What the loader received is kept in flash over a restart: the instrument that took
        // the last upload holds it.
        for (sim::Instrument* i : line_->Instruments())
          if (i->Xmodem().uploads > 0) in = *i;
        const auto padded = loaders::xmodem::PrepareImage(std::vector<std::uint8_t>(setup_.image.begin(), setup_.image.end())).bytes;
        if (in.get().XmodemReceived() != padded || !in.get().Xmodem().imageValid) {
          *why = "the loader holds " + std::to_string(in.get().XmodemReceived().size()) + " bytes, not the image";
          return false;
        }
        if (in.get().FirmwareStarts() == 0) {
          *why = "the new image was never started";
          return false;
        }
        return true;
      }
      case Family::WinCE: {
        for (const auto& [name, content] : setup_.files) {
          bool held = false;
          for (const sim::WinCEFile& f : in.get().WinCEFiles())
            if (f.name == name) held = std::string(f.data.begin(), f.data.end()) == content;
          if (!held) {
            *why = name + " is not on the instrument as in the package";
            return false;
          }
        }
        return true;
      }
      case Family::Basic:
        if (in.get().BasicMemory() != SRecordBytes(setup_.image) ||
            in.get().BasicLoaderPhase() != sim::BasicLoader::Phase::Programmed) {
          *why = "the loader's memory is not the image";
          return false;
        }
        return true;
      case Family::External:
        break;
    }
    return false;
  }

  void Dump() {
    for (const auto& e : line_->Instrument().Log())
      if (e.kind != "frame" && e.kind != "block" && e.kind != "xmodem" && e.kind != "record")
        std::fprintf(stderr, "  sim %7u %-10s %s\n", e.ms, e.kind.c_str(), e.text.c_str());
    for (const auto& l : rig_.MemoLines()) std::fprintf(stderr, "  memo %s\n", l.c_str());
    for (const auto& b : rig_.Boxes()) std::fprintf(stderr, "  box  %s\n", b.text.c_str());
    std::fprintf(stderr, "  outcome %d, procedure error %d, %d writes; device version %d, package %d\n",
                 static_cast<int>(rig_.form->SessionOutcome()), rig_.form->LastProcedureError(), line_->WriteCount(),
                 rig_.form->Record().deviceVersion, rig_.form->Record().packageVersionNumber);
  }

  Family family_;
  const Run* run_;
  Setup setup_;
  SessionRig rig_;
  std::unique_ptr<FaultLine> line_;
  std::unique_ptr<NoisyPort> neighbour_;
  std::unique_ptr<platform::Timer> ticker_;
};


// The external loaders in real time: the window's session with the package's loader program
// (or the updater library) lent the port, a pseudo-terminal with the simulated instrument and
// its record loader behind it.
class ExternalSession {
 public:
  explicit ExternalSession(const Run* run) {
    sim::InstrumentConfig c;
    c.version = "1.01";
    c.recordLoader.enabled = true;
    if (run && run->instrument) run->instrument(c);
    pty_ = std::make_unique<PtyInstrument>(c);
    folder_ = testsupport::MakeTempDir("matrix-ext");
    Write("Update.ini", "Language=1\r\nVersion=V 1.0\r\nBaud=\r\nCom=\r\nException=\r\n");
    Write("ProgDevice.ini",
          "[Device]\r\nDevStartCmd=1\r\nDeviceNrDef=12345\r\nDeviceNr=28160\r\nDeviceName=Oxi 3310\r\n"
          "ProgFile1=\r\nProgFile2=FW_M16.MOT\r\nProgFile3=\r\nSWKenn1=\r\nSWKenn2=564552533A\r\n"
          "SWKenn3=\r\nBootLoadKenn=\r\nFlashErase1=\r\nFlashErase2=\r\nFlashErase3=\r\n"
          "ProgDefFile=\r\nProzTyp=F16C\r\n\r\n"
          "StarttextD=Start\r\nStarttextE=Start\r\nAbbruchtextD=Abbruch\r\nAbbruchtextE=Aborted\r\n");
    image_ = testsupport::VersionedImage("1.05", 2000);
    Write("fw_m16.mot", testsupport::SRecords(image_));
    std::filesystem::copy_file(testsupport::BinPath("standin-loader"), folder_ + "/HEXLoad_8N1");
    if (run && run->library)
      std::filesystem::copy_file(std::string(STANDIN_DIR) + "/ZANM16Updater.so", folder_ + "/ZANM16Updater.so");
    Write("exits", run ? run->exits : std::string());
    setenv("UPDATE_COM_PORTS", ("2=" + pty_->SlavePath()).c_str(), 1);
    setenv("STANDIN_LOG", (folder_ + "/loader.log").c_str(), 1);
    setenv("STANDIN_EXITS", (folder_ + "/exits").c_str(), 1);
    setenv("UPDATE_WINE", "", 1);
    if (run)
      for (const auto& [name, value] : run->env) setenv(name.c_str(), value.c_str(), 1);
    platform::SetSerialPortMap(std::nullopt);
    platform::files::SetCurrentFolder(folder_);
    update::TUpdateForm::Options o;
    o.programFolder = folder_;
    form_ = std::make_unique<update::TUpdateForm>(o);
  }
  ~ExternalSession() {
    form_.reset();
    pty_.reset();
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
  }

  Result Play(bool verbose) {
    Result r;
    const auto start = std::chrono::steady_clock::now();
    bool finished = form_->Closed();
    if (!finished) {
      form_->OkBitBtn->Click();
      finished = app_.RunUntil(
          [this] {
            return form_->Closed() || app_.Terminated() || form_->SessionOver() || form_->OkBitBtn->Enabled();
          },
          kExternalLimitMs);
    }
    r.verdict = Judge(finished, *form_, app_, false, [this](std::string* why) { return FlashHoldsImage(why); }, r.detail);
    r.virtualMs = static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
    if (verbose || r.verdict == Verdict::Defect) {
      for (const auto& e : pty_->instrument.Log())
        if (e.kind != "record") std::fprintf(stderr, "  sim %7u %-10s %s\n", e.ms, e.kind.c_str(), e.text.c_str());
      for (const auto& l : form_->UpdateMemo->Lines()) std::fprintf(stderr, "  memo %s\n", l.c_str());
      for (const auto& b : app_.Boxes()) std::fprintf(stderr, "  box  %s\n", b.text.c_str());
    }
    return r;
  }

 private:
  // The real session's longest waits: the instrument's restart (30 s) after the loader, the
  // loader's runs with their pauses, the search.
  static constexpr std::uint32_t kExternalLimitMs = 150000;

  void Write(const std::string& name, const std::string& bytes) {
    std::ofstream(folder_ + "/" + name, std::ios::binary) << bytes;
  }
  bool FlashHoldsImage(std::string* why) {
    return FlashEqualsImage(pty_->instrument, testsupport::TiTxt(image_), why);
  }

  platform::HeadlessApplication app_;
  std::unique_ptr<PtyInstrument> pty_;
  std::string folder_;
  testsupport::ImageRuns image_;
  std::unique_ptr<update::TUpdateForm> form_;
};

std::vector<Run> ExternalRuns() {
  std::vector<Run> runs;
  auto add = [&](Class c, const std::string& what, std::function<void(sim::InstrumentConfig&)> instrument,
                 bool library, std::string exits, std::vector<std::pair<std::string, std::string>> env) {
    Run r{Family::External, c, "external/" + what, {}, std::move(instrument), {}};
    r.library = library;
    r.exits = std::move(exits);
    r.env = std::move(env);
    runs.push_back(std::move(r));
  };
  add(Class::Refusals, "program-fails-once", nullptr, false, "1 0\n", {});
  add(Class::Refusals, "program-fails-three-times", nullptr, false, "1 1 1 1\n", {});
  add(Class::Refusals, "program-other-error", nullptr, false, "2\n", {});
  for (const char* step : {"Init", "IsBTLActive", "Clear", "Program", "MakeValid", "ExitAndStartApplication"})
    add(Class::ReadBack, std::string("library-step-fails-") + step, nullptr, true, "", {{"STANDIN_FAIL", step}});
  // A loader that reports success without having talked to the instrument.
  add(Class::Silence, "library-talks-to-nothing", nullptr, true, "", {{"STANDIN_DRY", "1"}});
  add(Class::Silence, "instrument-silent-after-program-command", [](sim::InstrumentConfig& c) {
    c.disconnectAfterCommands = 6;
  }, false, "", {});
  for (std::uint32_t seed : {1u, 2u}) {
    add(Class::Dropped, "answers-lose-bytes-" + std::to_string(seed), [seed](sim::InstrumentConfig& c) {
      c.bytes.dropOutRate = 0.02;
      c.bytes.seed = seed;
    }, false, "", {});
    add(Class::Dropped, "host-bytes-lost-" + std::to_string(seed), [seed](sim::InstrumentConfig& c) {
      c.bytes.dropInRate = 0.002;
      c.bytes.seed = seed;
    }, true, "", {});
    add(Class::Corrupted, "answers-corrupted-" + std::to_string(seed), [seed](sim::InstrumentConfig& c) {
      c.bytes.corruptOutRate = 0.02;
      c.bytes.seed = seed;
    }, false, "", {});
  }
  add(Class::FaultFree, "fault-free-program", nullptr, false, "", {});
  add(Class::FaultFree, "fault-free-library", nullptr, true, "", {});
  return runs;
}

// ---------------------------------------------------------------------------------------------
// The runs

// The points of a family from its fault-free run.
bool FindPoints(Family f, Points& p, std::string& why) {
  Session s(f, nullptr);
  const Result r = s.Play(false);
  if (r.verdict != Verdict::Success) {
    why = "the fault-free run did not succeed: " + r.detail;
    return false;
  }
  const auto writes = s.Writes();
  std::vector<int> blocks;
  int entry = -1, identify = -1, probeAnswered = -1;
  for (int i = 0; i < static_cast<int>(writes.size()); ++i) {
    const std::string& b = writes[static_cast<std::size_t>(i)].bytes;
    if (IsBlock(f, writes[static_cast<std::size_t>(i)])) blocks.push_back(i);
    if (entry < 0 && IsEntry(f, writes[static_cast<std::size_t>(i)])) entry = i;
    if (identify < 0 && b.rfind("A.2003", 0) == 0) identify = i;
    if (probeAnswered < 0 && b.rfind("A.1000", 0) == 0) probeAnswered = i;
  }
  if (f == Family::Lab || f == Family::Lab5xx) {
    // No identity dialogue: the wake-up frame the loader's marker answered stands for it.
    identify = std::max(0, entry - 1);
    probeAnswered = 1;
  }
  if (blocks.size() < 3 || entry < 0 || identify < 0 || probeAnswered < 0) {
    why = "the fault-free run shows no blocks or no loader entry";
    return false;
  }
  p.blocks = static_cast<int>(blocks.size());
  p.write[Point::Search] = std::max(0, probeAnswered - 1);
  p.write[Point::Identify] = identify;
  p.write[Point::Entry] = entry;
  p.write[Point::Handshake] = entry + (blocks.front() - entry) / 2 + 1;
  if (p.write[Point::Handshake] >= blocks.front()) p.write[Point::Handshake] = blocks.front() - 1;
  // The upload's announcement is followed by its first packet at once: the step before it
  // (the end of the firmware's part) stands for the handshake.
  if (f == Family::Upload) p.write[Point::Handshake] = entry - 1;
  const int middle = static_cast<int>(blocks.size()) / 2;
  p.write[Point::First] = blocks.front();
  p.write[Point::Middle] = blocks[static_cast<std::size_t>(middle)];
  p.write[Point::Last] = blocks.back();
  p.write[Point::Verify] = blocks.back() + 1;
  p.write[Point::End] = static_cast<int>(writes.size()) - 1;
  p.block[Point::First] = 1;
  p.block[Point::Middle] = middle + 1;
  p.block[Point::Last] = static_cast<int>(blocks.size());
  if (f == Family::Basic) {
    // Records counted as the loader counts them: every record line before the block, plus one.
    int records = 0;
    std::size_t k = 0;
    for (Point bp : kBlockPoints) {
      for (; k < writes.size() && static_cast<int>(k) < p.write[bp]; ++k) {
        if (writes[k].state != sim::Instrument::State::BasicLoader) continue;
        for (char ch : writes[k].bytes) records += ch == 'S';
      }
      p.record[bp] = records + 1;
    }
  }
  return true;
}

std::uint8_t BlockCommand(Family f) { return f == Family::Classic || f == Family::Lab ? 0x12 : 0x10; }
bool Classic(Family f) { return f == Family::Classic || f == Family::Lab; }

std::vector<Run> MakeRuns(Family f, const Points& p) {
  std::vector<Run> runs;
  const Setup setup = MakeSetup(f);
  auto add = [&](Class c, const std::string& what, FaultLine::Fault line,
                 std::function<void(sim::InstrumentConfig&)> instrument = nullptr, std::string neighbour = {}) {
    runs.push_back({f, c, std::string(FamilyName(f)) + "/" + what, line, std::move(instrument), std::move(neighbour)});
  };
  auto at = [&](Point pt) { return p.write.at(pt); };
  add(Class::FaultFree, "fault-free", {});

  // Dropped and corrupted bytes: in the answer (its first byte everywhere, its last byte at
  // the blocks) and in the host's write.
  for (Class c : {Class::Dropped, Class::Corrupted}) {
    const Kind answer = c == Class::Dropped ? Kind::DropAnswerByte : Kind::CorruptAnswerByte;
    const Kind host = c == Class::Dropped ? Kind::DropHostByte : Kind::CorruptHostByte;
    const std::string verb = c == Class::Dropped ? "drop" : "corrupt";
    for (Point pt : kLoaderPoints) add(c, verb + "-answer-first@" + PointName(pt), {answer, at(pt), 0});
    for (Point pt : kBlockPoints) add(c, verb + "-answer-last@" + PointName(pt), {answer, at(pt), -1});
    for (Point pt : {Point::Entry, Point::Handshake, Point::First, Point::Middle, Point::Last})
      add(c, verb + "-host@" + PointName(pt), {host, at(pt), pt == Point::Entry ? 2 : 5});
  }

  // Refusals: a short burst the procedures ride out, and one beyond their retry limits.
  for (int count : {2, 12}) {
    const std::string n = std::to_string(count);
    switch (f) {
      case Family::Classic:
      case Family::Bsl5xx:
      case Family::Lab:
      case Family::Lab5xx: {
        const std::uint8_t password = Classic(f) ? 0x10 : 0x11;
        const std::uint8_t read = Classic(f) ? 0x14 : 0x18;
        const std::uint8_t start = Classic(f) ? 0x1A : 0x17;
        if (f == Family::Classic || f == Family::Bsl5xx)
          add(Class::Refusals, "refuse-entry-x" + n, {}, [count](sim::InstrumentConfig& c) {
            c.textFaults.push_back({sim::TextFaultKind::Refuse, "A.5588#QX17", 1, count});
          });
        add(Class::Refusals, "nak-password-x" + n, {}, [=](sim::InstrumentConfig& c) {
          c.frameFaults.push_back({sim::FrameFaultKind::Nak, password, 1, count});
        });
        for (Point pt : kBlockPoints)
          add(Class::Refusals, "nak-write-x" + n + "@" + PointName(pt), {},
              [count, nth = p.block.at(pt), cmd = BlockCommand(f)](sim::InstrumentConfig& c) {
                c.frameFaults.push_back({sim::FrameFaultKind::Nak, cmd, nth, count});
              });
        add(Class::Refusals, "nak-readback-x" + n, {}, [=](sim::InstrumentConfig& c) {
          c.frameFaults.push_back({sim::FrameFaultKind::Nak, read, 1, count});
        });
        add(Class::Refusals, "nak-start-x" + n, {}, [=](sim::InstrumentConfig& c) {
          c.frameFaults.push_back({sim::FrameFaultKind::Nak, start, 1, count});
        });
        break;
      }
      case Family::Xmodem:
        add(Class::Refusals, "refuse-entry-x" + n, {}, [count](sim::InstrumentConfig& c) {
          c.textFaults.push_back({sim::TextFaultKind::Refuse, "A.1250#7", 1, count});
        });
        add(Class::Refusals, "nostart-x" + n, {}, [count](sim::InstrumentConfig& c) {
          c.xmodem.faults.push_back({sim::XmodemFaultKind::NoStart, 1, count});
        });
        for (Point pt : kBlockPoints)
          add(Class::Refusals, "nak-packet-x" + n + "@" + PointName(pt), {},
              [count, nth = p.block.at(pt)](sim::InstrumentConfig& c) {
                c.xmodem.faults.push_back({sim::XmodemFaultKind::Nak, nth, count});
              });
        add(Class::Refusals, "cancel@middle-x" + n, {}, [count, nth = p.block.at(Point::Middle)](sim::InstrumentConfig& c) {
          c.xmodem.faults.push_back({sim::XmodemFaultKind::Cancel, nth, count});
        });
        add(Class::Refusals, "refuse-probe-x" + n, {}, [count](sim::InstrumentConfig& c) {
          c.textFaults.push_back({sim::TextFaultKind::Refuse, "A.1111", 1, count});
        });
        break;
      case Family::WinCE:
        add(Class::Refusals, "refuse-speed-x" + n, {}, [count](sim::InstrumentConfig& c) {
          c.textFaults.push_back({sim::TextFaultKind::Refuse, "A.1300", 1, count});
        });
        add(Class::Refusals, "refuse-announce-x" + n, {}, [count](sim::InstrumentConfig& c) {
          c.textFaults.push_back({sim::TextFaultKind::Refuse, "A.1205", 1, count});
        });
        for (Point pt : kBlockPoints) {
          add(Class::Refusals, "ask-again-x" + n + "@" + PointName(pt), {},
              [count, nth = p.block.at(pt)](sim::InstrumentConfig& c) {
                c.textFaults.push_back({sim::TextFaultKind::AskAgain, "D", nth, count});
              });
        }
        add(Class::Refusals, "refuse-block-x" + n + "@middle", {}, [count, nth = p.block.at(Point::Middle)](sim::InstrumentConfig& c) {
          c.textFaults.push_back({sim::TextFaultKind::Refuse, "D", nth, count});
        });
        add(Class::Refusals, "refuse-end-of-file-x" + n, {}, [count](sim::InstrumentConfig& c) {
          c.textFaults.push_back({sim::TextFaultKind::Refuse, "A.1202", 1, count});
        });
        break;
      case Family::Basic:
        add(Class::Refusals, "refuse-entry-x" + n, {}, [count](sim::InstrumentConfig& c) {
          c.textFaults.push_back({sim::TextFaultKind::Refuse, "A.1220", 1, count});
        });
        if (count == 2)
          for (Point pt : kBlockPoints)
            add(Class::Refusals, std::string("defect-record@") + PointName(pt), {},
                [nth = p.record.at(pt)](sim::InstrumentConfig& c) {
                  c.basic.fault = sim::BasicFaultKind::Defect;
                  c.basic.faultRecord = nth;
                });
        break;
      case Family::Upload:
        add(Class::Refusals, "refuse-announcement-x" + n, {}, [count](sim::InstrumentConfig& c) {
          c.textFaults.push_back({sim::TextFaultKind::Refuse, "A.12000", 1, count});
        });
        for (Point pt : kBlockPoints)
          add(Class::Refusals, "refuse-packet-x" + n + "@" + PointName(pt), {},
              [count, nth = p.block.at(pt)](sim::InstrumentConfig& c) {
                c.textFaults.push_back({sim::TextFaultKind::Refuse, "A.12010", nth, count});
              });
        add(Class::Refusals, "refuse-close-x" + n, {}, [count](sim::InstrumentConfig& c) {
          c.textFaults.push_back({sim::TextFaultKind::Refuse, "A.12030", 1, count});
        });
        break;
      case Family::External:
        break;
    }
  }

  // Silence for good, the port unplugged, a restart: while the instrument is searched for and
  // identified, and at every point of the loader's run.
  for (Point pt : {Point::Search, Point::Identify}) {
    add(Class::Silence, std::string("silent-from@") + PointName(pt), {Kind::Silence, at(pt)});
    add(Class::PortGone, std::string("unplugged@") + PointName(pt), {Kind::PortGone, at(pt)});
    add(Class::Restart, std::string("restart@") + PointName(pt), {Kind::Restart, at(pt)});
  }
  for (Point pt : kLoaderPoints) {
    add(Class::Silence, std::string("silent-from@") + PointName(pt), {Kind::Silence, at(pt)});
    add(Class::PortGone, std::string("unplugged@") + PointName(pt), {Kind::PortGone, at(pt)});
    add(Class::Restart, std::string("restart@") + PointName(pt), {Kind::Restart, at(pt)});
    if (f == Family::Upload) runs.back().limit = "a restarted instrument's \"!\" reads as the answer to the lost step";
  }
  if (f == Family::Upload)
    add(Class::Silence, "packet-unanswered@middle", {}, [nth = p.block.at(Point::Middle)](sim::InstrumentConfig& c) {
      c.textFaults.push_back({sim::TextFaultKind::Silence, "A.12010", nth, 1});
    });
  if (f == Family::Basic)
    add(Class::Silence, "loader-silent@middle", {}, [nth = p.record.at(Point::Middle)](sim::InstrumentConfig& c) {
      c.basic.fault = sim::BasicFaultKind::Silence;
      c.basic.faultRecord = nth;
    });

  // Wrong read-back, wrong checksums.
  switch (f) {
    case Family::Classic:
    case Family::Bsl5xx:
    case Family::Lab:
    case Family::Lab5xx: {
      const std::uint8_t read = Classic(f) ? 0x14 : 0x18;
      for (Point pt : kBlockPoints) {
        add(Class::ReadBack, std::string("wrong-readback@") + PointName(pt), {},
            [read, nth = p.block.at(pt)](sim::InstrumentConfig& c) {
              c.frameFaults.push_back({sim::FrameFaultKind::WrongReadBack, read, nth, 1});
            });
        add(Class::ReadBack, std::string("bad-reply-checksum@") + PointName(pt), {},
            [read, nth = p.block.at(pt)](sim::InstrumentConfig& c) {
              c.frameFaults.push_back({sim::FrameFaultKind::CorruptChecksum, read, nth, 1});
            });
      }
      add(Class::ReadBack, "bad-version-checksum", {}, [f](sim::InstrumentConfig& c) {
        c.frameFaults.push_back({sim::FrameFaultKind::CorruptChecksum, static_cast<std::uint8_t>(Classic(f) ? 0x1E : 0x19), 1, 1});
      });
      if (!Classic(f))
        add(Class::ReadBack, "write-check-failed@middle", {}, [nth = p.block.at(Point::Middle)](sim::InstrumentConfig& c) {
          c.frameFaults.push_back({sim::FrameFaultKind::Message, 0x10, nth, 1, 0x01});
        });
      break;
    }
    case Family::Xmodem:
      add(Class::ReadBack, "wrong-checksum", {}, [](sim::InstrumentConfig& c) {
        c.xmodem.faults.push_back({sim::XmodemFaultKind::WrongChecksum, 1, 1});
      });
      add(Class::ReadBack, "wrong-checksum-always", {}, [](sim::InstrumentConfig& c) {
        c.xmodem.faults.push_back({sim::XmodemFaultKind::WrongChecksum, 1, 50});
      });
      add(Class::ReadBack, "no-checksum", {}, [](sim::InstrumentConfig& c) {
        c.xmodem.faults.push_back({sim::XmodemFaultKind::NoChecksum, 1, 1});
      });
      for (Point pt : kBlockPoints)
        add(Class::ReadBack, std::string("packet-crc-fails@") + PointName(pt), {},
            [nth = p.block.at(pt)](sim::InstrumentConfig& c) {
              c.xmodem.faults.push_back({sim::XmodemFaultKind::Corrupt, nth, 1});
            });
      break;
    case Family::WinCE:
    case Family::Basic:
      // The receiver's own check of a block (CRC-8) or a record (its sum) finds a byte spoilt
      // on the way.
      for (Point pt : kBlockPoints)
        add(Class::ReadBack, std::string("block-check-fails@") + PointName(pt), {Kind::CorruptHostByte, at(pt), 40});
      break;
    case Family::Upload:  // the upload's packets carry no check
    case Family::External:
      break;
  }

  // What the protocols cannot show: a byte spoilt in an upload packet's data or in the name a
  // file is announced under is taken as it arrives.
  if (f == Family::Upload)
    for (Point pt : kBlockPoints) {
      add(Class::Corrupted, std::string("corrupt-data@") + PointName(pt), {Kind::CorruptHostByte, at(pt), -3});
      runs.back().limit = "the upload's packets carry no check of their data";
    }
  if (f == Family::WinCE) {
    add(Class::Corrupted, "corrupt-announced-name", {Kind::CorruptHostByte, at(Point::Handshake), 9});
    runs.back().limit = "a file's announcement carries no check of its name";
  }

  // Answers late: just inside the limit the procedure gives, and just beyond it.
  for (Point pt : kLoaderPoints) {
    const std::uint32_t limit = pt == Point::Entry ? setup.entryLimitMs : pt == Point::End ? setup.endLimitMs : setup.stepLimitMs;
    add(Class::TimeInside, std::string("late-inside@") + PointName(pt), {Kind::Delay, at(pt), static_cast<int>(limit * 8 / 10)});
    add(Class::TimeBeyond, std::string("late-beyond@") + PointName(pt), {Kind::Delay, at(pt), static_cast<int>(limit + limit / 10 + 500)});
  }

  // Garbage while the instrument is searched for: on its own port in front of its answers,
  // and from the port beside it.
  const std::pair<const char*, std::string> patterns[] = {
      {"binary", RandomBytes(24, 7)},
      {"marker-90", "\x90"},
      {"marker-Q", "Q"},
      {"boot-frame-start", "h00h\x1d"},
      {"ack-line", "!\r\n"},
      {"foreign-identity", "I.23#99999.000\r\nI.21#9.99\r\n"},
      {"line-ends", "\r\n\r\n\r\n\r\n"},
  };
  for (const auto& [name, noise] : patterns) {
    add(Class::SearchGarbage, std::string("own-port-") + name + "@search", {Kind::Noise, at(Point::Search), 2, noise});
    add(Class::SearchGarbage, std::string("neighbour-") + name, {}, nullptr, noise);
  }
  add(Class::SearchGarbage, "own-port-binary@identify", {Kind::Noise, at(Point::Identify), 1, RandomBytes(16, 9)});
  add(Class::SearchGarbage, "own-port-ack@identify", {Kind::Noise, at(Point::Identify), 0, "!\r\n"});
  return runs;
}

// ---------------------------------------------------------------------------------------------
// Running in child processes

struct Options {
  bool subset = false;
  int jobs = 2;
  std::string family, filter, run;
  bool list = false, verbose = false;
  int wallLimitS = 120;
  int random = 0;  // runs per family with bytes lost and spoilt at random, both ways
};

// Runs fn in a child; its one result line comes back through a pipe. A child that dies or
// overruns the wall-clock limit is a defect.
struct Child {
  pid_t pid = -1;
  int fd = -1;
  std::string out;
  std::chrono::steady_clock::time_point started;
  std::size_t index = 0;
};

Child Spawn(const std::function<std::string()>& fn, std::size_t index) {
  int p[2];
  if (pipe(p) != 0) std::abort();
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t pid = fork();
  if (pid == 0) {
    close(p[0]);
    const std::string line = fn();
    if (write(p[1], line.data(), line.size()) < 0) _exit(3);
    close(p[1]);
    std::fflush(stderr);
    _exit(0);
  }
  close(p[1]);
  fcntl(p[0], F_SETFL, O_NONBLOCK);
  return {pid, p[0], {}, std::chrono::steady_clock::now(), index};
}

// Runs the jobs with at most `jobs` children at a time; each job's output line, or a
// "DEFECT|..." line for a crash or a hang.
std::vector<std::string> RunAll(const std::vector<std::function<std::string()>>& work, int jobs, int wallLimitS,
                                const std::function<void(std::size_t, const std::string&)>& done) {
  std::vector<std::string> results(work.size());
  std::vector<Child> running;
  std::size_t next = 0;
  while (next < work.size() || !running.empty()) {
    while (next < work.size() && static_cast<int>(running.size()) < jobs) {
      running.push_back(Spawn(work[next], next));
      ++next;
    }
    std::vector<pollfd> fds;
    for (const Child& c : running) fds.push_back({c.fd, POLLIN, 0});
    poll(fds.data(), fds.size(), 200);
    for (std::size_t i = 0; i < running.size();) {
      Child& c = running[i];
      char buf[4096];
      ssize_t n;
      while ((n = read(c.fd, buf, sizeof buf)) > 0) c.out.append(buf, static_cast<std::size_t>(n));
      int status = 0;
      const pid_t w = waitpid(c.pid, &status, WNOHANG);
      const bool overdue = std::chrono::steady_clock::now() - c.started > std::chrono::seconds(wallLimitS);
      if (w == 0 && !overdue) {
        ++i;
        continue;
      }
      if (w == 0) {
        kill(c.pid, SIGKILL);
        waitpid(c.pid, &status, 0);
        c.out = "DEFECT|0|hang: no end after " + std::to_string(wallLimitS) + " s of real time";
      } else {
        while ((n = read(c.fd, buf, sizeof buf)) > 0) c.out.append(buf, static_cast<std::size_t>(n));
        if (WIFSIGNALED(status))
          c.out = "DEFECT|0|crash: signal " + std::to_string(WTERMSIG(status));
        else if (c.out.empty())
          c.out = "DEFECT|0|the run ended without a result (exit " + std::to_string(WEXITSTATUS(status)) + ")";
      }
      close(c.fd);
      results[c.index] = c.out;
      done(c.index, c.out);
      running.erase(running.begin() + static_cast<std::ptrdiff_t>(i));
    }
  }
  return results;
}

std::string Encode(const Result& r) {
  std::string d = r.detail;
  std::replace(d.begin(), d.end(), '\n', ' ');
  return std::string(VerdictName(r.verdict)) + "|" + std::to_string(r.virtualMs) + "|" + (r.recovered ? "R" : "-") +
         "|" + d;
}

std::string EncodePoints(const Points& p) {
  std::ostringstream o;
  o << p.blocks;
  for (const auto& [pt, w] : p.write) o << " w" << static_cast<int>(pt) << "=" << w;
  for (const auto& [pt, b] : p.block) o << " b" << static_cast<int>(pt) << "=" << b;
  for (const auto& [pt, r] : p.record) o << " r" << static_cast<int>(pt) << "=" << r;
  return o.str();
}

bool DecodePoints(const std::string& text, Points& p) {
  std::istringstream in(text);
  if (!(in >> p.blocks)) return false;
  std::string item;
  while (in >> item) {
    const std::size_t eq = item.find('=');
    if (eq == std::string::npos || eq < 2) return false;
    const auto pt = static_cast<Point>(std::atoi(item.c_str() + 1));
    const int value = std::atoi(item.c_str() + eq + 1);
    (item[0] == 'w' ? p.write : item[0] == 'b' ? p.block : p.record)[pt] = value;
  }
  return true;
}

// The fixed subset for CI: every third run of each family and class, the first included.
std::vector<Run> Subset(const std::vector<Run>& all) {
  std::vector<Run> out;
  std::map<std::pair<Family, Class>, int> seen;
  for (const Run& r : all)
    if (seen[{r.family, r.cls}]++ % 3 == 0) out.push_back(r);
  return out;
}

int Main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : std::string(); };
    if (a == "--subset") o.subset = true;
    else if (a == "--jobs") o.jobs = std::max(1, std::atoi(value().c_str()));
    else if (a == "--family") o.family = value();
    else if (a == "--filter") o.filter = value();
    else if (a == "--run") o.run = value();
    else if (a == "--list") o.list = true;
    else if (a == "--verbose" || a == "-v") o.verbose = true;
    else if (a == "--wall-limit") o.wallLimitS = std::max(1, std::atoi(value().c_str()));
    else if (a == "--random") o.random = std::max(0, std::atoi(value().c_str()));
    else {
      std::fprintf(stderr,
                   "usage: fault_matrix [--subset] [--jobs N] [--family NAME] [--filter TEXT] [--list] "
                   "[--run NAME] [--verbose] [--wall-limit S] [--random N]\n");
      return 2;
    }
  }
  const auto begin = std::chrono::steady_clock::now();
  std::vector<Family> families;
  for (Family f : kFamilies) {
    const bool named = !o.run.empty() ? o.run.rfind(std::string(FamilyName(f)) + "/", 0) == 0
                                      : o.family.empty() || ("," + o.family + ",").find("," + std::string(FamilyName(f)) + ",") != std::string::npos ||
                                            (o.family == "virtual" && f != Family::External);
    if (named) families.push_back(f);
  }

  // The points of each family from its fault-free run, each in a child of its own.
  std::vector<std::function<std::string()>> baselines;
  for (Family f : families)
    baselines.push_back([f] {
      if (f == Family::External) return std::string("ok|0");
      Points p;
      std::string why;
      return FindPoints(f, p, why) ? "ok|" + EncodePoints(p) : "DEFECT|0|-|" + why;
    });
  const auto found = RunAll(baselines, o.jobs, o.wallLimitS, [](std::size_t, const std::string&) {});
  std::vector<Run> runs;
  int failures = 0;
  for (std::size_t i = 0; i < families.size(); ++i) {
    Points p;
    if (found[i].rfind("ok|", 0) != 0 || !DecodePoints(found[i].substr(3), p)) {
      std::printf("%s: %s\n", FamilyName(families[i]), found[i].c_str());
      ++failures;
      continue;
    }
    for (Run& r : families[i] == Family::External ? ExternalRuns() : MakeRuns(families[i], p)) runs.push_back(std::move(r));
    if (families[i] == Family::External) continue;
    // A soak on top: the line loses and spoils bytes at random in both directions.
    for (int k = 1; k <= o.random; ++k) {
      const auto seed = static_cast<std::uint32_t>(k);
      Run r{families[i], Class::Random, std::string(FamilyName(families[i])) + "/random-" + std::to_string(k), {},
            [seed](sim::InstrumentConfig& c) {
              std::mt19937 random(seed);
              std::uniform_real_distribution<double> rate(0.0, 0.004);
              c.bytes.dropOutRate = rate(random);
              c.bytes.corruptOutRate = rate(random);
              c.bytes.dropInRate = rate(random) / 4;
              c.bytes.seed = seed;
            },
            {}};
      runs.push_back(std::move(r));
    }
  }
  if (o.subset) runs = Subset(runs);
  if (!o.filter.empty() || !o.run.empty())
    runs.erase(std::remove_if(runs.begin(), runs.end(),
                              [&](const Run& r) {
                                return o.run.empty() ? r.name.find(o.filter) == std::string::npos : r.name != o.run;
                              }),
               runs.end());
  if (o.list) {
    for (const Run& r : runs) std::printf("%s\n", r.name.c_str());
    return failures ? 1 : 0;
  }
  if (!o.run.empty()) {
    if (runs.empty()) {
      std::fprintf(stderr, "no run %s\n", o.run.c_str());
      return 2;
    }
    Result r;
    if (runs[0].family == Family::External) {
      ExternalSession s(&runs[0]);
      r = s.Play(true);
    } else {
      Session s(runs[0].family, &runs[0]);
      r = s.Play(true);
      if (r.verdict == Verdict::Defect && !runs[0].limit.empty()) r.verdict = Verdict::Limit;
    }
    std::printf("%s: %s\n", runs[0].name.c_str(), Encode(r).c_str());
    return r.verdict == Verdict::Defect ? 1 : 0;
  }

  std::vector<std::function<std::string()>> work;
  for (const Run& r : runs)
    work.push_back([&r, verbose = o.verbose] {
      if (r.family == Family::External) {
        ExternalSession s(&r);
        return Encode(s.Play(verbose));
      }
      Session s(r.family, &r);
      Result result = s.Play(verbose);
      if (result.verdict == Verdict::Defect && !r.limit.empty()) result.verdict = Verdict::Limit;
      return Encode(result);
    });
  struct Cell {
    int runs = 0, success = 0, clean = 0, defects = 0, recovered = 0, limits = 0;
    std::uint32_t longestMs = 0;
  };
  std::map<std::pair<Family, Class>, Cell> table;
  std::vector<std::string> defects, limits;
  RunAll(work, o.jobs, o.wallLimitS, [&](std::size_t i, const std::string& line) {
    const Run& r = runs[i];
    Cell& cell = table[{r.family, r.cls}];
    ++cell.runs;
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (int k = 0; k < 3; ++k) {
      const std::size_t bar = line.find('|', start);
      parts.push_back(line.substr(start, bar == std::string::npos ? std::string::npos : bar - start));
      start = bar == std::string::npos ? line.size() : bar + 1;
    }
    parts.push_back(line.substr(std::min(start, line.size())));
    const std::string& verdict = parts[0];
    cell.longestMs = std::max<std::uint32_t>(cell.longestMs, static_cast<std::uint32_t>(std::atol(parts[1].c_str())));
    if (verdict == "success") ++cell.success;
    else if (verdict == "clean") ++cell.clean;
    else if (verdict == "limit") {
      ++cell.limits;
      limits.push_back(r.name + ": " + parts[3] + " (" + r.limit + ")");
    } else {
      ++cell.defects;
      defects.push_back(r.name + ": " + parts[3]);
    }
    if (parts[2] == "R") ++cell.recovered;
    if (o.verbose) std::printf("%-48s %s\n", r.name.c_str(), line.c_str());
  });

  std::printf("\n%-10s %-20s %5s %8s %6s %10s %8s %7s %10s\n", "family", "fault class", "runs", "success", "clean",
              "(retry ok)", "defects", "limits", "longest");
  std::printf("%-10s %-20s %5s %8s %6s %10s %8s %7s %s\n", "", "", "", "", "", "", "", "", "(virtual; external: real)");
  Cell total;
  for (Family f : families) {
    for (Class c : kClasses) {
      auto it = table.find({f, c});
      if (it == table.end()) continue;
      const Cell& cell = it->second;
      std::printf("%-10s %-20s %5d %8d %6d %10d %8d %7d %6.1f min\n", FamilyName(f), ClassName(c), cell.runs,
                  cell.success, cell.clean, cell.recovered, cell.defects, cell.limits, cell.longestMs / 60000.0);
      total.runs += cell.runs, total.success += cell.success, total.clean += cell.clean;
      total.defects += cell.defects, total.recovered += cell.recovered, total.limits += cell.limits;
      total.longestMs = std::max(total.longestMs, cell.longestMs);
    }
  }
  std::printf("%-10s %-20s %5d %8d %6d %10d %8d %7d %6.1f min\n", "total", "", total.runs, total.success, total.clean,
              total.recovered, total.defects, total.limits, total.longestMs / 60000.0);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  std::printf("%d runs in %.1f s with %d jobs%s\n", total.runs, seconds, o.jobs, o.subset ? " (the fixed subset)" : "");
  for (const std::string& l : limits) std::printf("LIMIT %s\n", l.c_str());
  for (const std::string& d : defects) std::printf("DEFECT %s\n", d.c_str());
  // The plain closing line of the run.
  std::printf("fault matrix: %d passed, %d failed\n", total.success + total.clean + total.limits, total.defects + failures);
  return total.defects + failures > 0 ? 1 : 0;
}

}  // namespace
}  // namespace sessiontest

int main(int argc, char** argv) { return sessiontest::Main(argc, argv); }
