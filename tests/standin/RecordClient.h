#pragma once
// The client side of the simulated instrument's record loader, shared by the stand-ins of the
// loader programs and of the updater library: an image file's record lines sent one by one,
// each answered by ACK or NAK.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/SerialDevice.h"

namespace standin {

enum class OpenResult { Ok, Missing, Busy };
// Opens COM<comNumber> the way the tool maps it (UPDATE_COM_PORTS, else the serial devices)
// exclusively, at baud 8N1.
OpenResult OpenPort(int comNumber, unsigned baud, std::unique_ptr<platform::SerialDevice>& device);

// The record lines of an Intel HEX or S-record file (empty lines left out); false when the
// file cannot be read.
bool ReadRecords(const std::string& path, std::vector<std::string>& lines);
bool IsEndRecord(const std::string& line);

// One line sent, its answer awaited (a NAK is tried twice more); false on NAK or silence.
bool SendLine(platform::SerialDevice& device, const std::string& line);
// Erase, then every record with progress in percent after each; withEnd false leaves the end
// record out (it starts the firmware).
bool SendImage(platform::SerialDevice& device, const std::vector<std::string>& lines, bool withEnd,
               const std::function<void(int percent)>& progress, std::string* error);

// Appends one line to the file named by the environment variable (nothing when unset).
void LogTo(const char* variable, const std::string& line);

}  // namespace standin
