#pragma once
// A window that records the messages posted to it, with the headless application.
#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/Components.h"
#include "platform/Headless.h"

namespace comport_test {

struct Received {
  std::uint32_t message;
  std::intptr_t wparam;
  std::uint32_t at;  // application clock, ms
};

class RecordingForm : public platform::Form {
 public:
  RecordingForm() : platform::Form(nullptr, "TestForm") {}
  void HandleMessage(std::uint32_t message, std::intptr_t wparam, std::intptr_t) override {
    got.push_back({message, wparam, platform::App().GetClock().Milliseconds()});
  }
  std::size_t Count(std::uint32_t message) const {
    std::size_t n = 0;
    for (const auto& r : got) n += r.message == message;
    return n;
  }
  std::vector<Received> got;
};

}  // namespace comport_test
