#include "loaders/Image.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>

#include "platform/Files.h"

namespace loaders {
namespace {

constexpr int kLinesPerBlock = 15;
constexpr std::uint32_t kUpperStart = 0x10000;
constexpr std::uint32_t kClassicEnd = 0x20000;  // memory offset 0 or 1 reaches no further
constexpr std::uint32_t kTopSegment = 0xFE00;

// A block while the text is scanned: the full start address and the data bytes.
struct WorkBlock {
  std::uint32_t start = 0;
  int count = 0;
  int lines = 0;
  std::uint8_t data[kBlockDataMax] = {};
  std::uint32_t End() const { return start + static_cast<std::uint32_t>(count); }
};

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

enum class Layout { Classic, Fivexx };

bool IsBlank(char c) { return c == ' '; }

// One text line without its line end (LF or CR LF).
struct TextLine {
  const char* at;
  std::size_t size;
};

// The character scanner shared by both readers. A TI-TXT text is a sequence of lines: "@"
// and a hexadecimal address opens a section, data lines hold values of two hexadecimal
// digits separated by single blanks, "q" ends the image. Anything else is a damaged file,
// and a text without its closing "q" was cut off; both are refused. 15 data lines make a
// block, as do 246 bytes, whichever comes first; every byte lands at the address the file
// gives it.
class Scanner {
 public:
  Scanner(Layout layout, int maxBlocks) : layout_(layout), maxBlocks_(maxBlocks) {}

  ImageReadResult Run(const char* text, std::size_t size) {
    bool ended = false;
    std::size_t pos = 0;
    while (pos < size && ok()) {
      std::size_t end = pos;
      while (end < size && text[end] != '\n') ++end;
      TextLine line{text + pos, end - pos};
      const bool lineEnd = end < size;
      pos = lineEnd ? end + 1 : size;
      if (line.size > 0 && line.at[line.size - 1] == '\r') --line.size;
      ++line_;
      if (line.size > 0 && line.at[0] == 'q') {  // what follows "q" is not part of the image
        ended = true;
        break;
      }
      if (!lineEnd) break;  // a last line cut off: the file is incomplete, whatever it holds
      if (line.size > 0 && line.at[0] == '@')
        OpenSection(line);
      else
        DataLine(line);
    }
    if (!ok()) return result_;
    if (!ended) {
      result_.error = ImageError::Incomplete;
      result_.line = 0;
      return result_;
    }
    if (limitReached_) CloseAtLimit();
    // The image's end closes its last section like a new section would: the loaders write
    // whole words only.
    if (!blocks_.empty()) PadToWord(blocks_.back());
    if (!ok()) return result_;
    // A last block without data is not counted.
    if (!blocks_.empty() && blocks_.back().count == 0) {
      trailingEmpty_ = blocks_.back();
      blocks_.pop_back();
    }
    result_.lastIndex = static_cast<int>(blocks_.size()) - 1;
    if (upperIndex_ > result_.lastIndex) upperIndex_ = -1;
    return result_;
  }

  std::vector<WorkBlock>& Blocks() { return blocks_; }
  int UpperIndex() const { return upperIndex_; }
  int VectorIndex() const { return vectorIndex_; }
  int VectorCount() const { return vectorCount_; }
  const std::optional<WorkBlock>& TrailingEmpty() const { return trailingEmpty_; }

 private:
  bool ok() const { return result_.error == ImageError::None; }
  void Fail(ImageError error) {
    if (ok()) {
      result_.error = error;
      result_.line = line_;
    }
  }
  int Current() const { return static_cast<int>(blocks_.size()) - 1; }

  // A value field that holds other printable characters is a bad value; blanks in the wrong
  // place, control characters and bytes beyond ASCII make the line damaged.
  static ImageError FieldError(char a, char b) {
    auto printable = [](char c) { return c > ' ' && c < 0x7F; };
    return printable(a) && printable(b) ? ImageError::BadValue : ImageError::Damaged;
  }

