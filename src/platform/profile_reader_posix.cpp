// Settings-file reads without the Win32 profile functions. They return what
// GetPrivateProfileStringA / GetPrivateProfileIntA return for the same file:
// lines split at CR or LF, blanks around names, section names and values
// trimmed, sections and keys matched without regard to case, only the first
// section of a name searched and the first occurrence of a key winning, one
// pair of matching quotes taken off a value, no comment stripping, and
// integers read the way the system's string-to-integer conversion reads them
// (decimal, or 0x / 0o / 0b prefixed, wrapping modulo 2^32, stopping at the
// first foreign character).

#include "platform/platform.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace platform {
namespace {

struct Text {
    const char* data;
    std::size_t size;
};

bool isBlank(unsigned char c) {
    // Besides the C blanks, ^Z (an old DOS end-of-file mark) counts as one.
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r' || c == 0x1A;
}

Text trimmed(Text t) {
    while (t.size > 0 && isBlank(static_cast<unsigned char>(t.data[0]))) {
        ++t.data;
        --t.size;
    }
    while (t.size > 0 && isBlank(static_cast<unsigned char>(t.data[t.size - 1]))) --t.size;
    return t;
}

Text textOf(const char* s) { return trimmed(Text{s, std::strlen(s)}); }

unsigned char lower(unsigned char c) { return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 32) : c; }

bool sameName(Text a, Text b) {
    if (a.size != b.size) return false;
    for (std::size_t i = 0; i < a.size; ++i)
        if (lower(static_cast<unsigned char>(a.data[i])) != lower(static_cast<unsigned char>(b.data[i])))
            return false;
    return true;
}

// The whole file, NUL-terminated, in a malloc'd buffer; null when unreadable.
char* readWholeFile(const char* path, std::size_t* size) {
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return nullptr;
    struct stat st {};
    char* buffer = nullptr;
    if (fstat(fileno(file), &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= 0 &&
        static_cast<unsigned long long>(st.st_size) < static_cast<std::size_t>(-1)) {
        std::size_t expected = static_cast<std::size_t>(st.st_size);
        buffer = static_cast<char*>(std::malloc(expected + 1));
        if (buffer != nullptr) {
            *size = std::fread(buffer, 1, expected, file);
            buffer[*size] = '\0';
        }
    }
    std::fclose(file);
    return buffer;
}

// Finds the value of `key` in `section`. True with the value when the key
// exists with an '='; false when the file, section, key or '=' is missing.
bool findValue(Text file, Text section, Text key, Text* value) {
    std::size_t skip = 0;
    if (file.size >= 3 && std::memcmp(file.data, "\xEF\xBB\xBF", 3) == 0) skip = 3; // UTF-8 mark
    const char* p = file.data + skip;
    const char* end = file.data + file.size;
    bool inSection = false;
    bool sectionSeen = false;
    while (p < end) {
        const char* lineStart = p;
        while (p < end && *p != '\n' && *p != '\r') ++p;
        Text line = trimmed(Text{lineStart, static_cast<std::size_t>(p - lineStart)});
        while (p < end && (*p == '\n' || *p == '\r')) ++p;
        if (line.size == 0) continue;

        if (line.data[0] == '[') {
            const void* close = std::memchr(line.data + 1, ']', line.size - 1);
            if (close != nullptr) {
                // Later sections of the same name are never searched.
                if (sectionSeen) return false;
                Text name{line.data + 1, static_cast<std::size_t>(static_cast<const char*>(close) - line.data - 1)};
                inSection = sameName(trimmed(name), section); // "[ General ]" names General
                sectionSeen = inSection;
                continue;
            }
            // A '[' line without ']' is an ordinary key line.
        }
        if (!inSection) continue;

        const char* eq = static_cast<const char*>(std::memchr(line.data, '=', line.size));
        Text name = line;
        if (eq != nullptr) name.size = static_cast<std::size_t>(eq - line.data);
        if (!sameName(trimmed(name), key)) continue;
        if (eq == nullptr) return false; // a bare key has no value: the default applies
        *value = trimmed(Text{eq + 1, static_cast<std::size_t>(line.data + line.size - eq - 1)});
        return true;
    }
    return false;
}

void copyOut(Text text, bool stripQuotes, char* out, std::size_t size) {
    // A NUL inside the value ends it, as it would end the system's string.
    const void* nul = std::memchr(text.data, '\0', text.size);
    if (nul != nullptr) text.size = static_cast<std::size_t>(static_cast<const char*>(nul) - text.data);
    if (stripQuotes && text.size >= 2 && (text.data[0] == '"' || text.data[0] == '\'') &&
        text.data[text.size - 1] == text.data[0]) {
        ++text.data;
        text.size -= 2;
    }
    std::size_t n = text.size < size - 1 ? text.size : size - 1;
    std::memcpy(out, text.data, n);
    out[n] = '\0';
}

// The system's string-to-integer conversion with base 0.
std::uint32_t toInteger(const char* s) {
    while (*s != '\0' && static_cast<unsigned char>(*s) <= ' ') ++s;
    bool minus = false;
    if (*s == '+') {
        ++s;
    } else if (*s == '-') {
        minus = true;
        ++s;
    }
    std::uint32_t base = 10;
    if (s[0] == '0' && s[1] != '\0') {
        if (s[1] == 'x') base = 16;
        else if (s[1] == 'o') base = 8;
        else if (s[1] == 'b') base = 2;
        if (base != 10) s += 2;
    }
    std::uint32_t total = 0;
    for (;; ++s) {
        unsigned char c = static_cast<unsigned char>(*s);
        std::uint32_t digit;
        if (c >= '0' && c <= '9') digit = c - '0';
        else if (c >= 'a' && c <= 'z') digit = c - 'a' + 10u;
        else if (c >= 'A' && c <= 'Z') digit = c - 'A' + 10u;
        else break;
        if (digit >= base) break;
        total = total * base + digit;
    }
    return minus ? 0u - total : total;
}

} // namespace

void profileString(const char* section, const char* key, const char* defaultValue, char* out,
                   std::size_t size, const char* path) {
    if (out == nullptr || size == 0) return;
    if (section != nullptr && key != nullptr && path != nullptr) {
        std::size_t fileSize = 0;
        if (char* file = readWholeFile(path, &fileSize)) {
            Text value{};
            bool found = findValue(Text{file, fileSize}, textOf(section), textOf(key), &value);
            if (found) copyOut(value, true, out, size);
            std::free(file);
            if (found) return;
        }
    }
    // The default loses its trailing blanks, as the system's does.
    const char* def = defaultValue != nullptr ? defaultValue : "";
    std::size_t n = std::strlen(def);
    while (n > 0 && def[n - 1] == ' ') --n;
    copyOut(Text{def, n}, false, out, size);
}

std::uint32_t profileInt(const char* section, const char* key, int defaultValue, const char* path) {
    char text[30]; // the system reads integers through a buffer of this size
    profileString(section, key, "", text, sizeof text, path);
    if (text[0] == '\0') return static_cast<std::uint32_t>(defaultValue);
    return toInteger(text);
}

} // namespace platform
