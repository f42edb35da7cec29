#include "cli/json_line.h"

#include <cmath>
#include <cstdio>

namespace t42rm::cli {

std::string JsonEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
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
      default:
        if (c < 0x20 || c == 0x7F) {
          char esc[8];
          std::snprintf(esc, sizeof esc, "\\u%04x", c);
          out += esc;
        } else {
          out += ch;
        }
    }
  }
  return out;
}

void JsonLine::Key(std::string_view key) {
  if (body_.size() > 1) body_ += ',';
  body_ += '"';
  body_ += JsonEscape(key);
  body_ += "\":";
}

JsonLine& JsonLine::Str(std::string_view key, std::string_view value) {
  Key(key);
  body_ += '"';
  body_ += JsonEscape(value);
  body_ += '"';
  return *this;
}

JsonLine& JsonLine::Int(std::string_view key, int64_t value) {
  Key(key);
  body_ += std::to_string(value);
  return *this;
}

JsonLine& JsonLine::Real(std::string_view key, double value) {
  Key(key);
  if (!std::isfinite(value)) {
    body_ += "null";  // JSON has no infinity or NaN
    return *this;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", value);
  body_ += text;
  return *this;
}

JsonLine& JsonLine::Bool(std::string_view key, bool value) {
  Key(key);
  body_ += value ? "true" : "false";
  return *this;
}

}  // namespace t42rm::cli
