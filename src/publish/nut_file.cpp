#include "publish/nut_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "acquisition/outlet_names.h"
#include "device/protocol.h"

namespace kvx::publish {

namespace {

std::string Number(double value, int decimals) {
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

// A value of NUT's data file: one line, no quotes to unbalance.
std::string Clean(std::string text) {
  for (char& c : text)
    if (c == '"' || c == '\n' || c == '\r' || c == '\\') c = ' ';
  return text;
}

}  // namespace

std::string ComposeNutFile(const LiveState& state, std::chrono::steady_clock::time_point now,
                           const std::string& stoppedBecause) {
  const std::string serial = protocol::FormatSerialText(state.identity.connectionSerial);
  const bool fresh = stoppedBecause.empty() && state.Fresh(now);
  std::string text =
      "device.type: pdu\n"
      "device.mfr: KVX\n"
      "device.model: KVX metering power strip\n"
      "ups.mfr: KVX\n"
      "ups.model: KVX metering power strip\n";
  if (state.identity.connectionSerial != 0) {
    text += std::string("device.serial: ") + serial + "\nups.serial: " + serial + "\n";
    text += "ups.firmware: " + Clean(state.identity.firmwareText) + "\n";
  }
  text += std::string("ups.status: ") + (fresh ? "OL" : "OFF") + "\n";
  text += "ups.alarm: " +
          (fresh ? std::string("none")
                 : "no readings (" + (stoppedBecause.empty() ? state.Why(now) : stoppedBecause) + ")") +
          "\n";
  const auto value = [&](double v, int decimals) { return fresh ? Number(v, decimals) : std::string("n/a"); };
  text += "input.voltage: " + value(state.line.supplyVolts, 0) + "\n";
  text += "input.frequency: " + value(state.line.lineFrequencyHz, 2) + "\n";
  text += "ups.temperature: " + value(state.line.temperatureC, 2) + "\n";
  text += "outlet.count: 4\n";
  for (int outlet = 1; outlet <= 4; ++outlet) {
    const std::string n = "outlet." + std::to_string(outlet) + ".";
    const double v = state.values[static_cast<std::size_t>(outlet - 1)];
    text += n + "id: " + std::to_string(outlet) + "\n";
    text += n + "desc: " + Clean(OutletNameOr(state.identity.outletNames, outlet, "Outlet " + std::to_string(outlet))) +
            "\n";
    // The quantity the strip measures: power in W, or current in A (it sends
    // mA); the other one, if it was measured before, is withdrawn.
    if (state.sawPower) text += n + "realpower: " + (state.power ? value(v, 0) : "n/a") + "\n";
    if (state.sawCurrent) text += n + "current: " + (!state.power ? value(v / 1000.0, 3) : "n/a") + "\n";
    text += n + "status: " + (fresh ? (state.isOn ? "on" : "off") : "n/a") + "\n";
  }
  return text;
}

NutFileWriter::NutFileWriter(std::string path, const LiveValues& live) : path_(std::move(path)), live_(live) {}

NutFileWriter::~NutFileWriter() { Stop(); }

bool NutFileWriter::Start(std::string& error) {
  if (!Write(ComposeNutFile(live_.Read(), std::chrono::steady_clock::now()), error)) return false;
  thread_ = std::thread([this] { Run(); });
  return true;
}

void NutFileWriter::Stop() {
  {
    std::lock_guard lock(mutex_);
    if (stop_) return;
    stop_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
  std::string error;
  Write(ComposeNutFile(live_.Read(), std::chrono::steady_clock::now(), "stopped"), error);
}

std::uint64_t NutFileWriter::rewrites() const {
  std::lock_guard lock(mutex_);
  return rewrites_;
}

bool WriteFileAtomically(const std::string& path, const std::string& text, std::string& error) {
  const std::string temporary = path + ".new";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  bool ok = fd >= 0;
  if (ok) {
    std::size_t done = 0;
    while (ok && done < text.size()) {
      const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
      if (n < 0 && errno == EINTR) continue;
      ok = n > 0;
      if (ok) done += static_cast<std::size_t>(n);
    }
    ok = ::close(fd) == 0 && ok;
  }
  ok = ok && ::rename(temporary.c_str(), path.c_str()) == 0;
  if (!ok) {
    error = "NUT data file " + path + ": " + std::strerror(errno);
    ::unlink(temporary.c_str());
  }
  return ok;
}

bool NutFileWriter::Write(const std::string& text, std::string& error) {
  if (text == written_) return true;
  if (!WriteFileAtomically(path_, text, error)) return false;
  written_ = text;
  std::lock_guard lock(mutex_);
  ++rewrites_;
  return true;
}

void NutFileWriter::Run() {
  std::unique_lock lock(mutex_);
  while (!stop_) {
    wake_.wait_for(lock, std::chrono::seconds(1), [this] { return stop_; });
    if (stop_) break;
    lock.unlock();
    std::string error;
    const bool ok = Write(ComposeNutFile(live_.Read(), std::chrono::steady_clock::now()), error);
    // Said once per failing stretch; the client goes on.
    if (!ok && !failing_) std::cerr << "kvxclient: " << error << '\n';
    failing_ = !ok;
    lock.lock();
  }
}

}  // namespace kvx::publish
