#include "dll_plugin.h"

#include "winhost/plugin_binary.h"
#ifndef _WIN32
#include "winhost/process.h"
#endif

#include "sim/address_space.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>

namespace soak {
namespace {

// One per child: the process ends with its session.
std::unique_ptr<winhost::PluginBinary> g_plugin;

std::string g_folder;

} // namespace

// The mapped DLL no longer needs its file.
void removeDllFolder() {
    if (g_folder.empty()) return;
    std::error_code e;
    std::filesystem::remove_all(g_folder, e);
    g_folder.clear();
}

bool onDll() {
#ifdef _WIN32
    return true; // under Wine the only binary is the product DLL
#else
    const char* binary = std::getenv("BW_SOAK_BINARY");
    return binary != nullptr && std::strcmp(binary, "dll") == 0;
#endif
}

bool loadDll(const std::string& ini, std::string* logPath, std::string* error) {
    if (g_folder.empty()) {
        std::error_code e;
        const std::filesystem::path tmp = std::filesystem::temp_directory_path(e);
        for (unsigned attempt = 0; !e && attempt < 100 && g_folder.empty(); ++attempt) {
            const std::filesystem::path p = tmp / ("bwsoak-" + std::to_string(std::random_device{}()));
            if (std::filesystem::create_directory(p, e)) g_folder = p.string();
        }
        if (g_folder.empty()) {
            *error = "no scratch folder";
            return false;
        }
        // A link where the system follows one; Windows programs get a copy.
#ifdef _WIN32
        std::filesystem::copy_file(BW_DLL_PATH, g_folder + "/bucklewright.asi", e);
#else
        std::filesystem::create_symlink(BW_DLL_PATH, g_folder + "/bucklewright.asi", e);
#endif
        if (e) {
            *error = "cannot install the DLL";
            return false;
        }
    }
    *logPath = g_folder + "/bucklewright.log";
    std::remove(logPath->c_str());
    std::ofstream(g_folder + "/bucklewright.ini", std::ios::binary | std::ios::trunc) << ini;
#ifndef _WIN32
    winhost::setExecutableImage(sim::detail::MapEnd - sim::detail::MapBegin, "C:\\gta3.exe");
#endif
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
