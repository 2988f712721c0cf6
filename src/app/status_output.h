// Headless mode's standard output, where the status lines go. When its reader
// goes away (`kvxclient --headless ... | head -1`, a closed terminal) the
// writes fail; the status output then stops, which is said once on standard
// error, and the logging goes on.
#pragma once

#include <ostream>
#include <streambuf>
#include <string>

namespace kvx {

class StatusOutput final : private std::streambuf {
 public:
  StatusOutput(int fd, std::ostream& err);
  ~StatusOutput() override;
  StatusOutput(const StatusOutput&) = delete;
  StatusOutput& operator=(const StatusOutput&) = delete;

  std::ostream& stream() { return stream_; }
  bool stopped() const { return stopped_; }

 private:
  int overflow(int c) override;
  std::streamsize xsputn(const char* text, std::streamsize count) override;
  int sync() override;
  void WriteOut(const char* text, std::size_t count);

  const int fd_;
  std::ostream& err_;
  std::string pending_;  // up to the next flush
  bool stopped_ = false;
  std::ostream stream_;
};

}  // namespace kvx
