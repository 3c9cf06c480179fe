#pragma once
// The procedure layer: what every programming procedure is built on, below both the controller
// (src/update) and the loaders (src/loaders).
//
// How a procedure is written (the classic bootstrap loader, loaders/Bsl_unit.cpp, is the model):
// - It is constructed with one ProcedureContext and run once: Run registers its event handler
//   and a pool timer, pumps events until a step declares the run done, restores the line and
//   returns true only when the instrument holds and has started the new firmware.
// - Its sequence is declared in one place: a table of steps, each with its status code, the
//   frame or command it sends and the step that follows an acknowledgement, a refusal and a
//   reply. Where the way on depends on the run (next block, next segment, offset change) a small
//   decision function picks the next step; decisions send nothing themselves.
// - A refused or silent step is repeated under a named limit (RetryHistory); the limit, not the
//   size of an array, says how often.
// - Every step leaves one trace line that names it and its address ("Erase @FA00", "Erase @FA00
//   refused, repeat 2/3"); traces reach the log only in debug mode.
// - Frames are built by the loader's frame builders only; the procedure never assembles bytes.
// - Failures set the failing step's status code; Run shows the loader's error box and returns
//   false, and the session takes its failure path.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "procedure/DeviceRecord.h"
#include "procedure/ProcedureHost.h"

namespace platform {
class ProgressBar;
}
namespace kernel {
class TDelay;
class EventQueue;
}  // namespace kernel
namespace comport {
class TComPort;
}

namespace procedure {

// Everything a procedure is constructed with. Nothing here is owned by the procedure.
struct ProcedureContext {
  ProcedureHost& host;
  std::int32_t language;  // 0 German, 1 English
  platform::ProgressBar* progressBar;
  kernel::TDelay& delay;
  DeviceRecord& record;
  comport::TComPort* port;  // the instrument's port
  kernel::EventQueue& queue;
};

// The retry rule of the bootstrap loaders: the last Limit repeated steps are remembered; a step
// may be repeated while some entry differs from it (that entry then takes it). The history is
// not cleared during a run, so a step that is refused again later has fewer repetitions left
// unless another step's refusal came in between.
template <typename StepId, std::size_t Limit>
class RetryHistory {
 public:
  static constexpr std::size_t kLimit = Limit;
  RetryHistory() { entries_.fill(StepId{}); }
  // The repetition number (1..Limit) when step may be repeated, 0 when its repetitions are used up.
  std::size_t Take(StepId step) {
    for (std::size_t i = 0; i < Limit; ++i) {
      if (entries_[i] != step) {
        entries_[i] = step;
        return i + 1;
      }
    }
    return 0;
  }

 private:
  std::array<StepId, Limit> entries_;
};

// A step table is indexed by its step: one row per step, in the order the steps are declared.
// Checked at compile time, so a row added out of place stops the build.
template <typename Row, std::size_t N, typename StepId>
constexpr bool IndexedByStep(const Row (&rows)[N], StepId count) {
  if (N != static_cast<std::size_t>(count)) return false;
  for (std::size_t i = 0; i < N; ++i)
    if (static_cast<std::size_t>(rows[i].step) != i) return false;
  return true;
}

// Why a procedure's wait for its run to end stopped.
enum class PumpEnd { Done, PortGone, Closed };

// Runs the procedure's events until done is set, the port is unplugged (nothing will answer any
// more, so the run ends now, not after its retries) or the window or the port is closed under
// the run. Between rounds it sleeps on window messages, at most a second.
PumpEnd PumpUntilDone(const ProcedureContext& ctx, const bool& done);

// The line after a run: a sensor that took its new firmware talks at 9600 8N2 with NUL
// stripping; otherwise the line goes back to what it was before the run.
void RestoreLine(const ProcedureContext& ctx, bool succeeded);

// An address or word as the traces and messages print it: upper-case hexadecimal, at least four
// digits ("FA00", "1C400").
std::string HexWord(std::uint32_t value);
// A word as the instrument writes it ("0x5C00", "5c00"): an optional 0x, then hexadecimal digits
// up to the first other character; the low 16 bits. No digits read as 0.
std::uint16_t ParseHexWord(std::string_view text);

// "Erase @FA00 refused, repeat 2/3", "Write @3100 silent, run failed".
std::string RepeatTrace(const std::string& step, const char* why, std::size_t repeat, std::size_t limit);

}  // namespace procedure
