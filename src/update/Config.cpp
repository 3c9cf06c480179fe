#include "update/Config.h"

#include <climits>
#include <optional>

#include "platform/Application.h"
#include "platform/Files.h"
#include "platform/Text.h"

namespace update {
namespace {

namespace files = platform::files;

using platform::UpperAscii;
bool KeyEquals(std::string_view a, std::string_view b) { return platform::EqualNoCaseAscii(a, b); }

std::string Cut(std::string text, std::size_t capacity) {
  if (text.size() > capacity - 1) text.resize(capacity - 1);
  return text;
}

// A device number of exactly five characters is a whole number: ".000" makes it comparable
// with the instrument's replies.
std::string DeviceNumber(std::string value) {
  if (value.size() == 5) value += ".000";
  return Cut(std::move(value), DeviceRow::kDeviceNrCap);
}

// The first "\r\n" written in the file becomes CR LF and ends the marker.
std::string Marker(std::string value) {
  auto pos = value.find("\\r\\n");
  if (pos != std::string::npos) value = value.substr(0, pos) + "\r\n";
  return Cut(std::move(value), DeviceRow::kMarkerCap);
}

std::int32_t Decimal(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  std::int64_t v = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    v = v * 10 + (text[i] - '0');
    if (v > INT32_MAX) v = INT32_MAX;
  }
  return static_cast<std::int32_t>(v);
}

// Decimal with an optional sign, for the Com value.
std::int32_t SignedDecimal(std::string_view text, bool* any) {
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  bool neg = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) neg = text[i++] == '-';
  std::size_t digits = i;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
  *any = digits > i;
  std::int32_t v = Decimal(text.substr(i));
  return neg ? -v : v;
}

DeviceRow ReadRow(const std::vector<std::string>& block, std::int32_t& startMode, bool& closeMark) {
  DeviceRow r;
  bool close = false;
  startMode = ParseStartMode(LookupValue(block, "DevStartCmd"), &close);
  if (close) closeMark = true;
  r.deviceNrDef = DeviceNumber(LookupValue(block, "DeviceNrDef"));
  r.deviceNr = DeviceNumber(LookupValue(block, "DeviceNr"));
  r.deviceName = Cut(LookupValue(block, "DeviceName"), DeviceRow::kNameCap);
  r.progFile1 = Cut(UpperAscii(LookupValue(block, "ProgFile1")), DeviceRow::kProgFile1Cap);
  r.progFile2 = Cut(UpperAscii(LookupValue(block, "ProgFile2")), DeviceRow::kProgFileCap);
  r.progFile3 = Cut(UpperAscii(LookupValue(block, "ProgFile3")), DeviceRow::kProgFileCap);
  r.swKenn1 = Marker(LookupValue(block, "SWKenn1"));
  r.swKenn2 = Marker(LookupValue(block, "SWKenn2"));
  r.swKenn3 = Marker(LookupValue(block, "SWKenn3"));
  r.bootLoadKenn = Cut(LookupValue(block, "BootLoadKenn"), DeviceRow::kMarkerCap);
  r.flashErase1 = Cut(LookupValue(block, "FlashErase1"), DeviceRow::kFlashEraseCap);
  r.flashErase2 = Cut(LookupValue(block, "FlashErase2"), DeviceRow::kFlashEraseCap);
  r.flashErase3 = Cut(LookupValue(block, "FlashErase3"), DeviceRow::kFlashEraseCap);
  r.progDefFile = Cut(UpperAscii(LookupValue(block, "ProgDefFile")), DeviceRow::kProgDefFileCap);
  r.prozTyp = ParseHex(LookupValue(block, "ProzTyp"));
  return r;
}

void ErrorBox(const std::string& text) {
  if (platform::HasApp())
    platform::App().MessageBox(text, "Error", platform::BoxIcon::Error, platform::BoxButtons::Ok);
}

// "Update.ini" from the ConfigFolder, else from the working folder.
std::optional<platform::TextLines> LoadUpdateIni(const std::string& fileName) {
  std::string folder = ConfigFolder();
  if (!folder.empty())
    if (auto p = files::Resolve(folder, fileName))
      if (auto lines = files::LoadLines(*p)) return lines;
  if (auto p = files::Resolve("", fileName))
    if (auto lines = files::LoadLines(*p)) return lines;
  return std::nullopt;
}

}  // namespace

