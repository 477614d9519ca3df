#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace velmuro::linux_desktop {

// Where the process table is read; tests give a tree of their own.
inline constexpr const char* kProcRoot = "/proc";

// The desktop-entry ID a process runs as: the ID of the Flatpak it runs in, else the ID in the
// systemd scope a desktop shell started it in (app-[LAUNCHER-]ID-RANDOM.scope, systemd's \xNN
// escapes undone), else the basename, without ".desktop", of the GIO_LAUNCHED_DESKTOP_FILE that
// GIO launched this very process with (where its environment can be read), else the file name of
// its executable. Empty when none of these can be read.
std::string applicationIdentity(pid_t pid, const std::string& procRoot = kProcRoot);

// True when a process of this identity is the application the readers and targets name: the
// same text, or for the meeting clients that are named by their macOS bundle identifiers, one of
// their Linux IDs ("com.microsoft.teams2": teams-for-linux and
// com.github.IsmaelMartinez.teams_for_linux; "us.zoom.xos": zoom, Zoom and us.zoom.Zoom).
bool isApplicationNamed(const std::string& identity, const std::string& name);

// This user's processes that are the named application, oldest first (the first of a browser's
// processes is then the browser process itself).
std::vector<pid_t> processesOfApplication(const std::string& name,
                                          const std::string& procRoot = kProcRoot);

}  // namespace velmuro::linux_desktop
