// One JSON object on one line, built field by field: {"event":"block",...}.
// Strings are escaped (quotes, backslashes, control characters); numbers are
// written as integers or with three decimals.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace t42rm::cli {

class JsonLine {
 public:
  explicit JsonLine(std::string_view event) { Str("event", event); }
  JsonLine& Str(std::string_view key, std::string_view value);
  JsonLine& Int(std::string_view key, int64_t value);
  JsonLine& Real(std::string_view key, double value);
  JsonLine& Bool(std::string_view key, bool value);
  // The closed object, without a newline.
  std::string Text() const { return body_ + "}"; }

 private:
  void Key(std::string_view key);
  std::string body_ = "{";
};

std::string JsonEscape(std::string_view text);

}  // namespace t42rm::cli
