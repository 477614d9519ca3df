#include "platform/linux/audio/guardian_ledger.h"

namespace velmuro::linux_desktop {

namespace {

std::string escapeName(const std::string& name) {
  std::string escaped;
  for (char c : name) {
    if (c == '\\') {
      escaped += "\\\\";
    } else if (c == '\n') {
      escaped += "\\n";
    } else {
      escaped += c;
    }
  }
  return escaped;
}

bool unescapeName(const std::string& escaped, std::string& name) {
  name.clear();
  for (std::size_t i = 0; i < escaped.size(); ++i) {
    if (escaped[i] != '\\') {
      name += escaped[i];
      continue;
    }
    if (++i == escaped.size()) return false;
    if (escaped[i] == '\\') {
      name += '\\';
    } else if (escaped[i] == 'n') {
      name += '\n';
    } else {
      return false;
    }
  }
  return true;
}

bool parseNumber(const std::string& text, unsigned long long limit, unsigned long long& value) {
  if (text.empty() || text.size() > 10) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned long long>(c - '0');
  }
  return value <= limit;
}

}  // namespace

bool GuardianLedger::apply(const std::string& record) {
  if (record.size() < 3 || record[1] != ' ') return false;
  std::string rest = record.substr(2);
  unsigned long long index = 0;
  unsigned long long pid = 0;
  std::string name;
  switch (record[0]) {
    case 'S': {
      if (!parseNumber(rest, 0xFFFFFFFFu, index)) return false;
      auto cookie = static_cast<std::uint32_t>(index);
      // The streams of a server that has gone went with it.
      if (server != cookie) streams.clear();
      server = cookie;
      return true;
    }
    case 'H': {
      std::size_t space = rest.find(' ');
      if (space == std::string::npos || !parseNumber(rest.substr(0, space), 0xFFFFFFFFu, index) ||
          !parseNumber(rest.substr(space + 1), 0x7FFFFFFFu, pid)) {
        return false;
      }
      streams[static_cast<std::uint32_t>(index)] = static_cast<pid_t>(pid);
      processes.insert(static_cast<pid_t>(pid));
      return true;
    }
    case 'G':
      if (!parseNumber(rest, 0xFFFFFFFFu, index)) return false;
      streams.erase(static_cast<std::uint32_t>(index));
      return true;
    case 'K':
      if (rest.size() < 3 || (rest[0] != '0' && rest[0] != '1') || rest[1] != ' ' ||
          !unescapeName(rest.substr(2), name)) {
        return false;
      }
      memory[name] = rest[0] == '1';
      return true;
    case 'F':
      if (!unescapeName(rest, name)) return false;
      memory.erase(name);
      return true;
    default:
      return false;
  }
}

std::string serverRecord(std::uint32_t cookie) { return "S " + std::to_string(cookie) + "\n"; }

std::string streamHeldRecord(std::uint32_t stream, pid_t pid) {
  return "H " + std::to_string(stream) + " " + std::to_string(pid) + "\n";
}

std::string streamGivenBackRecord(std::uint32_t stream) {
  return "G " + std::to_string(stream) + "\n";
}

std::string memoryChangedRecord(const std::string& name, bool mutedBefore) {
  return std::string("K ") + (mutedBefore ? "1 " : "0 ") + escapeName(name) + "\n";
}

std::string memoryRestoredRecord(const std::string& name) { return "F " + escapeName(name) + "\n"; }

}  // namespace velmuro::linux_desktop
