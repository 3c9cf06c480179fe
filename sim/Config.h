#pragma once
// Everything that makes one simulated instrument different from another: its identity, its
// line, its boot mode, its classic loader and memory, and the faults it is told to show.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace sim {

// Which reply numbers the identity commands get (PCB, device, version, serial number).
enum class Numbering { Classic, Hundreds, Thousands };
struct ReplyCodes {
  int pcb, device, version, serial;
};
ReplyCodes CodesFor(Numbering numbering);

// How the instrument sits in its boot loader (answering wake-up frames) or not at all.
enum class BootMode { Off, IdFrame, Marker };

// What the host sees when it talks at a rate the instrument does not listen to.
enum class WrongRate { LineError, Garbage, Silence };

// "After command X send line L": replies 30, 31, 208, 262, 920 and anything else on request.
struct ExtraReply {
  std::string after;  // command text without CR LF, e.g. "A.4001"; "*" after any command
  std::string line;   // the line to send, without CR LF, e.g. "I.262#1"
  bool once = true;
  bool sent = false;
};

// LostAnswer: the frame is carried out, but its answer never reaches the host (a byte lost on
// the line); Silence: the frame is neither carried out nor answered.
enum class FrameFaultKind { Nak, Silence, CorruptChecksum, WrongReadBack, Message, LostAnswer };
// Applies to the nth .. nth+count-1 received frames of one command (0 = frames of any command).
// The 5xx loader answers Nak with the error byte code (0: 0x52, checksum incorrect) and Message
// with a message reply carrying code instead of doing the command; the classic loader's NAK
// is always 0xA0 and it knows no Message.
struct FrameFault {
  FrameFaultKind kind = FrameFaultKind::Nak;
  std::uint8_t command = 0;
  int nth = 1;
  int count = 1;
  std::uint8_t code = 0;
};

// Silence: no answer; Refuse: "?"; AskAgain: reply 261 with `value` ("I.261#2" asks for the
// last data block again). The command is not carried out.
enum class TextFaultKind { Silence, Refuse, AskAgain };
// Applies to the nth .. nth+count-1 received text commands equal to command (empty = any).
// The file receiver's data blocks count as the command "D".
struct TextFault {
  TextFaultKind kind = TextFaultKind::Silence;
  std::string command;
  int nth = 1;
  int count = 1;
  int value = 2;  // AskAgain: the number after "I.261#"
};

// Faults on single bytes. Indices count the bytes the instrument emits, from 0.
struct ByteFaults {
  std::set<std::uint64_t> dropOut;
  std::set<std::uint64_t> corruptOut;  // the byte is XORed with 0x5A
  double dropOutRate = 0.0;
  double corruptOutRate = 0.0;
  double dropInRate = 0.0;  // host bytes lost before the instrument sees them
  std::uint32_t seed = 1;
};

// Memory of the processor behind the classic loader. Addresses are inclusive ranges.
struct MemoryMap {
  std::uint32_t mainStart = 0x1100, mainEnd = 0xFFFF;  // main flash, 512-byte segments
  std::uint32_t infoStart = 0x1000, infoEnd = 0x10FF;  // information memory
  std::uint32_t infoSegment = 128;                     // 128 or 256
  std::uint32_t ramStart = 0x0200, ramEnd = 0x09FF;
  std::uint32_t romStart = 0x0C00, romEnd = 0x0FFF;  // the loader ROM; chip id at 0x0FF0
};

// The processor generation behind the classic loader. Its change-baud-rate command takes
// clock register values of that generation, and the loaders with the security key (2xx)
// mass-erase the flash on a wrong password.
enum class Family { FromChipId, F1xx, F2xx, F4xx };

struct LoaderConfig {
  std::uint16_t version = 0x0160;  // 0x0110, 0x0150, 0x0160 ("%X.%2X" gives 1.10 ...)
  std::uint16_t chipId = 0xF16C;
  // FromChipId: the chip id's second hex digit (F16C a 1xx, F26F a 2xx, F449 a 4xx part);
  // other digits count as 1xx.
  Family family = Family::FromChipId;
  // The BSL security key at 0xFFBE: a wrong password mass-erases main and information memory
  // unless the key word is 0x0000. Unset: present on 2xx parts only.
  std::optional<bool> securityKey;
  MemoryMap memory;
  bool nakInfoErase = false;  // a locked information segment: erase refused
  bool strictSync = false;    // frames that were not preceded by a sync are ignored
  // Vector table of a device without preloaded firmware: 15 words of the fill byte, then the
  // reset vector. The vector table is the loader's password.
  std::uint8_t fillByte = 0xFF;
  std::uint16_t vectorWord = 0x0C00;
};

// The UART of the 5xx loader: the timer-based one (MSP430F543xA and others) samples the parity
// bit without checking it; the USCI-based one hears only even parity.
enum class Bsl5xxUart { TimerA, Usci };

