#pragma once
// The bilingual message catalogue (German first, English second), the placeholder expansion
// that fits a message to the instrument, port and file, and the pure parts of the title and
// status-bar progress. Texts are Windows-1252 with CR LF line breaks.
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

namespace procedure {

// One entry per message, named after its English text.
enum Msg : int {
  MsgDownloadMayLast,
  MsgProgrammingName,
  MsgStoreNewData,
  MsgConfirmWithOk,
  MsgDownloadSuccessful,
  MsgDownloadIsFor,
  MsgVersionInDeviceNewer,
  MsgNoDeviceFound,
  MsgNoNameFound,
  MsgWrongDevice,
  MsgNoValidVersion,
  MsgLatestVersionInDevice,
  MsgSensorSoftwareRs232,
  MsgUnableToOpenTermL,
  MsgProgrammingNameTerm,
  MsgProgrammingAbort,
  MsgTransmitError,
  MsgPreparingProgram,
  MsgProgramSuccessful,
  MsgErrorInBootloader,
  MsgBootloaderNotAvailable,
  MsgUpdateReady,
  MsgCaptionError,
  MsgCaptionInfo,
  MsgDefaultDevice,
  // This build's own messages.
  MsgNotInThisBuild,      // "X: not available in this build"
  MsgExternalLoaderFor,   // "External loader for X"
  MsgUploadFileUnreadable,  // "The package file X cannot be opened: the file upload is stopped."
  MsgUploadRefused,         // "The NAME refused the file X."
  MsgNoRestart,         // the instrument did not say "!" after programming
  MsgNoAnswer,          // a command the session waits on got no answer
  MsgPortGone,          // the instrument's port went away (unplugged)
  MsgPackageFileMissing,  // "The package file X is missing !"
  MsgPackageFileEmpty,
  MsgFlashErasedByPassword,  // a wrong password made the loader erase the flash
  MsgLoaderNeedsNativeOrWine,  // "X cannot be started: no native build of it and no Wine"
  MsgLoaderNotStarted,         // "X could not be started"
  MsgWinePortMapping,          // "Wine: COM port mapping X could not be made"
  MsgUpdaterStepFailed,        // "Updater library: X failed"
  MsgLoaderReportsError,      // "... error X ..." (the loader's message code and the status)
  MsgImageWithoutResetVector, // "... X ..." (the file name)
  // The serial boot loader; each X is filled in order (FillXs).
  MsgImageTooLarge,       // file, its size, the largest size
  MsgImageRejected,       // file, the loader's checksum, the image's checksum
  MsgTransferCancelled,   // file, packet
  MsgPacketNotTaken,      // packet, file, attempts
  MsgNoAnswerFor,         // seconds
  MsgCommandRefused,      // command
  MsgPackageFileTooLarge,    // "The package file X is too large: more than # bytes."
  MsgPackageFileUnreadable,  // "The package file X cannot be read !"
  MsgAnnouncementTooLong,    // a file's path does not fit the transfer's announcement line
  MsgNoAnswerWithin,         // "The NAME did not answer within # seconds: X"
  MsgTransferStopped,        // the instrument gave the transfer up (reply 261 with another value)
  MsgAskedAgainTooOften,     // the instrument asked for one packet again too often
  MsgLineRateUnknown,        // a rate the instrument cannot be told to go back to
  MsgSRecordFileDamaged,     // "The package file X is no valid S-record file (line #: ...)"
  MsgBasicLoaderSilent,      // the Basic-Loader stopped answering
  // The file-list upload, the menu commands.
  MsgUploadNotFinished,   // file
  MsgDocumentMissing,     // document
  MsgProgramVersion,      // this program's version
  MsgNoExternalLoader,    // file
  // Closing while programming; ports that cannot be used (each X filled in order: COM number,
  // device path, then as named); the hints of the status panels.
  MsgProgrammingInProgress,   // what closing now would do to the instrument
  MsgCloseAnyway,             // the question under it in the window
  MsgInterruptAgainAborts,    // the line under it in the console
  MsgPortUnmapped,            // com
  MsgPortMissing,             // com, path
  MsgPortNotSerial,           // com, path
  MsgPortPermissionJoin,      // com, path, user, group, group, user
  MsgPortPermissionRelogin,   // com, path, user, user, group
  MsgPortPermission,          // com, path, user, group
  MsgPortHeldBy,              // com, path, programs
  MsgPortHeld,                // com, path
  MsgPortOpenFailed,          // com, path, reason
  MsgNoSerialPort,
  MsgNoUsablePort,
  MsgHintPortsSearched,       // the ports with their devices
  MsgHintInstrumentPort,      // the port with its device
  MsgHintBaud,
  MsgHintVersion,
  MsgHintProgress,
  MsgCount
};

// A catalogue entry: its slot width (a text holds at most width - 1 characters) and texts.
struct CatalogueEntry {
  std::size_t width;
  const char* german;
  const char* english;
};

const CatalogueEntry& Entry(Msg msg);
// The text of msg in a language: 1 English, any other value German.
const char* Text(Msg msg, std::int32_t language);
inline const char* ErrorCaption(std::int32_t language) { return Text(MsgCaptionError, language); }
inline const char* InfoCaption(std::int32_t language) { return Text(MsgCaptionInfo, language); }

// What the placeholders of a text are replaced by.
struct PlaceholderContext {
  std::string firstProgramFile;  // DATEI
  std::string deviceName;        // NAME; empty: "Ger\xE4t" or "device"
  std::int32_t language = 0;
  std::int32_t comNumber = -1;   // the X of "COM X"; below 0: replaced by nothing
};

// Four passes in this order, each replacing every occurrence from left to right and going on
// behind what it inserted: DATEI, NAME, the X of "COM X", and backslash-r turned into CR LF.
std::string ExpandPlaceholders(std::string_view text, const PlaceholderContext& context);

// The first "X" of a text replaced by value (the minutes of the download time, a version).
std::string FillX(std::string_view text, std::string_view value);
// Each "X" of a text, left to right, replaced by the next value; what a value brings is not
// searched again. X's beyond the values stay.
std::string FillXs(std::string_view text, std::initializer_list<std::string_view> values);
// The first "#" of a text replaced by value (a count or a limit). Fill it before the X, which
// is usually a file name and may hold a "#" itself.
std::string FillHash(std::string_view text, std::string_view value);

// The text's second line including its CR LF, when the text has a CR LF and, at least two
// characters further on, a second one: the boot-loader hint taken from the abort text.
std::optional<std::string> SecondLine(std::string_view text);

// What SetTitleProgress shows; the window applies it to the title and status panel 4.
struct TitleProgress {
  std::string percentText;         // the returned text, " %3.1f %"
  std::string title;               // the application title
  std::string panel4;              // status panel 4
  bool repaintStatusBar = false;   // redraw the status bar at once
};
// percent above 100 counts as 100; -2 < percent < 0 resets ("Update", empty panel);
// percent < -999 shows the finished text in both places; anything else shows
// prefix + percentage in the panel and "Update [" percentage "]" in the title. NaN counts as 0.
TitleProgress ComputeTitleProgress(std::string_view prefix, float percent, std::int32_t language);
std::string FormatPercent(float percent);

// The title timer: a tick count and the expected number of ticks.
struct TitleTimerState {
  std::int32_t count = 0;
  float expectedTicks = 0;
  void Start(float expected) {
    count = 0;
    expectedTicks = expected;
  }
  // One tick: the count grows by one; returns count / expected x 100 (100 when nothing is
  // expected, so the clamp shows a full title).
  float Tick();
};
float TitleTimerPercent(std::int32_t count, float expectedTicks);

}  // namespace procedure
