#include "discovery/process_table.h"

#include <cstddef>
#include <optional>
#include <string_view>
#include <unordered_map>

#include "discovery/decimal_pid.h"
#include "text/utf8.h"

namespace velmuro::discovery {

namespace {

constexpr const char* kPgrepPath = "/usr/bin/pgrep";
constexpr const char* kPsPath = "/bin/ps";

// Unicode whitespace and line breaks beyond ASCII, as UTF-8: U+0085, U+00A0, U+1680,
// U+2000-U+200A, U+2028, U+2029, U+202F, U+205F and U+3000.
constexpr std::string_view kWideSpaces[] = {
    "\xC2\x85",     "\xC2\xA0",     "\xE1\x9A\x80", "\xE2\x80\x80", "\xE2\x80\x81",
    "\xE2\x80\x82", "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85", "\xE2\x80\x86",
    "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89", "\xE2\x80\x8A", "\xE2\x80\xA8",
    "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80"};

bool isAsciiSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Byte length of the whitespace character that begins the text, or 0.
std::size_t leadingSpaceLength(std::string_view text) {
  if (text.empty()) return 0;
  if (isAsciiSpace(text.front())) return 1;
  for (std::string_view space : kWideSpaces) {
    if (text.starts_with(space)) return space.size();
  }
  return 0;
}

// Byte length of the whitespace character that ends the text, or 0. In valid UTF-8 a matching
// multi-byte suffix is always a whole character, since lead bytes never look like continuations.
std::size_t trailingSpaceLength(std::string_view text) {
  if (text.empty()) return 0;
  if (isAsciiSpace(text.back())) return 1;
  for (std::string_view space : kWideSpaces) {
    if (text.ends_with(space)) return space.size();
  }
  return 0;
}

// Strips whitespace and line breaks from both ends of valid UTF-8 text.
std::string_view trimWhitespace(std::string_view text) {
  while (std::size_t n = leadingSpaceLength(text)) text.remove_prefix(n);
  while (std::size_t n = trailingSpaceLength(text)) text.remove_suffix(n);
  return text;
}

// Runs the command and gives its output when it launched and printed valid UTF-8.
std::optional<std::string> runForText(platform::ChildProcesses& children, const char* path,
                                      const std::vector<std::string>& arguments) {
  std::optional<std::string> output = children.runAndCollect(path, arguments);
  if (!output || !text::isValidUTF8(*output)) return std::nullopt;
  return output;
}

// Calls visit on every piece between separators, empty pieces included.
template <typename Visit>
void forEachPiece(std::string_view text, char separator, Visit visit) {
  for (;;) {
    std::size_t end = text.find(separator);
    visit(text.substr(0, end));
    if (end == std::string_view::npos) return;
    text.remove_prefix(end + 1);
  }
}

// The name as an extended regular expression that matches exactly that text: every character
// with a meaning of its own there is escaped.
std::string literalPattern(const std::string& name) {
  static constexpr std::string_view kSpecial = "\\.[]()*+?{}|^$";
  std::string pattern;
  pattern.reserve(name.size() * 2);
  for (char c : name) {
    if (kSpecial.find(c) != std::string_view::npos) pattern += '\\';
    pattern += c;
  }
  return pattern;
}

}  // namespace

std::vector<pid_t> findProcessPIDs(platform::ChildProcesses& children, const std::string& name) {
  std::vector<pid_t> pids;
  // pgrep reads a regular expression: the name goes in escaped, so ".*" is no pattern for every
  // process and "a(b)" matches the process that bears that very name. The end-of-options marker
  // keeps a name that begins with a hyphen from reaching pgrep as an option ("-u501" would
  // otherwise list every process of that user).
  std::optional<std::string> output =
      runForText(children, kPgrepPath, {"-x", "--", literalPattern(name)});
  if (!output) return pids;
  std::string_view trimmed = trimWhitespace(*output);
  if (trimmed.empty()) return pids;
  forEachPiece(trimmed, '\n', [&](std::string_view line) {
    if (std::optional<pid_t> pid = parseDecimalPID(line)) pids.push_back(*pid);
  });
  return pids;
}

std::unordered_set<pid_t> descendantPIDs(platform::ChildProcesses& children, pid_t root) {
  std::optional<std::string> output = runForText(children, kPsPath, {"-axo", "pid=,ppid="});
  if (!output) return {};

  std::unordered_map<pid_t, std::vector<pid_t>> childrenOf;
  forEachPiece(*output, '\n', [&](std::string_view line) {
    std::vector<pid_t> numbers;
    forEachPiece(line, ' ', [&](std::string_view field) {
      if (field.empty()) return;
      if (std::optional<pid_t> number = parseDecimalPID(field)) numbers.push_back(*number);
    });
    if (numbers.size() == 2) childrenOf[numbers[1]].push_back(numbers[0]);
  });

  // The result set doubles as the visited set, so a cycle in the table cannot loop.
  std::unordered_set<pid_t> tree{root};
  std::vector<pid_t> stack{root};
  while (!stack.empty()) {
    pid_t pid = stack.back();
    stack.pop_back();
    auto entry = childrenOf.find(pid);
    if (entry == childrenOf.end()) continue;
    for (pid_t child : entry->second) {
      if (tree.insert(child).second) stack.push_back(child);
    }
  }
  return tree;
}

}  // namespace velmuro::discovery
