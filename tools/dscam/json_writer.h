// JSON text for scripts (--json): objects, arrays, names and values written in
// order; the writer puts the commas and escapes the strings. One line, no
// spaces. Numbers that are not finite are written as null.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace dscam {

class JsonWriter {
public:
  JsonWriter &begin_object();
  JsonWriter &end_object();
  JsonWriter &begin_array();
  JsonWriter &end_array();
  // The name of the next member of the current object.
  JsonWriter &key(std::string_view name);
  JsonWriter &value(std::string_view text);
  JsonWriter &value(const char *text) { return value(std::string_view(text)); }
  JsonWriter &value(const std::string &text) { return value(std::string_view(text)); }
  JsonWriter &value(bool flag);
  JsonWriter &value(long long number);
  JsonWriter &value(unsigned long long number);
  JsonWriter &value(int number) { return value(static_cast<long long>(number)); }
  JsonWriter &value(long number) { return value(static_cast<long long>(number)); }
  JsonWriter &value(unsigned number) { return value(static_cast<unsigned long long>(number)); }
  JsonWriter &value(unsigned long number) { return value(static_cast<unsigned long long>(number)); }
  JsonWriter &value(double number);
  JsonWriter &null();
  // A member: key(name) then value(v).
  template <typename T> JsonWriter &field(std::string_view name, const T &v) { return key(name).value(v); }

  const std::string &text() const { return text_; }

private:
  void separate(); // the comma before an element or a member, unless it is the first
  void raw(std::string_view text);

  std::string text_;
  std::vector<bool> first_; // per open object or array: nothing written in it yet
  bool after_key_ = false;
};

} // namespace dscam
