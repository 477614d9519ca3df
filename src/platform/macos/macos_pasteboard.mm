// Compiled with -fobjc-arc: every Objective-C object below is released by ARC on every path, and
// an item handle keeps its own reference through CFBridgingRetain / CFRelease.
#include "platform/macos/macos_pasteboard.h"

#import <AppKit/AppKit.h>
#import <Foundation/Foundation.h>

#include <memory>

#include "platform/macos/cf_text.h"

namespace velmuro::macos {

// kPasteboardTypeString is the text of NSPasteboardTypeString ("public.utf8-plain-text"), so the
// tool's plain-text type reaches stringForType: as that constant's value.

namespace {

// An NSString for UTF-8 text, owned by ARC; nil when the bytes are not UTF-8.
NSString* nsString(const std::string& text) {
  return (__bridge_transfer NSString*)createCFString(text);
}

std::string utf8Text(NSString* string) { return textOfCFString((__bridge CFStringRef)string); }

NSPasteboardItem* pasteboardItem(const platform::PasteboardItem& item) {
  return (__bridge NSPasteboardItem*)const_cast<void*>(item.get());
}

}  // namespace

std::vector<platform::PasteboardItem> MacPasteboard::items() {
  @autoreleasepool {
    std::vector<platform::PasteboardItem> handles;
    for (NSPasteboardItem* item in [[NSPasteboard generalPasteboard] pasteboardItems]) {
      handles.emplace_back(std::shared_ptr<const void>(
          CFBridgingRetain(item), [](const void* reference) { CFRelease(reference); }));
    }
    return handles;
  }
}

std::vector<std::string> MacPasteboard::types(const platform::PasteboardItem& item) {
  @autoreleasepool {
    std::vector<std::string> names;
    for (NSPasteboardType type in [pasteboardItem(item) types]) names.push_back(utf8Text(type));
    return names;
  }
}

std::optional<platform::Bytes> MacPasteboard::dataForType(const platform::PasteboardItem& item,
                                                          const std::string& type) {
  @autoreleasepool {
    NSString* typeName = nsString(type);
    if (typeName == nil) return std::nullopt;  // no item holds data under a type that isn't text
    NSData* data = [pasteboardItem(item) dataForType:typeName];
    if (data == nil) return std::nullopt;
    const auto* bytes = static_cast<const std::uint8_t*>(data.bytes);
    return platform::Bytes(bytes, bytes + data.length);
  }
}

void MacPasteboard::clearContents() {
  @autoreleasepool {
    [[NSPasteboard generalPasteboard] clearContents];
  }
}

std::int64_t MacPasteboard::changeCount() {
  @autoreleasepool {
    return [[NSPasteboard generalPasteboard] changeCount];
  }
}

std::optional<std::string> MacPasteboard::stringForType(const std::string& type) {
  @autoreleasepool {
    NSString* typeName = nsString(type);
    if (typeName == nil) return std::nullopt;
    NSString* string = [[NSPasteboard generalPasteboard] stringForType:typeName];
    if (string == nil) return std::nullopt;
    return utf8Text(string);
  }
}

void MacPasteboard::writeObjects(const std::vector<platform::NewPasteboardItem>& items) {
  @autoreleasepool {
    NSMutableArray<id<NSPasteboardWriting>>* fresh =
        [NSMutableArray arrayWithCapacity:items.size()];
    for (const platform::NewPasteboardItem& pairs : items) {
      NSPasteboardItem* item = [[NSPasteboardItem alloc] init];
      for (const auto& [type, bytes] : pairs) {
        NSString* typeName = nsString(type);
        if (typeName == nil) continue;  // a type that isn't text cannot be named to AppKit
        [item setData:[NSData dataWithBytes:bytes.data() length:bytes.size()] forType:typeName];
      }
      [fresh addObject:item];
    }
    [[NSPasteboard generalPasteboard] writeObjects:fresh];
  }
}

}  // namespace velmuro::macos