const std::string& DeviceTable::ProgFile2(std::size_t i) const {
  static const std::string empty;
  return i < rows.size() ? rows[i].progFile2 : empty;
}

std::string LookupValue(const std::vector<std::string>& lines, std::string_view key) {
  for (const auto& line : lines) {
    auto eq = line.find('=');
    if (eq == std::string::npos) continue;
    if (KeyEquals(std::string_view(line).substr(0, eq), key)) return line.substr(eq + 1);
  }
  return {};
}

std::int32_t ParseLanguage(std::string_view value) {
  return (!value.empty() && value[0] == '1') ? 1 : 0;
}

BaudList ParseBaudList(std::string_view value, bool* cut) {
  BaudList list;
  if (cut) *cut = false;
  std::size_t i = 0;
  while (i <= value.size()) {
    std::size_t j = value.find(',', i);
    if (j == std::string_view::npos) j = value.size();
    std::string_view item = value.substr(i, j - i);
    i = j + 1;
    if (item.find_first_not_of(' ') == std::string_view::npos) continue;
    if (list.items.size() == BaudList::kMax) {
      if (cut) *cut = true;
      break;
    }
    list.items.push_back(Decimal(item));
  }
  if (list.items.empty()) list.items = {2, 3, 4, 1, 0};
  return list;
}

std::int32_t ParseStartMode(std::string_view value, bool* closeForHint) {
  if (closeForHint) *closeForHint = false;
  if (value.empty() || value[0] < '1' || value[0] > '9') return 0;
  std::int32_t m = value[0] - '1';
  if (m >= 5) {
    m -= 5;
    if (m == 0 && closeForHint) *closeForHint = true;
  }
  return m;
}

std::int32_t ParseHex(std::string_view value) {
  std::size_t i = 0;
  while (i < value.size() && value[i] == ' ') ++i;
  if (i + 1 < value.size() && value[i] == '0' && (value[i + 1] == 'x' || value[i + 1] == 'X'))
    i += 2;
  std::uint32_t v = 0;
  for (int digits = 0; i < value.size() && digits < 8; ++i, ++digits) {
    char c = value[i];
    int d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else break;
    v = v << 4 | static_cast<std::uint32_t>(d);
  }
  return static_cast<std::int32_t>(v);
}

std::int32_t StartupFileType(std::string_view progFile2) {
  std::int32_t t = 0;
  if (progFile2.find(".TXT") != std::string_view::npos) t |= 1;
  if (progFile2.find(".EXE") != std::string_view::npos) t |= 2;
  if (progFile2.find(".HEX") != std::string_view::npos) t |= 3;
  return t;
}

UpdateIni ParseUpdateIni(const std::vector<std::string>& lines) {
  UpdateIni ini;
  ini.language = ParseLanguage(LookupValue(lines, "Language"));
  ini.version = LookupValue(lines, "Version");
  bool cut = false;
  ini.baud = ParseBaudList(LookupValue(lines, "Baud"), &cut);
  if (cut) ini.warnings.push_back("Baud: only the first 16 baud rates are used");
  std::string com = LookupValue(lines, "Com");
  if (!com.empty()) {
    ini.singlePortMode = true;
    bool any = false;
    std::int32_t n = SignedDecimal(com, &any);
    ini.fixedPort = (any && n >= 1) ? n - 1 : -1;
  }
  ini.noVersionTest = LookupValue(lines, "Exception").find("NOVERSIONTEST") != std::string::npos;
  return ini;
}

