// The file-list upload after the firmware, on the virtual clock: every FileList entry is
// announced in lower case, sent in packets of up to 255 bytes behind their length byte and
// closed; the instrument keeps each file under that name; the session ends with the end
// command and "U.606". A refusal, silence or a file that cannot be opened ends the upload as
// a failure that names the file, and OK uploads again from the first entry.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "SessionRig.h"

namespace sessiontest {
namespace {

std::string Bytes(std::size_t n, unsigned seed) {
  std::string s;
  for (std::size_t i = 0; i < n; ++i) s += static_cast<char>((i * 7 + seed) & 0xFF);  // CR, LF and NUL among them
  return s;
}

struct UploadSession {
  std::unique_ptr<sim::Instrument> instrument;
  std::unique_ptr<WireRecorder> wire;
  SessionRig rig;
  std::string image = testsupport::TiTxtWithVersion("1.02", 400);
  std::map<std::string, std::string> files;  // as the package holds them

  // Device 40500 has no air pressure to set; 28160 (an oxygen meter) has.
  UploadSession(sim::InstrumentConfig c, const std::string& fileList) {
    Package p;
    p.rows[0].deviceNr = c.device.substr(0, 5);
    p.rows[0].progFile2 = "FW_TEST.TXT," + fileList;
    p.files["FW_TEST.TXT"] = image;
    instrument = std::make_unique<sim::Instrument>(std::move(c));
    std::string error;
    EXPECT_TRUE(instrument->LoadFirmware(testsupport::TiTxtWithVersion("1.01", 300), &error)) << error;
    wire = std::make_unique<WireRecorder>(instrument.get());
    files = {{"Data1.bin", Bytes(510, 1)}, {"EMPTY.DAT", ""}, {"Sub/Note.txt", Bytes(300, 3)}};
    rig.WritePackage(p);
    for (const auto& [name, data] : files) {
      std::filesystem::create_directories(std::filesystem::path(rig.folder + "/" + name).parent_path());
      std::ofstream(rig.folder + "/" + name, std::ios::binary) << data;
    }
    rig.Ports(1, 1, wire.get());
    rig.Start();
  }
  ~UploadSession() {
    if (::testing::Test::HasFailure())
      for (const auto& l : rig.MemoLines()) std::printf("  memo %s\n", l.c_str());
  }
  // The host's writes from the first upload command on.
  std::vector<std::string> UploadWrites() const {
    std::vector<std::string> out;
    bool on = false;
    for (const auto& w : wire->Writes()) {
      on = on || w.bytes.rfind("A.120", 0) == 0;
      if (on) out.push_back(w.bytes);
    }
    return out;
  }
  std::size_t Announcements(const std::string& name) const {
    const auto w = wire->Writes();
    return static_cast<std::size_t>(std::count_if(w.begin(), w.end(), [&](const WireRecorder::Write& x) {
      return x.bytes == "A.12000#" + name + "\r\n";
    }));
  }
  void ExpectFilesReceived() const {
    const auto got = instrument->UploadedFiles();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].name, "data1.bin");
    EXPECT_EQ(std::string(got[0].data.begin(), got[0].data.end()), files.at("Data1.bin"));
    EXPECT_EQ(got[1].name, "empty.dat");
    EXPECT_TRUE(got[1].data.empty());
    EXPECT_EQ(got[2].name, "sub\\note.txt");
    EXPECT_EQ(std::string(got[2].data.begin(), got[2].data.end()), files.at("Sub/Note.txt"));
  }
};

sim::InstrumentConfig Instrument(const char* device = "40500.000") {
  sim::InstrumentConfig c;
  c.device = device;
  c.baud = 9600;
  c.version = "1.01";
  c.loader.version = 0x0150;
  return c;
}

const char* kList = "DATA1.BIN,EMPTY.DAT,SUB\\NOTE.TXT";

std::string Packet(const std::string& data) {
  return "A.12010#" + std::string(1, static_cast<char>(data.size())) + data;
}

TEST(FileListUpload, FollowsTheFirmwareAndEndsWithU606) {
  UploadSession s(Instrument(), kList);
  ASSERT_TRUE(s.rig.RunSession());
  EXPECT_TRUE(s.rig.form->SessionSucceeded());
  std::string why;
  EXPECT_TRUE(FlashEqualsImage(*s.instrument, s.image, &why)) << why;
  s.ExpectFilesReceived();
  const std::string& big = s.files.at("Data1.bin");
  const std::string& note = s.files.at("Sub/Note.txt");
  const std::vector<std::string> want = {
      "A.12000#data1.bin\r\n", Packet(big.substr(0, 255)), Packet(big.substr(255)), "A.12030\r\n",
      "A.12000#empty.dat\r\n", "A.12030\r\n",  // closed at the first acknowledgement
      "A.12000#sub\\note.txt\r\n", Packet(note.substr(0, 255)), Packet(note.substr(255)), "A.12030\r\n",
      "A.1121\r\n", "U.606\r\n"};
  EXPECT_EQ(s.UploadWrites(), want);
  EXPECT_EQ(static_cast<unsigned char>(s.UploadWrites()[1][8]), 0xFFu) << "a full packet's length byte";
  EXPECT_TRUE(s.rig.MemoHas("Download successfully completed !"));
}