  // Trailing blanks are tolerated; the rest of the line must be empty then.
  static bool OnlyBlanks(const TextLine& line, std::size_t from) {
    for (std::size_t p = from; p < line.size; ++p)
      if (!IsBlank(line.at[p])) return false;
    return true;
  }

  void OpenSection(const TextLine& line) {
    std::uint64_t address = 0;
    std::size_t p = 1;
    for (; p < line.size && !IsBlank(line.at[p]); ++p) {
      const int d = HexDigit(line.at[p]);
      if (d < 0) return Fail(FieldError(line.at[p], line.at[p]));
      if (p > 8) return Fail(ImageError::BadValue);  // more than 32 bits
      address = address * 16 + static_cast<unsigned>(d);
    }
    if (p == 1) return Fail(p < line.size ? ImageError::Damaged : ImageError::BadValue);
    if (!OnlyBlanks(line, p)) return Fail(ImageError::Damaged);

    if (limitReached_) CloseAtLimit();
    if (!blocks_.empty()) PadToWord(blocks_.back());  // loaders write whole words
    if (!ok()) return;
    if (layout_ == Layout::Classic) {
      if (address >= kClassicEnd) return Fail(ImageError::AddressTooHigh);
      // Blocks behind UpperIndex are written with memory offset 1: lower data there would
      // land 64 KB too high.
      if (address < kUpperStart && upperIndex_ >= 0) return Fail(ImageError::SectionOrder);
    }
    if (blocks_.empty() || blocks_.back().count > 0) blocks_.emplace_back();
    WorkBlock& block = blocks_.back();
    block.start = static_cast<std::uint32_t>(address);
    block.count = 0;
    block.lines = 0;
    if (layout_ == Layout::Classic) {
      if (address >= kUpperStart && upperIndex_ < 0) upperIndex_ = Current();
    } else if (address >= kTopSegment && address < kUpperStart) {
      CountVectorBlock();
    }
  }

  void CountVectorBlock() {
    if (vectorIndex_ < 0) vectorIndex_ = Current();
    ++vectorCount_;
  }

  // Reads the values of a data line; false (with the error set) when the line is damaged.
  bool Values(const TextLine& line) {
    values_.clear();
    std::size_t p = 0;
    while (p < line.size) {
      if (p + 1 >= line.size) {  // one digit where a value should be
        Fail(ImageError::Damaged);
        return false;
      }
      const int hi = HexDigit(line.at[p]), lo = HexDigit(line.at[p + 1]);
      if (hi < 0 || lo < 0) {
        Fail(FieldError(line.at[p], line.at[p + 1]));
        return false;
      }
      values_.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
      p += 2;
      if (p == line.size) break;
      if (!IsBlank(line.at[p])) {  // a third digit, a tab, a NUL ...
        Fail(ImageError::Damaged);
        return false;
      }
      ++p;
      if (p < line.size && IsBlank(line.at[p])) {  // two blanks: only the line's end may follow
        if (!OnlyBlanks(line, p)) {
          Fail(ImageError::Damaged);
          return false;
        }
        break;
      }
    }
    return true;
  }

  void DataLine(const TextLine& line) {
    if (OnlyBlanks(line, 0)) return;  // an empty line carries nothing
    if (!Values(line)) return;
    if (blocks_.empty()) return Fail(ImageError::DataBeforeSection);
    if (limitReached_) {
      // The block that reached its line limit ends where this line goes on. An odd byte
      // count moves the last byte into the next block, so that the block stays whole words
      // and every byte keeps its address.
      limitReached_ = false;
      WorkBlock& cur = blocks_.back();
      const bool carry = cur.count % 2 != 0;
      const std::uint8_t carried = carry ? cur.data[cur.count - 1] : 0;
      if (carry) cur.data[--cur.count] = 0;
      CloseBlock();
      if (carry) Append(carried);
    }
    for (std::uint8_t v : values_) {
      Append(v);
      if (!ok()) return;
    }
    if (++blocks_.back().lines >= kLinesPerBlock) limitReached_ = true;
  }

