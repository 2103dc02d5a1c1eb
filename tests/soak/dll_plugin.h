#pragma once

// The soak and the sweep on the product DLL (BW_SOAK_BINARY=dll): the DLL is
// loaded through the PE loader from a folder of its own in each child, its
// exported host table is wrapped like the linked plug-in's, and its
// allocations are the C runtime's, counted and failed by the stand-ins.

#include <string>

namespace soak {

bool onDll();

// Writes `ini` beside a fresh copy of the DLL and loads it; the log's path
// in `logPath`. False with a violation's text in `error`.
bool loadDll(const std::string& ini, std::string* logPath, std::string* error);
bool attachDll();
// Removes the folder at the end of the child's session (children end
// without running exit handlers).
void removeDllFolder();

// The DLL's exported host-table slot for `name` (a variable of namespace
// game); `local` when the linked plug-in runs.
template <class Fn> Fn& hostSlot(Fn& local, const char* name);
void* dllExport(const char* gameVariable);

template <class Fn> Fn& hostSlot(Fn& local, const char* name) {
    if (!onDll()) return local;
    return *static_cast<Fn*>(dllExport(name));
}

} // namespace soak
