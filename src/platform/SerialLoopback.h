#pragma once
// The loopback backend: COM numbers (or device paths "loop:<name>") that lead to an
// in-process peer, for example the simulated instrument. Bytes the host writes reach the
// peer at once on the writing thread; what the peer emits is queued for the host's reads.
// While such a device has events that its receive thread has not yet turned into a posted
// message, it tells the headless application's virtual clock that it is not quiet.
#include <memory>
#include <string>
#include <vector>

#include "platform/Loopback.h"
#include "platform/SerialDevice.h"

namespace platform {

// "COM<comNumber> is this peer" (replaces an earlier registration of the number). The peer
// must outlive the registration and any open of the port.
void RegisterLoopbackPort(int comNumber, LoopbackPeer* peer);
void UnregisterLoopbackPort(int comNumber);
// A named peer for device paths "loop:<name>" in the COM port map.
void RegisterLoopbackPeer(const std::string& name, LoopbackPeer* peer);
void UnregisterLoopbackPeer(const std::string& name);

// The far side went away: the open device reports a hang-up (a pulled USB adapter).
void HangUpLoopbackPort(int comNumber);

namespace detail {
// Used by the COM port map.
LoopbackPeer* LoopbackPortPeer(int comNumber);
LoopbackPeer* LoopbackNamedPeer(const std::string& name);
bool LoopbackPortsRegistered(std::vector<int>& comNumbers);
bool LoopbackInUse(LoopbackPeer* peer);
SerialOpenResult OpenLoopback(int comNumber, const std::string& path, LoopbackPeer* peer);
}  // namespace detail

}  // namespace platform
