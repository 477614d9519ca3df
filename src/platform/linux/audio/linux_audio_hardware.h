#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/audio_hardware.h"
#include "platform/linux/audio/guardian_ledger.h"
#include "platform/linux/audio/mute_guardian.h"
#include "platform/linux/audio/server_connection.h"
#include "platform/linux/audio/server_state.h"
#include "platform/linux/audio/stream_memory.h"

namespace velmuro::linux_desktop {

// Core Audio statuses this backend answers with, beside those the seam names.
inline constexpr platform::OSStatus kAudioHardwareNotRunningError =
    static_cast<platform::OSStatus>(platform::fourCharCode("stop"));
inline constexpr platform::OSStatus kAudioHardwareUnknownPropertyError =
    static_cast<platform::OSStatus>(platform::fourCharCode("who?"));
inline constexpr platform::OSStatus kAudioHardwareBadPropertySizeError =
    static_cast<platform::OSStatus>(platform::fourCharCode("!siz"));

// How long the tool waits for the server to answer: a local server answers in milliseconds even
// on a loaded desktop, and a host must never wait long on one that has hung.
inline constexpr ServerConnection::Milliseconds kServerTimeout{1000};
// How soon after a stream appears the server's memory applies a remembered mute to it:
// PulseAudio does so as it creates the stream, WirePlumber a few milliseconds later.
inline constexpr std::chrono::milliseconds kRememberedMuteWindow{2000};

// The audio calls on the desktop's sound server through libpulse (PulseAudio, or PipeWire's
// pipewire-pulse). The server's client processes are the process objects; a tap covers the
// playback streams of its processes, and a stream is muted while a tap that mutes it is carried
// by a running device. The mute is acknowledged before deviceStart returns; stopping gives back
// exactly the mutes the tool made, and the server's memory of them. The connection is made on
// the first call, and made again whenever the server goes away and comes back, its covered
// streams muted again while the hold lasts; a guardian process gives everything back if the tool
// ends while muting, and without it the tool mutes nothing.
class LinuxAudioHardware final : public platform::AudioHardware {
 public:
  LinuxAudioHardware() = default;
  ~LinuxAudioHardware() override;

  // Starts connecting to the server without waiting, so that the connection is made while the
  // caller does other work; the first call that needs the server waits for it.
  void beginConnecting();

  platform::OSStatus getPropertyDataSize(platform::AudioObjectID object,
                                         const platform::AudioObjectPropertyAddress& address,
                                         std::uint32_t qualifierSize, const void* qualifier,
                                         std::uint32_t& outSize) override;
  platform::OSStatus getPropertyData(platform::AudioObjectID object,
                                     const platform::AudioObjectPropertyAddress& address,
                                     std::uint32_t qualifierSize, const void* qualifier,
                                     std::uint32_t& ioSize, void* outData) override;
  platform::OSStatus getStringPropertyData(platform::AudioObjectID object,
                                           const platform::AudioObjectPropertyAddress& address,
                                           std::string& outText) override;
  platform::OSStatus createProcessTap(const platform::TapDescription& description,
                                      platform::AudioObjectID& outTap) override;
  platform::OSStatus destroyProcessTap(platform::AudioObjectID tap) override;
  platform::OSStatus createAggregateDevice(const platform::AggregateDeviceDescription& description,
                                           platform::AudioObjectID& outDevice) override;
  platform::OSStatus destroyAggregateDevice(platform::AudioObjectID device) override;
  platform::OSStatus createIOProcID(platform::AudioObjectID device,
                                    platform::AudioDeviceIOProc proc, void* clientData,
                                    platform::AudioDeviceIOProcID& outID) override;
  platform::OSStatus destroyIOProcID(platform::AudioObjectID device,
                                     platform::AudioDeviceIOProcID procID) override;
  platform::OSStatus deviceStart(platform::AudioObjectID device,
                                 platform::AudioDeviceIOProcID procID) override;
  platform::OSStatus deviceStop(platform::AudioObjectID device,
                                platform::AudioDeviceIOProcID procID) override;

