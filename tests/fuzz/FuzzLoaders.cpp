// Every loader's receive path: the procedure runs on the fake host against a line whose
// answers the input writes (ScriptedLine.h). Which procedure is chosen at build time
// (FUZZ_LOADER); each ends within its own time limits, whatever arrives, with no memory
// fault, no undefined behaviour and no success it cannot have had.
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>

#include "ScriptedLine.h"
#include "loaders/Bsl54xxFrame.h"
#include "loaders/BslFrame.h"
#include "loaders/Bsl_54xx_unit.h"
#include "loaders/Bsl_unit.h"
#include "loaders/Emf_loadunit.h"
#include "loaders/Termprogmain.h"
#include "loaders/Winceprog_unit.h"
#include "sim/BasicLoader.h"
#include "support/TestImages.h"

namespace {

using fuzz::Bytes;

// Classic reply frame: 80 00 L L data, checksum.
[[maybe_unused]] Bytes ClassicFrame(const Bytes& data) {
  Bytes f(4 + std::min<std::size_t>(data.size(), 250));
  f[0] = loaders::bsl::kHeader;
  f[2] = f[3] = static_cast<std::uint8_t>(f.size() - 4);
  std::copy(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(f.size() - 4), f.begin() + 4);
  const std::uint16_t ck = loaders::bsl::Checksum(f.data(), f.size());
  f.push_back(static_cast<std::uint8_t>(ck & 0xFF));
  f.push_back(static_cast<std::uint8_t>(ck >> 8));
  return f;
}

// 5xx reply frame: 80 NL NH core CRC, the core usually a data or message reply.
[[maybe_unused]] Bytes Frame5xx(const Bytes& data) {
  Bytes core = data;
  if (core.empty()) core.push_back(loaders::bsl54xx::kMessageReply);
  if (core.size() > loaders::bsl54xx::kMaxCore) core.resize(loaders::bsl54xx::kMaxCore);
  const loaders::bsl54xx::Frame f = loaders::bsl54xx::MakeFrame(core.data(), core.size());
  return Bytes(f.bytes.begin(), f.bytes.begin() + static_cast<std::ptrdiff_t>(f.size));
}

[[maybe_unused]] Bytes Line(const Bytes& data) {
  Bytes l = data;
  l.push_back('\r');
  l.push_back('\n');
  return l;
}

struct Files {
  Files() {
    const std::string folder = fuzz::PackageFolder();
    fuzz::WriteFile(folder, "FW_TEST.TXT", testsupport::TiTxtWithVersion("1.02", 600));
    fuzz::WriteFile(folder, "FW_5XX.TXT", testsupport::TiTxt5xx("1.02", 600));
    fuzz::WriteFile(folder, "Patch.TXT", "@0220\r\n31 40 00 0A 30 41\r\nq\r\n");
    std::string bin(700, '\0');
    for (std::size_t i = 0; i < bin.size(); ++i) bin[i] = static_cast<char>(i * 37);
    fuzz::WriteFile(folder, "FW_TEST.BIN", bin);
    fuzz::WriteFile(folder, "TORVEX.EXE", bin.substr(0, 2500 > bin.size() ? bin.size() : 2500));
    fuzz::WriteFile(folder, "DATA.DAT", std::string(2100, 'x'));
    std::map<std::uint32_t, std::uint8_t> bytes;
    for (std::uint32_t a = 0; a < 300; ++a) bytes[0x4000 + a] = static_cast<std::uint8_t>(a * 13);
    fuzz::WriteFile(folder, "L3_TermH.A37", sim::FormatSRecords(bytes, "L3TERM", 0x4000));
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Files files;
  FuzzedDataProvider input(data, size);
  const bool flag1 = input.ConsumeBool();
  const bool flag2 = input.ConsumeBool();
#if FUZZ_LOADER == 1
  fuzz::Bench b(input, ClassicFrame, 260);
#elif FUZZ_LOADER == 2
  fuzz::Bench b(input, Frame5xx, 270);
#else
  fuzz::Bench b(input, Line);
#endif
  b.host.folder = fuzz::PackageFolder();
  b.host.record.laboratoryFlag = flag1;
#if FUZZ_LOADER == 1
  loaders::T_BSL430 p(b.host.Context());
  const bool ok = p.Run(0, "FW_TEST.TXT", false, flag2);
  if (ok == (p.ErrorCode() != 0)) std::abort();
#elif FUZZ_LOADER == 2
  loaders::T_BSL_54XX_430 p(b.host.Context());
  const bool ok = p.Run(0, "FW_5XX.TXT", false, true);
  if (ok == (p.ErrorCode() != 0)) std::abort();
  (void)flag2;
#elif FUZZ_LOADER == 3
  loaders::T_EMFLoader p(b.host.Context());
  const bool ok = p.Run(flag2 ? 1 : 0, "FW_TEST.BIN", false);
  if (ok == (p.ErrorCode() != 0)) std::abort();
#elif FUZZ_LOADER == 4
  b.host.record.fileList = {"DATA.DAT"};
  loaders::TWinCEProg p(b.host.Context());
  (void)p.Run(0, "TORVEX.EXE", flag2);
#elif FUZZ_LOADER == 5
  b.host.record.bootCharacter = '0';
  std::vector<loaders::BasicLoaderProcedure::Result> ends;
  {
    loaders::BasicLoaderProcedure terminal(b.host.Context(),
                                           [&ends](loaders::BasicLoaderProcedure::Result r) { ends.push_back(r); });
    // The terminal ends on its own: programmed, a defect, an abort or its silence limit.
    if (!b.host.app.RunUntil([&] { return !ends.empty(); }, 60 * 60 * 1000)) std::abort();
    if (ends.size() != 1) std::abort();
  }
  (void)flag2;
#endif
  return 0;
}
