// The energy ledger of one strip: "kvx-energy-<serial>.csv" beside the CSV
// logs, an append-only CSV file with one row per outlet per local clock hour
// in which readings came (measured or not: current readings give rows of
// nothing measured) or a gap began:
//   hour_start,serial,outlet,name,energy_wh,measured_s,gaps,max_w,min_w
//   2026-12-08T14:00:00+01:00,01A2B3,1,,1199.871234,3599.900,0,1201.0,1198.5
// hour_start is the local hour with its UTC offset (the two 02:00 hours of a
// night that turns the clocks back are two rows); energy_wh is exact to the
// micro-watt-hour and measured_s to the millisecond; gaps counts the stretches
// of unmeasured time that began in the hour; max_w and min_w are empty when no
// power reading came. An hour may have more than one row per outlet (a restart
// within the hour writes its own): readers sum them.
//
// Rows reach the file in blocks, each with one write(2) (O_APPEND; a write
// that fails is cut back off, so the file only holds whole lines), never
// rewritten. Before a block is appended it is saved in a small state file
// "kvx-energy-<serial>.state" (written to a temporary name and renamed over
// it); after the append the state file holds the hour in progress, or is
// removed. A process killed at any point leaves, at its next start, a state
// file whose block is either already the ledger's last lines (then dropped) or
// not yet in it (then appended): no row is lost or counted twice.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kvx::recording {

inline constexpr std::string_view ENERGY_LEDGER_HEADER =
    "hour_start,serial,outlet,name,energy_wh,measured_s,gaps,max_w,min_w\n";

// "kvx-energy-1A2B3.csv" and "kvx-energy-1A2B3.state" (the serial as in the CSV file names).
std::string EnergyLedgerName(std::uint32_t serial);
std::string EnergyStateName(std::uint32_t serial);

// What one outlet did within one hour (or within a sum of hours).
struct OutletEnergy {
  std::int64_t microWh = 0;     // energy, micro-watt-hours
  std::int64_t measuredMs = 0;  // time measured
  std::int64_t gaps = 0;        // unmeasured stretches that began
  bool anyPower = false;        // a power reading came: maxW/minW hold
  double maxW = 0.0;
  double minW = 0.0;

  void Add(const OutletEnergy& other);
  void SeePower(double watts);
  bool Empty() const { return microWh == 0 && measuredMs == 0 && gaps == 0 && !anyPower; }
};

struct LedgerRow {
  std::int64_t hourStart = 0;  // Unix seconds of the hour's first second
  long utcOffsetSec = 0;       // east of UTC, in that hour
  std::uint32_t serial = 0;
  int outlet = 0;              // 1..4
  std::string name;            // the outlet's name; empty when none is set
  OutletEnergy energy;
};

// One row as a line ending in "\n"; the name is quoted as CSV needs.
std::string FormatLedgerRow(const LedgerRow& row);
// The row of a line (LF or CR LF); nullopt for the header or a malformed line.
std::optional<LedgerRow> ParseLedgerRow(std::string_view line);
// The local day (days since 1970-01-01 in local time) of a moment at a UTC offset.
std::int64_t LocalDay(std::int64_t unixSeconds, long utcOffsetSec);
// "2026-12-08T14:00:00+01:00" of a moment and its offset.
std::string FormatHourStart(std::int64_t unixSeconds, long utcOffsetSec);

struct LedgerContents {
  bool exists = false;
  std::vector<LedgerRow> rows;
  std::size_t malformed = 0;  // lines that are neither the header nor a row
  std::string error;          // a file that exists but cannot be read
};
LedgerContents ReadLedger(const std::string& path);

// The two files of one strip's ledger in one directory. Every call is one
// short piece of file work made on the caller's thread; returns 0 or errno.
class LedgerFiles {
 public:
  LedgerFiles(std::string directory, std::uint32_t serial);

  const std::string& LedgerPath() const { return ledgerPath_; }
  // A state file left by a process that did not stop cleanly: its block is
  // appended unless the ledger already ends with it; then it is removed.
  int Recover();
  // Saves `block` (whole rows) as the state, appends it to the ledger (with
  // the header first when the ledger is new) and removes the state again.
  int Commit(const std::string& block);
  // Saves the rows of the hour in progress as the state (empty: removes it).
  int SaveState(const std::string& block);

 private:
  int Append(const std::string& block);

  std::string directory_;
  std::string ledgerPath_;
  std::string statePath_;
};

}  // namespace kvx::recording
