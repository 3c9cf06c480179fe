// The window: started in the package folder (or given it), connect the instrument, press OK.
// Help and version work without a display; without one the program says so and ends.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "app/CommandLine.h"
#include "app/RunSetup.h"
#include "platform/QtApplication.h"
#include "update/Updatemain.h"

int main(int argc, char** argv) {
  app::WindowOptions o;
  std::string error;
  if (!app::ParseWindowOptions(std::vector<std::string>(argv + 1, argv + argc), o, error)) {
    std::fprintf(stderr, "update: %s\nTry 'update --help'.\n", error.c_str());
    return 2;
  }
  if (o.help) {
    std::fputs(app::WindowHelp().c_str(), stdout);
    return 0;
  }
  if (o.version) {
    std::fputs(app::VersionText("update").c_str(), stdout);
    return 0;
  }
  if (std::string problem = platform::QtApplication::DisplayProblem(); !problem.empty()) {
    std::fprintf(stderr, "update: %s; update-console runs the update without a window\n", problem.c_str());
    return 1;
  }
  app::PreparedRun run;
  app::ExitCode prepared = app::PrepareRun(o.run, run, error);
  if (prepared != app::ExitCode::Success) {
    std::fprintf(stderr, "update: %s\n", error.c_str());
    return prepared == app::ExitCode::Usage ? 2 : 1;
  }

  // Qt keeps the argument count by reference and may take its own options out of the list;
  // ours are read above.
  int qtArgc = 1;
  platform::QtApplication application(qtArgc, argv);
  try {
    update::TUpdateForm form(run.formOptions);
    if (form.Closed()) return 1;
    application.Run(form);
  } catch (const std::exception& e) {
    application.MessageBox(e.what(), "Error", platform::BoxIcon::Error, platform::BoxButtons::Ok);
    return 1;
  }
  return 0;
}
