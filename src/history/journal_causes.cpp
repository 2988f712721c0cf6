#include "history/journal_causes.h"

#include "device/clock.h"
#include "device/protocol.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

namespace kvx::history {

namespace {

// The cause an event tells, from its name and reason.
std::string CauseOf(const nlohmann::json& line) {
  const std::string event = line.value("event", "");
  const std::string reason =
      line.contains("reason") && line["reason"].is_string() ? line["reason"].get<std::string>() : "";
  // unplugged, read_failure, selection_changed; "stop" is the client stopping.
  if (event == "connection_ended") return reason == "stop" ? "not_running" : reason.empty() ? "unknown" : reason;
  if (event == "logging_failed") {
    if (reason.find("No space left") != std::string::npos) return "disk_full";
    if (reason.find("directory gone") != std::string::npos) return "directory_gone";
    return "logging_failed";
  }
  if (event == "file_closed") {
    if (reason == "log_switched_off") return "logging_off";
    if (reason == "directory_gone" || reason == "directory_replaced" || reason == "file_gone") return "directory_gone";
    if (reason == "write_failed") return "logging_failed";
    if (reason == "shutdown") return "not_running";
    return {};
  }
  if (event == "shutdown" || event == "process_started") return "not_running";
  if (event == "read_timeouts") return "stall";
  return {};
}

// "2026-12-08T11:07:03.096+01:00" as Unix milliseconds; -1 when malformed.
std::int64_t ParseJournalTime(const std::string& text) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, ms = 0, oh = 0, om = 0;
  char sign = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3d%c%2d:%2d", &y, &mo, &d, &h, &mi, &s, &ms, &sign, &oh,
                  &om) != 10 ||
      (sign != '+' && sign != '-') || mo < 1 || mo > 12 || d < 1 || d > 31)
    return -1;
  const LocalTime time{y, mo, d, h, mi, s, ms, (sign == '-' ? -1 : 1) * static_cast<long>(oh * 3600 + om * 60)};
  return CalendarSeconds(time) * 1000 - time.utcOffsetSec * 1000 + ms;
}

}  // namespace

JournalFacts ReadJournal(const std::string& directory, std::uint32_t serial) {
  const std::string serialText = protocol::FormatSerialName(serial);
  JournalFacts facts;
  std::ifstream in(directory + "/kvx-events.jsonl");
  for (std::string text; std::getline(in, text);) {
    const nlohmann::json line = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (!line.is_object() || !line.contains("time") || !line["time"].is_string()) continue;
    if (!line.contains("serial") || !(line["serial"].is_null() || line["serial"] == serialText)) continue;
    const std::int64_t ms = ParseJournalTime(line["time"].get<std::string>());
    if (ms >= 0) facts.events.push_back(JournalEvent{ms, CauseOf(line)});
    if (line.value("event", "") == "connection_started" && line["serial"] == serialText &&
        line.contains("outlet_names") && line["outlet_names"].is_array()) {
      const nlohmann::json& given = line["outlet_names"];
      for (std::size_t k = 0; k < facts.outletNames.size(); ++k)
        facts.outletNames[k] = k < given.size() && given[k].is_string() ? given[k].get<std::string>() : std::string();
    }
  }
  return facts;
}

std::string CauseBetween(const std::vector<JournalEvent>& events, std::int64_t fromMs, std::int64_t toMs) {
  std::string causes;
  for (const JournalEvent& event : events) {
    if (event.unixMs < fromMs || event.unixMs > toMs || event.cause.empty()) continue;
    if (("," + causes + ",").find("," + event.cause + ",") == std::string::npos)
      causes += (causes.empty() ? "" : ",") + event.cause;
  }
  return causes.empty() ? "unknown" : causes;
}

std::string GapCauseText(const std::string& cause) {
  static const std::map<std::string, std::string> kTexts = {
      {"unplugged", "取り外し"},
      {"read_failure", "読み取り失敗"},
      {"selection_changed", "他のデバイスを選択"},
      {"stop", "クライアント停止中"},
      {"stall", "応答なし"},
      {"disk_full", "ディスクの空き不足"},
      {"directory_gone", "ログフォルダなし"},
      {"logging_failed", "記録失敗"},
      {"logging_off", "ログ停止"},
      {"not_running", "クライアント停止中"},
  };
  std::string text;
  for (std::size_t start = 0; start <= cause.size();) {
    const std::size_t comma = std::min(cause.find(',', start), cause.size());
    const auto found = kTexts.find(cause.substr(start, comma - start));
    text += (text.empty() ? "" : "、") + (found != kTexts.end() ? found->second : std::string("記録なし"));
    start = comma + 1;
  }
  return text;
}

}  // namespace kvx::history