  // Ends the current block and starts the next one right behind it.
  void CloseBlock() {
    const WorkBlock& cur = blocks_.back();
    if (layout_ == Layout::Fivexx && cur.End() >= kTopSegment && cur.start < kUpperStart)
      CountVectorBlock();
    WorkBlock next;
    next.start = cur.End();
    blocks_.push_back(next);
  }

  // The line limit followed by a section or the image's end: the block is padded to whole
  // words and closed. The pad is the erased value, as at any other section end: it lies at
  // an address the file gives no byte for (or that the next section writes), and flash
  // programmed with 0xFF stays as it was.
  void CloseAtLimit() {
    limitReached_ = false;
    PadToWord(blocks_.back());
    if (ok()) CloseBlock();
  }

  // Pads a block of odd length to whole words with the erased value. A classic block that
  // ends at 0x10000 has no room for the pad: the loader's 16-bit address would wrap to 0x0000
  // (and a frame of odd length leaves its last byte out of the checksum), so such a file,
  // with a section at an odd address running up to 0xFFFF, is refused.
  void PadToWord(WorkBlock& b) {
    if (b.count % 2 == 0) return;
    if (layout_ == Layout::Classic && b.start < kUpperStart && b.End() == kUpperStart)
      return Fail(ImageError::OddEndAt64K);
    if (layout_ == Layout::Classic && b.End() == kClassicEnd) return Fail(ImageError::AddressTooHigh);
    b.data[b.count++] = 0xFF;
  }

  void Append(std::uint8_t value) {
    WorkBlock* cur = &blocks_.back();
    if (layout_ == Layout::Classic) {
      // A block never spans 0x10000: the classic loader reaches upper memory only through
      // the memory offset.
      if (cur->start < kUpperStart && cur->End() == kUpperStart) {
        if (cur->count % 2 != 0) return Fail(ImageError::OddEndAt64K);
        WorkBlock next;
        next.start = kUpperStart;
        blocks_.push_back(next);
        cur = &blocks_.back();
      }
      if (cur->End() >= kClassicEnd) return Fail(ImageError::AddressTooHigh);
    }
    if (cur->count >= static_cast<int>(kBlockDataMax)) {  // full: the next block goes on
      CloseBlock();
      cur = &blocks_.back();
    }
    if (layout_ == Layout::Classic && cur->count == 0 && cur->start >= kUpperStart &&
        upperIndex_ < 0)
      upperIndex_ = Current();
    if (cur->count == 0 && Current() >= maxBlocks_) return Fail(ImageError::TooManyBlocks);
    cur->data[cur->count++] = value;
  }

