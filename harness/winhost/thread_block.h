#pragma once

// The thread environment block Windows code finds through FS: its own
// address at fs:0x18, the stack bounds, the thread-local storage array at
// fs:0x2C, the process block and the last error. Only the process's one real
// thread has one.

#include "winhost/win32_types.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace winhost {

struct ThreadBlock {
    void* exceptionList; // 0x00: end of the (unused) SEH chain
    void* stackBase;     // 0x04
    void* stackLimit;    // 0x08
    void* subSystemTib;  // 0x0C
    void* fiberData;     // 0x10
    void* arbitraryUserPointer;
    ThreadBlock* self;        // 0x18
    void* environment;        // 0x1C
    DWORD processId;          // 0x20
    DWORD threadId;           // 0x24
    void* activeRpcHandle;    // 0x28
    void** tlsPointer;        // 0x2C: one data block per image with TLS
    struct ProcessBlock* peb; // 0x30
    DWORD lastError;          // 0x34
};
static_assert(offsetof(ThreadBlock, tlsPointer) == 0x2C, "TEB layout");
static_assert(offsetof(ThreadBlock, lastError) == 0x34, "TEB layout");

struct ProcessBlock {
    std::uint8_t inheritedAddressSpace, readImageFileExecOptions, beingDebugged, bitField;
    void* mutant;
    void* imageBaseAddress; // 0x08
};

// Makes the thread block and loads FS with a descriptor of it (once). False
// with the reason when the system refuses the descriptor.
bool installThreadBlock(std::string* error);
ThreadBlock& threadBlock();

// The implicit TLS slot array: slot `index` gets `data`. False when full.
bool setTlsData(std::uint32_t index, void* data);

} // namespace winhost
