// What is checked once at start, before anything runs: the log directory
// (made if it does not exist, refused if it cannot be written), the lock that
// keeps a second logger off one strip's files, and the list of strips that
// --list prints.
#pragma once

#include <cstdint>
#include <string>

#include "device/driver.h"

namespace kvx {

// "~" or "~/..." at the start of `path` becomes the home directory ($HOME);
// anything else is returned as it is.
std::string ExpandHome(const std::string& path);

// Expands a leading "~", creates the directory with its parents when it does
// not exist, and checks that files can be created in it. False with `error`
// set ("log directory ...: reason") when it cannot be used.
bool PrepareLogDirectory(std::string& directory, std::string& error);

// An advisory lock on "<directory>/.kvx-<SERIAL>.lock" holding the process
// ID: one logger per strip and directory. The kernel releases it when the
// process ends, however it ends; the file stays.
class StripLock {
 public:
  StripLock() = default;
  ~StripLock();
  StripLock(const StripLock&) = delete;
  StripLock& operator=(const StripLock&) = delete;

  // False with `error` naming the process that holds it (or why the file
  // cannot be used).
  bool Acquire(const std::string& directory, std::uint32_t serial, std::string& error);

 private:
  int fd_ = -1;
};

// One line per strip the driver lists now, by interface class: serial,
// class ("primary" or "fallback") and path; a line saying so when none.
std::string ListStrips(device::Driver& driver);

}  // namespace kvx

namespace kvx {

// Prepares the log directory (PrepareLogDirectory) and, when the start-up
// values name a strip and switch logging on, takes that strip's lock there.
// Values that do not parse are left for the command-line check to report.
bool PrepareLogging(std::string& directory, const std::string& commandLineText, StripLock& lock, std::string& error);

}  // namespace kvx
