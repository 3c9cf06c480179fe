#pragma once
// Notification codes (EvNotify events) shared by the controller and the procedures. The reply
// parser posts the first group; the session posts and consumes the second. Numbered
// instrument replies ("I.23#...", "B.251#...") use their own number as the code: the third
// group names the ones that something acts on.
#include <cstdint>

namespace procedure {

// Posted by the reply parser.
inline constexpr std::int32_t NotifyRxData = 10000;      // window: data arrived; payload COM number
inline constexpr std::int32_t NotifyAck = 10010;         // a line held "!"
inline constexpr std::int32_t NotifyEcho = 10011;        // a line held "A." or "C."
inline constexpr std::int32_t NotifyError = 10012;       // a line held "?"
inline constexpr std::int32_t NotifyBootId = 10042;      // boot-loader identification; payload text
inline constexpr std::int32_t NotifyBootMarker = 10044;  // boot marker byte; payload -112 or 81
// Posted by the window.
inline constexpr std::int32_t NotifyPortGone = 10060;    // a port went away; payload COM number

// Session steps.
inline constexpr std::int32_t NotifyStepFailed = 10021;          // ReportFailure with retry
inline constexpr std::int32_t NotifyExternalLoaderDone = 10022;  // first program file programmed
inline constexpr std::int32_t NotifySendFollowUp = 10023;        // send the follow-up command
inline constexpr std::int32_t NotifySecondStage = 10024;         // second file, sensor, file list, end
inline constexpr std::int32_t NotifyStartBasicLoader = 10025;    // start the Basic-Loader terminal
inline constexpr std::int32_t NotifyRunExternalLoader = 10030;   // external loader, first file
inline constexpr std::int32_t NotifyAdvance = 10040;             // advance without an acknowledgement;
                                                                 // the device-menu handler's handheld step
inline constexpr std::int32_t NotifyRunBootstrapLoader = 10043;  // classic or 5xx bootstrap loader
inline constexpr std::int32_t NotifyRunLaboratory = 10045;       // laboratory instrument chosen and checked
inline constexpr std::int32_t NotifyRunClassicLoaderDirect = 10046;  // classic loader, no dialogue
inline constexpr std::int32_t NotifySecondStageFailed = 10047;   // ReportFailure without retry
inline constexpr std::int32_t NotifyRunWinCE = 10050;            // Windows CE transfer
inline constexpr std::int32_t NotifySendHexStart = 10051;        // HEX package: send "A.1200"
inline constexpr std::int32_t NotifyRunEmfLoader = 10052;        // serial boot-loader transfer

// Numbered instrument replies.
namespace reply {
// Identity: PCB number, device number, software version, serial number, in the three
// numberings that instrument generations use.
inline constexpr std::int32_t Pcb[] = {23, 203, 2013};
inline constexpr std::int32_t DeviceNumber[] = {20, 200, 2010};
inline constexpr std::int32_t SoftwareVersion[] = {21, 201, 2011};
inline constexpr std::int32_t SerialNumber[] = {25, 205};
inline constexpr std::int32_t StoreData = 30;        // the instrument takes its new data now
inline constexpr std::int32_t SessionDone = 31;      // nothing more to do: end the session
inline constexpr std::int32_t LoaderVector = 80;     // the bootstrap loader's vector word (hex text)
inline constexpr std::int32_t LoaderVectorAlt = 81;
inline constexpr std::int32_t BootCharacter = 208;   // which Basic-Loader terminal file to use
inline constexpr std::int32_t LoaderVersion = 251;   // serial boot loader version "[BLV: x.yy]"
inline constexpr std::int32_t NextFile = 260;        // Windows CE: go on with the next file
inline constexpr std::int32_t Retransmit = 261;      // Windows CE: send the block again
inline constexpr std::int32_t SensorSoftware = 262;  // a sensor with software of its own
inline constexpr std::int32_t SensorCheck = 920;     // sensor checked: go on (or update it first)
inline constexpr std::int32_t ImageChecksum = 1205;  // serial boot loader: checksum of the image

constexpr bool IsIn(std::int32_t code, const std::int32_t* first, const std::int32_t* last) {
  for (; first != last; ++first)
    if (*first == code) return true;
  return false;
}
template <std::size_t N>
constexpr bool IsIn(std::int32_t code, const std::int32_t (&codes)[N]) {
  return IsIn(code, codes, codes + N);
}
constexpr bool IsIdentity(std::int32_t code) {
  return IsIn(code, Pcb) || IsIn(code, DeviceNumber) || IsIn(code, SoftwareVersion) ||
         IsIn(code, SerialNumber);
}
}  // namespace reply

}  // namespace procedure
