#include "platform/linux/accessibility/message_reader.h"

#include "text/utf8.h"

namespace velmuro::linux_desktop {

MessageReader::MessageReader(const Reply& reply) : dbus_(&reply.dbus()) {
  atEnd_ = reply.isError() || !dbus_->dbus_message_iter_init(reply.message(), &iter_);
}

int MessageReader::type() const {
  if (atEnd_) return DBUS_TYPE_INVALID;
  return dbus_->dbus_message_iter_get_arg_type(&iter_);
}

void MessageReader::next() {
  if (!atEnd_ && !dbus_->dbus_message_iter_next(&iter_)) atEnd_ = true;
}

std::optional<std::string> MessageReader::text() {
  int current = type();
  if (current != DBUS_TYPE_STRING && current != DBUS_TYPE_OBJECT_PATH &&
      current != DBUS_TYPE_SIGNATURE) {
    return std::nullopt;
  }
  const char* value = nullptr;
  dbus_->dbus_message_iter_get_basic(&iter_, &value);
  next();
  std::string bytes = value == nullptr ? std::string() : std::string(value);
  // libdbus refuses messages with ill-formed text; what comes through is checked all the same.
  if (text::isValidUTF8(bytes)) return bytes;
  return text::toValidUTF8(bytes);
}

std::optional<std::uint32_t> MessageReader::uint32() {
  if (type() != DBUS_TYPE_UINT32) return std::nullopt;
  dbus_uint32_t value = 0;
  dbus_->dbus_message_iter_get_basic(&iter_, &value);
  next();
  return value;
}

std::optional<bool> MessageReader::boolean() {
  if (type() != DBUS_TYPE_BOOLEAN) return std::nullopt;
  dbus_bool_t value = FALSE;
  dbus_->dbus_message_iter_get_basic(&iter_, &value);
  next();
  return value != FALSE;
}

std::optional<MessageReader> MessageReader::enter() {
  int current = type();
  if (current != DBUS_TYPE_ARRAY && current != DBUS_TYPE_STRUCT && current != DBUS_TYPE_VARIANT &&
      current != DBUS_TYPE_DICT_ENTRY) {
    return std::nullopt;
  }
  DBusMessageIter inner;
  dbus_->dbus_message_iter_recurse(&iter_, &inner);
  MessageReader contents(*dbus_, inner);
  contents.atEnd_ = contents.type() == DBUS_TYPE_INVALID;
  next();
  return contents;
}

}  // namespace velmuro::linux_desktop