  Layout layout_;
  int maxBlocks_;
  std::vector<WorkBlock> blocks_;
  std::vector<std::uint8_t> values_;
  std::optional<WorkBlock> trailingEmpty_;
  bool limitReached_ = false;  // the current block holds 15 lines; closed by what follows
  int upperIndex_ = -1;
  int vectorIndex_ = -1;
  int vectorCount_ = 0;
  int line_ = 0;  // number of the line being read (1-based)
  ImageReadResult result_;
};

template <typename Block>
void Store(const WorkBlock& from, Block& to, std::uint32_t address, int header) {
  to.address = static_cast<decltype(to.address)>(address);
  to.length = static_cast<std::uint16_t>(header + from.count);
  std::memcpy(to.data, from.data, static_cast<std::size_t>(from.count));
}

bool EndsInTopSegment(const WorkBlock& b) { return b.End() >= kTopSegment; }

}  // namespace

ImageReadResult ReadImage(const char* text, std::size_t size, ImageBlock* table, int maxBlocks,
                          int& upperIndex) {
  if (!text) size = 0;
  Scanner scanner(Layout::Classic, maxBlocks);
  ImageReadResult result = scanner.Run(text, size);
  if (!result.ok()) return result;
  std::vector<WorkBlock>& blocks = scanner.Blocks();
  int upper = scanner.UpperIndex();

  // Images with upper blocks: the top segment (interrupt vectors) goes last, behind an empty
  // marker block, so that the procedure erases and writes it after everything else.
  std::vector<int> order;  // block indices; -1 is the marker
  if (upper > 0) {
    std::vector<int> moved;
    for (int i = 0; i < upper; ++i)
      (EndsInTopSegment(blocks[static_cast<std::size_t>(i)]) ? moved : order).push_back(i);
    if (!moved.empty()) {
      for (int i = upper; i < static_cast<int>(blocks.size()); ++i) order.push_back(i);
      order.push_back(-1);
      order.insert(order.end(), moved.begin(), moved.end());
      upper -= static_cast<int>(moved.size());
    } else {
      order.clear();
    }
  }
  if (order.empty())
    for (int i = 0; i < static_cast<int>(blocks.size()); ++i) order.push_back(i);
  if (static_cast<int>(order.size()) > maxBlocks) return {-1, ImageError::TooManyBlocks, 0};

  if (maxBlocks > 0) std::memset(table, 0, sizeof(ImageBlock) * static_cast<std::size_t>(maxBlocks));
  for (std::size_t i = 0; i < order.size(); ++i) {
    if (order[i] < 0) continue;  // the marker stays all zero
    const WorkBlock& b = blocks[static_cast<std::size_t>(order[i])];
    Store(b, table[i], b.start >= kUpperStart ? b.start - kUpperStart : b.start, 4);
  }
  upperIndex = upper;
  result.lastIndex = static_cast<int>(order.size()) - 1;
  return result;
}

ImageReadResult ReadImage54xx(const char* text, std::size_t size, ImageBlock54xx* table,
                              int maxBlocks, int& vectorIndex, int& vectorCount) {
  if (!text) size = 0;
  Scanner scanner(Layout::Fivexx, maxBlocks);
  ImageReadResult result = scanner.Run(text, size);
  if (!result.ok()) return result;
  std::vector<WorkBlock>& blocks = scanner.Blocks();
  const int first = scanner.VectorIndex();
  const int count = scanner.VectorCount();

  // The vector-area run goes to the end; a count beyond the last block is cut there.
  if (first > 0 && first < static_cast<int>(blocks.size())) {
    const auto begin = blocks.begin() + first;
    const auto end = blocks.begin() + std::min<int>(first + count, static_cast<int>(blocks.size()));
    std::rotate(begin, end, blocks.end());
  }

  if (maxBlocks > 0) std::memset(table, 0, sizeof(ImageBlock54xx) * static_cast<std::size_t>(maxBlocks));
  for (std::size_t i = 0; i < blocks.size(); ++i) Store(blocks[i], table[i], blocks[i].start, 6);
  // The last block without data is not counted but stays in the table.
  if (scanner.TrailingEmpty() && static_cast<int>(blocks.size()) < maxBlocks)
    Store(*scanner.TrailingEmpty(), table[blocks.size()], scanner.TrailingEmpty()->start, 6);
  vectorIndex = first;
  vectorCount = count;
  return result;
}

namespace {

// Reads the file into memory, or says why not.
ImageError LoadText(const std::string& path, std::size_t bufferLimit, std::string& text) {
  const auto found = platform::files::Resolve("", path);
  if (!found || !platform::files::IsFile(*found)) return ImageError::CannotOpen;
  const std::int64_t size = platform::files::FileSize(*found);
  if (size < 0) return ImageError::CannotOpen;
  if (static_cast<std::uint64_t>(size) > bufferLimit) return ImageError::TooBig;
  auto bytes = platform::files::ReadWholeFile(*found, bufferLimit);
  if (!bytes) return ImageError::CannotOpen;
  text = std::move(*bytes);
  return ImageError::None;
}

}  // namespace

ImageReadResult LoadImageFile(const std::string& path, std::size_t bufferLimit,
                              ImageBlock* table, int maxBlocks, int& upperIndex) {
  std::string text;
  if (ImageError e = LoadText(path, bufferLimit, text); e != ImageError::None) return {-1, e, 0};
  int upper = -1;
  ImageReadResult r = ReadImage(text.data(), text.size(), table, maxBlocks, upper);
  if (r.ok() && r.lastIndex < 0) return {-1, ImageError::NoData, 0};
  if (r.ok()) upperIndex = upper;
  return r;
}

ImageReadResult LoadImage54xxFile(const std::string& path, std::size_t bufferLimit,
                                  ImageBlock54xx* table, int maxBlocks, int& vectorIndex,
                                  int& vectorCount) {
  std::string text;
  if (ImageError e = LoadText(path, bufferLimit, text); e != ImageError::None) return {-1, e, 0};
  int index = -1, count = 0;
  ImageReadResult r = ReadImage54xx(text.data(), text.size(), table, maxBlocks, index, count);
  if (r.ok() && r.lastIndex < 0) return {-1, ImageError::NoData, 0};
  if (r.ok()) {
    vectorIndex = index;
    vectorCount = count;
  }
  return r;
}

std::string ImageErrorText(const ImageReadResult& result, const std::string& fileName,
                           int language) {
  const bool de = language == 0;
  std::string reason;
  switch (result.error) {
    case ImageError::None: return {};
    case ImageError::CannotOpen:
      reason = de ? "kann nicht ge\xF6" "ffnet werden" : "cannot be opened";
      break;
    case ImageError::TooBig:
      reason = de ? "ist zu gro\xDF" : "is too big";
      break;
    case ImageError::TooManyBlocks:
      reason = de ? "hat zu viele Bl\xF6" "cke" : "has too many blocks";
      break;
    case ImageError::BadValue:
      reason = de ? "enth\xE4lt einen ung\xFCltigen Hexadezimalwert"
                  : "holds a value that is not hexadecimal";
      break;
    case ImageError::AddressTooHigh:
      reason = de ? "hat Daten oberhalb 0x1FFFF" : "has data above 0x1FFFF";
      break;
    case ImageError::OddEndAt64K:
      reason = de ? "hat Daten ab einer ungeraden Adresse bis 0xFFFF, die der Lader nicht wortweise schreiben kann"
                  : "has data from an odd address up to 0xFFFF, which the loader cannot write as whole words";
      break;
    case ImageError::SectionOrder:
      reason = de ? "hat Daten unter 0x10000 nach Daten dar\xFC" "ber"
                  : "has data below 0x10000 after data above it";
      break;
    case ImageError::DataBeforeSection:
      reason = de ? "hat Daten vor der ersten Adresszeile" : "has data before its first address line";
      break;
    case ImageError::Damaged:
      reason = de ? "ist besch\xE4" "digt" : "is damaged";
      break;
    case ImageError::Incomplete:
      reason = de ? "ist unvollst\xE4ndig (das abschlie\xDF" "ende \"q\" fehlt)"
                  : "is incomplete (the closing \"q\" is missing)";
      break;
    case ImageError::NoData:
      reason = de ? "enth\xE4lt keine Daten" : "holds no data";
      break;
  }
  std::string text = (de ? "Datei " : "File ") + fileName + " " + reason;
  if (result.line > 0) text += (de ? " (Zeile " : " (line ") + std::to_string(result.line) + ")";
  return text + " !";
}

std::string WriteTiTxt(const std::vector<ImageSection>& sections) {
  std::string out;
  char buf[16];
  for (const ImageSection& s : sections) {
    std::snprintf(buf, sizeof buf, "@%04X\r\n", static_cast<unsigned>(s.address));
    out += buf;
    for (std::size_t i = 0; i < s.bytes.size(); ++i) {
      std::snprintf(buf, sizeof buf, "%02X", s.bytes[i]);
      out += buf;
      out += (i % 16 == 15 || i + 1 == s.bytes.size()) ? "\r\n" : " ";
    }
  }
  return out + "q\r\n";
}

}  // namespace loaders
