// A stand-in for the maker's updater library, built as "ZANM16Updater.so" for tests and the
// demo. It exports the seven entry points by their plain names, records every call with its
// time in the file named by STANDIN_LOG ("<ms> <call> <argument>") and either programs the
// simulated instrument's record loader through the COM port it is given, or, with
// STANDIN_DRY set, talks to nothing (Program then reports the percentages listed in
// STANDIN_PROGRESS, "50" when unset).
//
// STANDIN_FAIL names an entry point that returns 0 (Init, IsBTLActive, Clear, Program,
// MakeValid, ExitAndStartApplication).
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "RecordClient.h"

namespace {

std::unique_ptr<platform::SerialDevice> gPort;

long long NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void Note(const std::string& call, const std::string& argument = {}) {
  standin::LogTo("STANDIN_LOG", std::to_string(NowMs()) + " " + call + (argument.empty() ? "" : " " + argument));
}

bool Fails(const char* call) {
  const char* f = std::getenv("STANDIN_FAIL");
  return f && std::strcmp(f, call) == 0;
}

bool Dry() {
  const char* d = std::getenv("STANDIN_DRY");
  return d && *d;
}

std::string Narrow(const wchar_t* file) {
  std::string out;
  for (; file && *file; ++file) out.push_back(static_cast<char>(*file));
  return out;
}

}  // namespace

#define STANDIN_EXPORT extern "C" __attribute__((visibility("default")))

STANDIN_EXPORT int M16Upd_Init(int comNumber) {
  Note("Init", std::to_string(comNumber));
  if (Fails("Init")) return 0;
  if (Dry()) return 1;
  gPort.reset();
  return standin::OpenPort(comNumber, 38400, gPort) == standin::OpenResult::Ok ? 1 : 0;
}

STANDIN_EXPORT int M16Upd_IsBTLActive() {
  Note("IsBTLActive");
  if (Fails("IsBTLActive")) return 0;
  if (Dry()) return 1;
  return gPort && standin::SendLine(*gPort, "?") ? 1 : 0;
}

STANDIN_EXPORT int M16Upd_Clear() {
  Note("Clear");
  if (Fails("Clear")) return 0;
  if (Dry()) return 1;
  return gPort && standin::SendLine(*gPort, "E") ? 1 : 0;
}

STANDIN_EXPORT int M16Upd_Program(const wchar_t* file, int zero, void (*progress)(int)) {
  Note("Program", Narrow(file) + " " + std::to_string(zero));
  if (Fails("Program")) return 0;
  if (Dry()) {
    const char* list = std::getenv("STANDIN_PROGRESS");
    std::string text = list ? list : "50";
    for (std::size_t at = 0; progress && at < text.size();) {
      std::size_t comma = text.find(',', at);
      progress(std::atoi(text.substr(at, comma - at).c_str()));
      at = comma == std::string::npos ? text.size() : comma + 1;
    }
    return 1;
  }
  std::vector<std::string> records;
  if (!gPort || !standin::ReadRecords(Narrow(file), records)) return 0;
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (standin::IsEndRecord(records[i])) continue;  // the start is ExitAndStartApplication's
    if (!standin::SendLine(*gPort, records[i])) return 0;
    if (progress) progress(static_cast<int>((i + 1) * 100 / records.size()));
  }
  return 1;
}

STANDIN_EXPORT int M16Upd_MakeValid() {
  Note("MakeValid");
  return Fails("MakeValid") ? 0 : 1;
}

STANDIN_EXPORT int M16Upd_ExitAndStartApplication() {
  Note("ExitAndStartApplication");
  if (Fails("ExitAndStartApplication")) return 0;
  if (Dry()) return 1;
  return gPort && standin::SendLine(*gPort, ":00000001FF") ? 1 : 0;
}

STANDIN_EXPORT int M16Upd_Deinit() {
  Note("Deinit");
  gPort.reset();
  return 1;
}
