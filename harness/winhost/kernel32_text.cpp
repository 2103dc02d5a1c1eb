// Code page conversions for the system's ANSI code page, Windows-1252 (a
// single-byte code page: no lead bytes), and UTF-8.

#include "winhost/call_counts.h"
#include "winhost/process.h"
#include "winhost/stand_ins.h"

namespace winhost {
namespace {

constexpr unsigned kAnsi = 0, kOem = 1, kWestern = 1252, kUtf8 = 65001;

// 0x80..0x9F of Windows-1252; the rest is Latin-1. 0 marks an unused byte.
const WCHAR kHigh1252[32] = {0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                             0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
                             0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                             0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

bool singleByte(unsigned cp) {
    return cp == kAnsi || cp == kOem || cp == kWestern;
}

WCHAR widen(unsigned char c) {
    if (c >= 0x80 && c < 0xA0) return kHigh1252[c - 0x80] != 0 ? kHigh1252[c - 0x80] : c;
    return c;
}

int narrowOf(WCHAR w) {
    if (w < 0x80 || (w >= 0xA0 && w < 0x100)) return w;
    for (int i = 0; i < 32; ++i)
        if (kHigh1252[i] == w) return 0x80 + i;
    return -1;
}

// What both conversions answer before converting: a failure of the call as
// Windows fails it, or a refusal of the arguments. True when the call must
// return 0 (the error is set).
bool refused(CallCounter& calls, unsigned cp, const void* in, int inLength, int outSize) {
    if (calls.failsNow()) {
        setLastError(kErrorNotEnoughMemory);
        return true;
    }
    if (in == nullptr || inLength == 0 || outSize < 0 || (!singleByte(cp) && cp != kUtf8)) {
        setLastError(kErrorInvalidParameter);
        return true;
    }
    return false;
}

// A length of -1 asks for the text up to and including its terminator.
template <class Char> int lengthAsked(const Char* in, int inLength) {
    if (inLength >= 0) return inLength;
    int n = 0;
    while (in[n] != 0)
        ++n;
    return n + 1;
}

BOOL WINHOST_API IsDBCSLeadByteEx(unsigned cp, unsigned char) {
    static CallCounter calls("IsDBCSLeadByteEx", Failure::None);
    calls.failsNow();
    if (!singleByte(cp) && cp != kUtf8) setLastError(kErrorInvalidParameter);
    return 0;
}

// Both conversions: a length of -1 includes the terminator, an output size
// of 0 asks for the size needed, a short output fails.
int WINHOST_API MultiByteToWideChar(unsigned cp, DWORD, const char* in, int inLength, WCHAR* out,
                                    int outSize) {
    static CallCounter calls("MultiByteToWideChar");
    if (refused(calls, cp, in, inLength, outSize)) return 0;
    inLength = lengthAsked(in, inLength);
    int n = 0;
    for (int i = 0; i < inLength;) {
        unsigned char c = static_cast<unsigned char>(in[i]);
        unsigned code = c;
        int extra = 0;
        if (cp == kUtf8 && c >= 0x80) {
            extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
            code = extra == 0 ? 0xFFFD : c & (0x3Fu >> extra);
            for (int k = 1; k <= extra; ++k)
                code = i + k < inLength
                           ? (code << 6) | (static_cast<unsigned char>(in[i + k]) & 0x3Fu)
                           : 0xFFFD;
        } else if (cp != kUtf8) {
            code = widen(c);
        }
        i += extra + 1;
        const int units = code >= 0x10000 ? 2 : 1;
        if (outSize != 0) {
            if (n + units > outSize) {
                setLastError(kErrorInsufficientBuffer);
                return 0;
            }
            if (units == 2) {
                out[n] = static_cast<WCHAR>(0xD800 + ((code - 0x10000) >> 10));
                out[n + 1] = static_cast<WCHAR>(0xDC00 + ((code - 0x10000) & 0x3FF));
            } else {
                out[n] = static_cast<WCHAR>(code);
            }
        }
        n += units;
    }
    return n;
}

int WINHOST_API WideCharToMultiByte(unsigned cp, DWORD, const WCHAR* in, int inLength, char* out,
                                    int outSize, const char* fallback, BOOL* usedFallback) {
    static CallCounter calls("WideCharToMultiByte");
    if (refused(calls, cp, in, inLength, outSize)) return 0;
    inLength = lengthAsked(in, inLength);
    if (usedFallback != nullptr) *usedFallback = 0;
    int n = 0;
    for (int i = 0; i < inLength; ++i) {
        unsigned char bytes[4];
        int count = 0;
        const WCHAR w = in[i];
        if (cp == kUtf8) {
            unsigned code = w;
            if (w >= 0xD800 && w < 0xDC00 && i + 1 < inLength && in[i + 1] >= 0xDC00 &&
                in[i + 1] < 0xE000)
                code = 0x10000 + ((w - 0xD800u) << 10) + (in[++i] - 0xDC00u);
            if (code < 0x80) {
                bytes[count++] = static_cast<unsigned char>(code);
            } else if (code < 0x800) {
                bytes[count++] = static_cast<unsigned char>(0xC0 | (code >> 6));
                bytes[count++] = static_cast<unsigned char>(0x80 | (code & 0x3F));
            } else if (code < 0x10000) {
                bytes[count++] = static_cast<unsigned char>(0xE0 | (code >> 12));
                bytes[count++] = static_cast<unsigned char>(0x80 | ((code >> 6) & 0x3F));
                bytes[count++] = static_cast<unsigned char>(0x80 | (code & 0x3F));
            } else {
                bytes[count++] = static_cast<unsigned char>(0xF0 | (code >> 18));
                bytes[count++] = static_cast<unsigned char>(0x80 | ((code >> 12) & 0x3F));
                bytes[count++] = static_cast<unsigned char>(0x80 | ((code >> 6) & 0x3F));
                bytes[count++] = static_cast<unsigned char>(0x80 | (code & 0x3F));
            }
        } else {
            const int c = narrowOf(w);
            if (c < 0 && usedFallback != nullptr) *usedFallback = 1;
            bytes[count++] =
                static_cast<unsigned char>(c >= 0 ? c : (fallback != nullptr ? *fallback : '?'));
        }
        if (outSize != 0) {
            if (n + count > outSize) {
                setLastError(kErrorInsufficientBuffer);
                return 0;
            }
            for (int k = 0; k < count; ++k)
                out[n + k] = static_cast<char>(bytes[k]);
        }
        n += count;
    }
    return n;
}

const StandIn kStandIns[] = {
    {"IsDBCSLeadByteEx", reinterpret_cast<void*>(&IsDBCSLeadByteEx)},
    {"MultiByteToWideChar", reinterpret_cast<void*>(&MultiByteToWideChar)},
    {"WideCharToMultiByte", reinterpret_cast<void*>(&WideCharToMultiByte)},
};

} // namespace

StandInList textStandIns() {
    return standIns("kernel32.dll", kStandIns);
}

} // namespace winhost
