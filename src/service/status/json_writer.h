// JSON for the verbs' --json output: indented, one member or element per
// line, names that are not UTF-8 kept exactly in a "<key>_hex" twin.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/text.h"

namespace tarnwick {

namespace json_detail {

// Lowercase, as JSON's own \u escapes are usually written.
inline void AppendHexByte(std::string& out, unsigned char u) {
  static const char hex[] = "0123456789abcdef";
  out += hex[u >> 4];
  out += hex[u & 15];
}

// A JSON string for any bytes: quotes, backslashes and control characters
// escaped; each byte that is not part of well-formed UTF-8 becomes U+FFFD,
// and *lossy says so.
inline std::string JsonQuote(std::string_view s, bool* lossy = nullptr) {
  std::string out = "\"";
  for (std::size_t i = 0; i < s.size();) {
    const char c = s[i];
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (u < 0x20 || u == 0x7f) {
      out += "\\u00";
      AppendHexByte(out, u);
    } else if (const std::size_t n = Utf8Length(s, i); n > 0) {
      out.append(s.substr(i, n));
      i += n;
      continue;
    } else {
      out += "\\ufffd";
      if (lossy) *lossy = true;
    }
    ++i;
  }
  return out + "\"";
}

inline std::string Hex(std::string_view s) {
  std::string out;
  for (char c : s) AppendHexByte(out, static_cast<unsigned char>(c));
  return out;
}

}  // namespace json_detail

// Writes indented JSON, one member or element per line, and keeps the
// commas right.
class JsonWriter {
 public:
  void BeginObject() { Open('{'); }
  void EndObject() { Close('}'); }
  void BeginArray() { Open('['); }
  void EndArray() { Close(']'); }
  void Key(std::string_view k) {
    Separate();
    out_ += json_detail::JsonQuote(k) + ": ";
    after_key_ = true;
  }
  void String(std::string_view s) { Raw(json_detail::JsonQuote(s)); }
  // A name: its exact bytes in "<key>_hex" too when it is not UTF-8.
  void Name(std::string_view key, std::string_view value) {
    bool lossy = false;
    Key(key);
    Raw(json_detail::JsonQuote(value, &lossy));
    if (lossy) {
      Key(std::string(key) + "_hex");
      String(json_detail::Hex(value));
    }
  }
  void Number(std::int64_t n) { Raw(std::to_string(n)); }
  // -1 is how the report says "unknown".
  void CountOrNull(std::int64_t n) { n < 0 ? Raw("null") : Number(n); }
  void TextOrNull(std::string_view s) { s.empty() ? Raw("null") : String(s); }
  void Bool(bool b) { Raw(b ? "true" : "false"); }
  void Null() { Raw("null"); }
  std::string Take() { return std::move(out_) + "\n"; }

 private:
  struct Level {
    bool empty = true;
  };
  void Separate() {
    if (after_key_) {
      after_key_ = false;
      return;
    }
    if (levels_.empty()) return;
    if (!levels_.back().empty) out_ += ',';
    levels_.back().empty = false;
    out_ += '\n';
    out_.append(2 * levels_.size(), ' ');
  }
  void Raw(std::string_view text) {
    Separate();
    out_ += text;
  }
  void Open(char c) {
    Separate();
    out_ += c;
    levels_.push_back({});
  }
  void Close(char c) {
    const bool empty = levels_.back().empty;
    levels_.pop_back();
    if (!empty) {
      out_ += '\n';
      out_.append(2 * levels_.size(), ' ');
    }
    out_ += c;
  }

  std::string out_;
  std::vector<Level> levels_;
  bool after_key_ = false;
};

}  // namespace tarnwick
