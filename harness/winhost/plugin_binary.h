#pragma once

// One plug-in binary loaded into the substitute host's process and entered
// as the game's loader enters it: the proving build's shared library
// (dlopen, bucklewright_attach) or the product DLL (the PE loader and the
// Win32 stand-ins). Session tests, the soak and the crash runs load through
// here, so both binaries are driven the same way.

#include <memory>
#include <string>

namespace winhost {

class PluginBinary {
  public:
    virtual ~PluginBinary() = default;
    // Process attach: the entry's result.
    virtual bool attach() = 0;
    // A thread starting after attach, as the loader reports it.
    virtual bool threadAttach() = 0;
    // Process detach at the end of the session.
    virtual bool detach() = 0;
    // The loader lets go of the binary (FreeLibrary, dlclose): it goes away
    // with its last reference unless the module pinned itself.
    virtual bool release() = 0;
    // Still mapped in the process.
    virtual bool loaded() const = 0;
    // The address exported under `name`; null when none.
    virtual void* exportNamed(const char* name) = 0;
    // The settings and log files sit beside the binary under its name.
    virtual std::string siblingFile(const char* extension) const = 0;
};

// Loads `path`: a ".asi" or ".dll" with the PE loader, anything else with
// dlopen. Null with the reason in `error` when it cannot be loaded.
std::unique_ptr<PluginBinary> loadPlugin(const std::string& path, std::string* error);

} // namespace winhost
