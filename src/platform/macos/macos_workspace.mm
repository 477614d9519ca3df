// Compiled with -fobjc-arc.
#include "platform/macos/macos_workspace.h"

#import <AppKit/AppKit.h>
#import <Foundation/Foundation.h>

#include "platform/macos/cf_text.h"

namespace velmuro::macos {

std::vector<pid_t> MacWorkspace::runningApplications(const std::string& bundleId) {
  @autoreleasepool {
    std::vector<pid_t> pids;
    NSString* identifier = (__bridge_transfer NSString*)createCFString(bundleId);
    // Text that is not UTF-8 is no application's bundle identifier.
    if (identifier == nil) return pids;
    for (NSRunningApplication* application in
         [NSRunningApplication runningApplicationsWithBundleIdentifier:identifier]) {
      pids.push_back(application.processIdentifier);
    }
    return pids;
  }
}

}  // namespace velmuro::macos
