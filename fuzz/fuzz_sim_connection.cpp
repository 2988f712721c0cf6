// The simulated driver through the requests the acquisition thread makes when
// it opens a connection (enumeration, probe, pipe, identity, calibration
// fetch, set-event, readings, line quantities), with failing and short
// replies of random lengths, then raw control and read calls with random
// codes, setup packets, input lengths and buffer sizes.
//
// Input layout (zero-filled when shorter):
//   byte 0            number of reply-fault rules (0..7), then 4 bytes each:
//                     request (index into the requests below, else the raw
//                     byte), mode and scope bits, reply bytes, calls
//   then 10 bytes     wLength and buffer size of the five identity and line
//                     quantity requests
//   then per raw call 12 bytes: handle choice, code choice, input length,
//                     output length, the 8-byte setup packet
//
// Invariants: a call never reports more bytes than its output buffer (nor,
// for a full transfer, than wLength), a failed call reports none, bytes past
// those reported are never written; a read delivers at most its buffer; every
// trace line is whole and well-formed.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "device/device_access.h"
#include "device/protocol.h"
#include "device/sim/sim_driver.h"
#include "fuzz_check.h"

namespace {

using namespace kvx;
using namespace kvx::protocol;
using kvx::fuzz::Require;

constexpr std::uint8_t SENTINEL = 0xA5;
constexpr std::uint32_t SERIAL = 0x1A2B3;
const std::uint8_t REQUESTS[] = {REQ_SERIAL_NUMBER, REQ_FIRMWARE_VERSION, REQ_READ_MEMORY,
                                 REQ_LINE_PERIOD,   REQ_VOLTAGE,          REQ_TEMPERATURE};

class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  bool Empty() const { return at_ >= size_; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

sim::Scenario ScenarioFrom(Input& input) {
  sim::StripSpec strip;
  strip.serial = SERIAL;
  strip.summaryIntervalMs = 0;  // unpaced: a read never waits
  strip.waveformIntervalMs = 0;
  strip.outlets[0] = sim::LoadSpec::Heater(500.0);
  const int rules = input.Byte() % 8;
  for (int k = 0; k < rules; ++k) {
    sim::ReplyFault fault;
    const std::uint8_t request = input.Byte();
    fault.bRequest = request < 6 * 8 ? REQUESTS[request % 6] : request;
    const std::uint8_t mode = input.Byte();
    fault.mode = (mode & 1) ? sim::ReplyFaultMode::Short : sim::ReplyFaultMode::Fail;
    fault.on = static_cast<sim::HandleScope>((mode >> 1) % 3);
    fault.bytes = input.Byte() % 12;
    fault.calls = input.Byte() % 4;
    strip.faults.replies.push_back(fault);
  }
  sim::Scenario scenario;
  scenario.strips = {strip};
  return scenario;
}

// A locked IN request into a buffer of random size: nothing past what wLength
// allows may be written.
void RequestIn(device::DeviceAccess& device, std::uint8_t bRequest, Input& input) {
  const std::uint16_t wLength = input.Byte() % 12;
  std::vector<std::uint8_t> dest(input.Byte() % 12, SENTINEL);
  device.Request(static_cast<std::int32_t>(SERIAL), BuildSetupPacket(REQUEST_TYPE_IN, bRequest, 0, 0, wLength), dest);
  for (std::size_t i = std::min<std::size_t>(wLength, dest.size()); i < dest.size(); ++i)
    Require(dest[i] == SENTINEL, "no byte written past wLength");
}

void OpenConnection(sim::SimDriver& driver, device::DeviceAccess& device, Input& input) {
  device.setReadTimeout(std::chrono::milliseconds(0));
  device.RebuildDeviceList();
  constexpr std::int32_t serial = static_cast<std::int32_t>(SERIAL);
  std::string path;
  const device::Handle probe = device.OpenDevice(serial, path);
  if (probe != device::INVALID_HANDLE_VALUE) driver.Close(probe);
  const device::Handle pipe = device.OpenPipe(serial, PIPE_NAME);
  RequestIn(device, REQ_FIRMWARE_VERSION, input);
  RequestIn(device, REQ_SERIAL_NUMBER, input);
  device::FetchCalibration(device, serial);
  device.SendSetEvent(pipe, 0x1234);
  for (int k = 0; k < 3; ++k) {
    std::array<std::uint8_t, READING_SIZE> buffer{};
    const auto bytes = device.ReadReading(pipe, buffer);
    if (bytes) Require(*bytes <= READING_SIZE, "a reading is at most 16 bytes");
  }
  RequestIn(device, REQ_LINE_PERIOD, input);
  RequestIn(device, REQ_VOLTAGE, input);
  RequestIn(device, REQ_TEMPERATURE, input);
  if (pipe != device::INVALID_HANDLE_VALUE) device.ClosePipe(pipe);
}

void RawCalls(sim::SimDriver& driver, const std::string& path, Input& input) {
  const std::uint32_t codes[] = {IOCTL_STRIP_CONTROL_TRANSFER, IOCTL_STRIP_SET_EVENT, IOCTL_STRIP_STOP, 0x00222000};
  const device::Handle iface = driver.Open(path);
  const device::Handle pipe = driver.Open(path + "\\" + PIPE_NAME);
  for (int call = 0; call < 32 && !input.Empty(); ++call) {
    const std::uint8_t choice = input.Byte();
    const device::Handle handle = (choice & 3) == 0 ? iface : (choice & 3) == 1 ? pipe : 0x7777;
    const std::uint32_t code = codes[input.Byte() % 4];
    std::vector<std::uint8_t> in(input.Byte() % 12);
    std::vector<std::uint8_t> out(input.Byte() % 24, SENTINEL);
    std::array<std::uint8_t, 8> setup{};
    for (std::uint8_t& b : setup) b = input.Byte();
    std::copy_n(setup.begin(), std::min(in.size(), setup.size()), in.begin());
    if (choice & 0x80) {  // a read instead of a control call
      const device::ReadResult read = driver.Read(handle, out, std::chrono::milliseconds(0));
      Require(read.bytes <= out.size(), "a read delivers at most its buffer");
      for (std::size_t i = read.bytes; i < out.size(); ++i) Require(out[i] == SENTINEL, "read wrote past its bytes");
      continue;
    }
    std::uint32_t returned = 0xFFFFFFFF;
    const bool ok = driver.Control(handle, code, in, out, returned);
    Require(returned <= out.size(), "no more bytes than the buffer");
    if (!ok) Require(returned == 0, "a failed call returns no bytes");
    if (code == IOCTL_STRIP_CONTROL_TRANSFER && in.size() >= 8)
      Require(returned <= static_cast<std::uint32_t>(setup[6] | (setup[7] << 8)), "no more bytes than wLength");
    for (std::size_t i = returned; i < out.size(); ++i) Require(out[i] == SENTINEL, "control wrote past its bytes");
  }
  driver.Close(iface);
  driver.Close(pipe);
}

void CheckTrace(const std::string& trace) {
  Require(trace.empty() || trace.back() == '\n', "the trace ends with a whole line");
  std::istringstream lines(trace);
  for (std::string line; std::getline(lines, line);) {
    Require(!line.empty() && line[0] >= '0' && line[0] <= '9', "a line starts with the time");
    Require(line.find(" sn=") != std::string::npos && line.find(" on=") != std::string::npos, "serial and handle");
    const bool control = line.find(" ctl=") != std::string::npos && line.find(" result=") != std::string::npos;
    const bool read = line.find(" read status=") != std::string::npos && line.find(" data=") != std::string::npos;
    Require(control != read, "a line is a control call or a read");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input input(data, size);
  std::ostringstream trace;
  {
    sim::SimDriver driver(ScenarioFrom(input), sim::SimOptions{.manualClock = true});
    driver.SetTrace(&trace);
    device::DeviceAccess device(driver);
    OpenConnection(driver, device, input);
    RawCalls(driver, driver.DevicePath(0), input);
    driver.SetTrace(static_cast<std::ostream*>(nullptr));
  }
  CheckTrace(trace.str());
  return 0;
}
