// The strip's memory as the simulated strip keeps it: 256-byte pages
// addressed by REQ_READ_MEMORY's (page, offset), the page selector, and the
// four calibration records on the page it selects. Unwritten memory reads as 0.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <span>
#include <vector>

#include "device/protocol.h"
#include "device/sim/scenario.h"

namespace kvx::sim {

inline constexpr std::size_t MEMORY_PAGE_SIZE = 256;
// What a flagged record carries in its flag byte (erased memory).
inline constexpr std::uint8_t RECORD_FLAG_VALUE = 0xFF;

class StripMemory {
 public:
  StripMemory(std::uint8_t pageSelector, const std::array<protocol::ChannelCalibration, OUTLETS>& factory,
              const std::vector<MemoryPatch>& patches);

  // The 8 bytes at (page, offset); bytes past the end of the page read as 0.
  std::array<std::uint8_t, protocol::READ_MEMORY_LENGTH> Read(std::uint16_t page, std::uint16_t offset) const;
  // Writes what fits into the page.
  void Write(std::uint16_t page, std::uint16_t offset, std::span<const std::uint8_t> bytes);

  // The page that byte 3 of the selector currently chooses.
  std::uint16_t CalibrationPage() const;
  // Outlet n's (1..4) working record as it lies on the calibration page.
  protocol::ChannelCalibration Record(int outlet) const;
  void WriteRecord(int outlet, const protocol::ChannelCalibration& record);
  const protocol::ChannelCalibration& Factory(int outlet) const;

  void FlagRecord(int outlet);
  void ZeroDivisor(int outlet, DivisorFault which);
  // What the reset sequence does: the factory record back, flag cleared.
  void RestoreFactory(int outlet);

 private:
  std::map<std::uint16_t, std::array<std::uint8_t, MEMORY_PAGE_SIZE>> pages_;
  std::array<protocol::ChannelCalibration, OUTLETS> factory_;
};

}  // namespace kvx::sim
