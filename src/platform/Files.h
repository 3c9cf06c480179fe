#pragma once
// File system and environment services: file search, package file names resolved without
// regard to case, sizes and time stamps, whole files, text files as line lists with their
// encoding, the current folder, folder creation, the two folder variables of the original
// platform and the program's folder.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// The name of the tool below the user's data folder (the mirror root of %PUBLIC%).
inline constexpr const char* kToolName = "firmware-update";

enum class TextEncoding { Ansi, Utf8, Utf16LE, Utf16BE };

// A text file as a list of Windows-1252 lines and the encoding it was read in. A new file
// (not read) is written in Windows-1252.
struct TextLines {
  std::vector<std::string> lines;
  TextEncoding encoding = TextEncoding::Ansi;
};

namespace files {

// Case-insensitive match of a name against a pattern with '*' and '?', with the rules of the
// original platform's file search: "*.*" and "NAME.*" also match names without a dot, a '?'
// matches nothing at the end of a name or before its dot ("A?.TXT" matches "A.TXT"), and a
// '*' in front of a '.' does not run past the name's last dot ("*." matches only names
// without a dot).
bool MatchPattern(std::string_view pattern, std::string_view name);

// Names (not paths) of the normal files in folder whose names match pattern without regard
// to case; directories are not returned. Sorted by name without regard to case, so the order
// is the same on every run. An unreadable folder gives an empty list.
std::vector<std::string> FindFiles(const std::string& folder, std::string_view pattern);

// Joins folder and name with '/'; an empty folder gives the name, an absolute name is kept.
std::string Join(const std::string& folder, std::string_view name);

// Finds the file that a package names: '\' and '/' both separate folders; each part is taken
// as written when it exists, else the one entry of that folder whose name equals it without
// regard to case (the first in sorted order when several do). A relative name is taken
// within folder (the current folder when empty). Returns the path found, or nothing.
std::optional<std::string> Resolve(const std::string& folder, std::string_view name);
// Resolve, or when nothing exists the name joined to folder as written (with '\' turned
// into '/'): the path to create a new file under.
std::string ResolveOrJoin(const std::string& folder, std::string_view name);

bool Exists(const std::string& path);
bool IsFile(const std::string& path);
bool IsFolder(const std::string& path);
// Size in bytes; -1 when the file does not exist or cannot be read.
std::int64_t FileSize(const std::string& path);
// Last modification, seconds since 1970-01-01 UTC; nothing when the file is missing.
std::optional<std::int64_t> FileTime(const std::string& path);

// The whole file; nothing when it cannot be opened or read, or is larger than maxBytes.
std::optional<std::string> ReadWholeFile(const std::string& path,
                                         std::uint64_t maxBytes = UINT64_MAX);
// Writes bytes (replacing the file); false on failure.
bool WriteWholeFile(const std::string& path, std::string_view bytes);

// Decodes file bytes into lines: a byte-order mark selects UTF-8, UTF-16 LE or BE, else the
// bytes are Windows-1252. CR LF, LF and a lone CR end a line; a last line without an end is
// kept; an empty file has no lines. Characters without a Windows-1252 form become '?'.
TextLines DecodeLines(std::string_view bytes);
// Encodes lines in the given encoding, each followed by CR LF, with the byte-order mark of
// that encoding (none for Windows-1252) unless byteOrderMark is false (lines to be added to
// a file that has one).
std::string EncodeLines(const TextLines& text, bool byteOrderMark = true);
// Whether the bytes of a text file in this encoding end with a line end (CR or LF); true for
// a file without text.
bool EndsWithLineEnd(std::string_view bytes, TextEncoding encoding);
// Reads a text file; nothing when it cannot be opened or read.
std::optional<TextLines> LoadLines(const std::string& path);
// Writes a text file in text.encoding; false on failure.
bool SaveLines(const std::string& path, const TextLines& text);

// The current folder; empty when it cannot be determined.
std::string CurrentFolder();
bool SetCurrentFolder(const std::string& path);
// Creates the folder and all missing parents; true when it exists afterwards.
bool CreateFolders(const std::string& path);

// Expands "%ProgramFiles%" (env ProgramFiles, else /opt) and "%PUBLIC%" (env PUBLIC, else
// $XDG_DATA_HOME or ~/.local/share, followed by the tool's name), matched without regard to
// case as the original platform does. Other %...% texts stay as written. A variable that
// cannot be expanded (no home folder) also stays as written.
std::string ExpandFolderVariables(std::string_view text);

// The folder of the running executable; empty when unknown.
std::string ExecutableFolder();
// The program-folder rule: exeFolder when it holds "Update.ini" or "ProgDevice.ini" (any
// case), else startFolder.
std::string ProgramFolderFor(const std::string& exeFolder, const std::string& startFolder);
// ProgramFolderFor(executable's folder, working folder at the first call). Call it once early
// at start-up; later calls return the same folder.
const std::string& ProgramFolder();

}  // namespace files
}  // namespace platform
