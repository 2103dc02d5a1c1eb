// msvcrt's memory, string, locale and start-up functions as msvcrt defines
// them, for the C locale and one thread.

#include "winhost/call_counts.h"
#include "winhost/process.h"
#include "winhost/stand_ins.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace winhost {
namespace {

using Initializer = void (*)();

int g_mbCurMax = 1; // single-byte code page

// msvcrt's lconv: ten strings, then eight chars.
struct CrtLconv {
    const char* decimalPoint;
    const char* thousandsSep;
    const char* grouping;
    const char* intCurrSymbol;
    const char* currencySymbol;
    const char* monDecimalPoint;
    const char* monThousandsSep;
    const char* monGrouping;
    const char* positiveSign;
    const char* negativeSign;
    char intFracDigits, fracDigits, pCsPrecedes, pSepBySpace, nCsPrecedes, nSepBySpace, pSignPosn,
        nSignPosn;
};
CrtLconv g_lconv = {".",      "",       "",       "",       "",       "",
                    "",       "",       "",       "",       CHAR_MAX, CHAR_MAX,
                    CHAR_MAX, CHAR_MAX, CHAR_MAX, CHAR_MAX, CHAR_MAX, CHAR_MAX};

void* WINHOST_CRT crt_malloc(std::size_t size) {
    static CallCounter calls("malloc");
    if (calls.failsNow()) {
        *crtErrno() = ENOMEM;
        return nullptr;
    }
    return std::malloc(size);
}

void* WINHOST_CRT crt_calloc(std::size_t count, std::size_t size) {
    static CallCounter calls("calloc");
    if (calls.failsNow()) {
        *crtErrno() = ENOMEM;
        return nullptr;
    }
    return std::calloc(count, size);
}

void* WINHOST_CRT crt_realloc(void* p, std::size_t size) {
    static CallCounter calls("realloc");
    if (calls.failsNow()) {
        *crtErrno() = ENOMEM;
        return nullptr; // the old block stays
    }
    return std::realloc(p, size);
}

void WINHOST_CRT crt_free(void* p) {
    static CallCounter calls("free");
    calls.failsNow();
    std::free(p);
}

int* WINHOST_CRT crt_errno() {
    return crtErrno();
}

void WINHOST_CRT crt_initterm(Initializer* begin, Initializer* end) {
    static CallCounter calls("_initterm");
    calls.failsNow();
    for (; begin < end; ++begin)
        if (*begin != nullptr) (*begin)();
}

void WINHOST_CRT crt_setusermatherr(void*) {
    static CallCounter calls("__setusermatherr");
    calls.failsNow(); // math errors never reach a handler here
}

// msvcrt's fatal run-time error: message, exit code 255.
void WINHOST_CRT crt_amsg_exit(int code) {
    std::fprintf(stderr, "runtime error R60%02d\n", code);
    ::_exit(255);
}

void WINHOST_CRT crt_abort() {
    std::fprintf(stderr,
                 "This application has requested the Runtime to terminate it in an unusual way.\n");
    std::abort();
}

const CrtLconv* WINHOST_CRT crt_localeconv() {
    static CallCounter calls("localeconv");
    calls.failsNow();
    return &g_lconv;
}

// Only the C locale exists here; asking for another fails as for an
// unknown name.
const char* WINHOST_CRT crt_setlocale(int category, const char* locale) {
    static CallCounter calls("setlocale");
    calls.failsNow();
    if (category < 0 || category > 5) return nullptr;
    if (locale == nullptr || std::strcmp(locale, "C") == 0) return "C";
    return nullptr;
}

int WINHOST_CRT crt_atoi(const char* s) {
    static CallCounter calls("atoi");
    calls.failsNow();
    return static_cast<int>(std::strtol(s, nullptr, 10));
}

int WINHOST_CRT crt_tolower(int c) {
    return c >= 'A' && c <= 'Z' ? c + 32 : c;
}

// msvcrt's own texts for the codes it shares with the C library.
const char* WINHOST_CRT crt_strerror(int error) {
    static CallCounter calls("strerror");
    calls.failsNow();
    switch (error) {
    case 0:
        return "No error";
    case ENOENT:
        return "No such file or directory";
    case EACCES:
        return "Permission denied";
    case ENOMEM:
        return "Not enough space";
    case EINVAL:
        return "Invalid argument";
    case EBADF:
        return "Bad file descriptor";
    case EMFILE:
        return "Too many open files";
    case ERANGE:
        return "Result too large";
    default:
        return "Unknown error";
    }
}

std::size_t WINHOST_CRT crt_wcslen(const WCHAR* s) {
    std::size_t n = 0;
    while (s[n] != 0)
        ++n;
    return n;
}

void* WINHOST_CRT crt_memchr(const void* p, int c, std::size_t n) {
    return const_cast<void*>(std::memchr(p, c, n));
}
int WINHOST_CRT crt_memcmp(const void* a, const void* b, std::size_t n) {
    return std::memcmp(a, b, n);
}
void* WINHOST_CRT crt_memcpy(void* d, const void* s, std::size_t n) {
    return std::memcpy(d, s, n);
}
void* WINHOST_CRT crt_memmove(void* d, const void* s, std::size_t n) {
    return std::memmove(d, s, n);
}
void* WINHOST_CRT crt_memset(void* d, int c, std::size_t n) {
    return std::memset(d, c, n);
}
char* WINHOST_CRT crt_strchr(const char* s, int c) {
    return const_cast<char*>(std::strchr(s, c));
}
int WINHOST_CRT crt_strcmp(const char* a, const char* b) {
    return std::strcmp(a, b);
}
std::size_t WINHOST_CRT crt_strlen(const char* s) {
    return std::strlen(s);
}
int WINHOST_CRT crt_strncmp(const char* a, const char* b, std::size_t n) {
    return std::strncmp(a, b, n);
}
char* WINHOST_CRT crt_strrchr(const char* s, int c) {
    return const_cast<char*>(std::strrchr(s, c));
}
char* WINHOST_CRT crt_strstr(const char* a, const char* b) {
    return const_cast<char*>(std::strstr(a, b));
}

#define BW_CRT(name)                                                                               \
    { #name, reinterpret_cast < void*>(&crt_##name) }
const StandIn kStandIns[] = {
    {"__mb_cur_max", reinterpret_cast<void*>(&g_mbCurMax)},
    {"__setusermatherr", reinterpret_cast<void*>(&crt_setusermatherr)},
    {"_amsg_exit", reinterpret_cast<void*>(&crt_amsg_exit)},
    {"_errno", reinterpret_cast<void*>(&crt_errno)},
    {"_initterm", reinterpret_cast<void*>(&crt_initterm)},
    BW_CRT(abort),
    BW_CRT(atoi),
    BW_CRT(calloc),
    BW_CRT(free),
    BW_CRT(localeconv),
    BW_CRT(malloc),
    BW_CRT(memchr),
    BW_CRT(memcmp),
    BW_CRT(memcpy),
    BW_CRT(memmove),
    BW_CRT(memset),
    BW_CRT(realloc),
    BW_CRT(setlocale),
    BW_CRT(strchr),
    BW_CRT(strcmp),
    BW_CRT(strerror),
    BW_CRT(strlen),
    BW_CRT(strncmp),
    BW_CRT(strrchr),
    BW_CRT(strstr),
    BW_CRT(tolower),
    BW_CRT(wcslen),
};
#undef BW_CRT

} // namespace

StandInList runtimeStandIns() {
    return standIns("msvcrt.dll", kStandIns);
}

} // namespace winhost