 private:
  struct Tap {
    platform::TapDescription description;
    std::string uid;
    // The PIDs of the description's process objects.
    std::set<pid_t> pids;
  };
  struct Device {
    std::vector<std::string> tapUIDs;
  };
  struct IOProc {
    platform::AudioObjectID device = 0;
    bool running = false;
  };
  // A remembered mute the tool changed by muting a stream.
  struct ChangedMemory {
    bool mutedBefore = false;
    bool beforeKnown = false;
    std::chrono::steady_clock::time_point since;
  };
  // A mute or unmute in flight.
  struct MuteRequest {
    LinuxAudioHardware* hardware;
    std::uint32_t stream;
    bool mute;
  };
  enum class Action { kNone, kMute, kUnmute };
  enum class Server { kUnknown, kConnecting, kAvailable, kUnavailable };

  // Connects on the first call, or finishes what beginConnecting started; true when the server
  // is there and its clients and streams are known.
  bool ensureServer();
  // Asks for what the tool follows (runs on the loop thread once the connection is up).
  void onConnected();
  // Locks the event loop when there is one. Its thread reads the taps, devices and procedures,
  // which only the calling thread changes, always under this lock.
  std::optional<ServerConnection::Lock> lockLoop();
  std::optional<pid_t> presentProcess(platform::AudioObjectID object) const;
  std::vector<platform::AudioObjectID> processObjects() const;
  platform::AudioObjectID objectForPID(pid_t pid);
  bool tapMutes(const Tap& tap) const;
  bool isCovered(pid_t pid) const;

  // Decides what a stream needs, taking it into the tool's hold first when it will be muted.
  Action planStream(std::uint32_t index, ServerStream& stream);
  void apply(std::uint32_t index, ServerStream& stream, Action action);
  void reconcileStream(std::uint32_t index);
  void reconcileAll();
  // Brings every stream to what the taps ask, waiting for the server's answers; gives the
  // server's memory back once nothing is muted any more.
  platform::OSStatus settle(bool refresh);
  bool rememberedMuteAtBirth(ServerStream& stream);
  void holdStream(std::uint32_t index, pid_t pid, const std::string& memoryKey);
  // True when a stream the tool does not hold is muted under the same memory name.
  bool otherStreamMuted(std::uint32_t index, const std::string& memoryKey) const;
  void releaseStream(std::uint32_t index);
  void requestMute(std::uint32_t index, ServerStream& stream, bool mute);
  void readMemoryBefore();
  void giveMemoryBack();
  void onConnectionLost();
  void onGuardianGone();

  static void onSubscription(pa_context* context, pa_subscription_event_type_t event,
                             std::uint32_t index, void* self);
  static void onServerInfo(pa_context* context, const pa_server_info* info, void* self);
  static void onClientInfo(pa_context* context, const pa_client_info* info, int eol, void* self);
  static void onStreamInfo(pa_context* context, const pa_sink_input_info* info, int eol,
                           void* self);
  static void onAnswered(pa_context* context, int success, void* self);
  static void onMuteAnswered(pa_context* context, int success, void* request);

  Server server_ = Server::kUnknown;
  bool pipewire_ = false;
  const PulseLibrary* pulse_ = nullptr;
  MuteGuardian guardian_;
  std::unique_ptr<ServerConnection> connection_;
  std::unique_ptr<StreamMemory> memory_;
  ServerState state_;

  platform::AudioObjectID nextObjectID_ = 100;
  std::uintptr_t nextIOProcID_ = 1;
  std::map<pid_t, platform::AudioObjectID> objectOfPID_;
  std::map<platform::AudioObjectID, pid_t> pidOfObject_;
  std::map<platform::AudioObjectID, Tap> taps_;
  std::map<platform::AudioObjectID, Device> devices_;
  std::map<std::uintptr_t, IOProc> ioProcs_;

  // The streams the tool holds muted, with the PID of their process.
  std::map<std::uint32_t, pid_t> held_;
  std::map<std::string, ChangedMemory> changedMemory_;
  std::vector<std::string> memoryToRead_;
  std::list<MuteRequest> muteRequests_;
  // Streams whose unmute the server has answered but not yet announced to its subscribers.
  std::set<std::uint32_t> unannounced_;
  bool muteRefused_ = false;
  // Set once a wait on the server has timed out.
  bool unanswered_ = false;
  bool connectedBefore_ = false;
  // Set once the connection has been made again after the server went away.
  bool reconnected_ = false;
};

}  // namespace velmuro::linux_desktop
