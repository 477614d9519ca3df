#pragma once

#include <optional>
#include <string>
#include <vector>

namespace velmuro::output {

// The one result record; absent fields are left out of its JSON line.
struct JSONMessage {
  std::optional<std::string> status;
  std::optional<std::string> error;
  std::optional<std::string> errorCode;
  std::optional<std::vector<std::string>> addresses;
  std::optional<std::string> text;

  bool operator==(const JSONMessage&) const = default;
};

// A record holding only a status word.
JSONMessage statusMessage(std::string status);
// A record holding only an error message.
JSONMessage errorMessage(std::string error);

// The record as one compact JSON object without the line feed; absent when it can't be
// encoded as valid UTF-8.
std::optional<std::string> encodeJSONLine(const JSONMessage& message);

// Writes the record as one whole line on standard output at once, retrying short and
// interrupted writes and waiting on a full non-blocking output; a record that can't be encoded
// is dropped without a word, and a failed write is not reported.
void printJSON(const JSONMessage& message);

}  // namespace velmuro::output
