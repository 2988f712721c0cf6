// The checked reading of a scenario's JSON values: each accessor checks type
// and range before it takes a value and keeps the first error, naming the
// offending key. Used by scenario_json.cpp only.
#pragma once

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <type_traits>

namespace kvx::sim::scenario_json {

using nlohmann::json;
using Keys = std::initializer_list<std::string_view>;

inline std::string Key(const std::string& where, std::string_view key) { return where + "." + std::string(key); }
inline std::string Item(const std::string& where, std::size_t index) { return where + "[" + std::to_string(index) + "]"; }

// Walks one document, keeping the first error.
class Reader {
 public:
  explicit Reader(std::string& error) : error_(error) {}

  bool Fail(const std::string& where, const std::string& what) {
    error_ = where + ": " + what;
    return false;
  }

  bool Object(const json& value, const std::string& where, Keys allowed) {
    if (!value.is_object()) return Fail(where, "expected an object");
    for (const auto& [key, item] : value.items()) {
      bool known = false;
      for (std::string_view name : allowed) known = known || key == name;
      if (!known) return Fail(Key(where, key), "unknown key");
    }
    return true;
  }

  bool Array(const json& value, const std::string& where) {
    return value.is_array() || Fail(where, "expected an array");
  }

  // An unsigned integer given as a number, a decimal string or a "0x" hex string.
  bool Unsigned(const json& value, const std::string& where, std::uint64_t max, std::uint64_t& out) {
    if (value.is_number_unsigned()) {
      out = value.get<std::uint64_t>();
    } else if (value.is_string()) {
      const std::string& text = value.get_ref<const std::string&>();
      const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
      const char* first = text.data() + (hex ? 2 : 0);
      const char* last = text.data() + text.size();
      const auto [end, code] = std::from_chars(first, last, out, hex ? 16 : 10);
      if (code != std::errc() || end != last) return Fail(where, "expected an unsigned integer");
    } else {
      return Fail(where, "expected an unsigned integer");
    }
    return out <= max || Fail(where, "must be at most " + std::to_string(max));
  }

  template <typename T>
  bool Field(const json& object, const std::string& where, std::string_view key, T& out) {
    const auto it = object.find(key);
    if (it == object.end()) return true;  // optional: keep the default
    return Take(*it, Key(where, key), out);
  }

  bool Take(const json& value, const std::string& where, bool& out) {
    if (!value.is_boolean()) return Fail(where, "expected true or false");
    out = value.get<bool>();
    return true;
  }
  bool Take(const json& value, const std::string& where, double& out) {
    if (!value.is_number() || !std::isfinite(value.get<double>())) return Fail(where, "expected a number");
    out = value.get<double>();
    return true;
  }
  bool Take(const json& value, const std::string& where, std::string& out) {
    if (!value.is_string()) return Fail(where, "expected a string");
    out = value.get<std::string>();
    return true;
  }
  bool Take(const json& value, const std::string& where, std::int64_t& out) {
    if (value.is_number_integer() && !value.is_number_unsigned()) {
      out = value.get<std::int64_t>();
      return true;
    }
    std::uint64_t u = 0;
    if (!Unsigned(value, where, std::numeric_limits<std::int64_t>::max(), u)) return false;
    out = static_cast<std::int64_t>(u);
    return true;
  }
  bool Take(const json& value, const std::string& where, int& out) {
    std::int64_t wide = 0;
    if (!Take(value, where, wide)) return false;
    if (wide < std::numeric_limits<int>::min() || wide > std::numeric_limits<int>::max())
      return Fail(where, "out of range");
    out = static_cast<int>(wide);
    return true;
  }
  template <typename T>
    requires std::is_unsigned_v<T> && (!std::is_same_v<T, bool>)
  bool Take(const json& value, const std::string& where, T& out) {
    std::uint64_t u = 0;
    if (!Unsigned(value, where, std::numeric_limits<T>::max(), u)) return false;
    out = static_cast<T>(u);
    return true;
  }

  // One of a fixed set of words.
  template <typename T>
  bool Word(const json& object, const std::string& where, std::string_view key,
            const std::map<std::string, T, std::less<>>& words, T& out) {
    const auto it = object.find(key);
    if (it == object.end()) return true;
    std::string text;
    if (!Take(*it, Key(where, key), text)) return false;
    const auto found = words.find(text);
    if (found == words.end()) return Fail(Key(where, key), "unknown value '" + text + "'");
    out = found->second;
    return true;
  }

  bool Bytes(const json& value, const std::string& where, std::vector<std::uint8_t>& out) {
    if (value.is_array()) {
      for (std::size_t i = 0; i < value.size(); ++i) {
        std::uint8_t byte = 0;
        if (!Take(value[i], Item(where, i), byte)) return false;
        out.push_back(byte);
      }
      return true;
    }
    if (!value.is_string()) return Fail(where, "expected hex text or an array of bytes");
    std::string digits;
    for (char c : value.get_ref<const std::string&>())
      if (c != ' ') digits += c;
    if (digits.size() % 2 != 0) return Fail(where, "hex text needs two digits per byte");
    for (std::size_t i = 0; i < digits.size(); i += 2) {
      unsigned byte = 0;
      const auto [end, code] = std::from_chars(digits.data() + i, digits.data() + i + 2, byte, 16);
      if (code != std::errc() || end != digits.data() + i + 2) return Fail(where, "invalid hex text");
      out.push_back(static_cast<std::uint8_t>(byte));
    }
    return true;
  }

 private:
  std::string& error_;
};

}  // namespace kvx::sim::scenario_json
