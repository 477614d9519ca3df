#include "output/json_message.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

#include "text/utf8.h"

namespace velmuro::output {

namespace {

void appendEscaped(std::string& out, const std::string& value) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  for (char c : value) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '/':
        out += "\\/";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default: {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20) {
          out += "\\u00";
          out += kHex[byte >> 4];
          out += kHex[byte & 0xF];
        } else {
          out += c;
        }
      }
    }
  }
  out += '"';
}

void appendMember(std::string& out, const char* key, const std::optional<std::string>& value) {
  if (!value) return;
  if (out.size() > 1) out += ',';
  out += '"';
  out += key;
  out += "\":";
  appendEscaped(out, *value);
}

// Writes every byte to the descriptor, however the host set it up: short writes go on where they
// stopped, an interrupted write is made again, and a non-blocking descriptor that is full is
// waited on until it takes more. Any other error ends the write; the caller never learns of it.
void writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd ready{fd, POLLOUT, 0};
      if (::poll(&ready, 1, -1) < 0 && errno != EINTR) return;
    } else if (n == 0 || errno != EINTR) {
      return;
    }
  }
}

}  // namespace

JSONMessage statusMessage(std::string status) {
  JSONMessage message;
  message.status = std::move(status);
  return message;
}

JSONMessage errorMessage(std::string error) {
  JSONMessage message;
  message.error = std::move(error);
  return message;
}

std::optional<std::string> encodeJSONLine(const JSONMessage& message) {
  std::string out = "{";
  appendMember(out, "status", message.status);
  appendMember(out, "error", message.error);
  appendMember(out, "errorCode", message.errorCode);
  if (message.addresses) {
    if (out.size() > 1) out += ',';
    out += "\"addresses\":[";
    for (std::size_t i = 0; i < message.addresses->size(); ++i) {
      if (i > 0) out += ',';
      appendEscaped(out, (*message.addresses)[i]);
    }
    out += ']';
  }
  appendMember(out, "text", message.text);
  out += '}';
  if (!text::isValidUTF8(out)) return std::nullopt;
  return out;
}

void printJSON(const JSONMessage& message) {
  std::optional<std::string> line = encodeJSONLine(message);
  if (!line) return;
  *line += '\n';
  // Straight to the descriptor, so the line is out as soon as this returns.
  writeAll(STDOUT_FILENO, *line);
}

}  // namespace velmuro::output