// The bootstrap loader of the MSP430 5xx/6xx generation and the memory behind it. The default
// map is the MSP430F5438A's: main flash 0x5C00..0x45BFF in 512-byte segments, information
// memory 0x1800..0x19FF in four 128-byte segments (D, C, B, A upwards), RAM 0x1C00..0x5BFF and
// the loader's own flash 0x1000..0x17FF in the ROM fields.
struct Bsl5xxConfig {
  MemoryMap memory{0x5C00, 0x45BFF, 0x1800, 0x19FF, 128, 0x1C00, 0x5BFF, 0x1000, 0x17FF};
  Bsl5xxUart uart = Bsl5xxUart::TimerA;
  // TX BSL version: vendor (0 for TI), command interpreter, API (0x00..0x2F: flash), peripheral
  // interface (0x00..0x2F: timer UART, 0x50..0x6F: USCI UART).
  std::uint8_t version[4] = {0x00, 0x08, 0x09, 0x04};
  bool infoALocked = true;  // LOCKA after reset: segment A ignores writes and erases
  // Vector table 0xFF80..0xFFFF of a device without preloaded firmware: fill bytes up to the
  // reset vector word. Its top 32 bytes (0xFFE0..0xFFFF) are the loader's password. The
  // defaults are those of the instruments' firmware: unprogrammed vectors and the reset vector
  // at the start of main flash.
  std::uint8_t fillByte = 0xFF;
  std::uint16_t vectorWord = 0x5C00;
};

// The plain record loader (RecordLoader.h) that the stand-ins of the external loader programs
// and of the updater library talk to. When enabled, the instrument enters it right after it
// acknowledged the program command ("A.1200", "A.1230", "A.1231"), and listens there at
// baud, 8 data bits (parity is not looked at).
struct RecordLoaderConfig {
  bool enabled = false;
  std::uint32_t baud = 38400;
};

// Which loader the loader start commands, startInLoader and the boot mode lead to.
enum class LoaderKind { Classic, Bsl5xx };
// A file on a Windows-CE instrument.
struct WinCEFile {
  std::string name;            // as the host announced it, e.g. "TORVEX.EXE"
  std::uint32_t stamp = 0;     // packed DOS date (high word) and time (low word)
  std::vector<std::uint8_t> data;
  int announcedBy = 0;         // 1201 or 1205; 0 for a file that was there before
};

// The file receiver of a Windows-CE instrument: "A.1300#rate" switches the line (8N2 at the
// new rate, acknowledged there), then files are announced, sent in checked blocks and closed.
struct WinCEConfig {
  bool enabled = false;
  bool checkStopBits = true;  // only a host at 2 stop bits is heard (stricter than a UART)
  std::size_t blockLimit = 2000;             // longest data block taken
  std::uint32_t maxFileSize = 16u << 20;     // larger announcements are refused
  // "A.1201#" of a file it already has with the same or a newer time stamp is answered with
  // "I.260" (skip it); "A.1205#" always takes the file.
  bool skipCurrentFiles = true;
  std::vector<WinCEFile> existing;           // files on the instrument before a transfer
  std::uint32_t speedAckDelayMs = 0;         // the "!" at the new rate not before this
  std::uint32_t restartMs = 3000;            // after the final speed change: restart, then "!"
  std::uint32_t blockTimeoutMs = 1000;       // a block still missing bytes: asked again (0 never)
  std::uint32_t idleResetMs = 10000;         // host silent this long: back to the text line
  int disconnectAfterBlocks = -1;            // goes silent for good after this many blocks
};

// The "Basic-Loader" terminal of older instruments: after a restart it prints its banner,
// waits for the PC, erases, asks for an S-record file and reports the result in plain text.
enum class BasicSuccess { Numbered, Plain, Bytes };
enum class BasicFaultKind { None, Defect, Silence, Abort };
struct BasicLoaderConfig {
  bool enabled = false;
  std::string entryCommand = "A.1220";  // restarts the instrument into the loader
  // Reply 208 with the boot character after this command ("I.208#0"); empty: none.
  std::string bootCharAfter = "A.1200";
  char bootChar = '0';
  bool startInLoader = false;           // sits in the loader, banner already printed
  std::uint32_t baud = 19200;
  // The loader goes on from "Ready PC ?" once the PC listens at its line. A real loader erases
  // for seconds, long enough for the PC to switch; the simulated one waits until the PC's line
  // shows its rate with RTS/CTS handshake (off: RTS active is enough).
  bool needHandshake = true;
  std::string banner = "Basic-Loader / 1.02";
  int segment = 0;                      // "Ready PC ?  Seg=0", flash "(1)"; 1: "Seg=1", "(2)"
  bool halves = true;                   // "Flash-Memory (1/2) erased !", else "... erased !"
  BasicSuccess success = BasicSuccess::Numbered;
  bool germanDefect = false;            // "Record defekt!" instead of "S-Record defect!"
  std::uint32_t flashStart = 0x000000, flashEnd = 0x07FFFF;
  // At the faultRecord-th record line (S0 counts): Defect reports it defective, Silence stops
  // answering and taking records, Abort drops the line as a power loss would.
  BasicFaultKind fault = BasicFaultKind::None;
  int faultRecord = 1;
};

