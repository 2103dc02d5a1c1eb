#pragma once

// The stand-ins a loaded image's imports bind to, by DLL and name. Only what
// the product imports is here; anything else fails the load by name.

#include "winhost/win32_types.h"

#include <cstddef>

namespace winhost {

struct StandIn {
    const char* name;
    void* address; // a function, or for a data import the variable itself
};

struct StandInList {
    const char* dll; // lower case
    const StandIn* entries;
    std::size_t count;
};

// One list per file of stand-ins.
StandInList moduleStandIns();
StandInList memoryStandIns();
StandInList fileStandIns();
StandInList threadStandIns();
StandInList syncStandIns();
StandInList exceptionStandIns();
StandInList textStandIns();
StandInList inputStandIns();
StandInList timeStandIns();
StandInList stdioStandIns();
StandInList runtimeStandIns();

// The stand-in for `dll`!`name` (the DLL name in any case); null when there
// is none.
void* findStandIn(const char* dll, const char* name);
// True when `dll` is one of the system DLLs the stand-ins make up.
bool isSystemDll(const char* dll);

template <std::size_t N> StandInList standIns(const char* dll, const StandIn (&entries)[N]) {
    return StandInList{dll, entries, N};
}

} // namespace winhost
