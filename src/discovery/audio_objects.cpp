#include "discovery/audio_objects.h"

#include <new>

#include "text/utf8.h"

namespace velmuro::discovery {

using platform::AudioObjectID;

namespace {

// No system has more processes than this (Linux allows at most 2^22 PIDs, macOS far fewer), so a
// longer process object list is a broken answer rather than a list to hold.
constexpr std::size_t kMaxProcessObjects = std::size_t{1} << 22;

// A list of count zeros; absent when it cannot be held.
std::optional<std::vector<AudioObjectID>> zeroedList(std::size_t count) {
  if (count > kMaxProcessObjects) return std::nullopt;
  try {
    return std::vector<AudioObjectID>(count, 0);
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

// Reads a 4-byte property into a value that starts at 0.
template <typename T>
std::optional<T> readScalar(platform::AudioHardware& audio, AudioObjectID object,
                            std::uint32_t selector, std::uint32_t qualifierSize = 0,
                            const void* qualifier = nullptr) {
  static_assert(sizeof(T) == 4);
  T value{};
  std::uint32_t size = sizeof value;
  platform::AudioObjectPropertyAddress address = getPropertyAddress(selector);
  if (audio.getPropertyData(object, address, qualifierSize, qualifier, size, &value) !=
      platform::kNoErr) {
    return std::nullopt;
  }
  return value;
}

}  // namespace

platform::AudioObjectPropertyAddress getPropertyAddress(std::uint32_t selector) {
  return {selector, platform::kAudioObjectPropertyScopeGlobal,
          platform::kAudioObjectPropertyElementMain};
}

std::vector<AudioObjectID> getProcessObjectList(platform::AudioHardware& audio) {
  platform::AudioObjectPropertyAddress address =
      getPropertyAddress(platform::kAudioHardwarePropertyProcessObjectList);
  std::uint32_t size = 0;
  if (audio.getPropertyDataSize(platform::kAudioObjectSystemObject, address, 0, nullptr, size) !=
      platform::kNoErr) {
    return {};
  }
  // An answer that cannot be held counts as a failed read.
  std::optional<std::vector<AudioObjectID>> objects = zeroedList(size / sizeof(AudioObjectID));
  if (!objects || objects->empty()) return {};
  // The buffer's own size goes in, not the reported one: a size that is no multiple of 4 must
  // not let the audio system write past the last whole entry.
  std::uint32_t bufferSize = static_cast<std::uint32_t>(objects->size() * sizeof(AudioObjectID));
  if (audio.getPropertyData(platform::kAudioObjectSystemObject, address, 0, nullptr, bufferSize,
                            objects->data()) != platform::kNoErr) {
    return {};
  }
  return std::move(*objects);
}

std::optional<pid_t> processPID(platform::AudioHardware& audio, AudioObjectID object) {
  return readScalar<pid_t>(audio, object, platform::kAudioProcessPropertyPID);
}

std::optional<std::string> processBundleID(platform::AudioHardware& audio, AudioObjectID object) {
  std::string text;
  if (audio.getStringPropertyData(object,
                                  getPropertyAddress(platform::kAudioProcessPropertyBundleID),
                                  text) != platform::kNoErr) {
    return std::nullopt;
  }
  return text::toValidUTF8(text);
}

bool processIsRunningOutput(platform::AudioHardware& audio, AudioObjectID object) {
  std::optional<std::uint32_t> flag =
      readScalar<std::uint32_t>(audio, object, platform::kAudioProcessPropertyIsRunningOutput);
  return flag.value_or(0) != 0;
}

std::optional<AudioObjectID> resolveAudioObjectID(platform::AudioHardware& audio, pid_t pid) {
  std::optional<AudioObjectID> translated = readScalar<AudioObjectID>(
      audio, platform::kAudioObjectSystemObject,
      platform::kAudioHardwarePropertyTranslatePIDToProcessObject, sizeof pid, &pid);
  if (translated && *translated != platform::kAudioObjectUnknown) return translated;
  for (AudioObjectID object : getProcessObjectList(audio)) {
    if (processPID(audio, object) == pid) return object;
  }
  return std::nullopt;
}

}  // namespace velmuro::discovery
