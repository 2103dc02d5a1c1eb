// Files by handle and the settings-file reads. Everything here also runs
// from the fault report's signal handler: no allocation on the write path.

#include "platform/platform.h"
#include "winhost/call_counts.h"
#include "winhost/handles.h"
#include "winhost/process.h"
#include "winhost/stand_ins.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace winhost {
namespace {

constexpr DWORD kGenericRead = 0x80000000u;
constexpr DWORD kGenericWrite = 0x40000000u;
constexpr DWORD kFileAppendData = 0x4;
constexpr DWORD kCreateNew = 1, kCreateAlways = 2, kOpenExisting = 3, kOpenAlways = 4,
                kTruncateExisting = 5;
constexpr DWORD kErrorFileExists = 80;
constexpr DWORD kErrorAlreadyExists = 183;

DWORD errorOf(int error) {
    switch (error) {
    case ENOENT:
        return kErrorFileNotFound;
    case ENOTDIR:
        return kErrorPathNotFound;
    case EEXIST:
        return kErrorFileExists;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS:
        return kErrorAccessDenied;
    default:
        return kErrorInvalidParameter;
    }
}

HANDLE WINHOST_API CreateFileA(const char* name, DWORD access, DWORD, void*, DWORD disposition,
                               DWORD, HANDLE) {
    static CallCounter calls("CreateFileA");
    if (name == nullptr || disposition < kCreateNew || disposition > kTruncateExisting) {
        setLastError(kErrorInvalidParameter);
        return kInvalidHandle;
    }
    if (calls.failsNow()) {
        setLastError(kErrorAccessDenied); // another process holds the file
        return kInvalidHandle;
    }
    const bool reads = (access & kGenericRead) != 0;
    const bool writes = (access & (kGenericWrite | kFileAppendData)) != 0;
    int flags = reads && writes ? O_RDWR : writes ? O_WRONLY : O_RDONLY;
    // Append-only access: every write goes to the end.
    if ((access & kFileAppendData) && !(access & kGenericWrite)) flags |= O_APPEND;
    switch (disposition) {
    case kCreateNew:
        flags |= O_CREAT | O_EXCL;
        break;
    case kCreateAlways:
        flags |= O_CREAT | O_TRUNC;
        break;
    case kOpenAlways:
        flags |= O_CREAT;
        break;
    case kTruncateExisting:
        flags |= O_TRUNC;
        break;
    default:
        break;
    }
    char path[512];
    const char* p = name;
    std::size_t n = 0;
    // The drive's folder, then the rest with '/' for '\' (no allocation).
    const std::string& folder = driveFolder();
    if ((p[0] == 'C' || p[0] == 'c') && p[1] == ':') {
        for (; n < folder.size() && n + 1 < sizeof path; ++n)
            path[n] = folder[n];
        p += 2;
    }
    for (; *p != '\0' && n + 1 < sizeof path; ++p)
        path[n++] = *p == '\\' ? '/' : *p;
    path[n] = '\0';
    const bool existed = disposition == kOpenAlways || disposition == kCreateAlways
                             ? ::access(path, F_OK) == 0
                             : false;
    const int fd = ::open(path, flags | O_CLOEXEC, 0644);
    if (fd < 0) {
        DWORD error = errorOf(errno);
        // Windows tells a missing folder from a missing file.
        char* slash = errno == ENOENT ? std::strrchr(path, '/') : nullptr;
        if (slash != nullptr && slash != path) {
            *slash = '\0';
            if (::access(path, F_OK) != 0) error = kErrorPathNotFound;
        }
        setLastError(error);
        return kInvalidHandle;
    }
    KernelObject file;
    file.kind = HandleKind::File;
    file.fd = fd;
    HANDLE h = newHandle(file);
    if (h == nullptr) {
        ::close(fd);
        setLastError(kErrorNotEnoughMemory);
        return kInvalidHandle;
    }
    setLastError(existed ? kErrorAlreadyExists : 0);
    return h;
}

BOOL WINHOST_API WriteFile(HANDLE handle, const void* data, DWORD size, DWORD* written, void*) {
    static CallCounter calls("WriteFile");
    if (written != nullptr) *written = 0;
    KernelObject* file = objectOf(handle, HandleKind::File);
    if (file == nullptr) {
        setLastError(kErrorInvalidHandle);
        return 0;
    }
    if (calls.failsNow()) {
        setLastError(kErrorAccessDenied);
        return 0;
    }
    const char* p = static_cast<const char*>(data);
    DWORD done = 0;
    while (done < size) {
        const ssize_t n = ::write(file->fd, p + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            setLastError(n < 0 ? errorOf(errno) : kErrorAccessDenied);
            if (written != nullptr) *written = done;
            return 0;
        }
        done += static_cast<DWORD>(n);
    }
    if (written != nullptr) *written = done;
    return 1;
}

BOOL WINHOST_API FlushFileBuffers(HANDLE handle) {
    static CallCounter calls("FlushFileBuffers");
    KernelObject* file = objectOf(handle, HandleKind::File);
    if (file == nullptr) {
        setLastError(kErrorInvalidHandle);
        return 0;
    }
    if (calls.failsNow()) {
        setLastError(kErrorWriteFault); // the disk did not take the data
        return 0;
    }
    ::fsync(file->fd);
    return 1;
}

// A failed close still closes: the handle is gone, only the write-back
// behind it failed.
BOOL WINHOST_API CloseHandle(HANDLE handle) {
    static CallCounter calls("CloseHandle");
    if (!closeHandle(handle)) {
        setLastError(kErrorInvalidHandle);
        return 0;
    }
    if (calls.failsNow()) {
        setLastError(kErrorWriteFault);
        return 0;
    }
    return 1;
}

// The reads of the POSIX build's own reader, which gives the system's
// answers for the same file. A failed read is the file that could not be
// read this time (held by another program): the default comes back.
DWORD WINHOST_API GetPrivateProfileStringA(const char* section, const char* key,
                                           const char* fallback, char* out, DWORD size,
                                           const char* file) {
    static CallCounter calls("GetPrivateProfileStringA");
    if (out == nullptr || size == 0) return 0;
    const bool unreadable = calls.failsNow();
    const std::string path = posixPath(file);
    platform::profileString(section, key, fallback, out, size,
                            file != nullptr && !unreadable ? path.c_str() : nullptr);
    return static_cast<DWORD>(std::strlen(out));
}

DWORD WINHOST_API GetPrivateProfileIntA(const char* section, const char* key, int fallback,
                                        const char* file) {
    static CallCounter calls("GetPrivateProfileIntA");
    const bool unreadable = calls.failsNow();
    const std::string path = posixPath(file);
    return platform::profileInt(section, key, fallback,
                                file != nullptr && !unreadable ? path.c_str() : nullptr);
}

const StandIn kStandIns[] = {
    {"CreateFileA", reinterpret_cast<void*>(&CreateFileA)},
    {"WriteFile", reinterpret_cast<void*>(&WriteFile)},
    {"FlushFileBuffers", reinterpret_cast<void*>(&FlushFileBuffers)},
    {"CloseHandle", reinterpret_cast<void*>(&CloseHandle)},
    {"GetPrivateProfileStringA", reinterpret_cast<void*>(&GetPrivateProfileStringA)},
    {"GetPrivateProfileIntA", reinterpret_cast<void*>(&GetPrivateProfileIntA)},
};

} // namespace

StandInList fileStandIns() {
    return standIns("kernel32.dll", kStandIns);
}

} // namespace winhost
