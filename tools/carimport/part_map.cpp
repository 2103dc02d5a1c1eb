#include "carimport/part_map.h"

#include "carfile/car_file.h"

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace carimport {

namespace {

bool parseAxis(const std::string& word, int& axis) {
    if (word.size() != 2 || (word[0] != '+' && word[0] != '-')) return false;
    const int index = word[1] == 'x' ? 1 : word[1] == 'y' ? 2 : word[1] == 'z' ? 3 : 0;
    if (index == 0) return false;
    axis = word[0] == '-' ? -index : index;
    return true;
}

bool parseFloat(const std::string& word, float& value) {
    char* end = nullptr;
    value = std::strtof(word.c_str(), &end);
    return end != word.c_str() && *end == '\0' && std::isfinite(value);
}

// A frame path: one or two names of 1..23 bytes.
bool validPath(const std::string& path) {
    const std::size_t slash = path.find('/');
    auto ok = [](const std::string& name) {
        return !name.empty() && name.size() <= carfile::kMaxFrameName && name.find('/') == std::string::npos;
    };
    if (slash == std::string::npos) return ok(path);
    return ok(path.substr(0, slash)) && ok(path.substr(slash + 1));
}

} // namespace

std::string mapError(const PartMap& map, int line, const std::string& what) {
    return map.file + ":" + std::to_string(line) + ": " + what;
}

bool parsePartMap(const std::string& file, const std::string& text, PartMap& map,
                  std::string& error) {
    map = PartMap{};
    map.file = file;
    std::istringstream in(text);
    std::string raw;
    int number = 0;
    auto fail = [&](const std::string& what) {
        error = mapError(map, number, what);
        return false;
    };
    while (std::getline(in, raw)) {
        ++number;
        const std::size_t hash = raw.find('#');
        if (hash != std::string::npos) raw.resize(hash);
        std::istringstream words(raw);
        std::vector<std::string> w;
        for (std::string s; words >> s;)
            w.push_back(s);
        if (w.empty()) continue;
        const std::string& verb = w[0];
        if (verb == "scale") {
            if (w.size() != 2 || !parseFloat(w[1], map.scale) || !(map.scale > 0))
                return fail("scale takes one positive number");
        } else if (verb == "prelit") {
            if (w.size() != 2 || !parseFloat(w[1], map.prelit) || !(map.prelit >= 0) ||
                !(map.prelit <= 1))
                return fail("prelit takes one number from 0 to 1");
        } else if (verb == "axes") {
            if (w.size() != 3 || !parseAxis(w[1], map.forward) || !parseAxis(w[2], map.up))
                return fail(
                    "axes takes the source's forward and up axes, each one of +x -x +y -y +z -z");
            if (std::abs(map.forward) == std::abs(map.up))
                return fail("forward and up are the same axis");
        } else if (verb == "offset") {
            if (w.size() != 4 || !parseFloat(w[1], map.offset[0]) ||
                !parseFloat(w[2], map.offset[1]) || !parseFloat(w[3], map.offset[2]))
                return fail("offset takes three numbers: X Y Z");
        } else if (verb == "part" || verb == "copy" || verb == "rest") {
            PartLine line;
            line.line = number;
            line.kind = verb == "part"   ? PartLine::Kind::Part
                        : verb == "copy" ? PartLine::Kind::Copy
                                         : PartLine::Kind::Rest;
            if (w.size() < 2 || !validPath(w[1]))
                return fail(verb +
                            " needs a frame path: dummy/atomic or atomic, names of 1 to 23 bytes");
            line.path = w[1];
            std::size_t end = w.size();
            for (std::size_t i = 2; i < w.size(); ++i)
                if (w[i] == "box") {
                    end = i;
                    break;
                }
            line.sources.assign(w.begin() + 2, w.begin() + static_cast<std::ptrdiff_t>(end));
            if (end != w.size()) {
                if (line.kind != PartLine::Kind::Part) return fail("only a part line takes a box");
                const char* const usage = "box takes six numbers: X0 Y0 Z0 X1 Y1 Z1 [whole]";
                const std::size_t words = w.size() - end;
                line.wholeTriangles = words == 8 && w.back() == "whole";
                if (words != 7 && !line.wholeTriangles) return fail(usage);
                for (int k = 0; k < 6; ++k) {
                    float v = 0;
                    if (!parseFloat(w[end + 1 + k], v)) return fail(usage);
                    (k < 3 ? line.box.lo : line.box.hi)[k % 3] = v;
                }
                for (int k = 0; k < 3; ++k)
                    if (!(line.box.lo[k] < line.box.hi[k]))
                        return fail(
                            "box is empty: each low corner value must lie below the high one");
                line.hasBox = true;
            }
            if (line.kind == PartLine::Kind::Part && line.sources.empty())
                return fail("part names no source part");
            if (line.kind == PartLine::Kind::Copy &&
                (line.sources.size() != 1 || !validPath(line.sources[0])))
                return fail("copy takes the path of one atomic to copy");
            if (line.kind == PartLine::Kind::Rest && !line.sources.empty())
                return fail("rest takes only a frame path");
            for (const PartLine& earlier : map.lines)
                if (earlier.path == line.path)
                    return fail("atomic " + line.path + " is already made on line " +
                                std::to_string(earlier.line));
            if (line.kind == PartLine::Kind::Copy) {
                bool found = false;
                for (const PartLine& earlier : map.lines)
                    found = found || earlier.path == line.sources[0];
                if (!found)
                    return fail("copy of " + line.sources[0] + ", which no earlier line makes");
            }
            map.lines.push_back(std::move(line));
        } else {
            return fail("unknown directive '" + verb + "'");
        }
    }
    if (map.lines.empty()) {
        error = map.file + ": makes no part";
        return false;
    }
    return true;
}

bool readPartMap(const std::string& file, PartMap& map, std::string& error) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        error = "cannot read " + file;
        return false;
    }
    std::stringstream text;
    text << in.rdbuf();
    return parsePartMap(file, text.str(), map, error);
}

} // namespace carimport
