#pragma once
// The update session's vocabulary: where the sequencer stands, and what one session knows.
#include <cstdint>
#include <string>

#include "procedure/DeviceRecord.h"
#include "procedure/InstrumentCommands.h"

namespace update {

// Where the sequencer stands. Each acknowledgement ("!") from the instrument runs the current
// step and moves one on; the events named here set it directly.
enum class SessionStepTag : std::int32_t {
  Probe = 0,             // the search's probe was answered: send "A.1000"
  Identify = 1,          // the first identity command (session start in CommandMode)
  FurtherVersion = 2,    // external loader for the further version file, or on to FirstFileLoader
  FollowUp = 3,          // the follow-up command (10023)
  FirstFileLoader = 4,   // external loader for the first program file (10030)
  SecondStage = 5,       // second stage (10024)
  BasicLoader = 6,       // the Basic-Loader terminal (10025); also when no update is due
  Programmed = 7,        // after 10043, 10046, 10050, 10052: second stage (10024)
  Done = 8,              // nothing further
};

constexpr SessionStepTag Next(SessionStepTag step) {
  return static_cast<SessionStepTag>(static_cast<std::int32_t>(step) + 1);
}

// What the session waits for from the instrument, and so what its silence means.
enum class AwaitTag : std::int32_t {
  Probe,         // the search's probe (the search's own timer supervises it)
  Command,       // the answer "!" to a command of the session
  Restart,       // the "!" of the instrument restarting with its new firmware
  SensorUpdate,  // the end of the sensor's own update (replies 30 or 31)
};

// Why the check refused the instrument.
enum class RefusalTag : std::int32_t {
  None,
  WrongDevice,    // not an instrument of this package, or the wrong boot loader
  NewerFirmware,  // the instrument holds a newer version than the package
  Declined,       // a question of the check was answered No
  PackageFile,    // the program file the package names is missing, empty or damaged
};

// What the retry on OK repeats after a failure: the step of the FileType's retry table, or the
// step of the device menu or the file-list upload that failed.
enum class RetryTag : std::int32_t { ByFileType, Handheld, Laboratory, Upload };

// What one session knows. The session start resets it with one assignment; what outlives a
// session lives on the window itself.
struct SessionState {
  SessionStepTag SessionStep = SessionStepTag::Probe;
  // The command sent after a successful check (the check may replace it).
  std::string FollowUpCommand = procedure::command::Program;
  bool SessionRefused = false;    // the check refused the instrument
  std::int32_t SessionTimer = 0;  // pool timer of the search and the identity dialogue
  bool LineErrorSeen = false;     // a line error arrived during the search
  char BootMarker = 0;            // the boot marker byte of an instrument in its loader
  std::int32_t BaudIndex = -1;    // the search's position in the baud list
  std::int32_t CurrentBaud = 0;
  std::int32_t IdentityStep = 0;       // position in the identity dialogue
  std::int32_t AirPressureIndex = -1;  // the instrument's row in the air-pressure table
  bool SensorSoftwareFlag = false;     // reply 262: the sensor has software of its own
  bool XxxFlag = false;                // the software version read "X.XX"
  bool RepeatAllowed = false;          // the user agreed to program the same version again
  bool SensorPresent = true;           // false: continue without the digital sensor
  bool RepeatDeclined = false;         // the user declined that repeat
  bool BasicLoaderDue = false;         // reply 208: the instrument went into its Basic-Loader
  RefusalTag Refusal = RefusalTag::None;  // why the check refused the instrument
  // The package's start-up program block in the FileList (first and last position; 0 when
  // there is none).
  std::int32_t StartupFirst = 0, StartupLast = 0;

  // What keeps the session honest. The sequencer acts on an acknowledgement only while one is
  // awaited; after a failure or a refusal only the user's OK moves the session on; the success
  // text needs a passed check and, when an update was due, a procedure that succeeded.
  bool AwaitingAck = true;         // the search's probe waits for its "!"
  AwaitTag Awaiting = AwaitTag::Probe;
  std::int32_t AckTimer = 0;       // supervises the wait for the instrument after the search
  bool Halted = false;
  bool CheckPassed = false;
  bool ProgrammingDue = false;
  bool ProgrammingDone = false;
  bool SecondFileProgrammed = false;
  bool AckWhileProgramming = false;   // the restart's "!" came before the success was known  // the second stage programmed the second program file
  std::int32_t RateRepeats = 0;    // time-outs that repeated the current search rate
  RetryTag Retry = RetryTag::ByFileType;  // set by the step that fails
  bool UploadFinished = false;  // the file-list upload ended: "U.606" closes the session
};

// The notification that starts the procedure of a FileType after a passed check.
std::int32_t ProcedureNotificationFor(procedure::FileTypeTag fileType);
// The command that returns the instrument to normal operation at the end of a session.
const char* EndCommandFor(procedure::FileTypeTag fileType);

}  // namespace update
