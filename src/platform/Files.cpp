#include "platform/Files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "platform/Text.h"

namespace platform::files {
namespace fs = std::filesystem;

namespace {

using platform::EqualNoCaseAscii;
char Lower(char c) { return platform::LowerAscii(c); }

bool LessNoCase(const std::string& a, const std::string& b) {
  std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    char x = Lower(a[i]), y = Lower(b[i]);
    if (x != y) return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
  }
  if (a.size() != b.size()) return a.size() < b.size();
  return a < b;  // same letters: a fixed order all the same
}

// The entry names of a folder, sorted without regard to case.
std::vector<std::string> FolderEntries(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  fs::directory_iterator it(folder.empty() ? "." : folder, ec), end;
  for (; !ec && it != end; it.increment(ec)) names.push_back(it->path().filename().string());
  std::sort(names.begin(), names.end(), LessNoCase);
  return names;
}

void AppendUtf16(std::string& out, char32_t cp, bool bigEndian) {
  auto put = [&](char16_t u) {
    char hi = static_cast<char>(u >> 8), lo = static_cast<char>(u & 0xFF);
    if (bigEndian) {
      out += hi;
      out += lo;
    } else {
      out += lo;
      out += hi;
    }
  };
  if (cp >= 0x10000) {
    cp -= 0x10000;
    put(static_cast<char16_t>(0xD800 + (cp >> 10)));
    put(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  } else {
    put(static_cast<char16_t>(cp));
  }
}

std::string Utf16ToCp1252(std::string_view bytes, bool bigEndian) {
  std::string out;
  out.reserve(bytes.size() / 2);
  auto unit = [&](std::size_t i) -> char16_t {
    auto a = static_cast<unsigned char>(bytes[i]), b = static_cast<unsigned char>(bytes[i + 1]);
    return static_cast<char16_t>(bigEndian ? (a << 8 | b) : (b << 8 | a));
  };
  std::size_t i = 0;
  while (i + 1 < bytes.size()) {
    char32_t cp = unit(i);
    i += 2;
    if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < bytes.size()) {
      char16_t low = unit(i);
      if (low >= 0xDC00 && low < 0xE000) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        i += 2;
      }
    }
    int b = CodePointToCp1252(cp);
    out += b < 0 ? '?' : static_cast<char>(b);
  }
  return out;  // an odd last byte is not a character
}

std::optional<std::string> EnvValue(const char* name) {
  const char* v = std::getenv(name);
  if (!v || !*v) return std::nullopt;
  return std::string(v);
}

std::optional<std::string> PublicRoot() {
  if (auto v = EnvValue("PUBLIC")) return v;
  std::string data;
  if (auto x = EnvValue("XDG_DATA_HOME")) {
    data = *x;
  } else if (auto home = EnvValue("HOME")) {
    data = *home + "/.local/share";
  } else {
    return std::nullopt;
  }
  return data + "/" + kToolName;
}

}  // namespace

namespace {

// A pattern as the original platform's file search reads it: '?' becomes a DOS question
// mark, '*' before a '.' a DOS star, and a '.' before a wildcard or at the end a DOS dot.
enum class Tok : char { Literal, Star, DosStar, DosQm, DosDot };
struct Token {
  Tok kind;
  char c;
};

std::vector<Token> Tokens(std::string_view pattern) {
  std::vector<Token> t;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const char c = pattern[i];
    const char next = i + 1 < pattern.size() ? pattern[i + 1] : '\0';
    if (c == '?')
      t.push_back({Tok::DosQm, c});
    else if (c == '*')
      t.push_back({next == '.' ? Tok::DosStar : Tok::Star, c});
    else if (c == '.' && (next == '*' || next == '?' || next == '\0'))
      t.push_back({Tok::DosDot, c});
    else
      t.push_back({Tok::Literal, c});
  }
  return t;
}

}  // namespace

