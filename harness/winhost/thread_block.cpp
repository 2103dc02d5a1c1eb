#include "winhost/thread_block.h"

#include "platform/platform.h"

#include <asm/ldt.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>

namespace winhost {
namespace {

constexpr unsigned kLdtEntry = 1;
constexpr std::uint32_t kTlsSlots = 64;

// Zeroed until installed: reads before that see no error and no TLS.
ThreadBlock g_fallback{};
ThreadBlock* g_block = nullptr;
void* g_tlsSlots[kTlsSlots] = {};

void stackBounds(void** base, void** limit) {
    pthread_attr_t attr;
    void* low = nullptr;
    std::size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        pthread_attr_getstack(&attr, &low, &size);
        pthread_attr_destroy(&attr);
    }
    *limit = low;
    *base = static_cast<char*>(low) + size;
}

} // namespace

bool installThreadBlock(std::string* error) {
    if (g_block != nullptr) return true;
    void* pages = mmap(nullptr, 0x2000, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pages == MAP_FAILED) {
        if (error) *error = "no memory for the thread block";
        return false;
    }
    auto* block = static_cast<ThreadBlock*>(pages);
    auto* process = reinterpret_cast<ProcessBlock*>(static_cast<char*>(pages) + 0x1000);
    block->exceptionList = reinterpret_cast<void*>(~std::uintptr_t(0));
    stackBounds(&block->stackBase, &block->stackLimit);
    block->self = block;
    block->processId = static_cast<DWORD>(getpid());
    block->threadId = static_cast<DWORD>(syscall(SYS_gettid));
    block->tlsPointer = g_tlsSlots;
    block->peb = process;
    process->imageBaseAddress = reinterpret_cast<void*>(platform::executableBase());

    user_desc desc{};
    desc.entry_number = kLdtEntry;
    desc.base_addr = static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(block));
    desc.limit = 0xFFF;
    desc.seg_32bit = 1;
    desc.useable = 1;
    if (syscall(SYS_modify_ldt, 1, &desc, sizeof desc) != 0) {
        munmap(pages, 0x2000);
        if (error) *error = "modify_ldt refused the thread block's descriptor";
        return false;
    }
    const std::uint16_t selector = (kLdtEntry << 3) | 0x4 /* LDT */ | 0x3 /* user */;
    asm volatile("movw %w0, %%fs" : : "q"(selector) : "memory");
    g_block = block;
    return true;
}

ThreadBlock& threadBlock() {
    return g_block != nullptr ? *g_block : g_fallback;
}

bool setTlsData(std::uint32_t index, void* data) {
    if (index >= kTlsSlots) return false;
    g_tlsSlots[index] = data;
    return true;
}

} // namespace winhost
