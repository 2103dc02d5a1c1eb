#pragma once

// run.json: the facts of one run for the report tools, one UTF-8 JSON object.

#include <string>
#include <vector>

#include "lab/runner/scenario_run.h"

namespace lab {

// The log's lines (CR LF or LF separated, the last one unterminated or not).
std::vector<std::string> logLines(const std::string& log);
// Lines in which the plug-in says it refused or gave up on something: a
// setting, a mesh, a panel, a hook.
std::vector<std::string> refusalLines(const std::vector<std::string>& lines);

std::string runJson(const std::string& scenarioPath, const char* pluginName, const RunFacts& facts);

} // namespace lab
