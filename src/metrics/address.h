// The --metrics=ADDR:PORT value. The endpoint listens on loopback unless a
// numeric address says otherwise:
//   9100, :9100, localhost:9100, 127.0.0.1:9100  -> 127.0.0.1:9100
//   [::1]:9100                                    -> ::1 (loopback)
//   0.0.0.0:9100, 192.0.2.7:9100, [::]:9100        -> that address (an explicit choice)
// Any other host name is refused: a name can resolve to a public interface
// without anyone having said so. The port is 1..65535.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kvx::metrics {

struct ListenAddress {
  std::string host;  // numeric: "127.0.0.1", "0.0.0.0", "::1", ...
  std::uint16_t port = 0;
  bool loopback = true;
  bool operator==(const ListenAddress&) const = default;
};

std::optional<ListenAddress> ParseListenAddress(std::string_view text, std::string& error);

// "127.0.0.1:9100" or "[::1]:9100".
std::string FormatListenAddress(const ListenAddress& address);

}  // namespace kvx::metrics
