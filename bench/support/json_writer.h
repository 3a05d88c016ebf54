// JsonWriter: writes one JSON document as a string, object by object. Numbers that are not
// finite (a measurement that could not be made) are written as null.
#pragma once

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace vexlor::bench {

class JsonWriter {
  public:
    JsonWriter& beginObject(const char* key = nullptr) { return open(key, '{'); }
    JsonWriter& endObject() { return close('}'); }
    JsonWriter& beginArray(const char* key = nullptr) { return open(key, '['); }
    JsonWriter& endArray() { return close(']'); }

    JsonWriter& number(const char* key, double value) {
        prefix(key);
        if (!std::isfinite(value)) {
            out_ += "null";
        } else {
            char text[64];
            std::snprintf(text, sizeof text, "%.6g", value);
            out_ += text;
        }
        return *this;
    }
    JsonWriter& integer(const char* key, long long value) {
        prefix(key);
        out_ += std::to_string(value);
        return *this;
    }
    JsonWriter& boolean(const char* key, bool value) {
        prefix(key);
        out_ += value ? "true" : "false";
        return *this;
    }
    JsonWriter& string(const char* key, const std::string& value) {
        prefix(key);
        quote(value);
        return *this;
    }

    const std::string& text() const { return out_; }

  private:
    JsonWriter& open(const char* key, char bracket) {
        prefix(key);
        out_ += bracket;
        first_.push_back(true);
        return *this;
    }
    JsonWriter& close(char bracket) {
        first_.pop_back();
        out_ += '\n';
        out_.append(2 * first_.size(), ' ');
        out_ += bracket;
        if (first_.empty()) out_ += '\n';
        return *this;
    }
    void prefix(const char* key) {
        if (!first_.empty()) {
            if (!first_.back()) out_ += ',';
            first_.back() = false;
            out_ += '\n';
            out_.append(2 * first_.size(), ' ');
        }
        if (key != nullptr) {
            quote(key);
            out_ += ": ";
        }
    }
    void quote(const std::string& text) {
        out_ += '"';
        for (unsigned char c : text) {
            if (c == '"' || c == '\\') {
                out_ += '\\';
                out_ += static_cast<char>(c);
            } else if (c < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                out_ += escaped;
            } else {
                out_ += static_cast<char>(c);
            }
        }
        out_ += '"';
    }

    std::string out_;
    std::vector<bool> first_;
};

}  // namespace vexlor::bench
