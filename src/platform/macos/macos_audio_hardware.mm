// Compiled with -fobjc-arc: the Objective-C objects below (CATapDescription, the dictionaries,
// arrays, strings and numbers) are released by ARC on every path; CF objects are released by hand.
#include "platform/macos/macos_audio_hardware.h"

#import <CoreAudio/AudioHardware.h>
#import <CoreAudio/AudioHardwareTapping.h>
#import <CoreAudio/CATapDescription.h>
#import <CoreAudio/CoreAudio.h>
#import <Foundation/Foundation.h>

#include <cstdint>
#include <type_traits>

#include "platform/macos/cf_text.h"

namespace velmuro::macos {

// The seam mirrors Core Audio's own types and constants; these checks keep it honest.
static_assert(std::is_same_v<platform::AudioObjectID, ::AudioObjectID>);
static_assert(std::is_same_v<platform::OSStatus, ::OSStatus>);
static_assert(platform::kAudioObjectUnknown == ::kAudioObjectUnknown);
static_assert(platform::kAudioObjectSystemObject == ::kAudioObjectSystemObject);
static_assert(platform::kAudioObjectPropertyScopeGlobal == ::kAudioObjectPropertyScopeGlobal);
static_assert(platform::kAudioObjectPropertyElementMain == ::kAudioObjectPropertyElementMain);
static_assert(platform::kAudioHardwarePropertyProcessObjectList ==
              ::kAudioHardwarePropertyProcessObjectList);
static_assert(platform::kAudioHardwarePropertyTranslatePIDToProcessObject ==
              ::kAudioHardwarePropertyTranslatePIDToProcessObject);
static_assert(platform::kAudioProcessPropertyPID == ::kAudioProcessPropertyPID);
static_assert(platform::kAudioProcessPropertyBundleID == ::kAudioProcessPropertyBundleID);
static_assert(platform::kAudioProcessPropertyIsRunningOutput ==
              ::kAudioProcessPropertyIsRunningOutput);
static_assert(platform::kAudioTapPropertyUID == ::kAudioTapPropertyUID);
static_assert(platform::kAudioDevicePermissionsError == ::kAudioDevicePermissionsError);
static_assert(platform::kAudioHardwareIllegalOperationError ==
              ::kAudioHardwareIllegalOperationError);
static_assert(platform::kAudioHardwareBadObjectError == ::kAudioHardwareBadObjectError);
static_assert(static_cast<NSInteger>(platform::TapMuteBehavior::kUnmuted) == ::CATapUnmuted);
static_assert(static_cast<NSInteger>(platform::TapMuteBehavior::kMuted) == ::CATapMuted);
static_assert(static_cast<NSInteger>(platform::TapMuteBehavior::kMutedWhenTapped) ==
              ::CATapMutedWhenTapped);
static_assert(sizeof(platform::AudioDeviceIOProcID) == sizeof(::AudioDeviceIOProcID));

namespace {

::AudioObjectPropertyAddress coreAudioAddress(const platform::AudioObjectPropertyAddress& address) {
  return ::AudioObjectPropertyAddress{address.mSelector, address.mScope, address.mElement};
}

::AudioDeviceIOProcID coreAudioProcID(platform::AudioDeviceIOProcID procID) {
  return reinterpret_cast<::AudioDeviceIOProcID>(static_cast<std::uintptr_t>(procID));
}

// An NSString for UTF-8 text, owned by ARC; nil when the bytes are not UTF-8.
NSString* nsString(const std::string& text) {
  return (__bridge_transfer NSString*)createCFString(text);
}

}  // namespace

void MacAudioHardware::detachNotificationsFromMainRunLoop() {
  if (notificationsDetached_) return;
  notificationsDetached_ = true;
  // Core Audio attaches its notification handlers to the main run loop unless told otherwise; NULL
  // makes it create and manage a thread of its own. Its result changes nothing the tool does.
  const ::AudioObjectPropertyAddress address{kAudioHardwarePropertyRunLoop,
                                             kAudioObjectPropertyScopeGlobal,
                                             kAudioObjectPropertyElementMain};
  CFRunLoopRef runLoop = nullptr;
  ::AudioObjectSetPropertyData(kAudioObjectSystemObject, &address, 0, nullptr,
                               static_cast<::UInt32>(sizeof(runLoop)), &runLoop);
}

platform::OSStatus MacAudioHardware::getPropertyDataSize(
    platform::AudioObjectID object, const platform::AudioObjectPropertyAddress& address,
    std::uint32_t qualifierSize, const void* qualifier, std::uint32_t& outSize) {
  detachNotificationsFromMainRunLoop();
  const ::AudioObjectPropertyAddress coreAddress = coreAudioAddress(address);
  return ::AudioObjectGetPropertyDataSize(object, &coreAddress, qualifierSize, qualifier, &outSize);
}

platform::OSStatus MacAudioHardware::getPropertyData(
    platform::AudioObjectID object, const platform::AudioObjectPropertyAddress& address,
    std::uint32_t qualifierSize, const void* qualifier, std::uint32_t& ioSize, void* outData) {
  detachNotificationsFromMainRunLoop();
  const ::AudioObjectPropertyAddress coreAddress = coreAudioAddress(address);
  return ::AudioObjectGetPropertyData(object, &coreAddress, qualifierSize, qualifier, &ioSize,
                                      outData);
}

platform::OSStatus MacAudioHardware::getStringPropertyData(
    platform::AudioObjectID object, const platform::AudioObjectPropertyAddress& address,
    std::string& outText) {
  detachNotificationsFromMainRunLoop();
  const ::AudioObjectPropertyAddress coreAddress = coreAudioAddress(address);
  // The reference starts as an empty string; the HAL replaces it with a string the caller owns.
  CFStringRef string = CFSTR("");
  ::UInt32 size = static_cast<::UInt32>(sizeof(string));
  const ::OSStatus status =
      ::AudioObjectGetPropertyData(object, &coreAddress, 0, nullptr, &size, &string);
  if (status == noErr) outText = textOfCFString(string);
  // Released whatever the status: a string the HAL handed over is ours, and releasing the CFSTR
  // constant it may have left in place does nothing.
  if (string != nullptr) CFRelease(string);
  return status;
}

platform::OSStatus MacAudioHardware::createProcessTap(const platform::TapDescription& description,
                                                      platform::AudioObjectID& outTap) {
  detachNotificationsFromMainRunLoop();
  @autoreleasepool {
    NSMutableArray<NSNumber*>* processes =
        [NSMutableArray arrayWithCapacity:description.processes.size()];
    for (const platform::AudioObjectID process : description.processes) {
      [processes addObject:[NSNumber numberWithUnsignedInt:process]];
    }
    CATapDescription* tap = nil;
    switch (description.initializer) {
      case platform::TapInitializer::kStereoMixdownOfProcesses:
        tap = [[CATapDescription alloc] initStereoMixdownOfProcesses:processes];
        break;
      case platform::TapInitializer::kStereoGlobalTapButExcludeProcesses:
        tap = [[CATapDescription alloc] initStereoGlobalTapButExcludeProcesses:processes];
        break;
    }
    // Name, private flag, mute behaviour: in this order, after the initialiser.
    [tap setName:nsString(description.name)];
    [tap setPrivate:description.isPrivate ? YES : NO];
    [tap setMuteBehavior:static_cast<CATapMuteBehavior>(description.muteBehavior)];
    return ::AudioHardwareCreateProcessTap(tap, &outTap);
  }
}

platform::OSStatus MacAudioHardware::destroyProcessTap(platform::AudioObjectID tap) {
  detachNotificationsFromMainRunLoop();
  return ::AudioHardwareDestroyProcessTap(tap);
}

platform::OSStatus MacAudioHardware::createAggregateDevice(
    const platform::AggregateDeviceDescription& description, platform::AudioObjectID& outDevice) {
  detachNotificationsFromMainRunLoop();
  @autoreleasepool {
    // Text that is not UTF-8 has no NSString; a nil value set by subscript leaves its key out,
    // and the HAL judges the description as given.
    NSMutableArray<NSDictionary*>* taps =
        [NSMutableArray arrayWithCapacity:description.taps.size()];
    for (const platform::SubTapDescription& subTap : description.taps) {
      NSMutableDictionary* entry = [NSMutableDictionary dictionary];
      entry[@kAudioSubTapUIDKey] = nsString(subTap.uid);
      entry[@kAudioSubTapDriftCompensationKey] = subTap.driftCompensation ? @YES : @NO;
      [taps addObject:entry];
    }
    NSMutableDictionary* device = [NSMutableDictionary dictionary];
    device[@kAudioAggregateDeviceNameKey] = nsString(description.name);
    device[@kAudioAggregateDeviceUIDKey] = nsString(description.uid);
    device[@kAudioAggregateDeviceTapListKey] = taps;
    device[@kAudioAggregateDeviceTapAutoStartKey] = description.tapAutoStart ? @YES : @NO;
    device[@kAudioAggregateDeviceIsPrivateKey] = description.isPrivate ? @YES : @NO;
    return ::AudioHardwareCreateAggregateDevice((__bridge CFDictionaryRef)device, &outDevice);
  }
}

platform::OSStatus MacAudioHardware::destroyAggregateDevice(platform::AudioObjectID device) {
  detachNotificationsFromMainRunLoop();
  return ::AudioHardwareDestroyAggregateDevice(device);
}

platform::OSStatus MacAudioHardware::createIOProcID(platform::AudioObjectID device,
                                                    platform::AudioDeviceIOProc proc,
                                                    void* clientData,
                                                    platform::AudioDeviceIOProcID& outID) {
  detachNotificationsFromMainRunLoop();
  // The seam's procedure is Core Audio's AudioDeviceIOProc with the AudioTimeStamp and
  // AudioBufferList pointers written as untyped pointers: the same seven parameters in the same
  // order, a 32-bit object ID, data pointers of one size and representation, and a 32-bit status
  // returned. The C calling convention on arm64 and x86_64 passes them identically, so the
  // function is registered as it is. The cast goes through void (*)() so that no compiler takes it
  // for an accidental mismatch.
  const auto coreProc = reinterpret_cast<::AudioDeviceIOProc>(reinterpret_cast<void (*)()>(proc));
  ::AudioDeviceIOProcID procID = nullptr;
  const ::OSStatus status = ::AudioDeviceCreateIOProcID(device, coreProc, clientData, &procID);
  outID = static_cast<platform::AudioDeviceIOProcID>(reinterpret_cast<std::uintptr_t>(procID));
  return status;
}

platform::OSStatus MacAudioHardware::destroyIOProcID(platform::AudioObjectID device,
                                                     platform::AudioDeviceIOProcID procID) {
  detachNotificationsFromMainRunLoop();
  return ::AudioDeviceDestroyIOProcID(device, coreAudioProcID(procID));
}

platform::OSStatus MacAudioHardware::deviceStart(platform::AudioObjectID device,
                                                 platform::AudioDeviceIOProcID procID) {
  detachNotificationsFromMainRunLoop();
  return ::AudioDeviceStart(device, coreAudioProcID(procID));
}

platform::OSStatus MacAudioHardware::deviceStop(platform::AudioObjectID device,
                                                platform::AudioDeviceIOProcID procID) {
  detachNotificationsFromMainRunLoop();
  return ::AudioDeviceStop(device, coreAudioProcID(procID));
}

}  // namespace velmuro::macos
