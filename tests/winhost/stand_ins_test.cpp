// The stand-ins called as the DLL calls them (through the binding table,
// with Windows' conventions), on the contracts the product can observe.

#include "platform/platform.h"
#include "scratch_dir.h"
#include "winhost/call_counts.h"
#include "winhost/game_threads.h"
#include "winhost/process.h"
#include "winhost/stand_ins.h"

#include <sys/mman.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

namespace {

using winhost::DWORD;
#define STDCALL __attribute__((stdcall))

template <class Fn> Fn kernel32(const char* name) {
    void* f = winhost::findStandIn("KERNEL32.dll", name);
    EXPECT_NE(f, nullptr) << name;
    return reinterpret_cast<Fn>(f);
}

template <class Fn> Fn msvcrt(const char* name) {
    return reinterpret_cast<Fn>(winhost::findStandIn("msvcrt.dll", name));
}

DWORD lastError() {
    return kernel32<DWORD(STDCALL*)()>("GetLastError")();
}

TEST(Msvcrt, TextModeWritesCrLfAndBinaryModeDoesNot) {
    bwtest::ScratchDir dir;
    winhost::mapDrive(dir.file(""));
    auto fopen = msvcrt<void* (*)(const char*, const char*)>("fopen");
    auto fputc = msvcrt<int (*)(int, void*)>("fputc");
    auto fputs = msvcrt<int (*)(const char*, void*)>("fputs");
    auto fwrite = msvcrt<std::size_t (*)(const void*, std::size_t, std::size_t, void*)>("fwrite");
    auto fclose = msvcrt<int (*)(void*)>("fclose");
    auto* iob = msvcrt<char*>("_iob");

    void* text = fopen("C:\\log.txt", "a");
    ASSERT_NE(text, nullptr);
    // Outside `_iob`, with its lock where MinGW's stdio takes it.
    EXPECT_FALSE(text >= iob && text < iob + 20 * 32);
    EXPECT_EQ(*reinterpret_cast<winhost::LONG*>(static_cast<char*>(text) + 0x24), -1);
    EXPECT_EQ(fputs("a\nb", text), 0);
    EXPECT_EQ(fputc('\n', text), '\n');
    EXPECT_EQ(fwrite("c\n", 1, 2, text), 2u);
    EXPECT_EQ(fclose(text), 0);
    void* binary = fopen("C:\\log.txt", "ab");
    ASSERT_NE(binary, nullptr);
    fputs("d\n", binary);
    fclose(binary);
    EXPECT_EQ(bwtest::readFile(dir.file("log.txt")), "a\r\nb\r\nc\r\nd\n");

    EXPECT_EQ(fopen("C:\\missing\\log.txt", "a"), nullptr);
    EXPECT_EQ(*msvcrt<int* (*)()>("_errno")(), ENOENT);
    EXPECT_EQ(fclose(iob + 32), -1) << "the standard streams are not closed";
}

TEST(Kernel32, ModuleQueriesByAddressNameAndFlags) {
    void* image = ::mmap(nullptr, 0x2000, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    const auto base = reinterpret_cast<std::uintptr_t>(image);
    platform::testing::setExecutableBase(base);
    winhost::setExecutableImage(0x2000, "C:\\Games\\gta3.exe");
    auto handleEx = kernel32<int(STDCALL*)(DWORD, const void*, void**)>("GetModuleHandleExA");
    auto handle = kernel32<void*(STDCALL*)(const char*)>("GetModuleHandleA");
    auto fileName = kernel32<DWORD(STDCALL*)(void*, char*, DWORD)>("GetModuleFileNameA");

    void* found = nullptr;
    EXPECT_TRUE(handleEx(6, reinterpret_cast<const void*>(base + 0x1234), &found));
    EXPECT_EQ(found, image);
    EXPECT_TRUE(handleEx(5, reinterpret_cast<const void*>(base + 1), &found))
        << "pinned by address";
    EXPECT_TRUE(winhost::executableModule().pinned);
    EXPECT_FALSE(handleEx(3, nullptr, &found)) << "pin with an unchanged count is a contradiction";
    EXPECT_EQ(lastError(), winhost::kErrorInvalidParameter);
    found = image;
    EXPECT_FALSE(handleEx(6, reinterpret_cast<const void*>(base + 0x2000), &found));
    EXPECT_EQ(found, nullptr);
    EXPECT_EQ(lastError(), winhost::kErrorModNotFound);

    EXPECT_EQ(handle(nullptr), image);
    EXPECT_EQ(handle("libgcc_s_dw2-1.dll"), nullptr);
    EXPECT_NE(handle("KERNEL32.DLL"), nullptr);

    char path[8];
    EXPECT_EQ(fileName(image, path, sizeof path), sizeof path) << "cut, unterminated, and said so";
    EXPECT_EQ(std::string(path, sizeof path), "C:\\Games");
    EXPECT_EQ(lastError(), winhost::kErrorInsufficientBuffer);
    char full[64];
    EXPECT_EQ(fileName(nullptr, full, sizeof full), 17u);
    EXPECT_STREQ(full, "C:\\Games\\gta3.exe");
    ::munmap(image, 0x2000);
}

struct Mbi {
    void* base;
    void* allocationBase;
    DWORD allocationProtect, size, state, protect, type;
};

TEST(Kernel32, MemoryIsQueriedAndProtectedOverRealMappings) {
    auto query = kernel32<DWORD(STDCALL*)(const void*, Mbi*, DWORD)>("VirtualQuery");
    auto protect = kernel32<int(STDCALL*)(void*, DWORD, DWORD, DWORD*)>("VirtualProtect");
    auto* pages = static_cast<char*>(
        ::mmap(nullptr, 0x3000, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ::munmap(pages + 0x2000, 0x1000); // a hole after two pages

    Mbi m{};
    ASSERT_EQ(query(pages + 0x1010, &m, sizeof m), sizeof m);
    EXPECT_EQ(m.base, pages + 0x1000) << "from the page holding the address";
    EXPECT_EQ(m.state, winhost::kMemCommit);
    EXPECT_EQ(m.protect, winhost::kPageReadWrite);
    DWORD old = 0;
    EXPECT_TRUE(protect(pages + 0x10, 4, winhost::kPageExecuteRead, &old));
    EXPECT_EQ(old, winhost::kPageReadWrite);
    ASSERT_EQ(query(pages, &m, sizeof m), sizeof m);
    EXPECT_EQ(m.protect, winhost::kPageExecuteRead);
    EXPECT_EQ(m.size, 0x1000u);
    ASSERT_EQ(query(pages + 0x2000, &m, sizeof m), sizeof m);
    EXPECT_EQ(m.state, winhost::kMemFree);

    EXPECT_FALSE(protect(pages, 4, winhost::kPageReadWrite, nullptr))
        << "the old protection has nowhere to go";
    EXPECT_FALSE(protect(pages + 0x2000, 4, winhost::kPageReadWrite, &old));
    // The Nth use fails, the next succeeds again.
    winhost::failOnUse("VirtualProtect", 2);
    EXPECT_TRUE(protect(pages, 4, winhost::kPageReadWrite, &old));
    EXPECT_FALSE(protect(pages, 4, winhost::kPageReadWrite, &old));
    EXPECT_EQ(lastError(), winhost::kErrorAccessDenied);
    EXPECT_TRUE(protect(pages, 4, winhost::kPageReadWrite, &old));
    ::munmap(pages, 0x2000);
}

TEST(Kernel32, ProfileReadsThroughTheMappedDrive) {
    bwtest::ScratchDir dir;
    winhost::mapDrive(dir.file(""));
    dir.write("b.ini", "[General]\nName = \"quoted value\" \nCount=0x10\n");
    auto text =
        kernel32<DWORD(STDCALL*)(const char*, const char*, const char*, char*, DWORD, const char*)>(
            "GetPrivateProfileStringA");
    auto number = kernel32<DWORD(STDCALL*)(const char*, const char*, int, const char*)>(
        "GetPrivateProfileIntA");
    char out[32];
    EXPECT_EQ(text("general", "NAME", "x", out, sizeof out, "C:\\b.ini"), 12u);
    EXPECT_STREQ(out, "quoted value");
    EXPECT_EQ(text("General", "Name", "x", out, 5, "C:\\b.ini"), 4u);
    EXPECT_STREQ(out, "quot");
    EXPECT_EQ(number("General", "Count", 7, "C:\\b.ini"), 16u);
    EXPECT_EQ(number("General", "Missing", 7, "C:\\b.ini"), 7u);
}

TEST(Kernel32, ThreadsAreListedHeldAndResumed) {
    using ThreadEntry = winhost::ThreadEntry32;
    auto snapshot = kernel32<void*(STDCALL*)(DWORD, DWORD)>("CreateToolhelp32Snapshot");
    auto first = kernel32<int(STDCALL*)(void*, ThreadEntry*)>("Thread32First");
    auto next = kernel32<int(STDCALL*)(void*, ThreadEntry*)>("Thread32Next");
    auto open = kernel32<void*(STDCALL*)(DWORD, int, DWORD)>("OpenThread");
    auto suspend = kernel32<DWORD(STDCALL*)(void*)>("SuspendThread");
    auto resume = kernel32<DWORD(STDCALL*)(void*)>("ResumeThread");
    auto close = kernel32<int(STDCALL*)(void*)>("CloseHandle");
    auto self = kernel32<DWORD(STDCALL*)()>("GetCurrentThreadId")();
    const DWORD game = winhost::addGameThread(winhost::Context{});

    void* s = snapshot(winhost::kSnapThread, 0);
    ThreadEntry e{};
    e.size = sizeof e;
    int listed = 0, ours = 0;
    for (bool more = first(s, &e); more; more = next(s, &e)) {
        ++listed;
        ours += e.threadId == self || e.threadId == game;
    }
    EXPECT_EQ(lastError(), winhost::kErrorNoMoreFiles);
    EXPECT_EQ(ours, 2);
    EXPECT_GT(listed, ours) << "another process's thread is listed too";
    close(s);

    EXPECT_EQ(open(0x1A, 0, self), nullptr) << "the caller never holds itself";
    void* t = open(0x1A, 0, game);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(suspend(t), 0u);
    EXPECT_EQ(suspend(t), 1u);
    EXPECT_EQ(winhost::suspendCount(game), 2u);
    EXPECT_EQ(resume(t), 2u);
    EXPECT_EQ(resume(t), 1u);
    EXPECT_EQ(resume(t), 0u) << "resuming a running thread changes nothing";
    EXPECT_TRUE(close(t));
    EXPECT_FALSE(close(t));
    winhost::removeGameThreads();
}

} // namespace

namespace {

winhost::ExceptionRecord g_seen{};
winhost::Context g_context{};
bool g_armed = false;

// Steps over the faulting instruction (`skip` bytes) and carries on.
winhost::LONG STDCALL stepOver(winhost::ExceptionPointers* p) {
    if (!g_armed) return winhost::kContinueSearch;
    g_armed = false;
    g_seen = *p->record;
    g_context = *p->context;
    p->context->eip += p->record->code == 0x80000003u ? 1 : 2;
    p->context->ecx = 42;
    return winhost::kContinueExecution;
}

TEST(Kernel32, RealFaultsReachVectoredHandlersAsWindowsDescribesThem) {
    auto add =
        kernel32<void*(STDCALL*)(DWORD, winhost::VectoredHandler)>("AddVectoredExceptionHandler");
    ASSERT_NE(add(1, &stepOver), nullptr);

    g_armed = true;
    unsigned result = 0;
    // A read through null: "mov (%eax), %ecx" is two bytes.
    asm volatile("xorl %%eax, %%eax\n\tmovl (%%eax), %%ecx\n\tmovl %%ecx, %0"
                 : "=r"(result)
                 :
                 : "eax", "ecx", "memory");
    EXPECT_EQ(result, 42u) << "the handler's context went back to the thread";
    EXPECT_EQ(g_seen.code, 0xC0000005u);
    ASSERT_EQ(g_seen.parameterCount, 2u);
    EXPECT_EQ(g_seen.information[0], 0u) << "a read";
    EXPECT_EQ(g_seen.information[1], 0u) << "at address 0";
    EXPECT_EQ(g_context.eax, 0u);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(g_seen.address), g_context.eip);

    g_armed = true;
    asm volatile("int3" : : : "ecx", "memory");
    EXPECT_EQ(g_seen.code, 0x80000003u);
    EXPECT_EQ(*reinterpret_cast<const std::uint8_t*>(g_seen.address), 0xCC)
        << "the breakpoint itself";
}

} // namespace