// Faults of the XMODEM serial boot loader. Nak, Corrupt, Silence and Cancel apply to the nth ..
// nth+count-1 packets that arrive (good, bad or repeated alike); NoStart to the nth .. uploads
// ("u"), NoVersion to version queries, NoChecksum and WrongChecksum to "c".
enum class XmodemFaultKind { Nak, Corrupt, Silence, Cancel, NoStart, NoVersion, NoChecksum, WrongChecksum };
struct XmodemFault {
  XmodemFaultKind kind = XmodemFaultKind::Nak;
  int nth = 1;
  int count = 1;
};

// The serial boot loader that receives the firmware image with XMODEM-CRC. The firmware enters
// it on "A.1250#n" or "A.1255#n" (n: the rate code, 3 = 9600, 7 = 115200); "A.1256#n" restarts
// the instrument first, after which it takes those start commands at 9600.
struct XmodemConfig {
  bool enabled = false;           // the start commands enter this loader (else they get "?")
  std::string version = "1.06";   // text of the version reply; from 1.06 on "u", "c" and "r"
  std::string unlockCode = "7628";  // must be followed by the unlock code and CR or LF
  std::uint32_t unlockTimeoutMs = 1000;  // a command letter whose code does not follow is refused
  std::uint32_t restartMs = 4000;        // "A.1256": deaf this long
  std::uint32_t requestMs = 3000;        // 'C' repeated this often until the sender starts
  int requests = 10;                     // 'C's sent before the loader gives up
  std::uint32_t charTimeoutMs = 1000;    // silence inside a packet
  std::uint32_t packetTimeoutMs = 10000; // silence between packets, answered with NAK
  std::uint32_t purgeMs = 1000;          // a NAK waits for this much quiet (0: at once)
  int maxErrors = 10;                    // consecutive errors on one packet: the loader cancels
  std::size_t capacity = 2u * 1024u * 1024u;  // bytes it can take; more is cancelled
  std::vector<XmodemFault> faults;
};

struct InstrumentConfig {
  // Line of the text protocol. Only the rate and the data bits are checked there.
  std::uint32_t baud = 9600;

  // Identity.
  std::string pcb = "12345.000";
  std::string device = "28160.000";
  std::string version = "1.01";  // may carry a second part: "1.20,3.10"
  std::string serial = "14210045";
  Numbering numbering = Numbering::Classic;
  bool ackA1111 = true;  // which probes are acknowledged
  bool ackA1000 = true;
  bool requireCommandMode = false;  // identity and loader commands need "A.1000" first
  bool unknownGetsError = true;     // unknown commands are answered with "?"
  std::vector<ExtraReply> extraReplies;

  // Loader entry from the text protocol.
  int vectorReplyCode = 80;
  std::string vectorText;  // empty: "0x%03X" of the reset vector in flash
  bool refuseLoaderStart = false;
  // After the loader started the firmware: version from the flash behind this marker,
  // else versionAfterUpdate when set, else unchanged.
  std::string versionMarker = "VERS:";
  std::string versionAfterUpdate;
  // The started firmware announces itself with this line (empty: not at all) as soon as the
  // host's line is back at the text settings, or startupFallbackMs after the start when the
  // line never visibly changes (a pty shows no parity) and Tick() is called.
  std::string startupLine = "!";
  std::uint32_t startupFallbackMs = 2500;

  // Boot mode.
  bool startInLoader = false;  // sits in its loader (loaderKind) from the start
  BootMode bootMode = BootMode::Off;
  int bootForm = 0;  // 0 "h00h", 1 "h11h", 2 "h,,h"
  std::string bootText = "BL V1.2";
  std::uint8_t bootMarker = 0x90;  // 0x90 or 'Q'
  unsigned wakeFrames = 0x1F;      // bit i: answers wake-up frame entry i
  bool markerEntersLoader = true;  // marker 0x90: the classic loader then takes over

  LoaderKind loaderKind = LoaderKind::Classic;
  LoaderConfig loader;   // the classic loader and its memory
  Bsl5xxConfig bsl5xx;   // the 5xx loader and its memory
  WinCEConfig wince;
  BasicLoaderConfig basic;
  XmodemConfig xmodem;
  RecordLoaderConfig recordLoader;

  // Line behaviour.
  WrongRate wrongRate = WrongRate::LineError;
  bool checkParity = true;  // loader frames need even parity, the receivers none (a pty shows none)
  bool pacing = false;      // emit at the line rate from a thread of its own

  // Faults.
  std::vector<FrameFault> frameFaults;
  std::vector<TextFault> textFaults;
  ByteFaults bytes;
  int disconnectAfterFrames = -1;    // goes silent for good after this many loader frames
  int disconnectAfterCommands = -1;  // ... or text commands

  // Time stamps of the command log in ms; the steady clock when empty.
  std::function<std::uint32_t()> clock;
};

}  // namespace sim
