#pragma once

namespace velmuro::linux_desktop {

// In a process that outlives the tool (the mute guardian, the clipboard's serving process): closes
// every descriptor but keep and puts the null device on 0, 1 and 2, so that it holds nothing of
// the tool's, and a host waiting for the end of the tool's output never waits on it.
void detachDescriptors(int keep);

}  // namespace velmuro::linux_desktop
