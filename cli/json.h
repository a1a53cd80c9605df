// A small JSON writer for reports: objects, arrays, strings, numbers.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace sorrelon::cli {

class Json {
 public:
  Json& BeginObject() { Value(); out_ += '{'; first_.push_back(true); return *this; }
  Json& EndObject() { out_ += '}'; first_.pop_back(); return *this; }
  Json& BeginArray() { Value(); out_ += '['; first_.push_back(true); return *this; }
  Json& EndArray() { out_ += ']'; first_.pop_back(); return *this; }
  Json& Key(std::string_view k) {
    Comma();
    Quote(k);
    out_ += ':';
    afterKey_ = true;
    return *this;
  }
  Json& String(std::string_view s) { Value(); Quote(s); return *this; }
  Json& Int(int64_t v) { Value(); out_ += std::to_string(v); return *this; }
  Json& Bool(bool b) { Value(); out_ += b ? "true" : "false"; return *this; }
  const std::string& str() const { return out_; }

 private:
  void Comma() {
    if (!first_.empty()) {
      if (!first_.back()) out_ += ',';
      first_.back() = false;
    }
  }
  void Value() {
    if (afterKey_) afterKey_ = false;
    else Comma();
  }
  void Quote(std::string_view s) {
    out_ += '"';
    for (unsigned char c : s) {
      switch (c) {
        case '"': out_ += "\\\""; break;
        case '\\': out_ += "\\\\"; break;
        case '\n': out_ += "\\n"; break;
        case '\r': out_ += "\\r"; break;
        case '\t': out_ += "\\t"; break;
        default:
          if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out_ += buf;
          } else {
            out_ += char(c);
          }
      }
    }
    out_ += '"';
  }
  std::string out_;
  std::vector<bool> first_;
  bool afterKey_ = false;
};

}  // namespace sorrelon::cli
