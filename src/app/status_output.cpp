#include "app/status_output.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kvx {

StatusOutput::StatusOutput(int fd, std::ostream& err) : fd_(fd), err_(err), stream_(this) {}

StatusOutput::~StatusOutput() { sync(); }

int StatusOutput::overflow(int c) {
  if (c != traits_type::eof()) pending_ += static_cast<char>(c);
  return traits_type::not_eof(c);
}

std::streamsize StatusOutput::xsputn(const char* text, std::streamsize count) {
  pending_.append(text, static_cast<std::size_t>(count));
  return count;
}

int StatusOutput::sync() {
  WriteOut(pending_.data(), pending_.size());
  pending_.clear();
  return 0;  // the stream stays good: a stopped output is not the program's failure
}

void StatusOutput::WriteOut(const char* text, std::size_t count) {
  while (!stopped_ && count > 0) {
    const ssize_t written = ::write(fd_, text, count);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      stopped_ = true;
      err_ << "Status output stopped: standard output cannot be written ("
           << (written < 0 ? std::strerror(errno) : "nothing was written")
           << "); logging goes on.\n"
           << std::flush;
      return;
    }
    text += written;
    count -= static_cast<std::size_t>(written);
  }
}

}  // namespace kvx
