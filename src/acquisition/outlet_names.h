// The names a user gives the four outlets ("Freezer", "Kettle", ...): fixed
// for the life of the process, carried with each connection's identity to
// every listener (the journal, the energy ledger, the metrics, the charts,
// the publishers). An outlet without a name has an empty one.
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace kvx {

using OutletNames = std::array<std::string, 4>;

inline constexpr std::size_t MAX_OUTLET_NAME_BYTES = 40;

// "NAME1,NAME2,NAME3,NAME4": at most four names separated by commas, "\," a
// comma and "\\" a backslash inside a name; fewer names leave the rest empty,
// and an empty text gives none. Each name is valid UTF-8 of at most
// MAX_OUTLET_NAME_BYTES bytes without control characters; blanks around it
// are dropped. False with `error` for anything else.
bool ParseOutletNames(std::string_view text, OutletNames& names, std::string& error);

// The name of outlet 1..4, or `fallback` when it has none.
std::string OutletNameOr(const OutletNames& names, int outlet, const std::string& fallback);

}  // namespace kvx
