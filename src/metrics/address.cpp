#include "metrics/address.h"

#include <arpa/inet.h>

#include <charconv>

namespace kvx::metrics {

namespace {

std::optional<std::uint16_t> ParsePort(std::string_view text) {
  unsigned value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value < 1 || value > 65535) {
    return std::nullopt;
  }
  return static_cast<std::uint16_t>(value);
}

bool IsLoopback(const std::string& host, bool v6) {
  if (v6) {
    in6_addr a{};
    return inet_pton(AF_INET6, host.c_str(), &a) == 1 && IN6_IS_ADDR_LOOPBACK(&a);
  }
  return host.rfind("127.", 0) == 0;
}

}  // namespace

std::optional<ListenAddress> ParseListenAddress(std::string_view text, std::string& error) {
  std::string_view host;
  std::string_view port = text;
  bool bracketed = false;
  if (!text.empty() && text.front() == '[') {
    const std::size_t close = text.find(']');
    if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':') {
      error = "--metrics: an IPv6 address needs brackets and a port: --metrics=[::1]:9100";
      return std::nullopt;
    }
    host = text.substr(1, close - 1);
    port = text.substr(close + 2);
    bracketed = true;
  } else if (const std::size_t colon = text.rfind(':'); colon != std::string_view::npos) {
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
  }
  const std::optional<std::uint16_t> number = ParsePort(port);
  if (!number) {
    error = "--metrics needs a port from 1 to 65535: --metrics=9100 or --metrics=ADDRESS:9100";
    return std::nullopt;
  }
  ListenAddress address;
  address.port = *number;
  if (host.empty() || host == "localhost") {
    if (bracketed) {
      error = "--metrics: empty IPv6 address";
      return std::nullopt;
    }
    address.host = "127.0.0.1";
    return address;
  }
  address.host = std::string(host);
  unsigned char buffer[sizeof(in6_addr)];
  const bool numeric = bracketed ? inet_pton(AF_INET6, address.host.c_str(), buffer) == 1
                                 : inet_pton(AF_INET, address.host.c_str(), buffer) == 1;
  if (!numeric) {
    error = "--metrics: '" + address.host +
            "' is not a numeric address; name the interface by its address (0.0.0.0 for all) to listen beyond this "
            "machine";
    return std::nullopt;
  }
  address.loopback = IsLoopback(address.host, bracketed);
  return address;
}

std::string FormatListenAddress(const ListenAddress& address) {
  const bool v6 = address.host.find(':') != std::string::npos;
  return (v6 ? "[" + address.host + "]" : address.host) + ":" + std::to_string(address.port);
}

}  // namespace kvx::metrics
