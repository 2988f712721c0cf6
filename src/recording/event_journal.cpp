#include "recording/event_journal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "device/printable_text.h"
#include "recording/log_file.h"
#include "device/protocol.h"

namespace kvx::recording {
namespace {

}  // namespace

std::string FormatIsoTime(const LocalTime& t, long utcOffsetSec) {
  const char sign = utcOffsetSec < 0 ? '-' : '+';
  const long offset = utcOffsetSec < 0 ? -utcOffsetSec : utcOffsetSec;
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02ld:%02ld", t.year, t.month, t.day,
                t.hour, t.minute, t.second, t.millisecond, sign, offset / 3600, offset / 60 % 60);
  return buffer;
}

std::string LocalIsoTime(const LocalTime& time) { return FormatIsoTime(time, time.utcOffsetSec); }

std::string ComposeJournalLine(const std::string& isoTime, std::uint32_t tickMs,
                               std::optional<std::uint32_t> serial, std::string_view event,
                               const JournalFields& fields) {
  std::string line = "{\"time\":" + JsonString(isoTime) + ",\"ms\":" + std::to_string(tickMs) + ",\"serial\":";
  if (serial) {
    line += JsonString(protocol::FormatSerialName(*serial));
  } else {
    line += "null";
  }
  line += ",\"event\":" + JsonString(event);
  for (const auto& [name, value] : fields) {
    line += ',' + JsonString(name) + ':';
    if (const auto* text = std::get_if<std::string>(&value)) {
      line += JsonString(*text);
    } else if (const auto* number = std::get_if<std::int64_t>(&value)) {
      line += std::to_string(*number);
    } else if (const auto* texts = std::get_if<std::vector<std::string>>(&value)) {
      line += '[';
      for (std::size_t k = 0; k < texts->size(); ++k) line += (k == 0 ? "" : ",") + JsonString((*texts)[k]);
      line += ']';
    } else {
      line += "null";
    }
  }
  line += "}\n";
  return line;
}

EventJournal::EventJournal(std::string directory, Clock& clock, FailureFunction onFailure,
                           RecoveryFunction onRecovered)
    : path_((directory.empty() ? std::string(".") : directory) + "/" + JOURNAL_FILE_NAME),
      clock_(clock),
      onFailure_(std::move(onFailure)),
      onRecovered_(std::move(onRecovered)) {}

EventJournal::~EventJournal() {
  if (fd_ >= 0) ::close(fd_);
}

std::uint64_t EventJournal::LinesLost() const {
  std::lock_guard lock(mutex_);
  return lostTotal_;
}

bool EventJournal::Write(std::optional<std::uint32_t> serial, std::string_view event, const JournalFields& fields) {
  const std::string time = LocalIsoTime(clock_.Now());
  const std::uint32_t tick = clock_.TickCount();
  std::string line = ComposeJournalLine(time, tick, serial, event, fields);
  std::lock_guard lock(mutex_);
  HoldLocked(std::move(line));
  return FlushLocked(time, tick);
}

bool EventJournal::Sync() {
  std::lock_guard lock(mutex_);
  return fd_ < 0 || ::fdatasync(fd_) == 0;
}

void EventJournal::HoldLocked(std::string line) {
  if (held_.size() >= MAX_HELD_LINES) {
    held_.pop_front();
    ++lost_;
    ++lostTotal_;
  }
  held_.push_back(std::move(line));
}

// Writes the held lines in order; after a failure a "journal_recovered" line
// goes first. Stops at the first line that does not go in whole.
bool EventJournal::FlushLocked(const std::string& time, std::uint32_t tick) {
  if (!EnsureOpenLocked()) return false;
  int error = 0;
  if (failing_) {
    const std::string recovered =
        ComposeJournalLine(time, tick, std::nullopt, "journal_recovered",
                           {{"lines_held", static_cast<std::int64_t>(held_.size())},
                            {"lines_lost", static_cast<std::int64_t>(lost_)}});
    if (!AppendLocked(recovered, error)) {
      FailLocked(DescribeError("write", path_, error));
      return false;
    }
    failing_ = false;
    lost_ = 0;
    if (onRecovered_) onRecovered_();
  }
  while (!held_.empty()) {
    if (!AppendLocked(held_.front(), error)) {
      FailLocked(DescribeError("write", path_, error));
      return false;
    }
    held_.pop_front();
  }
  return true;
}

// Opens the journal when it is closed, or anew when the name no longer leads
// to the open file (deleted, or its directory removed and made again).
bool EventJournal::EnsureOpenLocked() {
  if (fd_ >= 0) {
    struct stat byName {};
    if (::stat(path_.c_str(), &byName) == 0 && byName.st_dev == device_ && byName.st_ino == inode_) return true;
    ::close(fd_);
    fd_ = -1;
  }
  const int fd = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) {
    FailLocked(DescribeError("open", path_, errno));
    return false;
  }
  struct stat opened {};
  if (::fstat(fd, &opened) != 0) {
    FailLocked(DescribeError("open", path_, errno));
    ::close(fd);
    return false;
  }
  fd_ = fd;
  device_ = opened.st_dev;
  inode_ = opened.st_ino;
  return true;
}

// One write(2) for the line; a short one is completed with further calls,
// which also bring the reason when it cannot be (EFBIG, ENOSPC). What a
// failed line left is cut off again, so that no later line is glued to half a line.
bool EventJournal::AppendLocked(const std::string& line, int& error) {
  struct stat before {};
  if (::fstat(fd_, &before) != 0) {
    error = errno;
    return false;
  }
  error = WriteAll(fd_, line);
  if (error == 0) return true;
  struct stat after {};
  if (::fstat(fd_, &after) == 0 && after.st_size > before.st_size && ::ftruncate(fd_, before.st_size) != 0) {
    // Half a line is left: a new line ends it, so that the next line stands on its own.
    static_cast<void>(::write(fd_, "\n", 1));
  }
  return false;
}

void EventJournal::FailLocked(const std::string& message) {
  if (failing_) return;
  failing_ = true;
  // The message holds the log directory path: printed with control characters escaped.
  std::fprintf(stderr, "Event journal is failing: %s\n", PrintableText(message).c_str());
  if (onFailure_) onFailure_(message);
}

}  // namespace kvx::recording
