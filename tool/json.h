// A small streaming JSON writer for the tool's --json output.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace tailpack {

class JsonWriter {
 public:
  explicit JsonWriter(std::ostream& out) : out_(out) {}

  JsonWriter& BeginObject();
  JsonWriter& EndObject();
  JsonWriter& BeginArray();
  JsonWriter& EndArray();
  JsonWriter& Key(const std::string& key);
  JsonWriter& String(const std::string& value);  // UTF-8
  JsonWriter& Number(uint64_t value);
  JsonWriter& Bool(bool value);
  JsonWriter& Null();
  JsonWriter& StringArray(const std::vector<std::string>& values);

  static std::string Escape(const std::string& value);

 private:
  void Separate();

  std::ostream& out_;
  std::vector<bool> first_;  // per open container: no element written yet
  bool afterKey_ = false;
};

}  // namespace tailpack
