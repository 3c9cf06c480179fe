#include "sim/FileListReceiver.h"

namespace sim {

bool FileListReceiver::Announce(const std::string& name) {
  ++announcements_;
  open_ = false;
  if (name.empty()) return false;
  current_ = UploadedFile{name, {}};
  open_ = true;
  return true;
}

bool FileListReceiver::Packet(const std::vector<std::uint8_t>& data) {
  if (!open_) return false;
  ++packets_;
  current_.data.insert(current_.data.end(), data.begin(), data.end());
  return true;
}

bool FileListReceiver::Close() {
  if (!open_) return false;
  open_ = false;
  received_.push_back(current_.name);
  for (UploadedFile& f : files_)
    if (f.name == current_.name) {
      f.data = std::move(current_.data);
      return true;
    }
  files_.push_back(std::move(current_));
  return true;
}

}  // namespace sim
