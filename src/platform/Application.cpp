#include "platform/Application.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace platform {
namespace {
std::atomic<Application*> gApp{nullptr};
}

Application::~Application() {
  if (gApp.load() == this) gApp.store(nullptr);
}

void Application::SetTitle(const std::string& title) {
  title_ = title;
  if (OnTitleChanged) OnTitleChanged(title_);
}

int Application::OpenDocument(const std::string& viewer, const std::string& document) {
  OpenedDocuments.emplace_back(viewer, document);
  return 2;
}

int Application::ShowModal(Form& form) {
  if (OnShowModal) OnShowModal(form);
  return form.ModalResult != mrNone ? form.ModalResult : mrCancel;
}

void Application::FormCreated(Form& form) {
  if (!mainForm_) mainForm_ = &form;
}

void Application::FormClosed(Form& form) {
  if (&form == mainForm_) Terminate();
}

void Application::FormDestroyed(Form& form) {
  if (&form == mainForm_) mainForm_ = nullptr;
}

Application& App() {
  Application* a = gApp.load();
  if (!a) {
    std::fputs("internal error: no application object\n", stderr);
    std::abort();
  }
  return *a;
}

bool HasApp() { return gApp.load() != nullptr; }

void SetApp(Application* app) { gApp.store(app); }

}  // namespace platform
