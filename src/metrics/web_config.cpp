#include "metrics/web_config.h"

#include <crypt.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <vector>

namespace kvx::metrics {

namespace {

constexpr std::size_t MAX_FILE_BYTES = 1 << 20;  // a configuration, a certificate or a key

std::string Trim(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// A scalar as YAML writes it plainly or quoted; a comment ends a plain one.
bool Scalar(std::string text, std::string& value) {
  text = Trim(text);
  if (!text.empty() && (text.front() == '"' || text.front() == '\'')) {
    const char quote = text.front();
    const std::size_t end = text.find(quote, 1);
    if (end == std::string::npos) return false;
    const std::string rest = Trim(text.substr(end + 1));
    if (!rest.empty() && rest.front() != '#') return false;
    value = text.substr(1, end - 1);
    return true;
  }
  const std::size_t comment = text.find(" #");
  value = Trim(comment == std::string::npos ? text : text.substr(0, comment));
  return true;
}

bool ReadFile(const std::filesystem::path& path, std::string& content, std::string& error) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec) || std::filesystem::file_size(path, ec) > MAX_FILE_BYTES) {
    error = path.string() + ": not a readable file of at most 1 MiB";
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  if (!in && !in.eof()) {
    error = path.string() + ": cannot be read";
    return false;
  }
  content = text.str();
  return true;
}

bool IsBcrypt(const std::string& hash) {
  return hash.size() == 60 && (hash.starts_with("$2a$") || hash.starts_with("$2b$") || hash.starts_with("$2y$"));
}

struct Entry {
  std::string section;  // "" at the top level
  std::string key;
  std::string value;
  int line = 0;
};

// The two levels of the layout: "section:" at column 0, "key: value" indented below it.
bool Entries(const std::string& text, std::vector<Entry>& entries, std::string& error) {
  std::istringstream lines(text);
  std::string line;
  std::string section;
  for (int number = 1; std::getline(lines, line); ++number) {
    const std::string trimmed = Trim(line);
    if (trimmed.empty() || trimmed.front() == '#' || trimmed == "---") continue;
    const std::size_t colon = trimmed.find(':');
    if (colon == std::string::npos || colon == 0 || line.find('\t') != std::string::npos) {
      error = "line " + std::to_string(number) + ": expected \"key: value\" (spaces, no tabs)";
      return false;
    }
    Entry entry{section, Trim(trimmed.substr(0, colon)), {}, number};
    if (!Scalar(trimmed.substr(colon + 1), entry.value)) {
      error = "line " + std::to_string(number) + ": an unterminated quote";
      return false;
    }
    if (line.front() != ' ') {
      if (!entry.value.empty()) {
        error = "line " + std::to_string(number) + ": unknown key '" + entry.key + "'";
        return false;
      }
      section = entry.key;
      entry.section.clear();
      entry.value.clear();
    } else if (section.empty()) {
      error = "line " + std::to_string(number) + ": '" + entry.key + "' belongs to no section";
      return false;
    }
    entries.push_back(entry);
  }
  return true;
}

// The TLS part as a whole: a certificate with its key, and the client
// certificates asked for only with a CA to check them against.
bool CompleteTls(WebConfig& config, const std::string& clientAuth, std::string& error) {
  if (config.certPem.empty() != config.keyPem.empty()) {
    error = "tls_server_config needs both cert_file and key_file";
    return false;
  }
  if (clientAuth != "NoClientCert" && clientAuth != "RequireAndVerifyClientCert") {
    error = "client_auth_type '" + clientAuth + "' is not supported (NoClientCert, RequireAndVerifyClientCert)";
    return false;
  }
  config.requireClientCert = clientAuth == "RequireAndVerifyClientCert";
  if (config.requireClientCert && (config.clientCaPem.empty() || !config.tls())) {
    error = "RequireAndVerifyClientCert needs cert_file, key_file and client_ca_file";
    return false;
  }
  return true;
}

}  // namespace

std::optional<WebConfig> LoadWebConfig(const std::string& path, std::string& error) {
  std::string text;
  if (!ReadFile(path, text, error)) return std::nullopt;
  std::vector<Entry> entries;
  if (!Entries(text, entries, error)) {
    error = path + ": " + error;
    return std::nullopt;
  }
  const std::filesystem::path folder = std::filesystem::path(path).parent_path();
  const auto file = [&](const std::string& name, std::string& content) {
    const std::filesystem::path p = std::filesystem::path(name).is_relative() ? folder / name : std::filesystem::path(name);
    return ReadFile(p, content, error);
  };
  WebConfig config;
  std::string clientAuth = "NoClientCert";
  for (const Entry& e : entries) {
    const std::string where = path + ": line " + std::to_string(e.line) + ": ";
    if (e.section.empty()) {
      if (e.key != "tls_server_config" && e.key != "basic_auth_users") {
        error = where + "unknown key '" + e.key + "'";
        return std::nullopt;
      }
      continue;
    }
    if (e.section == "basic_auth_users") {
      if (!IsBcrypt(e.value)) {
        error = where + "the password of '" + e.key + "' is not a bcrypt hash ($2y$..., 60 characters)";
        return std::nullopt;
      }
      config.users[e.key] = e.value;
      continue;
    }
    bool read = true;
    if (e.key == "cert_file") read = file(e.value, config.certPem);
    else if (e.key == "key_file") read = file(e.value, config.keyPem);
    else if (e.key == "client_ca_file") read = file(e.value, config.clientCaPem);
    else if (e.key == "client_auth_type") clientAuth = e.value;
    else {
      error = where + "unknown key '" + e.key + "' in tls_server_config";
      return std::nullopt;
    }
    if (!read) {
      error = where + e.key + ": " + error;
      return std::nullopt;
    }
  }
  if (!CompleteTls(config, clientAuth, error)) {
    error = path + ": " + error;
    return std::nullopt;
  }
  return config;
}

bool PasswordMatches(const std::string& password, const std::string& hash) {
  if (!IsBcrypt(hash)) return false;
  auto data = std::make_unique<crypt_data>();  // large: not on the stack
  const char* computed = crypt_r(password.c_str(), hash.c_str(), data.get());
  if (computed == nullptr) return false;
  const std::string result(computed);
  if (result.size() != hash.size()) return false;
  unsigned char differ = 0;
  for (std::size_t i = 0; i < hash.size(); ++i) differ |= static_cast<unsigned char>(result[i] ^ hash[i]);
  return differ == 0;
}

}  // namespace kvx::metrics
