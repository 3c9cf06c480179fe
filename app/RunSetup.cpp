#include "app/RunSetup.h"

#include <cstring>
#include <filesystem>
#include <set>

#include "comport/Comport.h"
#include "platform/Files.h"
#include "platform/SerialDevice.h"
#include "platform/Text.h"
#include "procedure/Infotext.h"
#include "update/Config.h"
#include "update/PortCheck.h"

namespace app {

namespace fs = std::filesystem;

namespace {

std::string Absolute(const std::string& path) {
  std::error_code ec;
  fs::path p = fs::absolute(path, ec);
  return ec ? path : p.lexically_normal().string();
}

}  // namespace

ExitCode PrepareRun(const RunOptions& options, PreparedRun& out, std::string& error) {
  out = PreparedRun{};
  out.formOptions.language = options.language;
  // Before the working folder changes.
  std::vector<std::string> devices;
  for (const std::string& d : options.ports) devices.push_back(Absolute(d));

  if (!options.package.empty()) {
    std::string folder = Absolute(options.package);
    if (!platform::files::IsFolder(folder)) {
      error = "the package folder " + folder + " does not exist";
      return ExitCode::PackageProblem;
    }
    if (!platform::files::SetCurrentFolder(folder)) {
      error = "cannot enter the package folder " + folder + ": " + std::strerror(errno);
      return ExitCode::PackageProblem;
    }
    out.packageFolder = folder;
    out.formOptions.programFolder = folder;
  }

  if (!devices.empty()) {
    // A package that fixes its port (Com= in Update.ini) searches that one number only: the
    // named device takes it.
    int first = 1;
    if (auto ini = update::PeekUpdateIni("Update.ini"); ini && ini->singlePortMode && ini->fixedPort >= 0) {
      if (devices.size() > 1) {
        error = "the package's Update.ini fixes the port (Com=" + std::to_string(ini->fixedPort + 1) +
                "): name one device only";
        return ExitCode::Usage;
      }
      first = ini->fixedPort + 1;
    }
    std::string map;
    for (std::size_t i = 0; i < devices.size(); ++i) {
      int com = first + static_cast<int>(i);
      out.namedPorts.emplace_back(com, devices[i]);
      if (!map.empty()) map += ',';
      map += std::to_string(com) + "=" + devices[i];
    }
    platform::SetSerialPortMap(map);
  }
  return ExitCode::Success;
}

std::string DescribePortProblem(int com, std::int32_t language) {
  platform::SerialOpenResult r = platform::OpenSerialDevice(com);
  if (r.device) return {};
  // The window's words for it, which the log shows too.
  return platform::Cp1252ToUtf8(update::PortProblemText(language, com, r));
}

std::vector<PortProblem> FindPortProblems(const update::TUpdateForm& form, const PreparedRun& run) {
  std::set<int> open;
  for (comport::TComPort* port : form.PortTable)
    if (port && port->IsOpen()) open.insert(port->ComNumber());

  std::vector<int> wanted;
  const bool single = form.Settings().singlePortMode;
  if (single) {
    wanted.push_back(form.Settings().fixedPort + 1);
  } else if (!run.namedPorts.empty()) {
    for (const auto& [com, path] : run.namedPorts) wanted.push_back(com);
  } else if (open.empty()) {
    for (const auto& [com, path] : platform::SerialPortList()) wanted.push_back(com);
    if (wanted.empty())
      return {{0, {}, platform::Cp1252ToUtf8(procedure::Text(procedure::MsgNoSerialPort, form.Language()))}};
  }

  std::vector<PortProblem> problems;
  for (int com : wanted) {
    if (open.count(com)) continue;
    std::string text =
        com >= 1 ? DescribePortProblem(com, form.Language()) : "COM" + std::to_string(com) + ": not a port number";
    // It may have become free since the form tried; then the form's list is what counts.
    if (text.empty()) text = "COM" + std::to_string(com) + " = " + platform::SerialDevicePath(com) +
                             ": was not usable when the program started";
    problems.push_back({com, platform::SerialDevicePath(com), text});
  }
  return problems;
}

}  // namespace app