bool MatchPattern(std::string_view pattern, std::string_view name) {
  // Each (token, name position) pair is decided once, so the work is bounded by their
  // product; no recursion.
  const std::vector<Token> tokens = Tokens(pattern);
  const std::size_t n = name.size();
  const std::size_t lastDot = name.rfind('.');
  // DOS star: any characters, but not the name's last dot.
  const std::size_t starLimit = lastDot == std::string_view::npos ? n : lastDot;
  // match[i][j]: tokens from i match the name from j.
  std::vector<std::vector<char>> match(tokens.size() + 1, std::vector<char>(n + 1, 0));
  match[tokens.size()][n] = 1;
  for (std::size_t i = tokens.size(); i-- > 0;) {
    const Token& t = tokens[i];
    for (std::size_t j = n + 1; j-- > 0;) {
      const bool more = j < n;
      bool m = false;
      switch (t.kind) {
        case Tok::Literal:
          m = more && Lower(t.c) == Lower(name[j]) && match[i + 1][j + 1];
          break;
        case Tok::Star:  // nothing, or one character and still the star
          m = match[i + 1][j] || (more && match[i][j + 1]);
          break;
        case Tok::DosStar:
          m = match[i + 1][j] || (more && j < starLimit && match[i][j + 1]);
          break;
        case Tok::DosQm:  // one character; nothing at a dot or at the end
          m = (more && name[j] != '.') ? match[i + 1][j + 1] : match[i + 1][j];
          break;
        case Tok::DosDot:  // a dot, or nothing at the end
          m = more ? (name[j] == '.' && match[i + 1][j + 1]) : match[i + 1][j];
          break;
      }
      match[i][j] = m;
    }
  }
  return match[0][0] != 0;
}

std::vector<std::string> FindFiles(const std::string& folder, std::string_view pattern) {
  std::vector<std::string> found;
  for (const auto& name : FolderEntries(folder))
    if (MatchPattern(pattern, name) && IsFile(Join(folder, name))) found.push_back(name);
  return found;
}

std::string Join(const std::string& folder, std::string_view name) {
  if (folder.empty() || (!name.empty() && name.front() == '/')) return std::string(name);
  std::string out = folder;
  if (out.back() != '/') out += '/';
  out += name;
  return out;
}

std::optional<std::string> Resolve(const std::string& folder, std::string_view name) {
  std::string path;
  std::size_t i = 0;
  if (!name.empty() && (name.front() == '/' || name.front() == '\\')) {
    path = "/";
  } else {
    path = folder.empty() ? std::string(".") : folder;
  }
  bool any = false;
  while (i <= name.size()) {
    std::size_t j = name.find_first_of("\\/", i);
    if (j == std::string_view::npos) j = name.size();
    std::string_view part = name.substr(i, j - i);
    i = j + 1;
    if (part.empty()) continue;
    any = true;
    std::string exact = Join(path, part);
    std::error_code ec;
    if (fs::exists(exact, ec)) {
      path = exact;
      continue;
    }
    std::optional<std::string> match;
    for (const auto& entry : FolderEntries(path))
      if (EqualNoCaseAscii(entry, part)) {
        match = entry;
        break;
      }
    if (!match) return std::nullopt;
    path = Join(path, *match);
  }
  if (!any) return std::nullopt;
  if (folder.empty() && path.rfind("./", 0) == 0) path.erase(0, 2);
  return path;
}

std::string ResolveOrJoin(const std::string& folder, std::string_view name) {
  if (auto found = Resolve(folder, name)) return *found;
  std::string plain(name);
  std::replace(plain.begin(), plain.end(), '\\', '/');
  return Join(folder, plain);
}

bool Exists(const std::string& path) {
  std::error_code ec;
  return fs::exists(path, ec);
}

bool IsFile(const std::string& path) {
  std::error_code ec;
  return fs::is_regular_file(path, ec);
}

bool IsFolder(const std::string& path) {
  std::error_code ec;
  return fs::is_directory(path, ec);
}

std::int64_t FileSize(const std::string& path) {
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) return -1;
  auto size = fs::file_size(path, ec);
  return ec ? -1 : static_cast<std::int64_t>(size);
}

std::optional<std::int64_t> FileTime(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return static_cast<std::int64_t>(st.st_mtime);
}

std::optional<std::string> ReadWholeFile(const std::string& path, std::uint64_t maxBytes) {
  if (!IsFile(path)) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string data;
  char buf[65536];
  while (in) {
    in.read(buf, sizeof buf);
    auto got = static_cast<std::size_t>(in.gcount());
    if (data.size() + got > maxBytes) return std::nullopt;
    data.append(buf, got);
  }
  if (in.bad()) return std::nullopt;
  return data;
}

bool WriteWholeFile(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  return !out.fail();
}

