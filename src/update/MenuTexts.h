#pragma once
// Texts and keys of the menu commands: language files, read-me documents, the version box and
// the hidden service keys.
#include <cstdint>
#include <string>
#include <string_view>

namespace update {

// ---- menu texts ----
// The language file of a language ("Update.Deu", "Update.Eng").
const char* LanguageFile(std::int32_t language);
// The read-me document for a language and start mode.
const char* ReadmeDocument(std::int32_t language, std::int32_t startMode);
// The read-me opens with the desktop's viewer for its type, not with a named program.
inline constexpr const char* kDesktopViewer = "";
inline constexpr const char* kViewerFailed = "Programm konnte nicht gestartet werden!";
// The version box text: five blanks, "Version ", the version text and 27 blanks.
std::string VersionBoxText(std::string_view version);
// This program's own version.
const char* ProgramVersion();

// ---- hidden keys: a function key released with its modifiers held (further ones ignored) ----
struct HiddenKey {
  int key;
  unsigned modifiers;
  bool Matches(int k, unsigned shift) const { return k == key && (shift & modifiers) == modifiers; }
};
inline constexpr HiddenKey kClockKey{0x78 /* F9 */, 2u | 4u};           // Ctrl+Alt+F9
inline constexpr HiddenKey kDebugKey{0x7B /* F12 */, 1u | 2u};          // Ctrl+Shift+F12
inline constexpr HiddenKey kVersionTestKey{0x7A /* F11 */, 1u | 2u};    // Ctrl+Shift+F11
inline constexpr HiddenKey kAnyFileKey{0x79 /* F10 */, 1u | 2u};        // Ctrl+Shift+F10
inline constexpr const char* kDebugModeText = "Debug-Mode";
inline constexpr const char* kVersionTestOffText = "Software Vers. ignorieren";
inline constexpr const char* kAnyFileText = "beliebige Datei \xF6""ffnen";

}  // namespace update
