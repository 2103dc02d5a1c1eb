#pragma once

// What the stand-ins know of the process they pretend to run in: its
// modules (the game's executable and the images the loader mapped), the
// drive that stands for the session's folder, and the thread block that
// Windows code reaches through FS.

#include "winhost/win32_types.h"

#include <cstdint>
#include <string>
#include <vector>

namespace winhost {

struct Module {
    std::uintptr_t base = 0;
    std::uint32_t size = 0;
    std::string windowsPath; // what GetModuleFileNameA answers
    std::uint32_t references = 1;
    bool pinned = false; // stays loaded whatever FreeLibrary says
    bool threadNotifications = true;
    std::vector<DWORD> pages; // a mapped image's page protections (PAGE_*)
};

// "C:" stands for `folder`; Windows paths on that drive name files below it.
void mapDrive(const std::string& folder);
// A Windows path as this process's file system names it ("C:\a\b" ->
// folder/a/b); a path on another drive or a relative one keeps its names
// with '/' for '\'.
std::string posixPath(const char* windowsPath);
const std::string& driveFolder();
// The Windows name of a file below the mapped folder.
std::string windowsPath(const std::string& posixPath);

// The executable's image: its base is the platform's executable base (the
// substitute host's), its extent and name are set here.
void setExecutableImage(std::uint32_t size, const std::string& windowsPath);
Module& executableModule();

// Images mapped by the loader; at most a few.
void addModule(const Module& module);
void removeModule(std::uintptr_t base);
// The module holding `address` (the executable included); null when none.
// No allocation: the fault report asks from a signal handler.
Module* moduleAt(std::uintptr_t address);
// The mapped image whose file name is `fileName` (any case, ".dll" optional);
// null when none.
Module* moduleNamed(const char* fileName);
// The module whose base is `base`; null when none.
Module* moduleWithBase(std::uintptr_t base);

// The calling thread's last-error value, kept in its thread block.
void setLastError(DWORD error);
DWORD lastError();
// msvcrt's errno of the calling thread.
int* crtErrno();

} // namespace winhost
