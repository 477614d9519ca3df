#pragma once

#include <chrono>

#include "platform/linux/audio/guardian_ledger.h"
#include "platform/linux/audio/pulse_library.h"

namespace velmuro::linux_desktop {

// How long the guardian keeps at giving everything back once the tool has gone. Nobody waits on
// it, so a server that restarts, or is stopped for a while, still gets its mutes given back.
inline constexpr std::chrono::seconds kGuardianPatience{60};

// Connects to the sound server, again whenever the connection fails or is lost, until the
// deadline: unmutes each stream the tool held that is still there, of the same process and muted
// (after a restart of the server, each stream of a process whose stream the tool held that came
// muted under a name whose memory the tool changed from unmuted), then puts the memory back.
void giveBack(const PulseLibrary& pulse, const GuardianLedger& ledger,
              std::chrono::steady_clock::time_point deadline);

}  // namespace velmuro::linux_desktop
