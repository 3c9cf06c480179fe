#pragma once
// What the Windows-CE file transfer puts on the line besides plain commands: the CRC-8 of a
// block, the check character its header carries, the packet "D.<n>,<c>#" with its bytes, the
// file announcement and the speed command. The transfer builds every packet and header here.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace loaders::wince {

// Data bytes of one packet at most.
inline constexpr std::size_t kBlockBytes = 2000;
// The retransmit copy holds one packet (header and data); a longer one is never built.
inline constexpr std::size_t kPacketCap = 3000;
// The announcement line with its CR LF and a terminating NUL (the instrument's line buffer).
inline constexpr std::size_t kHeaderCap = 168;
// The largest file the transfer holds.
inline constexpr std::size_t kFileCap = 3000000;
// A file without a time stamp.
inline constexpr std::uint32_t kNoTimeStamp = 0xFFFFFFFFu;

// CRC-8: polynomial 0x1D, initial value 0xFF, most significant bit first, no reflection and
// no final XOR; over "123456789" it is 0xB4.
std::uint8_t Crc8(const std::uint8_t* data, std::size_t n);
// The register after shifting out a leading byte: entry i for the register value i.
const std::array<std::uint8_t, 256>& Crc8Table();
// The character a header carries for a CRC: 0x00 becomes 0x01 (it would end the header's
// text), then 'D', ',' and '#' the next value (they would read as the header's punctuation).
std::uint8_t CheckCharacter(std::uint8_t crc);

// "D.<n>,<c>#" followed by the n bytes. Empty when the packet would not fit kPacketCap.
std::vector<std::uint8_t> Packet(const std::uint8_t* data, std::size_t n);
// "<command><path>,<stamp>,<size>\r\n". Nothing when the line would not fit kHeaderCap.
std::optional<std::string> Announcement(const char* command, const std::string& path,
                                        std::uint32_t stamp, std::uint32_t size);
// "A.1300#<baud>\r\n".
std::string SpeedCommand(std::uint32_t baud);

// The packed DOS date (high word) and time (low word) of a modification time in local time,
// as the instrument keeps it; kNoTimeStamp when there is none or it lies outside 1980..2107.
std::uint32_t DosTimeStamp(std::optional<std::int64_t> unixSeconds);

// The rates the instrument can be told to go back to ("A.1300#"), in BaudTag order.
inline constexpr std::uint32_t kAnnouncedRates[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
bool IsAnnouncedRate(std::uint32_t baud);

}  // namespace loaders::wince
