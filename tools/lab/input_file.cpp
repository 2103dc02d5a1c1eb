#include "lab/input_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

// The runner is also a Windows program (under Wine): no FIFOs or sockets to
// block on there, and files must be opened as bytes, not text.
#ifndef O_NONBLOCK
#define O_NONBLOCK 0
#endif
#ifndef O_CLOEXEC
#define O_CLOEXEC 0
#endif
#ifndef O_BINARY
#define O_BINARY 0
#endif

namespace lab {
namespace {

std::string typeProblem(mode_t mode) {
    if (S_ISREG(mode)) return "";
    if (S_ISDIR(mode)) return "is a folder";
    if (S_ISFIFO(mode)) return "is a FIFO";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "is a device";
#ifdef S_ISSOCK
    if (S_ISSOCK(mode)) return "is a socket";
#endif
    return "is not a plain file";
}

std::string sizeProblem(std::uint64_t size, std::uint64_t limit) {
    if (size <= limit) return "";
    return "is larger than " + std::to_string((limit + kMiB - 1) / kMiB) + " MB";
}

std::string cannotRead(int error, bool* unreadable) {
    if (unreadable != nullptr) *unreadable = true;
    return std::string("cannot be read (") + std::strerror(error) + ")";
}

template <class Bytes>
std::string readWhole(const std::string& path, std::uint64_t limit, Bytes& bytes,
                      bool* unreadable) {
    bytes.clear();
    // The type is known before the file is opened: opening a FIFO or a device
    // can block or act on the device.
    std::string problem = inputFileProblem(path, limit, unreadable);
    if (!problem.empty()) return problem;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_BINARY);
    if (fd < 0) return cannotRead(errno, unreadable);
    // Checked again on what was opened, in case the name was replaced meanwhile.
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        problem = cannotRead(errno, unreadable);
    } else {
        problem = typeProblem(st.st_mode);
    }
    if (problem.empty()) problem = sizeProblem(static_cast<std::uint64_t>(st.st_size), limit);
    char buffer[65536];
    while (problem.empty()) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            problem = cannotRead(errno, unreadable);
            break;
        }
        // A file that grows while it is read is held to the same limit.
        if (bytes.size() + static_cast<std::uint64_t>(n) > limit) {
            problem = sizeProblem(limit + 1, limit);
            break;
        }
        bytes.insert(bytes.end(), buffer, buffer + n);
    }
    ::close(fd);
    if (!problem.empty()) bytes.clear();
    return problem;
}

} // namespace

std::string inputFileProblem(const std::string& path, std::uint64_t limit, bool* unreadable) {
    if (unreadable != nullptr) *unreadable = false;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return cannotRead(errno, unreadable);
    std::string problem = typeProblem(st.st_mode);
    if (problem.empty()) problem = sizeProblem(static_cast<std::uint64_t>(st.st_size), limit);
    if (problem.empty() && ::access(path.c_str(), R_OK) != 0) return cannotRead(errno, unreadable);
    return problem;
}

std::string readInputFile(const std::string& path, std::uint64_t limit, std::string& bytes,
                          bool* unreadable) {
    return readWhole(path, limit, bytes, unreadable);
}

std::string readInputFile(const std::string& path, std::uint64_t limit,
                          std::vector<std::uint8_t>& bytes, bool* unreadable) {
    return readWhole(path, limit, bytes, unreadable);
}

std::string shownWord(const std::string& word, std::size_t limit) {
    std::size_t end = word.size();
    bool cut = false;
    if (end > limit) {
        end = limit;
        // Back to the start of a UTF-8 sequence, so the cut leaves whole characters.
        while (end > 0 && (static_cast<unsigned char>(word[end]) & 0xC0) == 0x80)
            --end;
        cut = true;
    }
    std::string shown;
    shown.reserve(end + 3);
    for (std::size_t i = 0; i < end; ++i) {
        const unsigned char c = static_cast<unsigned char>(word[i]);
        shown += c < 0x20 || c == 0x7F ? '?' : static_cast<char>(c);
    }
    if (cut) shown += "...";
    return shown;
}

} // namespace lab
