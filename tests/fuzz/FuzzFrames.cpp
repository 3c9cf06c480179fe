// The loaders' frame readers on their own: the 5xx loader's answers taken from the front of
// a received stream, the classic loader's reply frames, the XMODEM sender fed the receiver's
// bytes (and silences), and the loader's version and checksum replies.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "loaders/Bsl54xxFrame.h"
#include "loaders/BslFrame.h"
#include "loaders/Xmodem.h"

namespace {

void FiveXX(const std::vector<std::uint8_t>& rx) {
  namespace b5 = loaders::bsl54xx;
  std::size_t at = 0;
  while (at < rx.size()) {
    const b5::Front f = b5::ReadFront(rx.data() + at, rx.size() - at);
    if (f.answer == b5::Answer::Incomplete) break;
    if (f.size == 0 || f.size > rx.size() - at) std::abort();
    if (f.answer == b5::Answer::Reply && b5::ReplyCoreSize(rx.data() + at) + 5 != f.size) std::abort();
    at += f.size;
  }
}

void Classic(const std::vector<std::uint8_t>& rx) {
  namespace bsl = loaders::bsl;
  for (std::size_t at = 0; at < rx.size(); ++at) {
    if (rx[at] != bsl::kHeader) continue;
    const std::size_t n = bsl::ReplyFrameSize(rx.data() + at, rx.size() - at);
    if (n > 0 && n <= rx.size() - at) (void)bsl::VerifyReplyFrame(rx.data() + at, n);
  }
}

void Sender(FuzzedDataProvider& data) {
  namespace xm = loaders::xmodem;
  const std::uint32_t packets = data.ConsumeIntegralInRange<std::uint32_t>(1, 300);
  xm::Sender s(packets);
  std::uint32_t acknowledged = 0;
  bool ended = false;
  while (data.remaining_bytes() > 0) {
    xm::Sender::Reaction r;
    if (data.ConsumeIntegralInRange<int>(0, 7) == 0) {
      r = s.OnSilence();
    } else {
      const std::vector<std::uint8_t> rx = data.ConsumeBytes<std::uint8_t>(data.ConsumeIntegralInRange<std::size_t>(0, 8));
      r = s.OnReceived(rx.data(), rx.size());
    }
    if (r.acknowledged) ++acknowledged;
    if (r.send == xm::Sender::Send::Packet && (r.packet < 1 || r.packet > packets)) std::abort();
    if (r.send == xm::Sender::Send::Packet) (void)xm::BuildPacket(xm::Image{std::vector<std::uint8_t>(packets * 128), packets, 0, 0}, r.packet);
    if (ended && !s.Ended()) std::abort();  // an end is final
    if (ended && r.send != xm::Sender::Send::Nothing) std::abort();
    ended = s.Ended();
  }
  // The transfer finishes only with every packet taken once, in order, and the EOT taken.
  if (s.GetState() == xm::Sender::State::Finished && acknowledged != packets) std::abort();
  if (acknowledged > packets) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  FuzzedDataProvider data(bytes, size);
  const std::string text = data.ConsumeRandomLengthString(40);
  (void)loaders::emf::NeedsUnlockCode(text);
  (void)loaders::emf::VersionLabel(text);
  const auto sum = loaders::emf::ParseChecksum(text);
  (void)sum;
  (void)loaders::bsl54xx::PasswordFromVectorText(text);
  const std::vector<std::uint8_t> rx = data.ConsumeBytes<std::uint8_t>(data.ConsumeIntegralInRange<std::size_t>(0, 600));
  FiveXX(rx);
  Classic(rx);
  Sender(data);
  return 0;
}
