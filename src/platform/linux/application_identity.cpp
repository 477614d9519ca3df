#include "platform/linux/application_identity.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string_view>
#include <utility>

namespace velmuro::linux_desktop {

namespace {

struct LinuxNames {
  std::string_view macName;
  std::array<std::string_view, 3> linuxNames;
};

// The meeting clients that the readers and hosts name by their macOS bundle identifiers.
constexpr std::array<LinuxNames, 2> kMeetingClients{{
    {"com.microsoft.teams2", {"teams-for-linux", "com.github.IsmaelMartinez.teams_for_linux", ""}},
    {"us.zoom.xos", {"zoom", "Zoom", "us.zoom.Zoom"}},
}};

std::optional<std::string> readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::string processPath(const std::string& procRoot, pid_t pid, const char* entry) {
  return procRoot + "/" + std::to_string(pid) + "/" + entry;
}

std::string withoutSuffix(std::string text, std::string_view suffix) {
  if (text.size() >= suffix.size() &&
      text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0) {
    text.resize(text.size() - suffix.size());
  }
  return text;
}

std::string basename(const std::string& path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The name in the [Application] group of a Flatpak's .flatpak-info.
std::string flatpakIdentity(const std::string& procRoot, pid_t pid) {
  std::optional<std::string> info = readFile(processPath(procRoot, pid, "root/.flatpak-info"));
  if (!info) return {};
  std::istringstream lines(*info);
  bool inApplication = false;
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.front() == '[') {
      inApplication = line == "[Application]";
    } else if (inApplication && line.rfind("name=", 0) == 0) {
      return line.substr(5);
    }
  }
  return {};
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A unit-name part with systemd's \xNN escapes undone.
std::string unescapeUnitName(std::string_view escaped) {
  std::string text;
  for (std::size_t i = 0; i < escaped.size(); ++i) {
    if (escaped[i] == '\\' && i + 3 < escaped.size() && escaped[i + 1] == 'x') {
      int high = hexDigit(escaped[i + 2]), low = hexDigit(escaped[i + 3]);
      if (high >= 0 && low >= 0) {
        text.push_back(static_cast<char>(high * 16 + low));
        i += 3;
        continue;
      }
    }
    text.push_back(escaped[i]);
  }
  return text;
}

// The ID in a desktop shell's application scope, app-[LAUNCHER-]ID-RANDOM.scope, in which the
// ID's own dashes are escaped; empty for any other unit.
std::string scopeIdentity(std::string_view unit) {
  constexpr std::string_view kPrefix = "app-", kSuffix = ".scope";
  if (unit.size() <= kPrefix.size() + kSuffix.size() || unit.substr(0, kPrefix.size()) != kPrefix ||
      unit.substr(unit.size() - kSuffix.size()) != kSuffix) {
    return {};
  }
  unit = unit.substr(kPrefix.size(), unit.size() - kPrefix.size() - kSuffix.size());
  std::vector<std::string_view> parts;
  for (std::size_t dash; (dash = unit.find('-')) != std::string_view::npos;) {
    parts.push_back(unit.substr(0, dash));
    unit.remove_prefix(dash + 1);
  }
  parts.push_back(unit);
  // ID-RANDOM, or LAUNCHER-ID-RANDOM.
  if (parts.size() != 2 && parts.size() != 3) return {};
  std::string_view id = parts[parts.size() - 2];
  return id.empty() ? std::string() : unescapeUnitName(id);
}

// The ID of the application scope the process's cgroup path ends in, in any hierarchy.
std::string cgroupIdentity(const std::string& procRoot, pid_t pid) {
  std::optional<std::string> cgroups = readFile(processPath(procRoot, pid, "cgroup"));
  if (!cgroups) return {};
  std::istringstream lines(*cgroups);
  for (std::string line; std::getline(lines, line);) {
    std::size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    colon = line.find(':', colon + 1);
    if (colon == std::string::npos) continue;
    std::string identity = scopeIdentity(basename(line.substr(colon + 1)));
    if (!identity.empty()) return identity;
  }
  return {};
}

// The desktop file GIO launched this process with. Descendants inherit the variable (a terminal's
// would name every program started in it), so it counts only when it names this very process.
std::string launcherIdentity(const std::string& procRoot, pid_t pid) {
  std::optional<std::string> environment = readFile(processPath(procRoot, pid, "environ"));
  if (!environment) return {};
  std::string file, launched;
  std::istringstream variables(*environment);
  for (std::string variable; std::getline(variables, variable, '\0');) {
    if (variable.rfind("GIO_LAUNCHED_DESKTOP_FILE=", 0) == 0) file = variable.substr(26);
    if (variable.rfind("GIO_LAUNCHED_DESKTOP_FILE_PID=", 0) == 0) launched = variable.substr(30);
  }
  if (file.empty() || launched != std::to_string(pid)) return {};
  return withoutSuffix(basename(file), ".desktop");
}

std::string executableIdentity(const std::string& procRoot, pid_t pid) {
  std::string target(4096, '\0');
  ssize_t length =
      ::readlink(processPath(procRoot, pid, "exe").c_str(), target.data(), target.size());
  if (length <= 0) return {};
  target.resize(static_cast<std::size_t>(length));
  // A program replaced on disk while it runs (an upgrade) still names its old file.
  return basename(withoutSuffix(std::move(target), " (deleted)"));
}

// The process's start time in clock ticks since boot, from /proc/PID/stat.
std::optional<std::uint64_t> startTime(const std::string& procRoot, pid_t pid) {
  std::optional<std::string> stat = readFile(processPath(procRoot, pid, "stat"));
  if (!stat) return std::nullopt;
  std::size_t close = stat->rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream fields(stat->substr(close + 1));
  // After the name: state, then fields 4 to 21, then the start time (field 22).
  std::string field;
  for (int i = 3; i <= 22; ++i) {
    if (!(fields >> field)) return std::nullopt;
  }
  char* end = nullptr;
  std::uint64_t ticks = std::strtoull(field.c_str(), &end, 10);
  if (end == field.c_str() || *end != '\0') return std::nullopt;
  return ticks;
}

// The processes in the table that belong to this user.
std::vector<pid_t> ownProcesses(const std::string& procRoot) {
  std::vector<pid_t> pids;
  DIR* table = ::opendir(procRoot.c_str());
  if (table == nullptr) return pids;
  const uid_t user = ::geteuid();
  while (dirent* entry = ::readdir(table)) {
    std::string_view name(entry->d_name);
    if (name.empty() || name.find_first_not_of("0123456789") != std::string_view::npos) continue;
    struct stat status;
    if (::stat((procRoot + "/" + entry->d_name).c_str(), &status) != 0) continue;
    if (status.st_uid == user) pids.push_back(static_cast<pid_t>(std::atol(entry->d_name)));
  }
  ::closedir(table);
  return pids;
}

}  // namespace

std::string applicationIdentity(pid_t pid, const std::string& procRoot) {
  for (auto rule : {flatpakIdentity, cgroupIdentity, launcherIdentity, executableIdentity}) {
    std::string identity = rule(procRoot, pid);
    if (!identity.empty()) return identity;
  }
  return {};
}

bool isApplicationNamed(const std::string& identity, const std::string& name) {
  if (identity.empty()) return false;
  if (identity == name) return true;
  for (const LinuxNames& client : kMeetingClients) {
    if (client.macName != name) continue;
    for (std::string_view linuxName : client.linuxNames) {
      if (!linuxName.empty() && linuxName == identity) return true;
    }
  }
  return false;
}

std::vector<pid_t> processesOfApplication(const std::string& name, const std::string& procRoot) {
  std::vector<std::pair<std::uint64_t, pid_t>> found;
  for (pid_t pid : ownProcesses(procRoot)) {
    if (!isApplicationNamed(applicationIdentity(pid, procRoot), name)) continue;
    // A process that ended meanwhile has no start time any more, and is left out.
    if (std::optional<std::uint64_t> started = startTime(procRoot, pid)) {
      found.emplace_back(*started, pid);
    }
  }
  std::sort(found.begin(), found.end());
  std::vector<pid_t> pids;
  for (const auto& [started, pid] : found) pids.push_back(pid);
  return pids;
}

}  // namespace velmuro::linux_desktop
