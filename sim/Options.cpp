#include "sim/Options.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <utility>

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
  -h, --help                 this text;  -V, or --version as the last argument: the program's version
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
                             Intel HEX or S-record lines at BAUD (the stand-in loaders' mode); so
                             does a --boot idframe instrument after its identification
  --upload-dir DIR           files of the file-list upload ("A.12000#name" ...) written below DIR
                             under their names at exit and on SIGUSR1
  --boot idframe|marker --boot-form 0|1|2 --boot-text T --boot-marker 90|Q --wake-frames 0,1,4
  --loader-version 1.10|1.50|1.60 --chip-id HEX
  --family 1xx|2xx|4xx       classic loader: processor generation (from the chip id), clock values
                             of the baud change
  --security-key on|off      classic loader: a wrong password erases the flash unless 0xFFBE
                             holds 0 (on for 2xx)
  --main-start HEX --flash-end HEX --info-segment 128|256 --ram HEX-HEX   memory of the chosen loader
                             (classic 1100-FFFF, 5xx 5C00-45BFF as the MSP430F5438A)
  --nak-info-erase --strict-sync             classic loader
  --fill-byte HEX --vector-word HEX          vector table without firmware (FF, 0C00): the password
  --firmware FILE            preload the flash from a TI-TXT image
  --xmodem                   A.1250#n/A.1255#n enter the XMODEM-CRC serial boot loader at the rate
                             of code n (3 = 9600, 7 = 115200), A.1256#n restarts into it first
  --xmodem-version T         its version reply I.251#T (1.06; from 1.06 "u", "c", "r" need the
                             unlock code) --xmodem-unlock CODE (7628)
  --xmodem-restart MS --xmodem-purge MS --xmodem-capacity BYTES
  --xmodem-fault KIND:N[:COUNT]  KIND nak|corrupt|silence|cancel (the Nth.. packets that
                             arrive), nostart (Nth.. "u"), noversion, nochecksum, wrongchecksum
  --dump-received FILE       what the XMODEM loader received, raw, at exit and on SIGUSR1
  --wrong-rate garbage|silence               what the host gets at a wrong rate (garbage)
  --pacing                   emit at the line rate
  --fault KIND:CMD:N[:COUNT] loader frame fault; KIND nak|silence|corrupt|wrongread|lost|message,
                             CMD hex|any; 5xx: nak=HEX answers that error byte (52),
                             message=HEX a message reply instead of the command
  --text-fault KIND:CMD:N[:COUNT]            KIND silence|refuse|again[=V] (reply "I.261#V",
                             V 2 unless given), CMD e.g. A.2000, D (file packets) or any
  --drop-out I,J --corrupt-out I,J           emitted byte indices (from 0)
  --drop-rate P --corrupt-rate P --drop-in-rate P --seed N
  --disconnect-after-frames N --disconnect-after-commands N --disconnect-after-blocks N
Windows-CE file receiver:
  --wince                    "A.1300#RATE" switches to RATE 8N2 ("!" there) and takes files
  --wince-have NAME=STAMP    a file it has (DOS time stamp): "A.1201#" of it, not newer, gets
                             "I.260"; repeatable
  --wince-no-skip            "A.1201#" takes every file
  --wince-any-stop-bits      heard at 1 stop bit too
  --wince-max-file N         larger announcements are refused (16777216)
  --wince-ack-delay-ms N --wince-restart-ms N (3000) --wince-block-timeout-ms N (1000)
  --wince-idle-ms N          back to the text line after N ms without the host (10000; 0 never)
  --wince-dir DIR            received files written below DIR at exit and on SIGUSR1
