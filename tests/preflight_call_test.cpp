// The macOS backend calls the privacy framework's preflight entry point through a header that
// needs nothing of macOS, so the call is checked here against a function built as the framework's
// may be: one that returns a 32-bit C enum and leaves the upper half of the 64-bit result register
// holding whatever it held, as both calling conventions allow.
#include "platform/macos/preflight_call.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "platform/capture_privacy.h"
#include "tap/capture_permission.h"

#if defined(__x86_64__) || defined(__aarch64__)

namespace velmuro::macos {
namespace {

// Answers with the 32-bit number it is given in place of the service name, and leaves 0xDEADBEEF
// in the upper half of the result register.
extern "C" __attribute__((naked)) int preflightLeavingTheUpperHalf(std::uintptr_t, const void*) {
#if defined(__x86_64__)
  asm("movl %edi, %eax\n"
      "movabsq $0xDEADBEEF00000000, %rcx\n"
      "orq %rcx, %rax\n"
      "ret\n");
#else
  asm("mov w0, w0\n"
      "movz x9, #0xDEAD, lsl #48\n"
      "movk x9, #0xBEEF, lsl #32\n"
      "orr x0, x0, x9\n"
      "ret\n");
#endif
}

void* entryPoint() { return reinterpret_cast<void*>(&preflightLeavingTheUpperHalf); }

// The privacy service with that function as its entry point, called as the macOS backend calls
// its own; `answer` is what the entry point answers.
class UpperHalfPrivacy final : public platform::CapturePrivacy {
 public:
  Handle openFramework(const std::string&, int) override { return this; }
  EntryPoint findEntryPoint(Handle, const std::string&) override { return entryPoint(); }
  std::intptr_t callPreflight(EntryPoint preflight, const std::string&) override {
    return callPreflightEntryPoint<std::uintptr_t>(preflight, answer);
  }
  std::uint32_t answer = 0;
};

TEST(PreflightCallTest, OnlyTheLow32BitsAreTheAnswerWidenedWithTheirSign) {
  EXPECT_EQ(callPreflightEntryPoint<std::uintptr_t>(entryPoint(), 0), 0);
  EXPECT_EQ(callPreflightEntryPoint<std::uintptr_t>(entryPoint(), 1), 1);
  EXPECT_EQ(callPreflightEntryPoint<std::uintptr_t>(entryPoint(), 0xFFFFFFFFu), -1);
  EXPECT_EQ(callPreflightEntryPoint<std::uintptr_t>(entryPoint(), 0x80000000u), INT32_MIN);
}

TEST(PreflightCallTest, PermissionWordsComeFromThe32BitAnswer) {
  UpperHalfPrivacy privacy;
  const std::pair<std::uint32_t, const char*> cases[] = {
      {0, "granted"}, {1, "denied"}, {2, "undetermined"}, {0xFFFFFFFFu, "undetermined"}};
  for (auto [answer, word] : cases) {
    privacy.answer = answer;
    EXPECT_EQ(tap::audioCapturePermissionStatus(privacy), word) << answer;
  }
}

}  // namespace
}  // namespace velmuro::macos

#endif
