// The text layer of scenario files, below the key-by-key reading of
// scenario_json.cpp: the JSON syntax with duplicate keys refused.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace kvx::sim {

// Parses `text` into `document`. A syntax error and a key given twice in one
// object (which the JSON library would take silently, keeping the last) are
// errors; the message names the key the way the scenario's other errors do.
bool ParseScenarioJson(std::string_view text, nlohmann::json& document, std::string& error);

}  // namespace kvx::sim
