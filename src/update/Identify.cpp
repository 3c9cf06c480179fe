// Identification: the identity dialogue with the instrument, and the check of the package
// against it (row search, files, version markers, the version decision).
#include <cstdlib>

#include "comport/Comport.h"
#include "loaders/Emf_loadunit.h"
#include "loaders/Image.h"
#include "platform/Application.h"
#include "platform/Files.h"
#include "platform/Text.h"
#include "update/AirPressure.h"
#include "procedure/Infotext.h"
#include "procedure/Notifications.h"
#include "update/Updatemain.h"
#include "update/VersionMarkers.h"

namespace update {

using namespace procedure;


namespace {

bool Contains(std::string_view text, std::string_view part) {
  return !part.empty() && text.find(part) != std::string_view::npos;
}

// Leading blanks and a sign skipped; with hex an optional "0x"; stops at the first character
// that is not a digit of the base; no digit gives 0.
std::int32_t ParseNumber(std::string_view text, bool hex) {
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (hex && i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X'))
    i += 2;
  long long value = 0;
  for (; i < text.size(); ++i) {
    char c = text[i];
    int d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (hex && c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (hex && c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else break;
    value = value * (hex ? 16 : 10) + d;
    if (value > 0x7FFFFFFF) value = 0x7FFFFFFF;
  }
  return static_cast<std::int32_t>(negative ? -value : value);
}

}  // namespace

const char* TUpdateForm::IdentityCommand(std::int32_t step) {
  static const char* const kCommands[] = {command::Pcb, command::DeviceNumber,
                                          command::SoftwareVersion, command::SerialNumber};
  return step >= 0 && step < 4 ? kCommands[step] : kCommands[3];
}

void TUpdateForm::OnIdentityReply(std::int32_t code, const char* text) {
  // Once the check has passed, the instrument is known for this session: an identity reply now
  // is a stray or spoilt one (a loader's "I.251#1.06" that lost its "5") and must neither
  // rewrite the record the programming goes by nor run the check again.
  if (session.CheckPassed) {
    LogLine("(identity reply after the check ignored)");
    return;
  }
  DeviceRecord& r = record_;
  if (reply::IsIn(code, reply::Pcb)) {
    StoreText(r.pcbNumber, text, DeviceRecord::kPcbCap);
    timerPool_.RestartTimer(session.SessionTimer);
    SendToInstrument(IdentityCommand(session.IdentityStep));
    session.IdentityStep = 2;
  } else if (reply::IsIn(code, reply::DeviceNumber)) {
    StoreText(r.deviceNumber, text, DeviceRecord::kDeviceNrCap);
    if (ini_.noVersionTest && session.IdentityStep == 2) {
      r.softwareVersion = "1.00";
      session.IdentityStep = 3;
    }
    SendToInstrument(IdentityCommand(session.IdentityStep));
    timerPool_.RestartTimer(session.SessionTimer);
    session.IdentityStep = 3;
  } else if (reply::IsIn(code, reply::SoftwareVersion)) {
    if (code == reply::SoftwareVersion[2] && fileType_ == FileTypeTag::Exe) {
      // Windows CE instruments report their start-up program's version here.
      r.deviceStartupVersion = VersionNumber(text);
      return;
    }
    StoreText(r.softwareVersion, text, DeviceRecord::kVersionCap);
    std::string_view v = r.softwareVersion;
    if (Contains(v, "X.XX")) session.XxxFlag = true;
    r.deviceVersion = VersionNumber(v);
    if (auto comma = v.find(','); comma != std::string_view::npos)
      r.deviceSecondVersion = VersionNumber(v.substr(comma + 1));
    timerPool_.RestartTimer(session.SessionTimer);
    if (r.deviceVersion >= 64 || Contains(v, "Y.YY")) {
      SendToInstrument(IdentityCommand(session.IdentityStep));
    } else {
      // Old firmware has no serial number: go on as if an empty one had come.
      static const char kBlank[] = " ";
      queue_.PostNotify(reply::SerialNumber[1], kBlank);
    }
    session.IdentityStep = 4;
  } else if (reply::IsIn(code, reply::SerialNumber)) {
    StoreText(r.serialNumber, text, DeviceRecord::kSerialCap);
    session.AirPressureIndex = LookupAirPressure(r.deviceNumber, r.serialNumber, r.deviceVersion);
    session.SessionTimer = timerPool_.StopTimer(session.SessionTimer);
    CloseSearchPortsExceptInstrument();
    if (CheckInstrument()) {
      session.CheckPassed = true;
      session.ProgrammingDue = UpdateDue();
      queue_.PostNotify(ProcedureNotificationFor(fileType_));
    } else {
      session.SessionRefused = true;
      session.Halted = true;
      outcome_ = session.RepeatDeclined ? Outcome::NotNeeded : Outcome::Refused;
      SetClock(false);
      wait.DelayTime(1000, false);
      ClearIdentityLabels();
      OkBitBtn->SetEnabled(true);
      SendEndCommand();
      session.IdentityStep = 0;
    }
  }
}

void TUpdateForm::CloseSearchPortsExceptInstrument() {
  for (int i = 0; i < PortCount; ++i)
    if (i != instrumentPort_ && PortTable[static_cast<std::size_t>(i)])
      PortTable[static_cast<std::size_t>(i)]->Close();
}

void TUpdateForm::AppendFileListItems(const std::string& items) {
  std::size_t start = 0;
  while (start <= items.size()) {
    std::size_t comma = items.find(',', start);
    std::string item = items.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    start = comma == std::string::npos ? items.size() + 1 : comma + 1;
    if (item.empty()) continue;
    auto add = [this](std::string name) {
      if (record_.fileList.size() < DeviceRecord::kFileListMax) {
        StoreText(name, std::string(name), DeviceRecord::kFileCap);
        record_.fileList.push_back(std::move(name));
      }
    };
    if (auto star = item.find("*.*"); star != std::string::npos) {
      std::string folder = item.substr(0, star);
      std::string dir = folder;
      for (char& c : dir)
        if (c == '\\') c = '/';
      auto found = platform::files::Resolve(programFolder_, dir.empty() ? "." : dir);
      if (!found) continue;
      for (const std::string& name : platform::files::FindFiles(*found, "*.*"))
        add(folder + platform::UpperAscii(name));
    } else {
      add(item);
    }
  }
}

bool TUpdateForm::PackageFileUsable(const std::string& name, PackageImage image) {
  if (image == PackageImage::ByFileType && fileType_ == FileTypeTag::Txt)
    image = record_.processorType == 21560 ? PackageImage::Bsl5xx : PackageImage::Classic;
  std::string message;
  const auto path = platform::files::Resolve(programFolder_, name);
  if (name.empty() || !path) {
    message = FillX(CatalogueText(MsgPackageFileMissing), name);
  } else if (platform::files::FileSize(*path) == 0) {
    message = FillX(CatalogueText(MsgPackageFileEmpty), name);
  } else if (image == PackageImage::Classic || image == PackageImage::Bsl5xx) {
    // The bootstrap loaders program TI-TXT images: one that cannot be read is refused now.
    loaders::ImageReadResult result;
    if (image == PackageImage::Bsl5xx) {
      std::vector<loaders::ImageBlock54xx> blocks(loaders::kImageBlocks);
      int vectorIndex = -1, vectorCount = 0;
      result = loaders::LoadImage54xxFile(*path, loaders::kImage54xxBufferBytes, blocks.data(),
                                          loaders::kImageBlocks, vectorIndex, vectorCount);
    } else {
      std::vector<loaders::ImageBlock> blocks(loaders::kImageBlocks);
      int upper = -1;
      result = loaders::LoadImageFile(*path, loaders::kImageBufferBytes, blocks.data(),
                                      loaders::kImageBlocks, upper);
    }
    if (!result.ok()) message = loaders::ImageErrorText(result, name, language_);
  } else if (image == PackageImage::ByFileType && fileType_ == FileTypeTag::Bin) {
    // The serial boot loader's image must fit its buffer with padding and trailer.
    const std::int64_t size = platform::files::FileSize(*path);
    if (size > static_cast<std::int64_t>(loaders::T_EMFLoader::kMaxFileSize))
      message = FillXs(CatalogueText(MsgImageTooLarge),
                       {name, std::to_string(size), std::to_string(loaders::T_EMFLoader::kMaxFileSize)});
  }
  if (message.empty()) return true;
  ShowBox(message, platform::BoxIcon::Error, platform::BoxButtons::Ok);
  UpdateMemo->Add(Expand(message));
  return false;
}

bool TUpdateForm::CheckInstrument() {
  DeviceRecord& r = record_;
  const DeviceTable& table = progDevice_.table;
  startMode_ = configuredStartMode_;
  session.RepeatAllowed = false;
  session.SensorPresent = true;
  session.RepeatDeclined = false;
  WaitPanel->SetVisible(false);
  int row = -1;
  const bool fallback = table.Count() > 0 && Contains(table.rows[0].deviceNrDef, "XXXXX");
  std::size_t lengthValue = 8;

  bool provisionalNoSensor = false;
  if (startMode_ == StartModeTag::Sensor || startMode_ == StartModeTag::SensorUpdate) {
    lengthValue = r.deviceNumber.size();
    if (auto c = r.deviceNumber.find(','); c != std::string::npos)
      r.deviceNumber.erase(0, c + 1);
    else
      provisionalNoSensor = true;
    if (auto c = r.pcbNumber.find(','); c != std::string::npos) {
      r.pcbNumber.erase(0, c + 1);
      if (auto dot = r.deviceNumber.find('.'); dot != std::string::npos) {
        for (std::size_t k = 1; k <= 3; ++k)
          if (dot + k < r.deviceNumber.size() && dot + k < r.pcbNumber.size())
            r.deviceNumber[dot + k] = r.pcbNumber[dot + k];
      }
    }
  }

  for (std::size_t i = 0; i < table.Count() && row < 0; ++i)
    if (Contains(r.deviceNumber, table.rows[i].deviceNr)) row = static_cast<int>(i);
  // An empty device number (a reply without "#") takes this search as any other.
  if (row < 0 && (r.deviceNumber.empty() || Contains(r.pcbNumber, r.deviceNumber))) {
    for (std::size_t i = 0; i < table.Count() && row < 0; ++i)
      if (Contains(r.pcbNumber, table.rows[i].deviceNrDef)) row = static_cast<int>(i);
  }
  if (row < 0 && fallback && lengthValue < 10) row = 0;

  bool inDownloadList = false;
  if (row >= 0) {
    const DeviceRow& d = table.rows[static_cast<std::size_t>(row)];
    r.processorType = d.prozTyp;
    auto comma2 = d.progFile2.find(',');
    StoreText(r.firstProgramFile, d.progFile2.substr(0, comma2), DeviceRecord::kFileCap);
    r.fileList.clear();
    if (comma2 != std::string::npos) AppendFileListItems(d.progFile2.substr(comma2 + 1));
    StoreText(r.furtherVersionFile, d.progFile1, DeviceRecord::kFileCap);
    auto comma3 = d.progFile3.find(',');
    StoreText(r.secondProgramFile, d.progFile3.substr(0, comma3), DeviceRecord::kFileCap);
    if (comma3 != std::string::npos) AppendFileListItems(d.progFile3.substr(comma3 + 1));
    if (!r.firstProgramFile.empty() && r.firstProgramFile.back() == '@') {
      r.firstProgramFile.pop_back();
      r.firstFileAtFlag = true;
    }
    if (!r.secondProgramFile.empty() && r.secondProgramFile.back() == '@') {
      r.secondProgramFile.pop_back();
      r.secondFileAtFlag = true;
    }
    r.versionMarkers = {d.swKenn1, d.swKenn2, d.swKenn3};
    r.bootLoaderMarker = d.bootLoadKenn;
    const std::string* erase[] = {&d.flashErase1, &d.flashErase2, &d.flashErase3};
    for (std::size_t k = 0; k < 3; ++k)
      r.flashErase[k] = ParseNumber(*erase[k], Contains(*erase[k], "0x"));
    // The definition file comes from row 1 unless the boot marker path picked row 0.
    std::size_t k = (static_cast<unsigned char>(session.BootMarker) + row == 144) ? 0 : 1;
    const DeviceRow& def = k < table.Count() ? table.rows[k] : d;
    StoreText(r.definitionFile, def.progDefFile, DeviceRecord::kDefFileCap);
    std::int32_t ft = 0;
    if (Contains(r.firstProgramFile, ".TXT")) ft |= 1;
    if (Contains(r.firstProgramFile, ".EXE")) ft |= 2;
    if (Contains(r.firstProgramFile, ".HEX")) ft |= 3;
    if (Contains(r.firstProgramFile, ".BIN")) ft |= 4;
    fileType_ = static_cast<FileTypeTag>(ft);
    for (const std::string& name : downloadList_)
      if (Contains(r.firstProgramFile, name)) inDownloadList = true;
  }

  // The instrument's row names a first program file that the package does not hold, or
  // holds empty or damaged: said as it is, before the instrument is touched.
  if (row >= 0 && !PackageFileUsable(r.firstProgramFile)) {
    session.Refusal = RefusalTag::PackageFile;
    return false;
  }

  if (row < 0 || !inDownloadList ||
      (!r.bootLoaderId.empty() && !Contains(r.bootLoaderId, r.bootLoaderMarker))) {
    ShowBox(CatalogueText(MsgWrongDevice), platform::BoxIcon::Error, platform::BoxButtons::Ok);
    for (const DeviceRow& d : table.rows)
      if (!Contains(r.deviceName, d.deviceName)) {
        std::string entry = d.deviceName + ", ";
        if (r.deviceName.size() + entry.size() < DeviceRecord::kNameCap) r.deviceName += entry;
      }
    // The list's last separator is left out of the message.
    if (r.deviceName.size() >= 2 && r.deviceName.compare(r.deviceName.size() - 2, 2, ", ") == 0)
      r.deviceName.resize(r.deviceName.size() - 2);
    ReportLine(MsgDownloadIsFor);
    session.Refusal = RefusalTag::WrongDevice;
    return false;
  }
  const DeviceRow& d = table.rows[static_cast<std::size_t>(row)];

  if (startMode_ == StartModeTag::Sensor || startMode_ == StartModeTag::SensorUpdate) {
    r.deviceVersion = r.deviceSecondVersion;
    r.deviceSecondVersion = 0;
    if (auto c = r.softwareVersion.find(','); c != std::string::npos) r.softwareVersion.erase(0, c + 1);
    if (provisionalNoSensor) {
      auto answer = ShowBox("kein digitaler Sensor angeschlossen ?\r\n\r\nTrotzdem fortfahren ?",
                            platform::BoxIcon::Question, platform::BoxButtons::YesNo);
      if (answer != platform::BoxResult::Yes) {
        session.Refusal = RefusalTag::Declined;
        return false;
      }
      row = 0;
      r.noSensorFlag = true;
      session.SensorPresent = false;
      r.softwareVersion = "X.XX";
      StoreText(r.deviceNumber, table.rows[0].deviceNr, DeviceRecord::kDeviceNrCap);
      r.serialNumber = "XXXXXXXX";
    }
    if (auto c = r.serialNumber.find(','); c != std::string::npos) r.serialNumber.erase(0, c + 1);
    r.secondFileAtFlag = r.firstFileAtFlag;
    if (startMode_ == StartModeTag::SensorUpdate) {
      startMode_ = StartModeTag::Sensor;
      SensorUpdateFlag = true;
      session.FollowUpCommand = r.noSensorFlag ? command::ProgramWithoutSensor : command::ProgramSensor;
    }
  }
  const DeviceRow& shown = table.rows[static_cast<std::size_t>(row)];
  StoreText(r.deviceName, shown.deviceName, DeviceRecord::kNameCap);
  NameStaticText->SetCaption(r.deviceNumber + "  [" + r.deviceName + "]");
  SerStaticText->SetCaption(r.serialNumber);
  PCBStaticText->SetCaption(r.pcbNumber);
  SWStaticText->SetCaption(r.softwareVersion);

  ReadPackageVersion(d.swKenn2, r.firstProgramFile, r, programFolder_);
  UpdateStatusBar->SetPanelText(3, "Version " + r.packageVersion);

  session.StartupFirst = session.StartupLast = 0;
  if (!r.fileList.empty()) {
    std::string bestText = r.packageVersion;
    std::int32_t bestNumber = r.packageVersionNumber;
    std::size_t i = 0;
    for (;;) {
      r.packageVersion.clear();
      std::string v = ReadPackageVersion(d.swKenn2, r.fileList[i], r, programFolder_);
      std::int32_t n = VersionNumber(v);
      if (n > bestNumber) {
        bestNumber = n;
        bestText = v;
      }
      if (Contains(r.fileList[i], "TORVEXSTARTUP.EXE")) {
        r.packageStartupVersion = n;
        session.StartupFirst = static_cast<std::int32_t>(i);
      }
      if (i + 1 < r.fileList.size() &&
          (Contains(r.fileList[i + 1], ".EXE") || Contains(r.fileList[i + 1], ".DLL")))
        ++i;
      else
        break;
    }
    if (session.StartupFirst > 0) {
      session.StartupLast = static_cast<std::int32_t>(i);
      SendToInstrument(command::StartupProgram);
      wait.DelayTime(3000, true);
    }
    UpdateStatusBar->SetPanelText(3, "Version " + bestText);
    StoreText(r.packageVersion, bestText, DeviceRecord::kVersionCap);
    r.packageVersionNumber = bestNumber;
  }

  for (const char* n : {"21130", "21030", "21157", "21871"})
    if (Contains(r.deviceNumber, n)) r.secondProgramFile = "l3_terml.a37";

  if (!d.swKenn1.empty()) {
    std::string v1 = ReadPackageVersion(d.swKenn1, r.furtherVersionFile, r, programFolder_);
    UpdateStatusBar->SetPanelText(3, UpdateStatusBar->PanelText(3) + " / " + v1);
    std::string v3 = ReadPackageVersion(d.swKenn3, r.secondProgramFile, r, programFolder_);
    UpdateStatusBar->SetPanelText(3, UpdateStatusBar->PanelText(3) + " / " + v3);
  }

  const std::int32_t D = r.deviceVersion, P = r.packageVersionNumber;
  const std::int32_t Ds = r.deviceSecondVersion, Ps = r.packageSecondVersionNumber;
  const std::int32_t Dt = r.deviceStartupVersion, Pt = r.packageStartupVersion;
  if (VersionTest && !AnyFileMode && D > P && (Ds > Ps || Ds == 0)) {
    ShowBox(CatalogueText(MsgNoValidVersion), platform::BoxIcon::Error, platform::BoxButtons::Ok);
    UpdateMemo->Add(Expand(FillX(CatalogueText(MsgVersionInDeviceNewer), r.softwareVersion)));
    session.Refusal = RefusalTag::NewerFirmware;
    return false;
  }
  if (VersionTest && !AnyFileMode && D == P && (Ds == Ps || Ps == 0) && Dt == Pt) {
    bool yes = ShowBox(FillX(CatalogueText(MsgLatestVersionInDevice), r.softwareVersion),
                       platform::BoxIcon::Question, platform::BoxButtons::YesNo) ==
               platform::BoxResult::Yes;
    session.RepeatAllowed = yes;
    if (yes && session.SensorSoftwareFlag)
      yes = ShowBox(CatalogueText(MsgSensorSoftwareRs232), platform::BoxIcon::Question,
                    platform::BoxButtons::YesNo) == platform::BoxResult::Yes;
    if (!yes) {
      session.RepeatDeclined = true;
      session.Refusal = RefusalTag::Declined;
    }
    return yes;
  }
  if (session.SensorSoftwareFlag && Ds < Ps) {
    if (ShowBox(CatalogueText(MsgSensorSoftwareRs232), platform::BoxIcon::Question,
                platform::BoxButtons::YesNo) == platform::BoxResult::Yes)
      return true;
    session.Refusal = RefusalTag::Declined;
    return false;
  }
  if (!VersionTest || AnyFileMode) {
    r.deviceVersion = r.packageVersionNumber;
    session.RepeatAllowed = true;
  }
  if (AnyFileMode && ChosenProgramFile.size() > 4)
    StoreText(r.firstProgramFile, ChosenProgramFile, DeviceRecord::kFileCap);
  return true;
}

}  // namespace update
