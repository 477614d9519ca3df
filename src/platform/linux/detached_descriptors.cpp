#include "platform/linux/detached_descriptors.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace velmuro::linux_desktop {

void detachDescriptors(int keep) {
  if (keep > 3) ::close_range(3, static_cast<unsigned>(keep - 1), 0);
  if (::close_range(static_cast<unsigned>(keep + 1), ~0U, 0) != 0) {
    // Kernels before 5.9: walk the open descriptors instead.
    std::vector<int> open;
    if (DIR* fds = ::opendir("/proc/self/fd")) {
      while (dirent* entry = ::readdir(fds)) {
        int fd = std::atoi(entry->d_name);
        if (fd > 2 && fd != keep && fd != ::dirfd(fds)) open.push_back(fd);
      }
      ::closedir(fds);
    }
    for (int fd : open) ::close(fd);
  }
  int null = ::open("/dev/null", O_RDWR);
  for (int fd = 0; fd <= 2; ++fd) ::dup2(null, fd);
  if (null > 2) ::close(null);
}

}  // namespace velmuro::linux_desktop
