// Small helpers every stage of the report shares.

#include <cstdio>
#include <fstream>
#include <sstream>

#include "lab/report/report.h"

namespace lab {

bool drawnUpClose(const SnapshotMesh& mesh) {
    const std::string& f = mesh.frame;
    const std::string lowDetail = "_vlo";
    const bool isLowDetail =
        f.size() >= lowDetail.size() &&
        f.compare(f.size() - lowDetail.size(), lowDetail.size(), lowDetail) == 0;
    return mesh.visible && !isLowDetail;
}

void transformPoint(const float m[16], const float in[3], float out[3]) {
    for (int k = 0; k < 3; ++k)
        out[k] = in[0] * m[k] + in[1] * m[4 + k] + in[2] * m[8 + k] + m[12 + k];
}

void transformDirection(const float m[16], const float in[3], float out[3]) {
    for (int k = 0; k < 3; ++k)
        out[k] = in[0] * m[k] + in[1] * m[4 + k] + in[2] * m[8 + k];
}

std::string asUtf8(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    for (std::size_t i = 0; i < n;) {
        const unsigned char c = s[i];
        std::size_t len = c < 0x80         ? 1
                          : (c >> 5) == 6  ? 2
                          : (c >> 4) == 14 ? 3
                          : (c >> 3) == 30 ? 4
                                           : 0;
        bool ok = len > 0 && i + len <= n;
        for (std::size_t k = 1; ok && k < len; ++k)
            ok = (s[i + k] & 0xC0) == 0x80;
        // Overlong forms, surrogates and values past U+10FFFF are not UTF-8 either.
        if (ok && len == 2) ok = c >= 0xC2;
        if (ok && len == 3)
            ok = !(c == 0xE0 && s[i + 1] < 0xA0) && !(c == 0xED && s[i + 1] >= 0xA0);
        if (ok && len == 4)
            ok = !(c == 0xF0 && s[i + 1] < 0x90) && !(c == 0xF4 && s[i + 1] >= 0x90) && c <= 0xF4;
        if (ok && len == 1 && c < 0x20 && c != '\n' && c != '\t' && c != '\r') ok = false;
        if (!ok) {
            out += '?';
            ++i;
            continue;
        }
        out.append(text, i, len);
        i += len;
    }
    return out;
}

bool writeTextFile(const std::string& path, const std::string& text, std::string& error) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.close();
    if (!out) {
        error = path + ": cannot be written";
        return false;
    }
    return true;
}

bool readTextFile(const std::string& path, std::string& text, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ": cannot be read";
        return false;
    }
    std::ostringstream buffer;
    buffer << in.rdbuf();
    if (in.bad()) {
        error = path + ": cannot be read";
        return false;
    }
    text = buffer.str();
    return true;
}

} // namespace lab
