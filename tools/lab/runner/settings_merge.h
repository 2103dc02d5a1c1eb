#pragma once

// The settings file the plug-in reads in the lab: the given file with the
// scenario's overrides applied, each in place of the key it names or added
// to its section.

#include <string>
#include <vector>

#include "lab/runner/scenario.h"

namespace lab {

// `base` is the given file's text (empty: none). Hit logging is switched on
// whatever the file says, unless the scenario sets General.LogHits itself:
// the lab counts hits from the log.
std::string mergeSettings(const std::string& base, const std::vector<SettingOverride>& overrides);

} // namespace lab
