#include "device/sim/strip_memory.h"

#include <algorithm>

namespace kvx::sim {

using namespace kvx::protocol;

StripMemory::StripMemory(std::uint8_t pageSelector, const std::array<ChannelCalibration, OUTLETS>& factory,
                         const std::vector<MemoryPatch>& patches)
    : factory_(factory) {
  const std::uint8_t selector[] = {pageSelector};
  Write(PAGE_SELECTOR_PAGE, PAGE_SELECTOR_OFFSET + PAGE_SELECTOR_BYTE, selector);
  for (int outlet = 1; outlet <= static_cast<int>(OUTLETS); ++outlet) WriteRecord(outlet, Factory(outlet));
  for (const MemoryPatch& patch : patches) Write(patch.page, patch.offset, patch.bytes);
}

std::array<std::uint8_t, READ_MEMORY_LENGTH> StripMemory::Read(std::uint16_t page, std::uint16_t offset) const {
  std::array<std::uint8_t, READ_MEMORY_LENGTH> bytes{};
  const auto it = pages_.find(page);
  if (it == pages_.end()) return bytes;
  for (std::size_t k = 0; k < bytes.size(); ++k) {
    const std::size_t at = std::size_t{offset} + k;
    if (at < MEMORY_PAGE_SIZE) bytes[k] = it->second[at];
  }
  return bytes;
}

void StripMemory::Write(std::uint16_t page, std::uint16_t offset, std::span<const std::uint8_t> bytes) {
  auto& data = pages_.try_emplace(page).first->second;  // a new page starts zeroed
  for (std::size_t k = 0; k < bytes.size() && std::size_t{offset} + k < MEMORY_PAGE_SIZE; ++k)
    data[std::size_t{offset} + k] = bytes[k];
}

std::uint16_t StripMemory::CalibrationPage() const {
  const auto selector = Read(PAGE_SELECTOR_PAGE, PAGE_SELECTOR_OFFSET);
  return SelectCalibrationPage(selector[PAGE_SELECTOR_BYTE]);
}

ChannelCalibration StripMemory::Record(int outlet) const {
  const std::uint16_t page = CalibrationPage();
  const auto first = Read(page, CalibrationRecordOffset(outlet));
  const auto second = Read(page, CalibrationSecondReadOffset(outlet));
  return DecodeChannelCalibration(first, second);
}

void StripMemory::WriteRecord(int outlet, const ChannelCalibration& record) {
  Write(CalibrationPage(), CalibrationRecordOffset(outlet), EncodeChannelCalibration(record));
}

const ChannelCalibration& StripMemory::Factory(int outlet) const {
  return factory_[static_cast<std::size_t>(outlet - 1)];
}

void StripMemory::FlagRecord(int outlet) {
  const std::uint8_t flag[] = {RECORD_FLAG_VALUE};
  Write(CalibrationPage(), CalibrationRecordOffset(outlet) + CALIBRATION_FLAG_BYTE, flag);
}

void StripMemory::ZeroDivisor(int outlet, DivisorFault which) {
  ChannelCalibration record = Record(outlet);
  if (which != DivisorFault::High) record.lowDivisor = 0;
  if (which != DivisorFault::Low) record.highDivisor = 0;
  WriteRecord(outlet, record);
}

void StripMemory::RestoreFactory(int outlet) {
  ChannelCalibration record = Factory(outlet);
  record.lowOffset &= 0x00FF;  // the flag byte is the high byte of lowOffset
  WriteRecord(outlet, record);
}

}  // namespace kvx::sim
