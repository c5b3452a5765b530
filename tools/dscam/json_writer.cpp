// The JSON writer.
#include "tools/dscam/json_writer.h"

#include <cmath>
#include <cstdio>

namespace dscam {

void JsonWriter::separate() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (!first_.empty()) {
    if (!first_.back())
      text_ += ',';
    first_.back() = false;
  }
}

void JsonWriter::raw(std::string_view text) {
  separate();
  text_ += text;
}

JsonWriter &JsonWriter::begin_object() {
  raw("{");
  first_.push_back(true);
  return *this;
}

JsonWriter &JsonWriter::end_object() {
  first_.pop_back();
  text_ += '}';
  return *this;
}

JsonWriter &JsonWriter::begin_array() {
  raw("[");
  first_.push_back(true);
  return *this;
}

JsonWriter &JsonWriter::end_array() {
  first_.pop_back();
  text_ += ']';
  return *this;
}

JsonWriter &JsonWriter::key(std::string_view name) {
  value(name);
  text_ += ':';
  after_key_ = true;
  return *this;
}

JsonWriter &JsonWriter::value(std::string_view text) {
  separate();
  text_ += '"';
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      text_ += '\\';
      text_ += c;
    } else if (c == '\n') {
      text_ += "\\n";
    } else if (byte < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof(escaped), "\\u%04x", byte);
      text_ += escaped;
    } else {
      text_ += c;
    }
  }
  text_ += '"';
  return *this;
}

JsonWriter &JsonWriter::value(bool flag) {
  raw(flag ? "true" : "false");
  return *this;
}

JsonWriter &JsonWriter::value(long long number) {
  raw(std::to_string(number));
  return *this;
}

JsonWriter &JsonWriter::value(unsigned long long number) {
  raw(std::to_string(number));
  return *this;
}

JsonWriter &JsonWriter::value(double number) {
  if (!std::isfinite(number))
    return null();
  char text[32];
  std::snprintf(text, sizeof(text), "%.6g", number);
  raw(text);
  return *this;
}

JsonWriter &JsonWriter::null() {
  raw("null");
  return *this;
}

} // namespace dscam
