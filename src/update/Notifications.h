#pragma once
// Notification codes of the update controller (EvNotify events). The reply parser posts the
// first group; the session posts and consumes the second. Numbered instrument replies
// ("I.23#...") use their own number as the code.
#include <cstdint>

namespace update {

// Posted by the reply parser.
inline constexpr std::int32_t NotifyRxData = 10000;      // window: data arrived; payload COM number
inline constexpr std::int32_t NotifyAck = 10010;         // a line held "!"
inline constexpr std::int32_t NotifyEcho = 10011;        // a line held "A." or "C."
inline constexpr std::int32_t NotifyError = 10012;       // a line held "?"
inline constexpr std::int32_t NotifyBootId = 10042;      // boot-loader identification; payload text
inline constexpr std::int32_t NotifyBootMarker = 10044;  // boot marker byte; payload -112 or 81

// Session steps.
inline constexpr std::int32_t NotifyStepFailed = 10021;          // ReportFailure with retry
inline constexpr std::int32_t NotifyExternalLoaderDone = 10022;  // first program file programmed
inline constexpr std::int32_t NotifySendFollowUp = 10023;        // send the follow-up command
inline constexpr std::int32_t NotifySecondStage = 10024;         // second file, sensor, file list, end
inline constexpr std::int32_t NotifyStartBasicLoader = 10025;    // start the Basic-Loader terminal
inline constexpr std::int32_t NotifyRunExternalLoader = 10030;   // external loader, first file
inline constexpr std::int32_t NotifyAdvance = 10040;             // advance without an acknowledgement
inline constexpr std::int32_t NotifyRunBootstrapLoader = 10043;  // classic or 5xx bootstrap loader
inline constexpr std::int32_t NotifyRunClassicLoaderDirect = 10046;  // classic loader, no dialogue
inline constexpr std::int32_t NotifySecondStageFailed = 10047;   // ReportFailure without retry
inline constexpr std::int32_t NotifyRunWinCE = 10050;            // Windows CE transfer
inline constexpr std::int32_t NotifySendHexStart = 10051;        // HEX package: send "A.1200"
inline constexpr std::int32_t NotifyRunEmfLoader = 10052;        // serial boot-loader transfer

}  // namespace update
