// msvcrt's streams as the statically linked MinGW code expects them: FILE
// records of msvcrt's layout, `_iob` as an array of 20 of them (32 bytes
// each), and a lock at FILE + 0x20 in every record fopen hands out. Text
// mode, msvcrt's default, writes "\n" as CR LF.

#include "winhost/call_counts.h"
#include "winhost/process.h"
#include "winhost/stand_ins.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

namespace winhost {
namespace {

constexpr int kEof = -1;
constexpr int kIoRead = 0x1, kIoWrite = 0x2, kIoError = 0x20, kIoReadWrite = 0x80;
constexpr int kStreams = 20;
constexpr int kOpenFiles = 32;
constexpr int kMaxFd = 1024;
constexpr int kLocks = 64;

struct CrtFile {
    char* ptr;
    int cnt;
    char* base;
    int flag;
    int file;
    int charbuf;
    int bufsiz;
    char* tmpfname;
};
static_assert(sizeof(CrtFile) == 32, "msvcrt FILE");

struct LockedFile {
    CrtFile file;
    CriticalSection lock; // at FILE + 0x20
    bool used;
    off_t sizeAtOpen; // what a failed close leaves of the file
};

CrtFile g_iob[kStreams] = {{nullptr, 0, nullptr, kIoRead, 0, 0, 0, nullptr},
                           {nullptr, 0, nullptr, kIoWrite, 1, 0, 0, nullptr},
                           {nullptr, 0, nullptr, kIoWrite, 2, 0, 0, nullptr}};
LockedFile g_files[kOpenFiles];
bool g_binary[kMaxFd]; // text mode unless set
int g_lockDepth[kLocks];

CrtFile* validStream(CrtFile* f) {
    if (f == nullptr) return nullptr;
    if (f >= g_iob && f < g_iob + 3) return f;
    for (LockedFile& lf : g_files)
        if (lf.used && &lf.file == f) return f;
    return nullptr;
}

bool writeRaw(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Writes `size` bytes to the stream; text mode adds CR before every LF.
bool put(CrtFile* f, const char* data, std::size_t size) {
    if (!(f->flag & (kIoWrite | kIoReadWrite))) {
        f->flag |= kIoError;
        *crtErrno() = EBADF;
        return false;
    }
    bool ok = true;
    if (f->file >= 0 && f->file < kMaxFd && g_binary[f->file]) {
        ok = writeRaw(f->file, data, size);
    } else {
        std::size_t from = 0;
        for (std::size_t i = 0; i < size && ok; ++i)
            if (data[i] == '\n') {
                ok = writeRaw(f->file, data + from, i - from) && writeRaw(f->file, "\r\n", 2);
                from = i + 1;
            }
        if (ok) ok = writeRaw(f->file, data + from, size - from);
    }
    if (!ok) {
        f->flag |= kIoError;
        *crtErrno() = errno;
    }
    return ok;
}

CrtFile* WINHOST_CRT crt_fopen(const char* name, const char* mode) {
    static CallCounter calls("fopen");
    if (name == nullptr || mode == nullptr) {
        *crtErrno() = EINVAL;
        return nullptr;
    }
    int flags = 0, streamFlags = 0;
    switch (mode[0]) {
    case 'r':
        flags = O_RDONLY;
        streamFlags = kIoRead;
        break;
    case 'w':
        flags = O_WRONLY | O_CREAT | O_TRUNC;
        streamFlags = kIoWrite;
        break;
    case 'a':
        flags = O_WRONLY | O_CREAT | O_APPEND;
        streamFlags = kIoWrite;
        break;
    default:
        *crtErrno() = EINVAL;
        return nullptr;
    }
    bool binary = false;
    for (const char* m = mode + 1; *m != '\0'; ++m) {
        if (*m == '+') {
            flags = (flags & ~(O_RDONLY | O_WRONLY)) | O_RDWR;
            streamFlags = kIoReadWrite;
        } else if (*m == 'b') {
            binary = true;
        } else if (*m == 't') {
            binary = false;
        }
    }
    if (calls.failsNow()) {
        *crtErrno() = EACCES; // locked by another process
        return nullptr;
    }
    LockedFile* slot = nullptr;
    for (LockedFile& lf : g_files)
        if (!lf.used) {
            slot = &lf;
            break;
        }
    if (slot == nullptr) {
        *crtErrno() = EMFILE;
        return nullptr;
    }
    const std::string path = posixPath(name);
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0644);
    if (fd < 0) {
        *crtErrno() = errno;
        return nullptr;
    }
    if (fd >= kMaxFd) {
        ::close(fd);
        *crtErrno() = EMFILE;
        return nullptr;
    }
    g_binary[fd] = binary;
    *slot = LockedFile{};
    slot->file.flag = streamFlags;
    slot->file.file = fd;
    slot->lock.lockCount = -1;
    slot->used = true;
    slot->sizeAtOpen = ::lseek(fd, 0, SEEK_END);
    return &slot->file;
}

// A failed close still closes the stream, but its write-back failed: what
// msvcrt held in the stream's buffer (all written since the open, here) never
// reaches the file.
int WINHOST_CRT crt_fclose(CrtFile* f) {
    static CallCounter calls("fclose");
    if (validStream(f) == nullptr || (f >= g_iob && f < g_iob + kStreams)) {
        *crtErrno() = EINVAL;
        return kEof;
    }
    const bool failsNow = calls.failsNow();
    const bool failed = (f->flag & kIoError) != 0 || failsNow;
    const off_t sizeAtOpen = reinterpret_cast<LockedFile*>(f)->sizeAtOpen;
    if (failsNow && (f->flag & (kIoWrite | kIoReadWrite)) && sizeAtOpen >= 0 &&
        ::ftruncate(f->file, sizeAtOpen) != 0)
        *crtErrno() = EIO;
    const int closed = ::close(f->file);
    g_binary[f->file] = false;
    reinterpret_cast<LockedFile*>(f)->used = false;
    return failed || closed != 0 ? kEof : 0;
}

// Writes through the stream unless this use is the one armed to fail: a
// failed write (the disk is full) writes nothing and marks the stream.
bool tryPut(CallCounter& calls, CrtFile* f, const char* data, std::size_t size) {
    if (!calls.failsNow()) return put(f, data, size);
    f->flag |= kIoError;
    *crtErrno() = ENOSPC;
    return false;
}

int WINHOST_CRT crt_fputc(int c, CrtFile* f) {
    static CallCounter calls("fputc");
    const char ch = static_cast<char>(c);
    if (validStream(f) == nullptr || !tryPut(calls, f, &ch, 1)) return kEof;
    return c & 0xFF;
}

int WINHOST_CRT crt_fputs(const char* s, CrtFile* f) {
    static CallCounter calls("fputs");
    if (s == nullptr || validStream(f) == nullptr || !tryPut(calls, f, s, std::strlen(s)))
        return kEof;
    return 0;
}

std::size_t WINHOST_CRT crt_fwrite(const void* data, std::size_t size, std::size_t count,
                                   CrtFile* f) {
    static CallCounter calls("fwrite");
    if (size == 0 || count == 0) return 0;
    if (data == nullptr || validStream(f) == nullptr) return 0;
    return tryPut(calls, f, static_cast<const char*>(data), size * count) ? count : 0;
}

// i386 argument lists are the same on both systems, so the C library
// formats; its output is written through the stream's mode.
int WINHOST_CRT crt_vfprintf(CrtFile* f, const char* format, va_list args) {
    static CallCounter calls("vfprintf");
    if (validStream(f) == nullptr || format == nullptr) {
        *crtErrno() = EINVAL;
        return -1;
    }
    char buffer[4096];
    const int n = std::vsnprintf(buffer, sizeof buffer, format, args);
    if (n < 0) return -1;
    const std::size_t size = static_cast<std::size_t>(n) < sizeof buffer
                                 ? static_cast<std::size_t>(n)
                                 : sizeof buffer - 1;
    return tryPut(calls, f, buffer, size) ? static_cast<int>(size) : -1;
}

void WINHOST_CRT crt_lock(int which) {
    static CallCounter calls("_lock", Failure::None);
    calls.failsNow();
    if (which >= 0 && which < kLocks) ++g_lockDepth[which];
}

void WINHOST_CRT crt_unlock(int which) {
    static CallCounter calls("_unlock", Failure::None);
    calls.failsNow();
    if (which >= 0 && which < kLocks && g_lockDepth[which] > 0) --g_lockDepth[which];
}

// Text mode reads a CR LF pair as "\n".
int WINHOST_CRT crt_read(int fd, void* buffer, unsigned size) {
    static CallCounter calls("_read");
    if (calls.failsNow()) {
        *crtErrno() = EIO;
        return -1;
    }
    if (fd < 0 || fd >= kMaxFd || buffer == nullptr) {
        *crtErrno() = EBADF;
        return -1;
    }
    const ssize_t n = ::read(fd, buffer, size);
    if (n < 0) {
        *crtErrno() = errno;
        return -1;
    }
    if (g_binary[fd]) return static_cast<int>(n);
    char* p = static_cast<char*>(buffer);
    ssize_t out = 0;
    for (ssize_t i = 0; i < n; ++i)
        if (!(p[i] == '\r' && i + 1 < n && p[i + 1] == '\n')) p[out++] = p[i];
    return static_cast<int>(out);
}

// Like fclose, a failed close still closes.
int WINHOST_CRT crt_close(int fd) {
    static CallCounter calls("_close");
    if (fd < 0 || fd >= kMaxFd || ::close(fd) != 0) {
        *crtErrno() = EBADF;
        return -1;
    }
    g_binary[fd] = false;
    if (calls.failsNow()) {
        *crtErrno() = EIO;
        return -1;
    }
    return 0;
}

const StandIn kStandIns[] = {
    {"_iob", reinterpret_cast<void*>(g_iob)},
    {"fopen", reinterpret_cast<void*>(&crt_fopen)},
    {"fclose", reinterpret_cast<void*>(&crt_fclose)},
    {"fputc", reinterpret_cast<void*>(&crt_fputc)},
    {"fputs", reinterpret_cast<void*>(&crt_fputs)},
    {"fwrite", reinterpret_cast<void*>(&crt_fwrite)},
    {"vfprintf", reinterpret_cast<void*>(&crt_vfprintf)},
    {"_lock", reinterpret_cast<void*>(&crt_lock)},
    {"_unlock", reinterpret_cast<void*>(&crt_unlock)},
    {"_read", reinterpret_cast<void*>(&crt_read)},
    {"_close", reinterpret_cast<void*>(&crt_close)},
};

} // namespace

StandInList stdioStandIns() {
    return standIns("msvcrt.dll", kStandIns);
}

} // namespace winhost
