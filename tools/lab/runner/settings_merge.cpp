#include "lab/runner/settings_merge.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <sstream>

namespace lab {
namespace {

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

std::string trim(const std::string& s) {
    const std::size_t a = s.find_first_not_of(" \t");
    if (a == std::string::npos) return "";
    return s.substr(a, s.find_last_not_of(" \t") - a + 1);
}

// The section a "[Name]" line opens, lower-cased; empty when it is none.
bool sectionOf(const std::string& line, std::string& section) {
    const std::string t = trim(line);
    if (t.size() < 2 || t.front() != '[' || t.find(']') == std::string::npos) return false;
    section = lower(trim(t.substr(1, t.find(']') - 1)));
    return true;
}

} // namespace

std::string mergeSettings(const std::string& base, const std::vector<SettingOverride>& overrides) {
    std::vector<SettingOverride> wanted = overrides;
    const bool scenarioSetsLogHits =
        std::any_of(wanted.begin(), wanted.end(), [](const SettingOverride& o) {
            return lower(o.section) == "general" && lower(o.key) == "loghits";
        });
    if (!scenarioSetsLogHits) wanted.push_back({"General", "LogHits", "1", 0});

    std::vector<std::string> lines;
    std::istringstream in(base);
    for (std::string l; std::getline(in, l);) {
        if (!l.empty() && l.back() == '\r') l.pop_back();
        lines.push_back(l);
    }

    // Where each section ends (after its last non-blank line), and every key
    // line that an override replaces.
    std::map<std::string, std::size_t> sectionEnd;
    std::vector<bool> applied(wanted.size(), false);
    std::string section;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::string s;
        if (sectionOf(lines[i], s)) {
            section = s;
            sectionEnd[section] = i + 1;
            continue;
        }
        const std::string t = trim(lines[i]);
        if (t.empty()) continue;
        if (!section.empty()) sectionEnd[section] = i + 1;
        const std::size_t eq = t.find('=');
        if (t[0] == ';' || eq == std::string::npos) continue;
        const std::string key = lower(trim(t.substr(0, eq)));
        for (std::size_t k = 0; k < wanted.size(); ++k) {
            if (lower(wanted[k].section) == section && lower(wanted[k].key) == key) {
                lines[i] = wanted[k].key + "=" + wanted[k].value;
                applied[k] = true;
            }
        }
    }
    // Keys the file lacks: at the end of their section, or in a new one.
    std::map<std::size_t, std::vector<std::string>> insertAt;
    std::vector<std::string> newSections; // in order of first use
    std::map<std::string, std::vector<std::string>> newKeys;
    for (std::size_t k = 0; k < wanted.size(); ++k) {
        if (applied[k]) continue;
        const std::string line = wanted[k].key + "=" + wanted[k].value;
        const std::string s = lower(wanted[k].section);
        const auto end = sectionEnd.find(s);
        if (end != sectionEnd.end()) {
            insertAt[end->second].push_back(line);
            continue;
        }
        if (newKeys.find(s) == newKeys.end()) {
            newSections.push_back(s);
            newKeys[s].push_back("[" + wanted[k].section + "]");
        }
        newKeys[s].push_back(line);
    }

    std::string out;
    for (std::size_t i = 0; i <= lines.size(); ++i) {
        const auto ins = insertAt.find(i);
        if (ins != insertAt.end())
            for (const std::string& l : ins->second)
                out += l + "\n";
        if (i < lines.size()) out += lines[i] + "\n";
    }
    for (const std::string& s : newSections)
        for (const std::string& l : newKeys[s])
            out += l + "\n";
    return out;
}

} // namespace lab
