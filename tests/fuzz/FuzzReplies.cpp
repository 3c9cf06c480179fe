// The instrument's reply parser and the boot-loader frames: the byte stream of one port, cut
// into reads at points the input chooses, with the boot markers wanted or not.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kernel/Events.h"
#include "update/Replies.h"

namespace {

class StreamHost : public update::ReplyHost {
 public:
  explicit StreamHost(FuzzedDataProvider& data) : data_(data) {}
  int PortIndexOf(int com) override { return com == 3 ? 0 : -1; }
  int ReadPort(int index, char* buf, unsigned n) override {
    if (index != 0) return -10;
    const std::size_t want = data_.ConsumeIntegralInRange<std::size_t>(0, n);
    const std::string bytes = data_.ConsumeBytesAsString(want);
    std::memcpy(buf, bytes.data(), bytes.size());
    return static_cast<int>(bytes.size());
  }
  int InstrumentPort() const override { return instrument_; }
  void SetInstrumentPort(int index, int) override { instrument_ = index; }
  void Trace(const std::string& line) override {
    if (line.size() > update::ReplyParser::kLineCap + 3) std::abort();  // the line and " <-"
  }

 private:
  FuzzedDataProvider& data_;
  int instrument_ = -1;
};

// A text payload must end inside its slot.
void CheckText(const char* text, std::size_t cap) {
  if (std::strlen(text) >= cap) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  FuzzedDataProvider data(bytes, size);
  StreamHost host(data);
  kernel::EventQueue queue;
  update::ReplyParser parser(host, queue);
  while (data.remaining_bytes() > 0) {
    const std::uint8_t op = data.ConsumeIntegral<std::uint8_t>();
    if (op < 8) parser.SetBootMarkersWanted(op & 1);
    else if (op == 8) parser.ClearReceive();
    parser.ReadReplies(op == 9 ? 4 : 3);  // now and then a port the window does not have
    if (parser.ReceiveLength() > update::ReplyParser::kReceiveCap) std::abort();
    if (parser.Received().size() != parser.ReceiveLength()) std::abort();
    CheckText(parser.ReplyText(), update::ReplyParser::kReplyTextCap);
    CheckText(parser.IdentText(), update::ReplyParser::kIdentCap);
    while (queue.Pending() > 0) {
      const kernel::Event ev = queue.TakeEvent();
      // Every pointer payload points into the parser's own fields and stays readable; the
      // others are small numbers (a marker byte).
      const auto at = reinterpret_cast<std::intptr_t>(&parser);
      const bool inParser = ev.payload >= at && ev.payload < at + static_cast<std::intptr_t>(sizeof parser);
      if (inParser && !parser.IsValuePayload(ev.payload))
        CheckText(reinterpret_cast<const char*>(ev.payload), update::ReplyParser::kReplyTextCap);
      if (!inParser && (ev.payload > 0xFFFF || ev.payload < -0xFFFF)) std::abort();
    }
  }
  return 0;
}
