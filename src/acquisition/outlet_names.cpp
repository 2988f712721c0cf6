#include "acquisition/outlet_names.h"

#include "device/printable_text.h"

namespace kvx {

namespace {

// Whether `text` is well-formed UTF-8 without C0 or C1 control characters
// and without DEL.
bool CleanUtf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (b < 0x80) {
      if (b < 0x20 || b == 0x7F) return false;
      ++i;
      continue;
    }
    const std::size_t length = Utf8SequenceLength(text.substr(i));
    // The C1 controls U+0080..U+009F are C2 80..C2 9F.
    if (length == 0 || (b == 0xC2 && static_cast<unsigned char>(text[i + 1]) <= 0x9F)) return false;
    i += length;
  }
  return true;
}

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return text;
}

}  // namespace

bool ParseOutletNames(std::string_view text, OutletNames& names, std::string& error) {
  OutletNames parsed;
  std::size_t count = 0;
  std::string current;
  bool any = false;
  const auto finish = [&] {
    if (count == parsed.size()) {
      error = "--outlet-names takes at most four names (write \\, for a comma inside a name)";
      return false;
    }
    const std::string_view name = Trimmed(current);
    if (!CleanUtf8(name)) {
      error = "--outlet-names: outlet " + std::to_string(count + 1) +
              "'s name is not UTF-8 text without control characters";
      return false;
    }
    if (name.size() > MAX_OUTLET_NAME_BYTES) {
      error = "--outlet-names: outlet " + std::to_string(count + 1) + "'s name is longer than " +
              std::to_string(MAX_OUTLET_NAME_BYTES) + " bytes";
      return false;
    }
    parsed[count++] = std::string(name);
    current.clear();
    return true;
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    any = true;
    if (text[i] == '\\' && i + 1 < text.size() && (text[i + 1] == ',' || text[i + 1] == '\\')) {
      current += text[++i];
    } else if (text[i] == ',') {
      if (!finish()) return false;
    } else {
      current += text[i];
    }
  }
  if (any && !finish()) return false;
  names = parsed;
  return true;
}

std::string OutletNameOr(const OutletNames& names, int outlet, const std::string& fallback) {
  if (outlet < 1 || outlet > 4) return fallback;
  const std::string& name = names[static_cast<std::size_t>(outlet - 1)];
  return name.empty() ? fallback : name;
}

}  // namespace kvx
