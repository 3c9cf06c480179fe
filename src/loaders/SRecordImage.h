#pragma once
// A Motorola S-record file as the Basic-Loader takes it, checked before a byte of it is sent:
// every line a well-formed record, the data records counted right and one end record last.
#include <cstddef>
#include <string>
#include <string_view>

namespace loaders {

struct SRecordFileCheck {
  bool ok = false;
  std::size_t line = 0;  // 1-based line of the first fault
  std::string why;       // what is wrong there (English, for the trace)
  std::size_t dataRecords = 0;
};

// Lines end with CR LF, LF or CR; empty lines are allowed. A record is "S", the type (0..9
// without the reserved 4), the count of the bytes that follow, the address (2 bytes for
// S0/S1/S5/S9, 3 for S2/S6/S8, 4 for S3/S7), the data and the one's complement of the low byte
// of the sum of count, address and data, all as hexadecimal digit pairs. S5/S6 must give the
// number of data records before them; count and end records carry no data; the end record
// (S7, S8 or S9) is the last record of the file and there is exactly one.
SRecordFileCheck CheckSRecordFile(std::string_view bytes);

}  // namespace loaders
