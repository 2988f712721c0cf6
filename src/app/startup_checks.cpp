#include "app/startup_checks.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "app/command_line.h"
#include "device/device_access.h"
#include "device/protocol.h"

namespace kvx {

std::string ExpandHome(const std::string& path) {
  if (path != "~" && path.rfind("~/", 0) != 0) return path;
  const char* home = std::getenv("HOME");
  if (home == nullptr || *home == '\0') return path;
  return std::string(home) + path.substr(1);
}

bool PrepareLogDirectory(std::string& directory, std::string& error) {
  directory = ExpandHome(directory);
  std::error_code ec;
  std::filesystem::create_directories(directory, ec);
  if (ec) {
    error = "log directory " + directory + " cannot be created: " + ec.message();
    return false;
  }
  if (!std::filesystem::is_directory(directory, ec)) {
    error = "log directory " + directory + " is not a directory";
    return false;
  }
  // A file made in it: the test that counts (permissions, a read-only mount,
  // root squashing); access() would miss some of them. An unnamed file
  // (O_TMPFILE) leaves nothing behind even if the process is killed right
  // then; a file system without it gets a named file, removed at once.
  int fd = open(directory.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
    const std::string probe = directory + "/.kvx-write-test-" + std::to_string(getpid());
    fd = open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) unlink(probe.c_str());
  }
  if (fd < 0) {
    error = "log directory " + directory + " cannot be written: " + std::strerror(errno);
    return false;
  }
  close(fd);
  return true;
}

StripLock::~StripLock() {
  if (fd_ >= 0) close(fd_);
}

bool StripLock::Acquire(const std::string& directory, std::uint32_t serial, std::string& error) {
  const std::string path = directory + "/.kvx-" + protocol::FormatSerialName(serial) + ".lock";
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    error = "cannot open the lock file " + path + ": " + std::strerror(errno);
    return false;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    char held[32] = {};
    const ssize_t n = pread(fd, held, sizeof held - 1, 0);
    std::string pid = n > 0 ? std::string(held, static_cast<std::size_t>(n)) : std::string("?");
    while (!pid.empty() && (pid.back() == '\n' || pid.back() == ' ')) pid.pop_back();
    close(fd);
    error = "strip " + protocol::FormatTreeLabel(serial) + " is already logged into " + directory + " by process " + pid +
            " (lock " + path + ")";
    return false;
  }
  const std::string pid = std::to_string(getpid()) + "\n";
  if (ftruncate(fd, 0) != 0 || pwrite(fd, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
    // The lock holds all the same; only the ID a second process would name is missing.
  }
  fd_ = fd;
  return true;
}

std::string ListStrips(device::Driver& driver) {
  device::DeviceAccess access(driver);
  std::string text;
  for (const auto& [guid, kind] : {std::pair{device::primaryInterfaceGuid, "primary"},
                                   std::pair{device::fallbackInterfaceGuid, "fallback"}}) {
    device::DeviceList list;
    access.EnumerateDevices(guid, list);
    for (const device::DeviceEntry& entry : list)
      text += protocol::FormatTreeLabel(static_cast<std::uint32_t>(entry.serialNumber)) + "  " + kind + "  " +
              entry.devicePath + "\n";
  }
  return text.empty() ? "No strip found.\n" : text;
}

}  // namespace kvx

namespace kvx {

bool PrepareLogging(std::string& directory, const std::string& commandLineText, StripLock& lock, std::string& error) {
  if (!PrepareLogDirectory(directory, error)) return false;
  const CommandLineResult values = ParseCommandLine(commandLineText);
  if (!values.ok || values.values.commandSerial == 0) return true;
  if (values.values.log.logMode.load() - STARTUP_ACTIONS_PENDING == 0) return true;  // nothing logged at start
  return lock.Acquire(directory, values.values.commandSerial, error);
}

}  // namespace kvx
