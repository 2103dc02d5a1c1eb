#include "dll_plugin.h"

#include "winhost/plugin_binary.h"
#include "winhost/process.h"

#include "sim/address_space.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>

namespace soak {
namespace {

// One per child: the process ends with its session.
std::unique_ptr<winhost::PluginBinary> g_plugin;

std::string g_folder;

} // namespace

// The mapped DLL no longer needs its file.
void removeDllFolder() {
    if (g_folder.empty()) return;
    for (const char* name : {"bucklewright.asi", "bucklewright.ini", "bucklewright.log"})
        ::unlink((g_folder + "/" + name).c_str());
    ::rmdir(g_folder.c_str());
    g_folder.clear();
}

bool onDll() {
    const char* binary = std::getenv("BW_SOAK_BINARY");
    return binary != nullptr && std::strcmp(binary, "dll") == 0;
}

bool loadDll(const std::string& ini, std::string* logPath, std::string* error) {
    if (g_folder.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        char pattern[512];
        std::snprintf(pattern, sizeof pattern, "%s/bwsoak-XXXXXX",
                      tmp != nullptr && *tmp != '\0' ? tmp : "/tmp");
        if (::mkdtemp(pattern) == nullptr) {
            *error = "no scratch folder";
            return false;
        }
        g_folder = pattern;
        if (::symlink(BW_DLL_PATH, (g_folder + "/bucklewright.asi").c_str()) != 0) {
            *error = "cannot link the DLL";
            return false;
        }
    }
    *logPath = g_folder + "/bucklewright.log";
    ::unlink(logPath->c_str());
    std::ofstream(g_folder + "/bucklewright.ini", std::ios::binary | std::ios::trunc) << ini;
    winhost::setExecutableImage(sim::detail::MapEnd - sim::detail::MapBegin, "C:\\gta3.exe");
    g_plugin = winhost::loadPlugin(g_folder + "/bucklewright.asi", error);
    return g_plugin != nullptr;
}

bool attachDll() {
    return g_plugin != nullptr && g_plugin->attach();
}

void* dllExport(const char* gameVariable) {
    const std::string mangled =
        "_ZN4game" + std::to_string(std::strlen(gameVariable)) + gameVariable + "E";
    return g_plugin != nullptr ? g_plugin->exportNamed(mangled.c_str()) : nullptr;
}

} // namespace soak