TextLines DecodeLines(std::string_view bytes) {
  TextLines result;
  std::string text;
  auto starts = [&](std::string_view bom) { return bytes.substr(0, bom.size()) == bom; };
  if (starts("\xEF\xBB\xBF")) {
    result.encoding = TextEncoding::Utf8;
    text = Utf8ToCp1252(bytes.substr(3));
  } else if (starts("\xFF\xFE")) {
    result.encoding = TextEncoding::Utf16LE;
    text = Utf16ToCp1252(bytes.substr(2), false);
  } else if (starts("\xFE\xFF")) {
    result.encoding = TextEncoding::Utf16BE;
    text = Utf16ToCp1252(bytes.substr(2), true);
  } else {
    text.assign(bytes);
  }
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r' && text[i] != '\n') continue;
    result.lines.emplace_back(text, start, i - start);
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    start = i + 1;
  }
  if (start < text.size()) result.lines.emplace_back(text, start);
  return result;
}

std::string EncodeLines(const TextLines& text, bool byteOrderMark) {
  std::string joined;
  for (const auto& line : text.lines) {
    joined += line;
    joined += "\r\n";
  }
  switch (text.encoding) {
    case TextEncoding::Ansi:
      return joined;
    case TextEncoding::Utf8:
      return (byteOrderMark ? "\xEF\xBB\xBF" : "") + Cp1252ToUtf8(joined);
    case TextEncoding::Utf16LE:
    case TextEncoding::Utf16BE: {
      bool be = text.encoding == TextEncoding::Utf16BE;
      std::string out = byteOrderMark ? (be ? "\xFE\xFF" : "\xFF\xFE") : "";
      for (unsigned char c : joined) AppendUtf16(out, Cp1252ToCodePoint(c), be);
      return out;
    }
  }
  return joined;
}

bool EndsWithLineEnd(std::string_view bytes, TextEncoding encoding) {
  auto lineEnd = [](char c) { return c == '\r' || c == '\n'; };
  switch (encoding) {
    case TextEncoding::Ansi:
      return bytes.empty() || lineEnd(bytes.back());
    case TextEncoding::Utf8:
      return bytes.size() <= 3 || lineEnd(bytes.back());
    case TextEncoding::Utf16LE:
      return bytes.size() <= 2 ||
             (bytes.size() >= 4 && bytes[bytes.size() - 1] == '\0' && lineEnd(bytes[bytes.size() - 2]));
    case TextEncoding::Utf16BE:
      return bytes.size() <= 2 ||
             (bytes.size() >= 4 && bytes[bytes.size() - 2] == '\0' && lineEnd(bytes[bytes.size() - 1]));
  }
  return true;
}

std::optional<TextLines> LoadLines(const std::string& path) {
  auto bytes = ReadWholeFile(path);
  if (!bytes) return std::nullopt;
  return DecodeLines(*bytes);
}

bool SaveLines(const std::string& path, const TextLines& text) {
  return WriteWholeFile(path, EncodeLines(text));
}

std::string CurrentFolder() {
  std::error_code ec;
  auto p = fs::current_path(ec);
  return ec ? std::string() : p.string();
}

bool SetCurrentFolder(const std::string& path) { return ::chdir(path.c_str()) == 0; }

bool CreateFolders(const std::string& path) {
  if (path.empty()) return false;
  std::error_code ec;
  fs::create_directories(path, ec);
  return fs::is_directory(path, ec);
}

std::string ExpandFolderVariables(std::string_view text) {
  std::string out;
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t a = text.find('%', i);
    if (a == std::string_view::npos) break;
    std::size_t b = text.find('%', a + 1);
    if (b == std::string_view::npos) break;
    std::string_view name = text.substr(a + 1, b - a - 1);
    std::optional<std::string> value;
    if (EqualNoCaseAscii(name, "ProgramFiles")) {
      value = EnvValue("ProgramFiles").value_or("/opt");
    } else if (EqualNoCaseAscii(name, "PUBLIC")) {
      value = PublicRoot();
    }
    out.append(text.substr(i, a - i));
    if (value) {
      out += *value;
      i = b + 1;
    } else {
      // Not ours: keep the first '%' and look on from the second one.
      out += '%';
      i = a + 1;
    }
  }
  out.append(text.substr(std::min(i, text.size())));
  return out;
}

std::string ExecutableFolder() {
  std::error_code ec;
  auto exe = fs::read_symlink("/proc/self/exe", ec);
  if (ec) return {};
  return exe.parent_path().string();
}

std::string ProgramFolderFor(const std::string& exeFolder, const std::string& startFolder) {
  if (!exeFolder.empty() &&
      (Resolve(exeFolder, "Update.ini") || Resolve(exeFolder, "ProgDevice.ini")))
    return exeFolder;
  return startFolder;
}

const std::string& ProgramFolder() {
  static const std::string folder = ProgramFolderFor(ExecutableFolder(), CurrentFolder());
  return folder;
}

}  // namespace platform::files
