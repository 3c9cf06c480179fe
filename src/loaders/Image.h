#pragma once
// TI-TXT firmware images read into programming blocks: each block becomes exactly one write
// and one read-back command of a bootstrap loader. Two layouts: the classic loader's
// (16-bit addresses, data at and above 0x10000 marked by UpperIndex) and the 5xx loader's
// (32-bit addresses).
//
// Accepted text: lines ended by LF or CR LF; "@" and a hexadecimal address opens a section;
// data lines hold values of exactly two hexadecimal digits (either case) separated by single
// blanks, trailing blanks allowed; empty lines are skipped; a line starting with "q" ends
// the image. Anything else is a damaged file, a text without "q" an incomplete one; both
// are refused with the number of the line at fault. A block holds at most 15 data lines and
// at most 246 bytes; every byte is stored at the address the file gives it.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace loaders {

inline constexpr std::size_t kBlockDataMax = 246;

// Classic layout, 250 bytes.
struct ImageBlock {
  std::uint16_t address;  // for blocks at and above 0x10000: the address minus 0x10000
  std::uint16_t length;   // 4 + number of data bytes
  std::uint8_t data[kBlockDataMax];
  int DataLength() const { return length >= 4 ? length - 4 : 0; }
};
static_assert(sizeof(ImageBlock) == 250);

// 5xx layout, 252 bytes.
struct ImageBlock54xx {
  std::uint32_t address;
  std::uint16_t length;  // 6 + number of data bytes
  std::uint8_t data[kBlockDataMax];
  int DataLength() const { return length >= 6 ? length - 6 : 0; }
};
static_assert(sizeof(ImageBlock54xx) == 252);

// Read buffers and block tables of the procedures.
inline constexpr std::size_t kImageBufferBytes = 400000;
inline constexpr std::size_t kPatchBufferBytes = 2000;
inline constexpr std::size_t kImage54xxBufferBytes = 1500000;
inline constexpr int kImageBlocks = 1280;
inline constexpr int kPatchBlocks = 20;

enum class ImageError {
  None,
  CannotOpen,      // the file is missing or unreadable
  TooBig,          // the file is larger than the read buffer
  TooManyBlocks,   // the image needs more blocks than the table holds
  BadValue,        // a data value or section address that is not hexadecimal
  Damaged,         // a line that is not TI-TXT: values not of two digits, other separators,
                   // control characters
  Incomplete,      // the text ends without the closing "q": the file was cut off
  AddressTooHigh,  // classic loader: data at or above 0x20000 cannot be reached
  OddEndAt64K,     // classic loader: an odd number of bytes ends at 0xFFFF, no room for the pad
  SectionOrder,    // classic loader: a section below 0x10000 after data above it
  DataBeforeSection,
  NoData,          // the image holds no data at all (only from the Load helpers)
};

struct ImageReadResult {
  int lastIndex = -1;  // index of the last filled block, -1 when none
  ImageError error = ImageError::None;
  int line = 0;        // text line (1-based) where the fault lies; 0 when not tied to a line
  bool ok() const { return error == ImageError::None; }
};

// Reads the TI-TXT text into table[0 .. maxBlocks). On success the table is cleared and
// filled and upperIndex is the first block at or above 0x10000 (-1 when none); an image with
// upper blocks ends with an empty marker block (address 0, length 0) followed by the blocks
// of the top segment 0xFE00..0xFFFF. A refused text leaves table and upperIndex untouched.
ImageReadResult ReadImage(const char* text, std::size_t size, ImageBlock* table, int maxBlocks,
                          int& upperIndex);

// The 5xx reader: full addresses, the blocks of the vector area (0xFE00..0xFFFF) moved to the
// end. vectorIndex and vectorCount are the first vector-area block as found during the scan
// and the number counted (-1 and 0 when none). A refused text leaves everything untouched.
ImageReadResult ReadImage54xx(const char* text, std::size_t size, ImageBlock54xx* table,
                              int maxBlocks, int& vectorIndex, int& vectorCount);

// Loads a file (resolved without regard to case) of at most bufferLimit bytes and reads it.
// An image without any data block is refused with NoData.
ImageReadResult LoadImageFile(const std::string& path, std::size_t bufferLimit,
                              ImageBlock* table, int maxBlocks, int& upperIndex);
ImageReadResult LoadImage54xxFile(const std::string& path, std::size_t bufferLimit,
                                  ImageBlock54xx* table, int maxBlocks, int& vectorIndex,
                                  int& vectorCount);

// Why an image was refused, as a message line (language 0 German, 1 English; Windows-1252).
std::string ImageErrorText(const ImageReadResult& result, const std::string& fileName,
                           int language);

// One contiguous run of bytes for the TI-TXT writer.
struct ImageSection {
  std::uint32_t address = 0;
  std::vector<std::uint8_t> bytes;
};

// TI-TXT text: one "@address" line per section, 16 values per line separated by blanks, CR LF
// line ends, closing "q".
std::string WriteTiTxt(const std::vector<ImageSection>& sections);

}  // namespace loaders
