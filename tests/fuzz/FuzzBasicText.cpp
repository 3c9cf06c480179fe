// The Basic-Loader terminal's text: the phrase matcher fed the loader's output in reads of
// any size, and the S-record image check before a byte is sent. An image the check passes
// must be one the loader takes, line by line (the simulated loader's reading of the format).
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "loaders/SRecordImage.h"
#include "loaders/TermPhrases.h"
#include "sim/BasicLoader.h"

namespace {

void Phrases(FuzzedDataProvider& data) {
  loaders::term::PhraseMatcher m;
  const auto& phrases = loaders::term::Phrases();
  for (int reads = 0; reads < 64 && data.remaining_bytes() > 0; ++reads) {
    const std::string chunk = data.ConsumeRandomLengthString(300);
    m.Append(chunk.data(), chunk.size());
    if (m.Text().size() > loaders::term::PhraseMatcher::kCapacity) std::abort();
    for (std::int32_t code : m.Match())
      if (std::none_of(phrases.begin(), phrases.end(), [code](const auto& p) { return p.code == code; })) std::abort();
  }
}

void Records(const std::string& file) {
  const loaders::SRecordFileCheck c = loaders::CheckSRecordFile(file);
  if (!c.ok) {
    if (c.why.empty()) std::abort();
    return;
  }
  std::size_t at = 0;
  while (at < file.size()) {
    std::size_t end = file.find_first_of("\r\n", at);
    if (end == std::string::npos) end = file.size();
    const std::string line = file.substr(at, end - at);
    at = end + 1;
    if (line.empty()) continue;
    sim::SRecord r;
    std::string why;
    if (!sim::ParseSRecord(line, r, &why)) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  FuzzedDataProvider data(bytes, size);
  if (data.ConsumeBool()) {
    Records(data.ConsumeRemainingBytesAsString());
  } else {
    Phrases(data);
  }
  return 0;
}
