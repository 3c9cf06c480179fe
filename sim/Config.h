#pragma once
// Everything that makes one simulated instrument different from another: its identity, its
// line, its boot mode, its classic loader and memory, and the faults it is told to show.
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

enum class FrameFaultKind { Nak, Silence, CorruptChecksum, WrongReadBack };
// Applies to the nth .. nth+count-1 received frames of one command (0 = frames of any command).
struct FrameFault {
  FrameFaultKind kind = FrameFaultKind::Nak;
  std::uint8_t command = 0;
  int nth = 1;
  int count = 1;
};

enum class TextFaultKind { Silence, Refuse };
// Applies to the nth .. nth+count-1 received text commands equal to command (empty = any).
struct TextFault {
  TextFaultKind kind = TextFaultKind::Silence;
  std::string command;
  int nth = 1;
  int count = 1;
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
  bool startInLoader = false;  // sits in the classic loader from the start
  BootMode bootMode = BootMode::Off;
  int bootForm = 0;  // 0 "h00h", 1 "h11h", 2 "h,,h"
  std::string bootText = "BL V1.2";
  std::uint8_t bootMarker = 0x90;  // 0x90 or 'Q'
  unsigned wakeFrames = 0x1F;      // bit i: answers wake-up frame entry i
  bool markerEntersLoader = true;  // marker 0x90: the classic loader then takes over

  LoaderConfig loader;

  // Line behaviour.
  WrongRate wrongRate = WrongRate::LineError;
  bool checkParity = true;  // loader frames need even parity (not visible on a pty)
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
