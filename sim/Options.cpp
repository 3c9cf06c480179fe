#include "sim/Options.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>

namespace sim {

namespace {
bool Number(const std::string& s, std::uint64_t& v, int base) {
  if (s.empty()) return false;
  char* end = nullptr;
  errno = 0;
  unsigned long long x = std::strtoull(s.c_str(), &end, base);
  if (errno || *end != '\0' || s[0] == '-') return false;
  v = x;
  return true;
}
bool Hex(std::string s, std::uint64_t& v) {
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s = s.substr(2);
  return Number(s, v, 16);
}
bool Real(const std::string& s, double& v) {
  char* end = nullptr;
  v = std::strtod(s.c_str(), &end);
  return !s.empty() && *end == '\0' && v >= 0.0 && v <= 1.0;
}
std::vector<std::string> Split(const std::string& s, char sep) {
  std::vector<std::string> parts;
  std::stringstream in(s);
  std::string p;
  while (std::getline(in, p, sep)) parts.push_back(p);
  return parts;
}
}  // namespace

bool ParseLoaderVersion(const std::string& text, std::uint16_t& version) {
  std::size_t dot = text.find('.');
  if (dot == std::string::npos || dot == 0 || text.size() - dot - 1 != 2) return false;
  std::uint64_t hi, lo;
  if (!Number(text.substr(0, dot), hi, 16) || !Number(text.substr(dot + 1), lo, 16) || hi > 0xFF)
    return false;
  version = static_cast<std::uint16_t>(hi << 8 | lo);
  return true;
}

std::string Usage() {
  return R"(instrument-sim: a simulated measuring instrument on a pseudo-terminal.
Prints the slave path of its pty, then serves until SIGTERM/SIGINT (SIGUSR1 writes the dump).
  --link PATH                symlink PATH to the slave side
  --baud N                   rate of the text protocol (9600)
  --pcb T --device T --version T --serial T    identity ("1.20,3.10" has a second part)
  --numbering 23|203|2013    reply numbers of the identity replies
  --ack-probe both|1111|1000|none              probes acknowledged with "!"
  --require-command-mode     identity and loader commands only after "A.1000"
  --no-unknown-error         unknown commands get no "?"
  --reply-after CMD=LINE     send LINE once after command CMD ("*" any); repeatable
  --reply-always CMD=LINE    the same after every such command
  --vector-code N --vector-text T              reply to "A.5577"/"A.5555" (80, reset vector)
  --refuse-loader            loader start commands get "?"
  --version-marker T --version-after T         version after an update (flash marker "VERS:")
  --start-in-loader          sits in its loader from the start
  --loader classic|5xx       the loader that the loader start commands, --start-in-loader and
                             the boot mode lead to (classic); a 5xx instrument with --boot marker
                             sits in its loader, whose 0x51 answers are the marker 'Q'
  --bsl5xx-uart timer|usci   the 5xx loader's UART: the timer one ignores the parity bit (timer)
  --bsl5xx-version HEX8      TX BSL version bytes: vendor, interpreter, API, interface (00080904)
  --info-a-unlocked          5xx: information segment A starts unlocked
  --record-loader BAUD       after acknowledging "A.1200" (A.1230, A.1231) the instrument takes
                             Intel HEX or S-record lines at BAUD (the stand-in loaders' mode)
  --boot idframe|marker --boot-form 0|1|2 --boot-text T --boot-marker 90|Q --wake-frames 0,1,4
  --loader-version 1.10|1.50|1.60 --chip-id HEX
  --main-start HEX --flash-end HEX --info-segment 128|256 --ram HEX-HEX   memory of the chosen loader
                             (classic 1100-FFFF, 5xx 5C00-45BFF as the MSP430F5438A)
  --nak-info-erase --strict-sync             classic loader
  --fill-byte HEX --vector-word HEX          vector table without firmware (FF, 0C00): the password
  --firmware FILE            preload the flash from a TI-TXT image
  --wrong-rate garbage|silence               what the host gets at a wrong rate (garbage)
  --pacing                   emit at the line rate
  --fault KIND:CMD:N[:COUNT] loader frame fault; KIND nak|silence|corrupt|wrongread|message,
                             CMD hex|any; 5xx: nak=HEX answers that error byte (52),
                             message=HEX a message reply instead of the command
  --text-fault KIND:CMD:N[:COUNT]            KIND silence|refuse, CMD e.g. A.2000 or any
  --drop-out I,J --corrupt-out I,J           emitted byte indices (from 0)
  --drop-rate P --corrupt-rate P --drop-in-rate P --seed N
  --disconnect-after-frames N --disconnect-after-commands N
  --dump FILE [--dump-format titxt|bin]      flash dump at exit and on SIGUSR1
  --log FILE                 command log with time stamps
  --trace FILE               line trace: "<us> in|out <hex>" for every chunk read or written
  --exit-after-end [--end-grace MS]          exit once the session has ended
  --compare DUMP IMAGE       no instrument: exit 0 when the TI-TXT dump DUMP holds exactly the
                             bytes of the TI-TXT image IMAGE and nothing else is programmed;
                             else print the first difference and exit 1 (2: unreadable file)
)";
}

bool ParseOptions(const std::vector<std::string>& args, ProgramOptions& o, std::string& error) {
  InstrumentConfig& c = o.instrument;
  // Memory options go to the map of the loader chosen, wherever --loader stands.
  bool mainStartSet = false, flashEndSet = false, infoSegmentSet = false, ramSet = false;
  std::uint32_t mainStart = 0, flashEnd = 0, infoSegment = 0, ramStart = 0, ramEnd = 0;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string& v) {
      if (i + 1 >= args.size()) {
        error = a + " needs a value";
        return false;
      }
      v = args[++i];
      return true;
    };
    auto bad = [&](const std::string& v) {
      error = "bad value for " + a + ": " + v;
      return false;
    };
    std::string v;
    std::uint64_t n = 0;
    double p = 0;
    if (a == "--help" || a == "-h") { o.help = true; continue; }
    if (a == "--require-command-mode") { c.requireCommandMode = true; continue; }
    if (a == "--no-unknown-error") { c.unknownGetsError = false; continue; }
    if (a == "--refuse-loader") { c.refuseLoaderStart = true; continue; }
    if (a == "--start-in-loader") { c.startInLoader = true; continue; }
    if (a == "--nak-info-erase") { c.loader.nakInfoErase = true; continue; }
    if (a == "--strict-sync") { c.loader.strictSync = true; continue; }
    if (a == "--pacing") { c.pacing = true; continue; }
    if (a == "--exit-after-end") { o.exitAfterEnd = true; continue; }
    if (a == "--info-a-unlocked") { c.bsl5xx.infoALocked = false; continue; }
    if (!value(v)) return false;
    if (a == "--link") o.link = v;
    else if (a == "--dump") o.dumpFile = v;
    else if (a == "--dump-format") {
      if (v != "titxt" && v != "bin") return bad(v);
      o.dumpBinary = v == "bin";
    } else if (a == "--log") o.logFile = v;
    else if (a == "--trace") o.traceFile = v;
    else if (a == "--firmware") o.firmwareFile = v;
    else if (a == "--compare") {
      o.compareDump = v;
      if (!value(o.compareImage)) return false;
    }
    else if (a == "--end-grace") {
      if (!Number(v, n, 10) || n > 600000) return bad(v);
      o.endGraceMs = static_cast<std::uint32_t>(n);
    } else if (a == "--baud") {
      if (!Number(v, n, 10) || n == 0 || n > 4000000) return bad(v);
      c.baud = static_cast<std::uint32_t>(n);
    } else if (a == "--pcb") c.pcb = v;
    else if (a == "--device") c.device = v;
    else if (a == "--version") c.version = v;
    else if (a == "--serial") c.serial = v;
    else if (a == "--numbering") {
      if (v == "23") c.numbering = Numbering::Classic;
      else if (v == "203") c.numbering = Numbering::Hundreds;
      else if (v == "2013") c.numbering = Numbering::Thousands;
      else return bad(v);
    } else if (a == "--ack-probe") {
      if (v != "both" && v != "1111" && v != "1000" && v != "none") return bad(v);
      c.ackA1111 = v == "both" || v == "1111";
      c.ackA1000 = v == "both" || v == "1000";
    } else if (a == "--reply-after" || a == "--reply-always") {
      std::size_t eq = v.find('=');
      if (eq == std::string::npos || eq == 0) return bad(v);
      c.extraReplies.push_back({v.substr(0, eq), v.substr(eq + 1), a == "--reply-after"});
    } else if (a == "--vector-code") {
      if (!Number(v, n, 10) || n > 99999) return bad(v);
      c.vectorReplyCode = static_cast<int>(n);
    } else if (a == "--vector-text") c.vectorText = v;
    else if (a == "--version-marker") c.versionMarker = v;
    else if (a == "--version-after") c.versionAfterUpdate = v;
    else if (a == "--boot") {
      if (v == "idframe") c.bootMode = BootMode::IdFrame;
      else if (v == "marker") c.bootMode = BootMode::Marker;
      else if (v == "off") c.bootMode = BootMode::Off;
      else return bad(v);
    } else if (a == "--boot-form") {
      if (!Number(v, n, 10) || n > 2) return bad(v);
      c.bootForm = static_cast<int>(n);
    } else if (a == "--boot-text") c.bootText = v;
    else if (a == "--boot-marker") {
      if (v == "90" || v == "0x90") c.bootMarker = 0x90;
      else if (v == "Q") c.bootMarker = 'Q';
      else return bad(v);
    } else if (a == "--wake-frames") {
      c.wakeFrames = 0;
      for (const std::string& e : Split(v, ',')) {
        if (!Number(e, n, 10) || n > 4) return bad(v);
        c.wakeFrames |= 1u << n;
      }
    } else if (a == "--loader-version") {
      if (!ParseLoaderVersion(v, c.loader.version)) return bad(v);
    } else if (a == "--chip-id") {
      if (!Hex(v, n) || n > 0xFFFF) return bad(v);
      c.loader.chipId = static_cast<std::uint16_t>(n);
    } else if (a == "--main-start") {
      if (!Hex(v, n) || n > 0xFFFFF) return bad(v);
      mainStart = static_cast<std::uint32_t>(n);
      mainStartSet = true;
    } else if (a == "--flash-end") {
      if (!Hex(v, n) || n > 0xFFFFF || n < 0xFFFF) return bad(v);
      flashEnd = static_cast<std::uint32_t>(n);
      flashEndSet = true;
    } else if (a == "--info-segment") {
      if (v != "128" && v != "256") return bad(v);
      infoSegment = v == "128" ? 128 : 256;
      infoSegmentSet = true;
    } else if (a == "--ram") {
      std::vector<std::string> r = Split(v, '-');
      std::uint64_t lo, hi;
      if (r.size() != 2 || !Hex(r[0], lo) || !Hex(r[1], hi) || lo > hi || hi > 0xFFFFF) return bad(v);
      ramStart = static_cast<std::uint32_t>(lo);
      ramEnd = static_cast<std::uint32_t>(hi);
      ramSet = true;
    } else if (a == "--loader") {
      if (v == "classic") c.loaderKind = LoaderKind::Classic;
      else if (v == "5xx") c.loaderKind = LoaderKind::Bsl5xx;
      else return bad(v);
    } else if (a == "--record-loader") {
      if (!Number(v, n, 10) || n == 0 || n > 4000000) return bad(v);
      c.recordLoader.enabled = true;
      c.recordLoader.baud = static_cast<std::uint32_t>(n);
    } else if (a == "--bsl5xx-uart") {
      if (v == "timer") c.bsl5xx.uart = Bsl5xxUart::TimerA;
      else if (v == "usci") c.bsl5xx.uart = Bsl5xxUart::Usci;
      else return bad(v);
    } else if (a == "--bsl5xx-version") {
      if (v.size() != 8 || !Hex(v, n)) return bad(v);
      for (int k = 0; k < 4; ++k) c.bsl5xx.version[k] = static_cast<std::uint8_t>(n >> (24 - 8 * k));
    } else if (a == "--fill-byte") {  // the vector table of either loader's device
      if (!Hex(v, n) || n > 0xFF) return bad(v);
      c.loader.fillByte = c.bsl5xx.fillByte = static_cast<std::uint8_t>(n);
    } else if (a == "--vector-word") {
      if (!Hex(v, n) || n > 0xFFFF) return bad(v);
      c.loader.vectorWord = c.bsl5xx.vectorWord = static_cast<std::uint16_t>(n);
    } else if (a == "--wrong-rate") {
      if (v == "garbage") c.wrongRate = WrongRate::Garbage;
      else if (v == "silence") c.wrongRate = WrongRate::Silence;
      else return bad(v);
    } else if (a == "--fault" || a == "--text-fault") {
      std::vector<std::string> f = Split(v, ':');
      if (f.size() < 3 || f.size() > 4) return bad(v);
      std::uint64_t nth, count = 1;
      if (!Number(f[2], nth, 10) || nth < 1 || nth > 1000000) return bad(v);
      if (f.size() == 4 && (!Number(f[3], count, 10) || count < 1 || count > 1000000)) return bad(v);
      if (a == "--fault") {
        FrameFault ff;
        std::string kind = f[0];
        std::size_t eq = kind.find('=');
        if (eq != std::string::npos) {  // nak=HEX, message=HEX: the byte to answer with
          if (!Hex(kind.substr(eq + 1), n) || n > 0xFF) return bad(v);
          ff.code = static_cast<std::uint8_t>(n);
          kind = kind.substr(0, eq);
          if (kind != "nak" && kind != "message") return bad(v);
        }
        if (kind == "nak") ff.kind = FrameFaultKind::Nak;
        else if (kind == "silence") ff.kind = FrameFaultKind::Silence;
        else if (kind == "corrupt") ff.kind = FrameFaultKind::CorruptChecksum;
        else if (kind == "wrongread") ff.kind = FrameFaultKind::WrongReadBack;
        else if (kind == "message") ff.kind = FrameFaultKind::Message;
        else return bad(v);
        if (f[1] == "any") ff.command = 0;
        else if (Hex(f[1], n) && n <= 0xFF) ff.command = static_cast<std::uint8_t>(n);
        else return bad(v);
        ff.nth = static_cast<int>(nth);
        ff.count = static_cast<int>(count);
        c.frameFaults.push_back(ff);
      } else {
        TextFault tf;
        if (f[0] == "silence") tf.kind = TextFaultKind::Silence;
        else if (f[0] == "refuse") tf.kind = TextFaultKind::Refuse;
        else return bad(v);
        tf.command = f[1] == "any" ? std::string() : f[1];
        tf.nth = static_cast<int>(nth);
        tf.count = static_cast<int>(count);
        c.textFaults.push_back(tf);
      }
    } else if (a == "--drop-out" || a == "--corrupt-out") {
      for (const std::string& e : Split(v, ',')) {
        if (!Number(e, n, 10)) return bad(v);
        (a == "--drop-out" ? c.bytes.dropOut : c.bytes.corruptOut).insert(n);
      }
    } else if (a == "--drop-rate" || a == "--corrupt-rate" || a == "--drop-in-rate") {
      if (!Real(v, p)) return bad(v);
      (a == "--drop-rate" ? c.bytes.dropOutRate
                          : a == "--corrupt-rate" ? c.bytes.corruptOutRate : c.bytes.dropInRate) = p;
    } else if (a == "--seed") {
      if (!Number(v, n, 10) || n > 0xFFFFFFFF) return bad(v);
      c.bytes.seed = static_cast<std::uint32_t>(n);
    } else if (a == "--disconnect-after-frames" || a == "--disconnect-after-commands") {
      if (!Number(v, n, 10) || n > 1000000) return bad(v);
      (a == "--disconnect-after-frames" ? c.disconnectAfterFrames : c.disconnectAfterCommands) =
          static_cast<int>(n);
    } else {
      error = "unknown option " + a;
      return false;
    }
  }
  MemoryMap& map = c.loaderKind == LoaderKind::Bsl5xx ? c.bsl5xx.memory : c.loader.memory;
  if (mainStartSet) map.mainStart = mainStart;
  if (flashEndSet) map.mainEnd = flashEnd;
  if (infoSegmentSet) map.infoSegment = infoSegment;
  if (ramSet) {
    map.ramStart = ramStart;
    map.ramEnd = ramEnd;
  }
  return true;
}

}  // namespace sim
