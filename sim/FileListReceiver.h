#pragma once
// The instrument's receiving side of the file-list upload, part of its command protocol:
// "A.12000#name" announces a file, "A.12010#" followed by one length byte n and n data bytes
// carries a packet of it (no line end: the length says where it ends), "A.12030" closes it,
// and the instrument keeps it under the announced name. Each step is answered with "!"; what
// it cannot take with "?".
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

struct UploadedFile {
  std::string name;  // as announced
  std::vector<std::uint8_t> data;
};

class FileListReceiver {
 public:
  // A new announcement drops a file still open (its packets stopped coming). An empty name
  // is refused.
  bool Announce(const std::string& name);
  // Refused without an open file.
  bool Packet(const std::vector<std::uint8_t>& data);
  // Keeps the open file, replacing one of the same name; refused without an open file.
  bool Close();

  bool FileOpen() const { return open_; }
  const std::vector<UploadedFile>& Files() const { return files_; }
  // Names in the order their files were closed (a name sent twice appears twice).
  const std::vector<std::string>& Received() const { return received_; }
  int Packets() const { return packets_; }
  int Announcements() const { return announcements_; }

 private:
  bool open_ = false;
  UploadedFile current_;
  std::vector<UploadedFile> files_;
  std::vector<std::string> received_;
  int packets_ = 0;
  int announcements_ = 0;
};

}  // namespace sim
