#include "output/json_message.h"

#include <cstdio>

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
  std::fwrite(line->data(), 1, line->size(), stdout);
  std::fflush(stdout);
}

}  // namespace velmuro::output
