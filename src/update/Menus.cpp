// Menu commands and the hidden keys.
#include "platform/Application.h"
#include "platform/Files.h"
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

// The read-me lies in the program folder; the desktop's viewer for its type opens it.
void TUpdateForm::ReadmeClick(platform::Component*) {
  if (!platform::HasApp()) return;
  const char* document = ReadmeDocument(language_, static_cast<std::int32_t>(startMode_));
  const auto path = platform::files::Resolve(programFolder_, document);
  if (!path || !platform::files::IsFile(*path)) {
    ShowBox(FillX(CatalogueText(MsgDocumentMissing), document), platform::BoxIcon::Error,
            platform::BoxButtons::Ok);
    return;
  }
  if (platform::App().OpenDocument(kDesktopViewer, *path) <= 32)
    platform::App().MessageBox(kViewerFailed, "", platform::BoxIcon::None, platform::BoxButtons::Ok);
}

void TUpdateForm::SWVersionClick(platform::Component*) {
  // The package's version text as written, without placeholders, and this program's own.
  if (platform::HasApp())
    platform::App().MessageBox(VersionBoxText(ini_.version) + "\r\n     " +
                                   FillX(CatalogueText(MsgProgramVersion), ProgramVersion()),
                               InfoCaption(language_), platform::BoxIcon::Information,
                               platform::BoxButtons::Ok);
}

void TUpdateForm::LoadProgFileClick(platform::Component*) {
  OpenProgFileDialog->InitialDir = programFolder_;
  if (OpenProgFileDialog->Execute()) ChosenProgramFile = OpenProgFileDialog->FileName;
  platform::files::SetCurrentFolder(programFolder_);
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
