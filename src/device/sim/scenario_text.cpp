// Scenario files as text: which files are read at all, and the JSON syntax.
#include "device/sim/scenario_text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <unordered_set>
#include <vector>

#include "device/sim/scenario.h"

namespace kvx::sim {

namespace {

using nlohmann::json;

// Follows the parser through the document to name the place of a duplicate
// key: "scenario.<key>" at the top, "strips[2].outlets[0].<key>" below.
class DuplicateKeyWatch {
 public:
  bool operator()(int, json::parse_event_t event, const json& parsed) {
    switch (event) {
      case json::parse_event_t::object_start: Enter(false); break;
      case json::parse_event_t::array_start: Enter(true); break;
      case json::parse_event_t::object_end:
      case json::parse_event_t::array_end: frames_.pop_back(); break;
      case json::parse_event_t::key: Key(parsed.get_ref<const std::string&>()); break;
      case json::parse_event_t::value: ChildPath(); break;
    }
    return true;
  }

  const std::string& error() const { return error_; }

 private:
  struct Frame {
    bool array = false;
    std::string path;
    std::size_t nextIndex = 0;
    std::string lastKey;
    std::unordered_set<std::string> keys;
  };

  std::string ChildPath() {
    if (frames_.empty()) return "scenario";
    Frame& parent = frames_.back();
    if (parent.array) return parent.path + "[" + std::to_string(parent.nextIndex++) + "]";
    return frames_.size() == 1 ? parent.lastKey : parent.path + "." + parent.lastKey;
  }

  void Enter(bool array) {
    Frame frame;
    frame.array = array;
    frame.path = ChildPath();
    frames_.push_back(std::move(frame));
  }

  void Key(const std::string& key) {
    Frame& frame = frames_.back();
    if (!frame.keys.insert(key).second && error_.empty()) error_ = frame.path + "." + key + ": duplicate key";
    frame.lastKey = key;
  }

  std::vector<Frame> frames_;
  std::string error_;
};

// A scenario nests six levels deep at most (strips, a strip, its faults, the
// replies, a reply, a value); far deeper text is refused before the parse,
// whose memory per level would otherwise add up (4 MiB of "[" alone).
constexpr int MAX_NESTING = 64;

bool NestedTooDeep(std::string_view text) {
  int depth = 0;
  bool inString = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (inString) {
      if (c == '\\') ++i;
      else if (c == '"') inString = false;
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > MAX_NESTING) return true;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return false;
}

std::string KindOf(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a regular file";
}

// Reads the whole of a regular file of at most MAX_SCENARIO_FILE_BYTES. The
// file is opened without waiting (a FIFO would otherwise block until a writer
// comes) and its kind is checked on the open descriptor, so nothing can be
// swapped in between.
bool ReadScenarioText(const std::string& path, std::string& text, std::string& error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    error = "cannot read scenario file '" + path + "': " + std::strerror(errno);
    return false;
  }
  struct stat info {};
  bool ok = ::fstat(fd, &info) == 0;
  if (!ok) {
    error = "cannot read scenario file '" + path + "': " + std::strerror(errno);
  } else if (!S_ISREG(info.st_mode)) {
    error = "scenario file '" + path + "' is " + KindOf(info.st_mode) + ", not a regular file";
    ok = false;
  }
  const std::string tooLarge = "scenario file '" + path + "' is larger than " +
                               std::to_string(MAX_SCENARIO_FILE_BYTES) + " bytes";
  if (ok && static_cast<std::uint64_t>(info.st_size) > MAX_SCENARIO_FILE_BYTES) {
    error = tooLarge;
    ok = false;
  }
  char buffer[65536];
  while (ok) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      error = "cannot read scenario file '" + path + "': " + std::strerror(errno);
      ok = false;
    } else if (got == 0) {
      break;
    } else if (text.size() + static_cast<std::size_t>(got) > MAX_SCENARIO_FILE_BYTES) {
      error = tooLarge;  // it grew while being read
      ok = false;
    } else {
      text.append(buffer, static_cast<std::size_t>(got));
    }
  }
  ::close(fd);
  return ok;
}

}  // namespace

bool ParseScenarioJson(std::string_view text, json& document, std::string& error) {
  if (NestedTooDeep(text)) {
    error = "scenario is nested deeper than " + std::to_string(MAX_NESTING) + " levels";
    return false;
  }
  DuplicateKeyWatch watch;
  try {
    document = json::parse(text, std::ref(watch));
  } catch (const json::exception& e) {
    error = std::string("scenario is not valid JSON: ") + e.what();
    return false;
  }
  if (!watch.error().empty()) {
    error = watch.error();
    return false;
  }
  return true;
}

std::optional<Scenario> LoadScenarioFile(const std::string& path, std::string& error) {
  std::string text;
  if (!ReadScenarioText(path, text, error)) return std::nullopt;
  std::optional<Scenario> scenario = ParseScenario(text, error);
  if (!scenario) error = path + ": " + error;
  return scenario;
}

}  // namespace kvx::sim
