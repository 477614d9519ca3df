#include "platform/sim/world.h"

#include <algorithm>
#include <string_view>

#include "platform/sim/audio_file.h"
#include "platform/sim/desktop_file.h"

namespace velmuro::sim {

namespace {

constexpr std::string_view kSections[] = {"audio",        "privacy",    "accessibility",
                                          "applications", "pasteboard", "timeline"};

}  // namespace

std::unique_ptr<World> loadWorld(std::string_view text, std::string* error) {
  std::string parseError;
  std::optional<json::Value> root = json::parse(text, &parseError);
  if (!root) {
    if (error) *error = "not valid JSON: " + parseError;
    return nullptr;
  }
  if (!root->isObject()) {
    if (error) *error = "a world file holds one JSON object";
    return nullptr;
  }
  for (const auto& [name, value] : root->asObject()) {
    if (std::find(std::begin(kSections), std::end(kSections), name) == std::end(kSections)) {
      if (error) {
        *error = "unknown member \"" + name +
                 "\" (a world file holds audio, privacy, accessibility, applications, "
                 "pasteboard, timeline)";
      }
      return nullptr;
    }
  }
  auto world = std::make_unique<World>();
  if (!loadAudio(*root, world->audio, world->privacy, error)) return nullptr;
  if (!loadDesktop(*root, world->desktop, error)) return nullptr;
  return world;
}

json::Value worldState(const World& world) {
  return json::Object{
      {"audio", audioState(world.audio)},
      {"privacy", json::Object{{"preflight", static_cast<std::int64_t>(world.privacy.preflight)}}},
      {"desktop", desktopState(world.desktop)}};
}

}  // namespace velmuro::sim
