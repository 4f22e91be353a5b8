#include "tool/json.h"

#include <cstdio>

#include "tool/encoding.h"

namespace tailpack {

std::string JsonWriter::Escape(const std::string& value) {
  // Printable() keeps valid UTF-8 and marks every byte that is not as
  // "\xNN"; control characters (C0, DEL, C1) become \u escapes here.
  std::string out = "\"";
  char code[8];
  for (size_t i = 0; i < value.size(); ++i) {
    unsigned char u = static_cast<unsigned char>(value[i]);
    unsigned c1 = u == 0xC2 && i + 1 < value.size() ? static_cast<unsigned char>(value[i + 1]) : 0;
    switch (u) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (u < 0x20 || u == 0x7F || (c1 >= 0x80 && c1 < 0xA0)) {
          snprintf(code, sizeof code, "\\u%04x", c1 ? c1 : u);
          out += code;
          if (c1) ++i;
        } else if (u < 0x80) {
          out += static_cast<char>(u);
        } else {
          // One UTF-8 sequence, checked on its own.
          size_t length = (u & 0xE0) == 0xC0 ? 2 : (u & 0xF0) == 0xE0 ? 3 : (u & 0xF8) == 0xF0 ? 4 : 1;
          std::string sequence = value.substr(i, length);
          std::string shown = Printable(sequence);
          if (shown == sequence) {
            out += sequence;
            i += length - 1;
          } else {
            snprintf(code, sizeof code, "\\\\x%02X", u);
            out += code;
          }
        }
    }
  }
  return out + "\"";
}

void JsonWriter::Separate() {
  if (afterKey_) {
    afterKey_ = false;
    return;
  }
  if (!first_.empty()) {
    if (!first_.back()) out_ << ",";
    first_.back() = false;
  }
}

JsonWriter& JsonWriter::BeginObject() {
  Separate();
  out_ << "{";
  first_.push_back(true);
  return *this;
}

JsonWriter& JsonWriter::EndObject() {
  first_.pop_back();
  out_ << "}";
  if (first_.empty()) out_ << "\n";
  return *this;
}

JsonWriter& JsonWriter::BeginArray() {
  Separate();
  out_ << "[";
  first_.push_back(true);
  return *this;
}

JsonWriter& JsonWriter::EndArray() {
  first_.pop_back();
  out_ << "]";
  return *this;
}

JsonWriter& JsonWriter::Key(const std::string& key) {
  Separate();
  out_ << Escape(key) << ":";
  afterKey_ = true;
  return *this;
}

JsonWriter& JsonWriter::String(const std::string& value) {
  Separate();
  out_ << Escape(value);
  return *this;
}

JsonWriter& JsonWriter::Number(uint64_t value) {
  Separate();
  out_ << value;
  return *this;
}

JsonWriter& JsonWriter::Bool(bool value) {
  Separate();
  out_ << (value ? "true" : "false");
  return *this;
}

JsonWriter& JsonWriter::Null() {
  Separate();
  out_ << "null";
  return *this;
}

JsonWriter& JsonWriter::StringArray(const std::vector<std::string>& values) {
  BeginArray();
  for (const std::string& v : values) String(v);
  return EndArray();
}

}  // namespace tailpack
