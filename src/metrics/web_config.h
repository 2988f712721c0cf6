// The metrics endpoint's web configuration (--metrics-web-config=FILE), in
// the YAML layout exporters for Prometheus share:
//
//   tls_server_config:
//     cert_file: server.crt          # PEM; relative paths are taken from the file's folder
//     key_file: server.key
//     client_ca_file: clients.crt    # optional: the CA that signs client certificates
//     client_auth_type: RequireAndVerifyClientCert   # or NoClientCert (the default)
//   basic_auth_users:
//     prometheus: $2y$10$...         # bcrypt hashes only
//
// The subset read here is exactly these keys: any other key, a value that
// does not fit, a file that cannot be read or a hash that is not bcrypt is
// refused with a message naming it, and the program stops at start.
#pragma once

#include <map>
#include <optional>
#include <string>

namespace kvx::metrics {

struct WebConfig {
  std::string certPem;      // empty: plain HTTP
  std::string keyPem;
  std::string clientCaPem;  // empty: no client certificate asked for
  bool requireClientCert = false;
  std::map<std::string, std::string> users;  // name -> bcrypt hash; empty: no authentication

  bool tls() const { return !certPem.empty(); }
};

std::optional<WebConfig> LoadWebConfig(const std::string& path, std::string& error);

// The password against its bcrypt hash ("$2a$", "$2b$" or "$2y$"), with the
// system's crypt(3); the comparison takes the same time whatever matches.
bool PasswordMatches(const std::string& password, const std::string& hash);

}  // namespace kvx::metrics
