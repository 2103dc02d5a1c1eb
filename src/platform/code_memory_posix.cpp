#include "platform/code_memory.h"

#include <link.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace platform {

void* allocateExecutable(std::size_t size) {
    void* memory =
        mmap(nullptr, size, PROT_READ | PROT_WRITE | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return memory == MAP_FAILED ? nullptr : memory;
}

void freeExecutable(void* memory, std::size_t size) {
    if (memory) munmap(memory, size);
}

std::size_t codePageSize() {
    const long size = sysconf(_SC_PAGESIZE);
    return size > 0 ? static_cast<std::size_t>(size) : 4096u;
}

namespace {

struct SegmentProbe {
    std::uintptr_t address;
    bool executable;
};

int findExecutableSegment(dl_phdr_info* info, std::size_t, void* data) {
    auto* probe = static_cast<SegmentProbe*>(data);
    for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = info->dlpi_phdr[i];
        if (segment.p_type != PT_LOAD || !(segment.p_flags & PF_X)) continue;
        const std::uintptr_t start = info->dlpi_addr + segment.p_vaddr;
        if (probe->address >= start && probe->address - start < segment.p_memsz) {
            probe->executable = true;
            return 1;
        }
    }
    return 0;
}

} // namespace

bool isExecutable(const void* address) {
    // The kernel's list of this process's mappings, one per line:
    // "start-end perms offset dev inode path", addresses in hex.
    std::FILE* maps = std::fopen("/proc/self/maps", "r");
    if (!maps) return false;
    const auto where = reinterpret_cast<std::uintptr_t>(address);
    bool mapped = false;
    bool executable = false;
    char line[512];
    bool atLineStart = true;
    while (std::fgets(line, sizeof line, maps)) {
        // A path longer than the buffer leaves the rest of its line for the
        // next reads; only the start of a line describes a mapping.
        const bool lineStart = atLineStart;
        atLineStart = std::strchr(line, '\n') != nullptr;
        if (!lineStart) continue;
        std::uintmax_t start = 0, end = 0;
        char perms[5] = {};
        if (std::sscanf(line, "%jx-%jx %4s", &start, &end, perms) != 3) continue;
        if (where >= start && where < end) {
            mapped = true;
            executable = perms[2] == 'x';
            break;
        }
    }
    std::fclose(maps);
    if (!mapped) return false;
    if (executable) return true;
    // User-mode emulators list the code segments of loaded modules without
    // 'x' (they never execute them natively); the modules' own program
    // headers still say what is code.
    SegmentProbe probe{where, false};
    dl_iterate_phdr(findExecutableSegment, &probe);
    return probe.executable;
}

// Tests and the substitute host rewrite code from a single thread; there is
// nothing to hold.
bool OtherThreads::suspend() noexcept {
    return true;
}
void OtherThreads::resume() noexcept {
    threads_.clear();
}
bool OtherThreads::moveInstructionPointers(MoveFunction, void*) noexcept {
    return true;
}

} // namespace platform
