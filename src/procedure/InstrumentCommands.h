#pragma once
// The commands of the instrument's text protocol, in one place. Each ends with CR LF unless a
// sender appends an argument first ("A.1600#" + time + CR LF).
namespace procedure::command {

inline constexpr const char* Wake = "\r\n\r\n";             // before each search probe
inline constexpr const char* Normal = "A.1111\r\n";         // back to normal mode; search probe; end
inline constexpr const char* NormalLoader = "A.1121\r\n";   // end after the bootstrap loader
inline constexpr const char* CommandMode = "A.1000\r\n";    // command mode; start of every dialogue
inline constexpr const char* Pcb = "A.2003\r\n";
inline constexpr const char* DeviceNumber = "A.2000\r\n";
inline constexpr const char* SoftwareVersion = "A.2001\r\n";
inline constexpr const char* SerialNumber = "A.4001\r\n";
inline constexpr const char* StartupProgram = "A.2100\r\n";  // before a package with a start-up program
inline constexpr const char* Program = "A.1200\r\n";        // follow-up: take the new firmware
inline constexpr const char* ProgramSensor = "A.1230\r\n";
inline constexpr const char* ProgramWithoutSensor = "A.1231\r\n";
inline constexpr const char* BootCharacterSeen = "A.1220\r\n";  // answer to reply 208
inline constexpr const char* SensorUpdate = "A.1500\r\n";       // answer to reply 920 (old sensors)
inline constexpr const char* SecondStage = "A.2005\r\n";
inline constexpr const char* UploadDone = "U.606\r\n";
inline constexpr const char* SetClock = "A.1600#";
inline constexpr const char* SetAirPressure = "A.6162#";

// Bootstrap loaders, by variant: 0 instrument firmware, 1 sensor firmware, 2 no sensor.
inline constexpr const char* VectorRequest[] = {"A.5577\r\n", "A.5555\r\n", "A.5555\r\n"};
inline constexpr const char* LoaderStart[] = {"A.5588#QX17\r\n", "A.5566#QX17\r\n", "A.5567#QX17\r\n"};

// Serial boot loader: start commands (followed by a separate speed-code write) and version.
inline constexpr const char* EmfStart[] = {"A.1250#", "A.1255#", "A.1256#"};
inline constexpr const char* EmfVersion = "A.2051\r\n";

// Windows CE transfer.
inline constexpr const char* WinCESpeed = "A.1300#";
inline constexpr const char* WinCEAnnounce = "A.1201#";
inline constexpr const char* WinCEAnnounceRepeat = "A.1205#";
inline constexpr const char* WinCEEndOfFile = "A.1202\r\n";
inline constexpr const char* WinCEEndOfTransfer = "A.1203\r\n";

// File-list upload.
inline constexpr const char* UploadAnnounce = "A.12000#";
inline constexpr const char* UploadData = "A.12010#";
inline constexpr const char* UploadEndOfFile = "A.12030\r\n";

}  // namespace procedure::command