// The instrument stops answering in the second packet: ten seconds later the upload ends as a
// failure naming the file; OK uploads again from the first entry.
TEST(FileListUpload, SilenceFailsAndOkStartsAgainAtTheFirstEntry) {
  sim::InstrumentConfig c = Instrument();
  c.textFaults.push_back({sim::TextFaultKind::Silence, "A.12010", 2});
  UploadSession s(c, kList);
  ASSERT_TRUE(s.rig.RunSession());
  auto& form = *s.rig.form;
  EXPECT_EQ(form.SessionOutcome(), update::TUpdateForm::Outcome::Failed);
  EXPECT_TRUE(s.rig.MemoHas("The Oxi 3310 does not answer (COM 1)."));
  EXPECT_TRUE(s.rig.MemoHas("The upload of the file DATA1.BIN did not finish."));
  EXPECT_FALSE(s.rig.MemoHas("Download successfully completed"));
  EXPECT_FALSE(s.UploadWrites().empty() && s.UploadWrites().back() == "U.606\r\n");
  ASSERT_TRUE(form.OkBitBtn->Enabled());

  ASSERT_TRUE(s.rig.RunSession());
  EXPECT_TRUE(form.SessionSucceeded());
  EXPECT_EQ(s.Announcements("data1.bin"), 2u);
  s.ExpectFilesReceived();
  EXPECT_EQ(s.UploadWrites().back(), "U.606\r\n");
  EXPECT_EQ(s.instrument->FirmwareStarts(), 1) << "the firmware is not programmed again";
}

// A refused announcement ends the upload at once; OK starts it again at entry 0. The oxygen
// meter's air-pressure dialogue comes before the end, and "U.606" still closes the session.
TEST(FileListUpload, RefusedAnnouncementFailsAtOnce) {
  sim::InstrumentConfig c = Instrument("28160.000");
  c.textFaults.push_back({sim::TextFaultKind::Refuse, "A.12000", 2});
  UploadSession s(c, kList);
  ASSERT_TRUE(s.rig.RunSession());
  auto& form = *s.rig.form;
  EXPECT_EQ(form.SessionOutcome(), update::TUpdateForm::Outcome::Failed);
  EXPECT_TRUE(s.rig.MemoHas("The Oxi 3310 refused the file EMPTY.DAT."));
  EXPECT_FALSE(s.rig.MemoHas("does not answer")) << "no waiting for the time limit";
  ASSERT_TRUE(s.rig.RunSession());
  EXPECT_TRUE(form.SessionSucceeded());
  EXPECT_EQ(s.Announcements("data1.bin"), 2u);
  s.ExpectFilesReceived();
  EXPECT_FALSE(s.instrument->AirPressure().empty());
  EXPECT_EQ(s.UploadWrites().back(), "U.606\r\n");
}

// An entry that the package lacks: the files before it went out, then the upload ends as a
// failure naming it, in an error box and in the log.
TEST(FileListUpload, EntryThatCannotBeOpenedEndsTheUploadAsAFailure) {
  UploadSession s(Instrument(), "DATA1.BIN,MISSING.DAT,EMPTY.DAT");
  ASSERT_TRUE(s.rig.RunSession());
  auto& form = *s.rig.form;
  EXPECT_EQ(form.SessionOutcome(), update::TUpdateForm::Outcome::Failed);
  const std::string text = "The package file MISSING.DAT cannot be opened: the file upload is stopped.";
  EXPECT_TRUE(s.rig.MemoHas(text));
  ASSERT_FALSE(s.rig.Boxes().empty());
  EXPECT_EQ(s.rig.Boxes().back().text, text);
  EXPECT_EQ(s.instrument->UploadedNames(), std::vector<std::string>{"data1.bin"});
  EXPECT_EQ(s.Announcements("missing.dat"), 0u);
  EXPECT_FALSE(s.rig.MemoHas("Download successfully completed"));
  EXPECT_TRUE(form.OkBitBtn->Enabled());
}

}  // namespace
}  // namespace sessiontest
