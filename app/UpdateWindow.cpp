// The window: started in the package folder, takes no arguments.
#include <cstdio>
#include <exception>

#include "platform/QtApplication.h"
#include "update/Updatemain.h"

int main(int argc, char** argv) {
  platform::QtApplication app(argc, argv);
  try {
    update::TUpdateForm form;
    if (form.Closed()) return 1;
    app.Run(form);
  } catch (const std::exception& e) {
    app.MessageBox(e.what(), "Error", platform::BoxIcon::Error, platform::BoxButtons::Ok);
    return 1;
  }
  return 0;
}
