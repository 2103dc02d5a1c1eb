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
    static CallCounter calls("free", Failure::None);
    calls.failsNow();
    std::free(p);
}

int* WINHOST_CRT crt_errno() {
    return crtErrno();
}

void WINHOST_CRT crt_initterm(Initializer* begin, Initializer* end) {
    static CallCounter calls("_initterm", Failure::None);
    calls.failsNow();
    for (; begin < end; ++begin)
        if (*begin != nullptr) (*begin)();
}

void WINHOST_CRT crt_setusermatherr(void*) {
    static CallCounter calls("__setusermatherr", Failure::None);
    calls.failsNow(); // math errors never reach a handler here
}

// msvcrt's fatal run-time error: message, exit code 255.
void WINHOST_CRT crt_amsg_exit(int code) {
    static CallCounter calls("_amsg_exit", Failure::None);
    calls.failsNow();
    std::fprintf(stderr, "runtime error R60%02d\n", code);
    ::_exit(255);
}

void WINHOST_CRT crt_abort() {
    static CallCounter calls("abort", Failure::None);
    calls.failsNow();
    std::fprintf(stderr,
                 "This application has requested the Runtime to terminate it in an unusual way.\n");
    std::abort();
}

const CrtLconv* WINHOST_CRT crt_localeconv() {
    static CallCounter calls("localeconv", Failure::None);
    calls.failsNow();
    return &g_lconv;
}

// Only the C locale exists here; asking for another fails as for an
// unknown name.
const char* WINHOST_CRT crt_setlocale(int category, const char* locale) {
    static CallCounter calls("setlocale");
    if (calls.failsNow() || category < 0 || category > 5) return nullptr;
    if (locale == nullptr || std::strcmp(locale, "C") == 0) return "C";
    return nullptr;
}

int WINHOST_CRT crt_atoi(const char* s) {
    static CallCounter calls("atoi", Failure::None);
    calls.failsNow();
    return static_cast<int>(std::strtol(s, nullptr, 10));
}

// Counted like every stand-in, so a session shows all the imports it used;
// none of these can fail.
#define BW_COUNTED(name)                                                                           \
    static CallCounter calls(#name, Failure::None);                                                \
    calls.failsNow()

int WINHOST_CRT crt_tolower(int c) {
    BW_COUNTED(tolower);
    return c >= 'A' && c <= 'Z' ? c + 32 : c;
}

// msvcrt's own texts for the codes it shares with the C library.
const char* WINHOST_CRT crt_strerror(int error) {
    BW_COUNTED(strerror);
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
    BW_COUNTED(wcslen);
    std::size_t n = 0;
    while (s[n] != 0)
        ++n;
    return n;
}

void* WINHOST_CRT crt_memchr(const void* p, int c, std::size_t n) {
    BW_COUNTED(memchr);
    return const_cast<void*>(std::memchr(p, c, n));
}
int WINHOST_CRT crt_memcmp(const void* a, const void* b, std::size_t n) {
    BW_COUNTED(memcmp);
    return std::memcmp(a, b, n);
}
void* WINHOST_CRT crt_memcpy(void* d, const void* s, std::size_t n) {
    BW_COUNTED(memcpy);
    return std::memcpy(d, s, n);
}
void* WINHOST_CRT crt_memmove(void* d, const void* s, std::size_t n) {
    BW_COUNTED(memmove);
    return std::memmove(d, s, n);
}
void* WINHOST_CRT crt_memset(void* d, int c, std::size_t n) {
    BW_COUNTED(memset);
    return std::memset(d, c, n);
}
char* WINHOST_CRT crt_strchr(const char* s, int c) {
    BW_COUNTED(strchr);
    return const_cast<char*>(std::strchr(s, c));
}
int WINHOST_CRT crt_strcmp(const char* a, const char* b) {
    BW_COUNTED(strcmp);
    return std::strcmp(a, b);
}
std::size_t WINHOST_CRT crt_strlen(const char* s) {
    BW_COUNTED(strlen);
    return std::strlen(s);
}
int WINHOST_CRT crt_strncmp(const char* a, const char* b, std::size_t n) {
    BW_COUNTED(strncmp);
    return std::strncmp(a, b, n);
}
char* WINHOST_CRT crt_strrchr(const char* s, int c) {
    BW_COUNTED(strrchr);
    return const_cast<char*>(std::strrchr(s, c));
}
char* WINHOST_CRT crt_strstr(const char* a, const char* b) {
    BW_COUNTED(strstr);
    return const_cast<char*>(std::strstr(a, b));
}

// The C locale's code page, which MinGW's multibyte functions ask msvcrt
// for by name (0: no code page, bytes are characters).
unsigned g_lcCodepage = 0;
unsigned WINHOST_CRT crt_lc_codepage_func() {
    BW_COUNTED(___lc_codepage_func);
    return g_lcCodepage;
}
#undef BW_COUNTED

#define BW_CRT(name)                                                                               \
    { #name, reinterpret_cast < void*>(&crt_##name) }
const StandIn kStandIns[] = {
    {"__mb_cur_max", reinterpret_cast<void*>(&g_mbCurMax)},
    {"__setusermatherr", reinterpret_cast<void*>(&crt_setusermatherr)},
    {"_amsg_exit", reinterpret_cast<void*>(&crt_amsg_exit)},
    {"_errno", reinterpret_cast<void*>(&crt_errno)},
    {"_initterm", reinterpret_cast<void*>(&crt_initterm)},
    {"___lc_codepage_func", reinterpret_cast<void*>(&crt_lc_codepage_func)},
    {"__lc_codepage", reinterpret_cast<void*>(&g_lcCodepage)},
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
