#include "tool/json.h"

#include <cstdio>

namespace tailpack {

std::string JsonWriter::Escape(const std::string& value) {
  std::string out = "\"";
  for (char c : value) {
    unsigned char u = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (u < 0x20) {
          char code[8];
          snprintf(code, sizeof code, "\\u%04x", u);
          out += code;
        } else {
          out += c;
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