ProgDevice ParseProgDevice(const std::vector<std::string>& lines) {
  ProgDevice pd;
  std::size_t i = 0;
  bool tooMany = false;
  while (i < lines.size()) {
    std::vector<std::string> block;
    while (i < lines.size() && !lines[i].empty()) block.push_back(lines[i++]);
    if (i < lines.size()) ++i;  // the empty line that ends the block
    if (block.size() > 10) {
      std::int32_t mode = 0;
      DeviceRow row = ReadRow(block, mode, pd.closeForHintMark);
      pd.startMode = mode;
      if (pd.table.rows.size() < DeviceTable::kMaxRows) {
        pd.table.rows.push_back(std::move(row));
      } else {
        tooMany = true;
      }
    } else if (block.size() == 4) {
      auto text = [&](const char* key) { return Cut(LookupValue(block, key), ConfiguredTexts::kCap); };
      pd.texts.starttextD = text("StarttextD");
      pd.texts.starttextE = text("StarttextE");
      pd.texts.abbruchtextD = text("AbbruchtextD");
      pd.texts.abbruchtextE = text("AbbruchtextE");
    }
  }
  if (tooMany) pd.warnings.push_back("ProgDevice.ini: only the first 255 device rows are used");
  pd.fileType = StartupFileType(pd.table.ProgFile2(0));
  return pd;
}

std::string MirrorFolderFor(const std::string& cwd, const std::string& programFiles,
                            const std::string& publicRoot) {
  std::string pf = programFiles;
  while (pf.size() > 1 && pf.back() == '/') pf.pop_back();
  if (pf.empty() || publicRoot.empty()) return {};
  // Only a whole leading folder counts: /opt must not match /optional or /home/x/opt.
  if (cwd.compare(0, pf.size(), pf) != 0) return {};
  if (cwd.size() > pf.size() && cwd[pf.size()] != '/' && pf != "/") return {};
  return publicRoot + cwd.substr(pf == "/" ? 0 : pf.size());
}

std::string ConfigFolder() {
  std::string pf = files::ExpandFolderVariables("%ProgramFiles%");
  std::string pub = files::ExpandFolderVariables("%PUBLIC%");
  if (pub.find("%PUBLIC%") != std::string::npos) return {};
  std::string mirror = MirrorFolderFor(files::CurrentFolder(), pf, pub);
  if (mirror.empty()) return {};
  if (!files::IsFolder(mirror) && !files::CreateFolders(mirror)) return {};
  return mirror;
}

std::string UpdateIniPath(const std::string& fileName) {
  std::string folder = ConfigFolder();
  return folder.empty() ? fileName : files::Join(folder, fileName);
}

int ReadUpdateIni(const std::string& fileName, UpdateIni& out) {
  auto lines = LoadUpdateIni(fileName);
  if (!lines) {
    ErrorBox(kUpdateIniMissing);
    return -1;
  }
  out = ParseUpdateIni(lines->lines);
  return 0;
}

std::optional<UpdateIni> PeekUpdateIni(const std::string& fileName) {
  auto lines = LoadUpdateIni(fileName);
  if (!lines) return std::nullopt;
  return ParseUpdateIni(lines->lines);
}

int ReadProgDevice(const std::string& fileName, ProgDevice& out) {
  std::optional<platform::TextLines> lines;
  if (auto p = files::Resolve("", fileName)) lines = files::LoadLines(*p);
  if (!lines) {
    ErrorBox(kProgDeviceMissing);
    return -1;
  }
  out = ParseProgDevice(lines->lines);
  return 0;
}

bool SaveLanguage(const std::string& fileName, std::int32_t language, const std::string& version) {
  auto read = LoadUpdateIni(fileName);
  if (!read) {
    ErrorBox(kUpdateIniMissing);
    return false;
  }
  const auto& old = read->lines;
  platform::TextLines out;
  out.encoding = read->encoding;
  out.lines = {
      "Language=" + std::string(1, language == 1 ? '1' : '0'),
      "Version=" + version,
      "Baud=" + LookupValue(old, "Baud"),
      "Com=" + LookupValue(old, "Com"),
      "Exception=" + LookupValue(old, "Exception"),
  };
  std::string folder = ConfigFolder();
  std::string path = folder.empty() ? files::ResolveOrJoin("", fileName)
                                    : files::ResolveOrJoin(folder, fileName);
  if (!files::SaveLines(path, out)) {
    ErrorBox("Cannot create file " + path);
    return false;
  }
  return true;
}

std::string ProgDefFileFor(const DeviceTable& table, std::int32_t processorType) {
  for (const auto& row : table.rows)
    if (row.prozTyp == processorType) return row.progDefFile;
  return {};
}

}  // namespace update
