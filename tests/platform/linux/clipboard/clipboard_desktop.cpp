#include "platform/linux/clipboard/clipboard_desktop.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

namespace velmuro::testing {

namespace {

using namespace std::chrono_literals;

std::string readWhole(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

}  // namespace

void ClipboardTest::SetUp() {
  std::string error;
  desktop_ = PrivateDesktop::start(accessibility_, &error);
  if (!desktop_) {
    if (inCI()) FAIL() << error;
    GTEST_SKIP() << error;
  }
  ::setenv("DISPLAY", environment().at("DISPLAY").c_str(), 1);
  ::unsetenv("XAUTHORITY");
}

std::string ClipboardTest::writeFile(const std::string& name, const std::string& bytes) {
  std::string path = directory_.path() + "/" + name;
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

std::unique_ptr<Process> ClipboardTest::startOwner(const std::vector<std::string>& arguments) {
  std::vector<std::string> own{"own"};
  own.insert(own.end(), arguments.begin(), arguments.end());
  auto owner = std::make_unique<Process>(VELMURO_CLIPBOARD_BINARY, own, environment());
  EXPECT_EQ(owner->readLine(5s), "owned");
  return owner;
}

std::unique_ptr<Process> ClipboardTest::copyWithXclip(const std::string& target,
                                                      const std::string& path) {
  auto xclip = std::make_unique<Process>(
      "/usr/bin/xclip",
      std::vector<std::string>{"-selection", "clipboard", "-quiet", "-t", target, "-i", path},
      environment());
  // xclip's window names no PID: the owner is xclip once there is an owner but no PID. xclip
  // reads its file before it takes the clipboard, which on a loaded machine can take seconds.
  EXPECT_TRUE(eventually(
      [&] {
        auto [out, status] = runToEnd(VELMURO_CLIPBOARD_BINARY, {"owner"}, environment());
        return out == "unknown\n";
      },
      10s))
      << "xclip did not take the clipboard";
  return xclip;
}

PastedClipboard ClipboardTest::paste(bool multiple) {
  std::string dir = directory_.path() + "/paste" + std::to_string(++pastes_);
  std::filesystem::create_directories(dir);
  auto [out, status] =
      runToEnd(VELMURO_CLIPBOARD_BINARY, {multiple ? "read-multiple" : "read", dir}, environment());
  PastedClipboard pasted;
  pasted.status = status;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::string name;
    words >> name;
    if (name == "TARGETS") {
      for (std::string target; words >> target;) pasted.targets.push_back(target);
      continue;
    }
    PastedTarget target;
    std::string mode;
    std::size_t size = 0;
    if (!(words >> target.type)) continue;
    if (target.type == "refused") {
      pasted.refused.push_back(name);
      continue;
    }
    words >> target.format >> size >> mode;
    target.incr = mode == "incr";
    std::string file = name;
    std::replace(file.begin(), file.end(), '/', '%');
    target.bytes = readWhole(dir + "/" + file);
    EXPECT_EQ(target.bytes.size(), size) << name;
    pasted.data[name] = target;
  }
  return pasted;
}

std::optional<pid_t> ClipboardTest::servingProcess() {
  auto [out, status] = runToEnd(VELMURO_CLIPBOARD_BINARY, {"owner"}, environment());
  if (status != 0 || out.empty() || out[0] < '0' || out[0] > '9') return std::nullopt;
  return static_cast<pid_t>(std::atol(out.c_str()));
}

pid_t ClipboardTest::xServer() const {
  std::ifstream pids(environment().at("DESKTOP_DIR") + "/pids");
  pid_t pid = -1;
  std::string name;
  while (pids >> pid >> name) {
    if (name == "xvfb") return pid;
  }
  return -1;
}

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

std::string binaryBytes(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) % 256);
  return bytes;
}

}  // namespace velmuro::testing
