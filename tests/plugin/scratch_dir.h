#pragma once

// A fresh directory under the system's temporary folder, removed with its
// files at the end of the test.

#ifdef _WIN32
#include <windows.h>
#else
#include <dirent.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace bwtest {

class ScratchDir {
public:
#ifdef _WIN32
    // The Windows programs run under Wine: its temporary folder, Windows names.
    ScratchDir() {
        char tmp[MAX_PATH];
        const DWORD n = GetTempPathA(sizeof tmp, tmp);
        if (n == 0 || n >= sizeof tmp) return;
        for (unsigned attempt = 0; attempt < 100; ++attempt) {
            char name[MAX_PATH + 32];
            std::snprintf(name, sizeof name, "%sbwtest-%lu-%lu", tmp, GetCurrentProcessId(),
                          GetTickCount() + attempt);
            if (CreateDirectoryA(name, nullptr)) {
                path_ = name;
                return;
            }
        }
    }
    ~ScratchDir() {
        if (path_.empty()) return;
        WIN32_FIND_DATAA found;
        HANDLE search = FindFirstFileA(file("*").c_str(), &found);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                const std::string name = found.cFileName;
                if (name != "." && name != "..") DeleteFileA(file(name).c_str());
            } while (FindNextFileA(search, &found));
            FindClose(search);
        }
        RemoveDirectoryA(path_.c_str());
    }
    static constexpr char kSeparator = '\\';
#else
    ScratchDir() {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/bwtest-XXXXXX";
        char buffer[512];
        std::snprintf(buffer, sizeof buffer, "%s", pattern.c_str());
        if (mkdtemp(buffer) != nullptr) path_ = buffer;
    }
    ~ScratchDir() {
        if (path_.empty()) return;
        if (DIR* dir = opendir(path_.c_str())) {
            while (dirent* entry = readdir(dir)) {
                std::string name = entry->d_name;
                if (name != "." && name != "..") unlink(file(name).c_str());
            }
            closedir(dir);
        }
        rmdir(path_.c_str());
    }
    static constexpr char kSeparator = '/';
#endif
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    std::string file(const std::string& name) const { return path_ + kSeparator + name; }

    std::string write(const std::string& name, const std::string& bytes) const {
        std::string p = file(name);
        std::ofstream(p, std::ios::binary) << bytes;
        return p;
    }

private:
    std::string path_;
};

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

} // namespace bwtest
