#pragma once

// The plug-in under test, loaded into the runner's process: the proving
// build's shared library now, the shipped DLL through a Windows loader later.
// Both are installed into a folder of their own beside the settings file the
// runner writes there, since the plug-in finds its settings and log by its
// own file name.

#include <memory>
#include <string>

namespace lab {

class PluginBinary {
  public:
    virtual ~PluginBinary() = default;
    // The file name the plug-in is installed under ("bucklewright.so").
    virtual const char* fileName() const = 0;
    // Installs the binary into `folder` and loads it; false with `error`.
    virtual bool load(const std::string& folder, std::string& error) = 0;
    // Enters the plug-in as the loader does on process attach.
    virtual bool attach(std::string& error) = 0;
    // The plug-in keeps its process-wide state (hooks, fault reporter) until
    // the process ends, as in the game: nothing is unloaded.
    virtual void detach() = 0;
};

// The proving build's shared library at `path`.
std::unique_ptr<PluginBinary> sharedObjectPlugin(const std::string& path);

} // namespace lab
