// Reporting: the log memo, trace lines, title progress and message boxes.
#include "platform/Application.h"
#include "procedure/Infotext.h"
#include "update/Updatemain.h"

namespace update {

using namespace procedure;


std::string TUpdateForm::Expand(const std::string& text) const {
  PlaceholderContext c;
  c.firstProgramFile = record_.firstProgramFile;
  c.deviceName = record_.deviceName;
  c.language = language_;
  c.comNumber = instrumentCom_ >= 0 ? instrumentCom_ + 1 : -1;
  return ExpandPlaceholders(text, c);
}

std::string TUpdateForm::CatalogueText(int entry) const {
  return Text(static_cast<Msg>(entry), language_);
}

void TUpdateForm::ReportLine(int entry) { UpdateMemo->Add(Expand(CatalogueText(entry))); }

void TUpdateForm::ReportText(const std::string& text) {
  std::string line = Expand(text);
  UpdateMemo->Add(line);
  failureDetails_.push_back(std::move(line));
}

void TUpdateForm::ClearReport() { UpdateMemo->Clear(); }

void TUpdateForm::LogLine(const std::string& text) {
  if (!DebugMode && !OnTrace) return;
  std::string line = Expand(text);
  if (OnTrace) OnTrace(line);
  if (DebugMode) UpdateMemo->Add(line);
}

std::string TUpdateForm::SetTitleProgress(const std::string& prefix, float percent) {
  TitleProgress p = ComputeTitleProgress(prefix, percent, language_);
  UpdateStatusBar->SetPanelText(4, p.panel4);
  if (p.repaintStatusBar) UpdateStatusBar->Repaint();
  if (platform::HasApp()) platform::App().SetTitle(p.title);
  return p.percentText;
}

void TUpdateForm::TitleTimerTimer(platform::Timer&) {
  SetTitleProgress("", titleTimer_.Tick());
}

platform::BoxResult TUpdateForm::ShowBox(const std::string& text, platform::BoxIcon icon,
                                         platform::BoxButtons buttons) {
  const char* caption = icon == platform::BoxIcon::Error ? ErrorCaption(language_) : InfoCaption(language_);
  if (!platform::HasApp()) return platform::BoxResult::Ok;
  return platform::App().MessageBox(Expand(text), caption, icon, buttons);
}

}  // namespace update
