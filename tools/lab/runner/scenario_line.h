#pragma once

// One line of a scenario, read word by word from left to right: numbers and
// vectors with their accepted range, keywords, the end of the line. The
// first failure is kept as the scenario's one error line,
// "FILE:LINE: expected ...".

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "dent/vec.h"
#include "lab/input_file.h"

namespace lab {

class ScenarioLine {
  public:
    ScenarioLine(const std::string& path, int number, std::vector<std::string> words)
        : path_(path), number_(number), words_(std::move(words)) {}

    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }
    bool atEnd() const { return at_ >= words_.size(); }
    const std::string& peek() const { return words_[at_]; }

    bool fail(const std::string& expected) {
        if (ok()) error_ = path_ + ":" + std::to_string(number_) + ": expected " + expected;
        return false;
    }

    bool word(std::string& out, const std::string& expected) {
        if (!ok()) return false;
        if (atEnd()) return fail(expected);
        out = words_[at_++];
        return true;
    }

    bool keyword(const char* k) {
        if (!ok()) return false;
        if (atEnd() || words_[at_] != k) return fail(std::string("'") + k + "'");
        ++at_;
        return true;
    }

    // True (and consumed) when the next word is `k`.
    bool optional(const char* k) {
        if (!ok() || atEnd() || words_[at_] != k) return false;
        ++at_;
        return true;
    }

    bool number(float& out, float low, float high, const std::string& what) {
        std::string w;
        if (!word(w, what)) return false;
        char* end = nullptr;
        const double v = std::strtod(w.c_str(), &end);
        if (end == w.c_str() || *end != '\0' || !std::isfinite(v) || v < low || v > high)
            return fail(what + " (a number from " + text(low) + " to " + text(high) + ")");
        out = static_cast<float>(v);
        return true;
    }

    bool whole(std::uint32_t& out, std::uint32_t low, std::uint32_t high, const std::string& what) {
        std::string w;
        if (!word(w, what)) return false;
        char* end = nullptr;
        const unsigned long long v = std::strtoull(w.c_str(), &end, 10);
        if (end == w.c_str() || *end != '\0' || w[0] == '-' || v < low || v > high)
            return fail(what + " (a whole number from " + std::to_string(low) + " to " +
                        std::to_string(high) + ")");
        out = static_cast<std::uint32_t>(v);
        return true;
    }

    bool vec(dent::Vec& out, float limit, const std::string& what) {
        return number(out.x, -limit, limit, what + " x") &&
               number(out.y, -limit, limit, what + " y") &&
               number(out.z, -limit, limit, what + " z");
    }

    bool end() {
        if (ok() && !atEnd()) return fail("the end of the line, not " + quoted(words_[at_]));
        return ok();
    }

    int number() const { return number_; }

    // A word of the file as an error shows it: quoted, cut when long.
    static std::string quoted(const std::string& word) { return "'" + shownWord(word) + "'"; }

  private:
    static std::string text(float v) {
        std::ostringstream s;
        s << v;
        return s.str();
    }
    const std::string& path_;
    int number_;
    std::vector<std::string> words_;
    std::size_t at_ = 1; // the keyword is read by the caller
    std::string error_;
};

} // namespace lab
