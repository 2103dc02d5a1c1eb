#include "winhost/stand_ins.h"
#include "winhost/win32_types.h"

#include <strings.h>

#include <cstring>

namespace winhost {
namespace {

// ".dll" may be left off, as LoadLibrary allows.
bool sameDll(const char* a, const char* b) {
    const std::size_t n = std::strlen(b) - 4; // b always ends in ".dll"
    return strncasecmp(a, b, n) == 0 && (a[n] == '\0' || strcasecmp(a + n, ".dll") == 0);
}

template <class Visit> bool anyList(Visit visit) {
    const StandInList lists[] = {moduleStandIns(), memoryStandIns(), fileStandIns(),
                                 threadStandIns(), syncStandIns(),   exceptionStandIns(),
                                 textStandIns(),   inputStandIns(),  timeStandIns(),
                                 stdioStandIns(),  runtimeStandIns()};
    for (const StandInList& list : lists)
        if (visit(list)) return true;
    return false;
}

} // namespace

void* findStandIn(const char* dll, const char* name) {
    void* found = nullptr;
    anyList([&](const StandInList& list) {
        if (!sameDll(dll, list.dll)) return false;
        for (std::size_t i = 0; i < list.count; ++i)
            if (std::strcmp(list.entries[i].name, name) == 0) {
                found = list.entries[i].address;
                return true;
            }
        return false;
    });
    return found;
}

bool isSystemDll(const char* dll) {
    return anyList([&](const StandInList& list) { return sameDll(dll, list.dll); });
}

} // namespace winhost
