#include "soak_support.h"

#include <stdlib.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>
#include <vector>

namespace kvx::soak {
namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t HEADER_LINES = 6;
// Resident memory may grow this much between the baseline and the end
// (allocator caches, the simulated driver's bounded request log filling up;
// a run grows by some 30 KiB). The quick run makes about 50 view changes, so
// a leak of 10 KiB per view change exceeds it there, and the full run (about
// 330) catches one of 2 KiB.
constexpr long RSS_MARGIN_KIB = 512;

// Under the sanitizers resident memory holds the quarantine of freed blocks
// and shadow pages, which grow on their own; leaks are LeakSanitizer's to find.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool RSS_MEANINGFUL = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool RSS_MEANINGFUL = false;
#else
constexpr bool RSS_MEANINGFUL = true;
#endif
#else
constexpr bool RSS_MEANINGFUL = true;
#endif

void CountLines(const std::string& text, LogFiles& files) {
  std::uint64_t lines = 0;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = text.find('\n', at);
    if (end == std::string::npos || end == at || text[end - 1] != '\r') ++files.badLines;
    if (end == std::string::npos) break;
    ++lines;
    at = end + 1;
  }
  if (lines < HEADER_LINES) {
    ++files.badLines;
    return;
  }
  files.recordLines += lines - HEADER_LINES;
}

}  // namespace

long ResidentKiB() {
  std::ifstream status("/proc/self/status");
  std::string key;
  while (status >> key) {
    if (key == "VmRSS:") {
      long kib = -1;
      status >> kib;
      return kib;
    }
    status.ignore(4096, '\n');
  }
  return -1;
}

int OpenFdCount() {
  std::error_code error;
  int count = 0;
  for (fs::directory_iterator it("/proc/self/fd", error), end; !error && it != end; it.increment(error)) ++count;
  return error ? -1 : count;
}

TempDirectory::TempDirectory(const std::string& prefix) {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/" + prefix + ".XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) {
    error_ = pattern + ": " + std::strerror(errno);
    return;
  }
  path_ = buffer.data();
}

TempDirectory::~TempDirectory() {
  if (path_.empty()) return;
  std::error_code error;
  fs::remove_all(path_, error);
  if (error) std::fprintf(stderr, "soak: could not remove %s: %s\n", path_.c_str(), error.message().c_str());
}

LogFiles CountLogFiles(const std::string& directory) {
  LogFiles files;
  std::error_code error;
  for (fs::directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
    // The CSV logs only: the energy ledger beside them is a CSV file of its own layout (LF lines).
    if (it->path().extension() != ".csv" || it->path().filename().string().find("_ALL_") == std::string::npos) continue;
    std::ifstream in(it->path(), std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ++files.files;
    files.bytes += text.size();
    CountLines(text, files);
  }
  return files;
}

void PrintFigures(const char* when, const Figures& f) {
  std::printf("soak %-8s readings=%llu records=%llu rss=%ld KiB fds=%d elapsed=%.1f s\n", when,
              static_cast<unsigned long long>(f.readings), static_cast<unsigned long long>(f.records), f.rssKiB,
              f.fds, f.seconds);
  std::fflush(stdout);
}

int Fail(const std::string& why) {
  std::printf("soak FAILED: %s\n", why.c_str());
  std::fflush(stdout);
  return 1;
}

int Judge(const SoakResult& r) {
  const long rssGrowth = r.end.rssKiB - r.baseline.rssKiB;
  std::printf(
      "soak summary: readings=%llu records=%llu (in %llu files, %.1f MB) rss baseline=%ld KiB end=%ld KiB "
      "(%+ld KiB) fds start=%d peak=%d end=%d after=%d elapsed=%.1f s (%.0f readings/s)\n"
      "soak activity: connections=%llu waveform frames=%llu view changes=%llu plug cycles=%d device events=%d\n",
      static_cast<unsigned long long>(r.end.readings), static_cast<unsigned long long>(r.end.records),
      static_cast<unsigned long long>(r.files.files), static_cast<double>(r.files.bytes) / 1e6, r.baseline.rssKiB,
      r.end.rssKiB, rssGrowth, r.start.fds, r.peakFds, r.end.fds, r.fdsAfter, r.seconds,
      static_cast<double>(r.end.readings) / r.end.seconds, static_cast<unsigned long long>(r.connections),
      static_cast<unsigned long long>(r.frames), static_cast<unsigned long long>(r.switches), r.plugCycles,
      r.announcedEvents);
  int failures = 0;
  const auto check = [&failures](bool ok, const std::string& what) {
    if (ok) return;
    Fail(what);
    ++failures;
  };
  check(r.end.readings >= r.target, "fewer readings than asked");
  check(r.end.records > 0, "no record was written");
  check(r.frames > 0, "no waveform frame was evaluated");
  check(r.announcedEvents == 2 * r.plugCycles, "not every unplug and plug was announced");
  if (RSS_MEANINGFUL) {
    check(rssGrowth <= RSS_MARGIN_KIB, "resident memory grew by " + std::to_string(rssGrowth) + " KiB");
  } else {
    std::printf("soak: resident memory not judged under a sanitizer (its quarantine grows by itself)\n");
  }
  check(r.fdsAfter <= r.start.fds, "file descriptors left open after shutdown");
  // At most the current and the power log are open at once, besides the event
  // journal and, for the moment it writes, the energy ledger's file.
  check(r.peakFds <= r.start.fds + 4, "more descriptors open than the two log files, the journal and the ledger");
  check(r.openHandles == 0, std::to_string(r.openHandles) + " simulated driver handles left open");
  check(r.recorderError.empty(), "the recorder reported a failure: " + r.recorderError);
  check(r.files.badLines == 0, std::to_string(r.files.badLines) + " malformed lines in the log files");
  check(r.files.recordLines == r.records, "the files hold " + std::to_string(r.files.recordLines) +
                                               " records, the recorder counted " + std::to_string(r.records));
  if (failures == 0) std::printf("soak passed\n");
  return failures == 0 ? 0 : 1;
}

}  // namespace kvx::soak
