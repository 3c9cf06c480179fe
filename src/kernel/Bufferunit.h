#pragma once
// The record store behind the event queue: a ring of fixed-size records with a read and a
// write position that wrap at the end of the store. Unlike a plain ring it never overwrites
// a pending record: when every slot is taken, the store grows (pending records keep their
// order) and the write goes on. So posting never fails and never loses an event, and in the
// normal case (a handful of pending records) it allocates nothing.
#include <cstddef>
#include <optional>
#include <utility>
#include <vector>

namespace kernel {

template <class Record>
class RingBuffer {
 public:
  static constexpr std::size_t kInitialCapacity = 50;

  explicit RingBuffer(std::size_t capacity = kInitialCapacity)
      : storage_(capacity == 0 ? 1 : capacity) {}

  // Stores one record after the newest one.
  void Write(const Record& record) {
    if (Size() == storage_.size()) Grow();
    if (write_ == storage_.size()) {
      write_ = 0;
      wrapped_ = true;
    }
    storage_[write_++] = record;
  }

  // Removes and returns the oldest record; nothing (and no change) when the store is empty.
  std::optional<Record> Read() {
    if (Size() == 0) return std::nullopt;
    if (read_ == storage_.size()) {
      read_ = 0;
      wrapped_ = false;
    }
    return storage_[read_++];
  }

  std::size_t Size() const {
    return wrapped_ ? storage_.size() - read_ + write_ : write_ - read_;
  }
  bool Empty() const { return Size() == 0; }
  std::size_t Capacity() const { return storage_.size(); }

 private:
  // Doubles the store, laying the pending records out from slot 0 in their order.
  void Grow() {
    std::vector<Record> bigger(storage_.size() * 2);
    const std::size_t n = Size();
    for (std::size_t i = 0; i < n; ++i) {
      std::size_t at = read_ + i;
      if (at >= storage_.size()) at -= storage_.size();
      bigger[i] = storage_[at];
    }
    storage_ = std::move(bigger);
    read_ = 0;
    write_ = n;
    wrapped_ = false;
  }

  std::vector<Record> storage_;
  std::size_t read_ = 0;   // next record to take
  std::size_t write_ = 0;  // where the next record goes
  bool wrapped_ = false;   // the writer has wrapped and the reader has not yet followed
};

}  // namespace kernel
