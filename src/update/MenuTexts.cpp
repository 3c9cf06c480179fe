#include "update/MenuTexts.h"

namespace update {

const char* LanguageFile(std::int32_t language) { return language == 1 ? "Update.Eng" : "Update.Deu"; }

const char* ReadmeDocument(std::int32_t language, std::int32_t startMode) {
  if (startMode == 2 || startMode == 3) return "Readme_Firmware-Update_KVS_Sensors_RNT-M_DE.pdf";
  return language == 1 ? "Firmwareupdate_meters.pdf" : "Firmwareupdate_Messgeraete.pdf";
}

const char* ProgramVersion() { return UPDATE_PROGRAM_VERSION; }

std::string VersionBoxText(std::string_view version) {
  return "     Version " + std::string(version) + std::string(27, ' ');
}

}  // namespace update
