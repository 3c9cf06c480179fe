// "Update.ini" and "ProgDevice.ini": the file's bytes decoded into lines (byte-order marks,
// UTF-8, UTF-16, Windows-1252) and read as either file; the values derived from the rows.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/Files.h"
#include "update/Config.h"
#include "update/VersionMarkers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(bytes), size);
  const platform::TextLines lines = platform::files::DecodeLines(text);

  const update::UpdateIni ini = update::ParseUpdateIni(lines.lines);
  if (ini.language != 0 && ini.language != 1) std::abort();
  if (ini.baud.Count() == 0 || ini.baud.Count() > update::BaudList::kMax) std::abort();

  const update::ProgDevice dev = update::ParseProgDevice(lines.lines);
  if (dev.table.Count() > update::DeviceTable::kMaxRows) std::abort();
  for (const update::DeviceRow& row : dev.table.rows) {
    if (row.deviceName.size() >= update::DeviceRow::kNameCap) std::abort();
    if (row.progFile2.size() >= update::DeviceRow::kProgFileCap) std::abort();
    if (row.swKenn2.size() >= update::DeviceRow::kMarkerCap) std::abort();
    (void)update::ProgDefFileFor(dev.table, row.prozTyp);
    (void)update::StartupFileType(row.progFile2);
    (void)update::PackageFileKind(row.swKenn2, row.progFile2);
    (void)update::DecodeHexPairs(row.swKenn2);
  }
  if (dev.texts.starttextD.size() >= update::ConfiguredTexts::kCap) std::abort();
  (void)dev.table.ProgFile2(dev.table.Count());

  // The lines written back (as a language change rewrites "Update.ini") read as the same lines.
  const std::string again = platform::files::EncodeLines(lines);
  const platform::TextLines reread = platform::files::DecodeLines(again);
  if (reread.encoding != lines.encoding) std::abort();
  if (reread.lines != lines.lines) std::abort();
  return 0;
}
