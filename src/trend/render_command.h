// kvxclient --render=FILE.png|FILE.svg: the history of a log directory drawn
// with the trend window's chart, off-screen, then the program exits. What a
// user attaches to a report or a cron job mails.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

#include "acquisition/outlet_names.h"

namespace kvx::trend {

struct RenderOptions {
  std::string file;                     // .png or .svg
  std::string directory = ".";          // the log directory
  std::optional<std::uint32_t> serial;  // needed when the directory holds several strips' logs
  std::optional<std::int64_t> fromMs;   // default: the first record
  std::optional<std::int64_t> toMs;     // default: the last record
  int width = 1200, height = 600;
  OutletNames outletNames;  // none given: the journal's latest for the strip
};

// Loads the strip's logs and journal, draws and writes the file. Returns 0
// when it is written, 2 for options it cannot use (a file that is neither
// .png nor .svg, several strips and no --serial), 1 when there is nothing to
// draw or the file cannot be written; each but 0 with a message on `err`.
// Progress goes to `err` while loading when `progress` is set. Needs a
// QGuiApplication (the off-screen platform will do).
int RenderHistory(const RenderOptions& options, std::ostream& err, bool progress);

}  // namespace kvx::trend
