// The executable's address range in the substitute game as a Windows
// program: the program's own image reserves it (harness/wingame), so
// "mapping" it means finding it there, cleared and writable.

#include "sim/address_space.h"
#include "wingame/game_process.h"

#include <windows.h>

#include <cstring>

namespace sim::detail {

namespace {

constexpr game::Address FirstPage = MapBegin + 0x1000; // after the image header
bool codeProtected = false;

void* at(game::Address a) {
    return reinterpret_cast<void*>(static_cast<std::uintptr_t>(a));
}

bool inCode(game::Address a, std::size_t n) {
    return a < CodeEnd && a + n > MapBegin;
}

bool setProtection(game::Address from, std::size_t size, DWORD protection) {
    DWORD old = 0;
    return VirtualProtect(at(from), size, protection, &old) != 0;
}

} // namespace

bool mapHostRange() {
    const wingame::Range reserved = wingame::reservedRange();
    if (reinterpret_cast<std::uintptr_t>(GetModuleHandleA(nullptr)) != MapBegin ||
        reserved.begin != FirstPage || reserved.end < MapEnd)
        return false;
    if (!setProtection(FirstPage, MapEnd - FirstPage, PAGE_READWRITE)) return false;
    std::memset(at(FirstPage), 0, MapEnd - FirstPage);
    codeProtected = false;
    return true;
}

// The image cannot give the range back; it is cleared and made unreachable,
// as an unmapped range would be.
void unmapHostRange() {
    setProtection(FirstPage, MapEnd - FirstPage, PAGE_READWRITE);
    std::memset(at(FirstPage), 0, MapEnd - FirstPage);
    setProtection(FirstPage, MapEnd - FirstPage, PAGE_NOACCESS);
    codeProtected = false;
}

void writeBytes(game::Address a, const void* bytes, std::size_t count) {
    const bool lift = codeProtected && inCode(a, count);
    const std::uintptr_t page0 = a & ~0xFFFu;
    const std::uintptr_t page1 = (a + count + 0xFFFu) & ~0xFFFu;
    if (lift) setProtection(static_cast<game::Address>(page0), page1 - page0, PAGE_READWRITE);
    std::memcpy(at(a), bytes, count);
    if (lift) {
        setProtection(static_cast<game::Address>(page0), page1 - page0, PAGE_EXECUTE_READ);
        FlushInstructionCache(GetCurrentProcess(), at(a), count);
    }
}

// The image header keeps the loader's read-only protection.
void protectCode() {
    setProtection(FirstPage, CodeEnd - FirstPage, PAGE_EXECUTE_READ);
    FlushInstructionCache(GetCurrentProcess(), at(MapBegin), CodeEnd - MapBegin);
    codeProtected = true;
}

} // namespace sim::detail