Basic-Loader terminal:
  --basic-loader             "A.1220" restarts into it; "A.1200" gets "I.208#0" as well
  --basic-entry CMD --basic-boot-after CMD|none --basic-boot-char C
  --basic-start              sits in the loader from the start (banner already printed)
  --basic-banner T --basic-segment 0|1 --basic-erase halves|whole
  --basic-success numbered|plain|bytes --basic-german ("Record defekt!")
  --basic-no-handshake       goes on when the PC is at 19200 with RTS active, handshake or not
  --basic-flash HEX-HEX      flash range (0-7FFFF); records outside are defective
  --basic-fault defect|silence|abort:N       at the Nth record line
  --basic-dump FILE [--basic-dump-format srec|bin]  its memory at exit and on SIGUSR1
  --dump FILE [--dump-format titxt|bin]      flash dump at exit and on SIGUSR1
  --log FILE                 command log with time stamps
  --trace FILE               line trace: "<us> in|out <hex>" for every chunk read or written
  --exit-after-end [--end-grace MS]          exit once the session has ended (or the
                             Basic-Loader has reported its result)
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
    // With a value it is the instrument's version; alone at the end, the program's.
    if ((a == "--version" && i + 1 == args.size()) || a == "-V") { o.showVersion = true; continue; }
    if (a == "--require-command-mode") { c.requireCommandMode = true; continue; }
    if (a == "--no-unknown-error") { c.unknownGetsError = false; continue; }
    if (a == "--refuse-loader") { c.refuseLoaderStart = true; continue; }
    if (a == "--start-in-loader") { c.startInLoader = true; continue; }
    if (a == "--nak-info-erase") { c.loader.nakInfoErase = true; continue; }
    if (a == "--strict-sync") { c.loader.strictSync = true; continue; }
    if (a == "--pacing") { c.pacing = true; continue; }
    if (a == "--exit-after-end") { o.exitAfterEnd = true; continue; }
    if (a == "--info-a-unlocked") { c.bsl5xx.infoALocked = false; continue; }
    if (a == "--wince") { c.wince.enabled = true; continue; }
    if (a == "--wince-no-skip") { c.wince.skipCurrentFiles = false; continue; }
    if (a == "--wince-any-stop-bits") { c.wince.checkStopBits = false; continue; }
    if (a == "--basic-loader") { c.basic.enabled = true; continue; }
    if (a == "--basic-start") { c.basic.enabled = c.basic.startInLoader = true; continue; }
    if (a == "--basic-german") { c.basic.germanDefect = true; continue; }
    if (a == "--basic-no-handshake") { c.basic.needHandshake = false; continue; }
    if (a == "--xmodem") { c.xmodem.enabled = true; continue; }
    if (!value(v)) return false;
    if (a == "--link") o.link = v;
    else if (a == "--dump") o.dumpFile = v;
    else if (a == "--dump-format") {
      if (v != "titxt" && v != "bin") return bad(v);
      o.dumpBinary = v == "bin";
    } else if (a == "--wince-dir") o.winceDir = v;
    else if (a == "--upload-dir") o.uploadDir = v;
    else if (a == "--basic-dump") o.basicDump = v;
    else if (a == "--basic-dump-format") {
      if (v != "srec" && v != "bin") return bad(v);
      o.basicDumpBinary = v == "bin";
    } else if (a == "--wince-have") {
      std::size_t eq = v.rfind('=');
      if (eq == std::string::npos || eq == 0 || !Number(v.substr(eq + 1), n, 10) || n > 0xFFFFFFFF) return bad(v);
      c.wince.existing.push_back({v.substr(0, eq), static_cast<std::uint32_t>(n), {}, 0});
    } else if (a == "--wince-max-file") {
      if (!Number(v, n, 10) || n > (1u << 30)) return bad(v);
      c.wince.maxFileSize = static_cast<std::uint32_t>(n);
    } else if (a == "--wince-ack-delay-ms" || a == "--wince-restart-ms" || a == "--wince-block-timeout-ms" ||
               a == "--wince-idle-ms") {
      if (!Number(v, n, 10) || n > 600000) return bad(v);
      std::uint32_t ms = static_cast<std::uint32_t>(n);
      if (a == "--wince-ack-delay-ms") c.wince.speedAckDelayMs = ms;
      else if (a == "--wince-restart-ms") c.wince.restartMs = ms;
      else if (a == "--wince-block-timeout-ms") c.wince.blockTimeoutMs = ms;
      else c.wince.idleResetMs = ms;
    } else if (a == "--basic-entry") {
      if (v.empty()) return bad(v);
      c.basic.enabled = true;
      c.basic.entryCommand = v;
    } else if (a == "--basic-boot-after") {
      c.basic.bootCharAfter = v == "none" ? std::string() : v;
    } else if (a == "--basic-boot-char") {
      if (v.size() != 1) return bad(v);
      c.basic.bootChar = v[0];
    } else if (a == "--basic-banner") c.basic.banner = v;
    else if (a == "--basic-segment") {
      if (v != "0" && v != "1") return bad(v);
      c.basic.segment = v == "1" ? 1 : 0;
    } else if (a == "--basic-erase") {
      if (v != "halves" && v != "whole") return bad(v);
      c.basic.halves = v == "halves";
    } else if (a == "--basic-success") {
      if (v == "numbered") c.basic.success = BasicSuccess::Numbered;
      else if (v == "plain") c.basic.success = BasicSuccess::Plain;
      else if (v == "bytes") c.basic.success = BasicSuccess::Bytes;
      else return bad(v);
    } else if (a == "--basic-flash") {
      std::vector<std::string> r = Split(v, '-');
      std::uint64_t lo, hi;
      // The binary dump spans the range: kept within 64 MB.
      if (r.size() != 2 || !Hex(r[0], lo) || !Hex(r[1], hi) || lo > hi || hi > 0xFFFFFFFF || hi - lo >= (64u << 20))
        return bad(v);
      c.basic.flashStart = static_cast<std::uint32_t>(lo);
      c.basic.flashEnd = static_cast<std::uint32_t>(hi);
    } else if (a == "--basic-fault") {
      std::vector<std::string> f = Split(v, ':');
      if (f.size() != 2 || !Number(f[1], n, 10) || n < 1 || n > 1000000) return bad(v);
      if (f[0] == "defect") c.basic.fault = BasicFaultKind::Defect;
      else if (f[0] == "silence") c.basic.fault = BasicFaultKind::Silence;
      else if (f[0] == "abort") c.basic.fault = BasicFaultKind::Abort;
      else return bad(v);
      c.basic.faultRecord = static_cast<int>(n);
    } else if (a == "--dump-received") o.receivedFile = v;
    else if (a == "--log") o.logFile = v;
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
    } else if (a == "--family") {
      if (v == "1xx") c.loader.family = Family::F1xx;
      else if (v == "2xx") c.loader.family = Family::F2xx;
      else if (v == "4xx") c.loader.family = Family::F4xx;
      else return bad(v);
    } else if (a == "--security-key") {
      if (v != "on" && v != "off") return bad(v);
      c.loader.securityKey = v == "on";
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
        else if (kind == "lost") ff.kind = FrameFaultKind::LostAnswer;
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
        else if (f[0] == "again") tf.kind = TextFaultKind::AskAgain;
        else if (f[0].rfind("again=", 0) == 0 && Number(f[0].substr(6), n, 10) && n <= 99999) {
          tf.kind = TextFaultKind::AskAgain;
          tf.value = static_cast<int>(n);
        } else return bad(v);
        tf.command = f[1] == "any" ? std::string() : f[1];
        tf.nth = static_cast<int>(nth);
        tf.count = static_cast<int>(count);
        c.textFaults.push_back(tf);
      }
    } else if (a == "--xmodem-version") {
      c.xmodem.version = v;
    } else if (a == "--xmodem-unlock") {
      if (v.empty() || v.size() > 16 || v.find_first_of("\r\n") != std::string::npos) return bad(v);
      c.xmodem.unlockCode = v;
    } else if (a == "--xmodem-restart" || a == "--xmodem-purge") {
      if (!Number(v, n, 10) || n > 600000) return bad(v);
      (a == "--xmodem-restart" ? c.xmodem.restartMs : c.xmodem.purgeMs) = static_cast<std::uint32_t>(n);
    } else if (a == "--xmodem-capacity") {
      if (!Number(v, n, 10) || n > 64u * 1024u * 1024u) return bad(v);
      c.xmodem.capacity = static_cast<std::size_t>(n);
    } else if (a == "--xmodem-fault") {
      std::vector<std::string> f = Split(v, ':');
      if (f.size() < 2 || f.size() > 3) return bad(v);
      std::uint64_t nth, count = 1;
      if (!Number(f[1], nth, 10) || nth < 1 || nth > 1000000) return bad(v);
      if (f.size() == 3 && (!Number(f[2], count, 10) || count < 1 || count > 1000000)) return bad(v);
      static const std::pair<const char*, XmodemFaultKind> kinds[] = {
          {"nak", XmodemFaultKind::Nak},           {"corrupt", XmodemFaultKind::Corrupt},
          {"silence", XmodemFaultKind::Silence},   {"cancel", XmodemFaultKind::Cancel},
          {"nostart", XmodemFaultKind::NoStart},   {"noversion", XmodemFaultKind::NoVersion},
          {"nochecksum", XmodemFaultKind::NoChecksum}, {"wrongchecksum", XmodemFaultKind::WrongChecksum}};
      XmodemFault xf;
      bool known = false;
      for (const auto& [name, kind] : kinds)
        if (f[0] == name) {
          xf.kind = kind;
          known = true;
        }
      if (!known) return bad(v);
      xf.nth = static_cast<int>(nth);
      xf.count = static_cast<int>(count);
      c.xmodem.faults.push_back(xf);
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
    } else if (a == "--disconnect-after-frames" || a == "--disconnect-after-commands" ||
               a == "--disconnect-after-blocks") {
      if (!Number(v, n, 10) || n > 1000000) return bad(v);
      (a == "--disconnect-after-frames"     ? c.disconnectAfterFrames
       : a == "--disconnect-after-commands" ? c.disconnectAfterCommands
                                            : c.wince.disconnectAfterBlocks) = static_cast<int>(n);
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
