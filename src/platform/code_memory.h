#pragma once

// What the inline-hook engine needs from the operating system besides page
// protection and the instruction cache (platform.h): pages for trampolines,
// the executable test, and holding the process's other threads still while
// code they may be running is rewritten.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace platform {

// Readable, writable and executable memory of at least `size` bytes
// (VirtualAlloc / mmap), page aligned; nullptr when none is available. A
// rel32 jump reaches every address of a 32-bit process, so where it lies
// does not matter.
void* allocateExecutable(std::size_t size);

// Releases memory from allocateExecutable; `size` is the size asked for.
void freeExecutable(void* memory, std::size_t size);

// The allocation granule of allocateExecutable (the page size).
std::size_t codePageSize();

// True when `address` lies in committed memory that may be executed.
bool isExecutable(const void* address);

// The process's other threads, suspended for as long as this object holds
// them. On POSIX it holds none: the programs that rewrite code there are
// single-threaded.
class OtherThreads {
  public:
    OtherThreads() = default;
    OtherThreads(const OtherThreads&) = delete;
    OtherThreads& operator=(const OtherThreads&) = delete;
    ~OtherThreads() { resume(); }

    // Suspends every other thread of the process (a thread that ended since
    // the list was taken is skipped). False when the list was unavailable or
    // incomplete, or a thread could not be held; those that could are held.
    bool suspend() noexcept;

    // Resumes what suspend() stopped; harmless when nothing is held. A
    // resume the system refused is asked again: a thread left held would
    // stop the game.
    void resume() noexcept;

    // Calls `move` with each held thread's instruction pointer and writes a
    // changed result back, so that no thread resumes inside bytes that were
    // rewritten under it. False when a thread's place could not be read, or a
    // move it needed could not be written (each asked twice).
    using MoveFunction = std::uintptr_t (*)(std::uintptr_t ip, void* context);
    bool moveInstructionPointers(MoveFunction move, void* context) noexcept;

    std::size_t count() const { return threads_.size(); }

  private:
    std::vector<void*> threads_; // thread handles (ids while being listed)
};

} // namespace platform
