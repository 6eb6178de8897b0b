// A one-line JSON object builder for the test programs' logs and reports.
//
// Strings are treated as bytes: quotes and backslashes are escaped, and every
// control byte and every byte from 0x80 up is written as \u00XX, so the output
// is valid JSON (ASCII only) whatever the input.

#ifndef ZAQSETUP_TESTS_JSON_LINE_H_
#define ZAQSETUP_TESTS_JSON_LINE_H_

#include <cstdio>
#include <string>
#include <vector>

namespace zaqtest {

inline void append_json_string(std::string& out, const std::string& s) {
  out += '"';
  for (unsigned char c : s) {
    if (c == '"') {
      out += "\\\"";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (c < 0x20 || c >= 0x80) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04X", static_cast<unsigned>(c));
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  out += '"';
}

class JsonObject {
 public:
  JsonObject& str(const char* key, const std::string& value) {
    name(key);
    append_json_string(body_, value);
    return *this;
  }
  JsonObject& num(const char* key, long long value) {
    name(key);
    body_ += std::to_string(value);
    return *this;
  }
  JsonObject& boolean(const char* key, bool value) {
    name(key);
    body_ += value ? "true" : "false";
    return *this;
  }
  JsonObject& null(const char* key) {
    name(key);
    body_ += "null";
    return *this;
  }
  JsonObject& strings(const char* key, const std::vector<std::string>& values) {
    name(key);
    body_ += '[';
    for (size_t i = 0; i < values.size(); ++i) {
      if (i) body_ += ',';
      append_json_string(body_, values[i]);
    }
    body_ += ']';
    return *this;
  }
  JsonObject& nums(const char* key, const std::vector<long long>& values) {
    name(key);
    body_ += '[';
    for (size_t i = 0; i < values.size(); ++i) {
      if (i) body_ += ',';
      body_ += std::to_string(values[i]);
    }
    body_ += ']';
    return *this;
  }
  JsonObject& objects(const char* key, const std::vector<JsonObject>& values) {
    name(key);
    body_ += '[';
    for (size_t i = 0; i < values.size(); ++i) {
      if (i) body_ += ',';
      body_ += values[i].text();
    }
    body_ += ']';
    return *this;
  }

  std::string text() const { return body_ + '}'; }

 private:
  void name(const char* key) {
    if (body_.size() > 1) body_ += ',';
    append_json_string(body_, key);
    body_ += ':';
  }

  std::string body_ = "{";
};

}  // namespace zaqtest

#endif  // ZAQSETUP_TESTS_JSON_LINE_H_
