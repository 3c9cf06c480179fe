// Menu commands and the hidden keys.
#include "platform/Application.h"
#include "procedure/Infotext.h"
#include "update/MenuTexts.h"
#include "update/Updatemain.h"

namespace update {

using namespace procedure;


void TUpdateForm::LanguageClick(platform::Component* sender) {
  auto* item = dynamic_cast<platform::MenuItem*>(sender);
  if (!item) return;
  language_ = item->Tag == 1 ? 1 : 0;
  item->SetChecked(true);
  SaveLanguage("Update.ini", language_, ini_.version);
  TranslateWindow();
  UpdateMemo->Clear();
  UpdateMemo->Add(Expand(progDevice_.texts.StartText(language_)));
}

void TUpdateForm::ReadmeClick(platform::Component*) {
  const char* document = ReadmeDocument(language_, static_cast<std::int32_t>(startMode_));
  int result = platform::HasApp() ? platform::App().OpenDocument(kViewerProgram, document) : 0;
  if (result <= 32 && platform::HasApp())
    platform::App().MessageBox(kViewerFailed, "", platform::BoxIcon::None, platform::BoxButtons::Ok);
}

void TUpdateForm::SWVersionClick(platform::Component*) {
  // The version text is shown as written, without placeholders.
  if (platform::HasApp())
    platform::App().MessageBox(VersionBoxText(ini_.version), InfoCaption(language_),
                               platform::BoxIcon::Information, platform::BoxButtons::Ok);
}

void TUpdateForm::LoadProgFileClick(platform::Component*) {
  OpenProgFileDialog->InitialDir = programFolder_;
  if (OpenProgFileDialog->Execute()) ChosenProgramFile = OpenProgFileDialog->FileName;
}

void TUpdateForm::FormKeyUp(int key, unsigned shift) {
  // Each key names its own mode in the label while that mode is switched on.
  if (kClockKey.Matches(key, shift)) SetClock(true);
  if (kDebugKey.Matches(key, shift)) {
    DebugMode = !DebugMode;
    InfoStaticText->SetCaption(kDebugModeText);
    InfoStaticText->SetVisible(DebugMode);
  }
  if (kVersionTestKey.Matches(key, shift)) {
    VersionTest = !VersionTest;
    InfoStaticText->SetCaption(kVersionTestOffText);
    InfoStaticText->SetVisible(!VersionTest);
  }
  if (kAnyFileKey.Matches(key, shift)) {
    AnyFileMode = !AnyFileMode;
    InfoStaticText->SetCaption(kAnyFileText);
    InfoStaticText->SetVisible(AnyFileMode);
    LoadProgFile->SetVisible(AnyFileMode);
  }
}

}  // namespace update
