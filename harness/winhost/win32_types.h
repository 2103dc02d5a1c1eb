#pragma once

// Windows' types and constants as the stand-ins hand them to 32-bit Windows
// code: the records keep Windows' layouts, the functions its conventions
// (kernel32 and user32 callee-cleaned, msvcrt caller-cleaned).

#include <cstdint>

// Windows code keeps only 4-byte stack alignment; the stand-ins realign.
#define WINHOST_API __attribute__((stdcall, force_align_arg_pointer))
#define WINHOST_CRT __attribute__((cdecl, force_align_arg_pointer))

namespace winhost {

using BOOL = int;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using HANDLE = void*;
using HMODULE = void*;
using WCHAR = std::uint16_t;

inline HANDLE const kInvalidHandle = reinterpret_cast<HANDLE>(~std::uintptr_t(0));

// GetLastError codes the stand-ins set.
constexpr DWORD kErrorFileNotFound = 2;
constexpr DWORD kErrorPathNotFound = 3;
constexpr DWORD kErrorAccessDenied = 5;
constexpr DWORD kErrorInvalidHandle = 6;
constexpr DWORD kErrorNotEnoughMemory = 8;
constexpr DWORD kErrorInvalidParameter = 87;
constexpr DWORD kErrorInsufficientBuffer = 122;
constexpr DWORD kErrorModNotFound = 126;
constexpr DWORD kErrorProcNotFound = 127;
constexpr DWORD kErrorNoMoreFiles = 18;
constexpr DWORD kErrorWriteFault = 29;
constexpr DWORD kErrorInvalidAddress = 487;
constexpr DWORD kErrorTooManyPosts = 298;

constexpr DWORD kPageNoAccess = 0x01, kPageReadOnly = 0x02, kPageReadWrite = 0x04,
                kPageWriteCopy = 0x08, kPageExecute = 0x10, kPageExecuteRead = 0x20,
                kPageExecuteReadWrite = 0x40, kPageExecuteWriteCopy = 0x80;
constexpr DWORD kMemCommit = 0x1000, kMemReserve = 0x2000, kMemRelease = 0x8000, kMemFree = 0x10000,
                kMemPrivate = 0x20000, kMemImage = 0x1000000;

struct MemoryBasicInformation {
    void* baseAddress;
    void* allocationBase;
    DWORD allocationProtect;
    DWORD regionSize;
    DWORD state;
    DWORD protect;
    DWORD type;
};

struct SystemInfo {
    std::uint16_t processorArchitecture, reserved;
    DWORD pageSize;
    void* minimumApplicationAddress;
    void* maximumApplicationAddress;
    DWORD activeProcessorMask;
    DWORD numberOfProcessors;
    DWORD processorType;
    DWORD allocationGranularity;
    std::uint16_t processorLevel, processorRevision;
};

// CRITICAL_SECTION's fields, kept as Windows lays them out (24 bytes): code
// that embeds one in its own records (the CRT's FILE) relies on the size.
struct CriticalSection {
    void* debugInfo;
    LONG lockCount;
    LONG recursionCount;
    HANDLE owningThread;
    HANDLE lockSemaphore;
    DWORD spinCount;
};
static_assert(sizeof(CriticalSection) == 24, "CRITICAL_SECTION");

struct ThreadEntry32 {
    DWORD size;
    DWORD usage;
    DWORD threadId;
    DWORD ownerProcessId;
    LONG basePriority;
    LONG deltaPriority;
    DWORD flags;
};
constexpr DWORD kSnapThread = 0x4;

// The i386 CONTEXT record.
constexpr DWORD kContextI386 = 0x00010000;
constexpr DWORD kContextControl = kContextI386 | 0x1; // ebp eip cs eflags esp ss
constexpr DWORD kContextInteger = kContextI386 | 0x2; // edi esi ebx edx ecx eax
constexpr DWORD kContextSegments = kContextI386 | 0x4;
struct Context {
    DWORD contextFlags;
    DWORD dr0, dr1, dr2, dr3, dr6, dr7;
    std::uint8_t floatSave[112];
    DWORD segGs, segFs, segEs, segDs;
    DWORD edi, esi, ebx, edx, ecx, eax;
    DWORD ebp, eip, segCs, eflags, esp, segSs;
    std::uint8_t extendedRegisters[512];
};
static_assert(sizeof(Context) == 716, "CONTEXT");

struct ExceptionRecord {
    DWORD code;
    DWORD flags;
    ExceptionRecord* next;
    void* address;
    DWORD parameterCount;
    std::uintptr_t information[15];
};

struct ExceptionPointers {
    ExceptionRecord* record;
    Context* context;
};
using VectoredHandler = LONG(__attribute__((stdcall)) *)(ExceptionPointers*);
constexpr LONG kContinueSearch = 0;
constexpr LONG kContinueExecution = -1;

} // namespace winhost
