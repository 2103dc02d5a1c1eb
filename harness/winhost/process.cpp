#include "winhost/process.h"

#include "platform/platform.h"
#include "winhost/thread_block.h"

#include <strings.h>

#include <cstring>
#include <vector>

namespace winhost {
namespace {

std::string g_folder;
Module g_executable{0, 0, "C:\\gta3.exe", 1, false, true, {}};
std::vector<Module> g_modules;
int g_errno = 0;

bool onMappedDrive(const char* p) {
    return (p[0] == 'C' || p[0] == 'c') && p[1] == ':' &&
           (p[2] == '\\' || p[2] == '/' || p[2] == '\0');
}

bool holds(const Module& m, std::uintptr_t address) {
    return address >= m.base && address - m.base < m.size;
}

} // namespace

void mapDrive(const std::string& folder) {
    g_folder = folder;
}
const std::string& driveFolder() {
    return g_folder;
}

std::string posixPath(const char* windowsPath) {
    if (windowsPath == nullptr) return std::string();
    std::string out;
    const char* p = windowsPath;
    if (onMappedDrive(p)) {
        out = g_folder;
        p += 2;
    }
    for (; *p != '\0'; ++p)
        out.push_back(*p == '\\' ? '/' : *p);
    return out;
}

std::string windowsPath(const std::string& path) {
    std::string rest = path;
    if (!g_folder.empty() && path.compare(0, g_folder.size(), g_folder) == 0)
        rest = path.substr(g_folder.size());
    std::string out = "C:";
    if (rest.empty() || rest[0] != '/') out.push_back('\\');
    for (char c : rest)
        out.push_back(c == '/' ? '\\' : c);
    return out;
}

void setExecutableImage(std::uint32_t size, const std::string& path) {
    g_executable.size = size;
    g_executable.windowsPath = path;
}

Module& executableModule() {
    g_executable.base = platform::executableBase();
    return g_executable;
}

void addModule(const Module& module) {
    g_modules.push_back(module);
}

void removeModule(std::uintptr_t base) {
    for (std::size_t i = 0; i < g_modules.size(); ++i)
        if (g_modules[i].base == base) {
            g_modules.erase(g_modules.begin() + static_cast<std::ptrdiff_t>(i));
            return;
        }
}

Module* moduleAt(std::uintptr_t address) {
    if (holds(executableModule(), address)) return &g_executable;
    for (Module& m : g_modules)
        if (holds(m, address)) return &m;
    return nullptr;
}

Module* moduleNamed(const char* fileName) {
    const std::size_t n = std::strlen(fileName);
    for (Module& m : g_modules) {
        const std::size_t slash = m.windowsPath.find_last_of('\\');
        const std::string name = m.windowsPath.substr(slash == std::string::npos ? 0 : slash + 1);
        if (strcasecmp(name.c_str(), fileName) == 0) return &m;
        if (name.size() == n + 4 && strncasecmp(name.c_str(), fileName, n) == 0 &&
            strcasecmp(name.c_str() + n, ".dll") == 0)
            return &m;
    }
    return nullptr;
}

Module* moduleWithBase(std::uintptr_t base) {
    if (base != 0 && executableModule().base == base) return &g_executable;
    for (Module& m : g_modules)
        if (m.base == base) return &m;
    return nullptr;
}

void setLastError(DWORD error) {
    threadBlock().lastError = error;
}
DWORD lastError() {
    return threadBlock().lastError;
}
int* crtErrno() {
    return &g_errno;
}

} // namespace winhost
