#include "hook/MinHook.h"

#include "compiled_targets.h"
#include "hook/trampoline.h"
#include "platform/code_memory.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <vector>

namespace {

std::uintptr_t address(const void* p) {
    return reinterpret_cast<std::uintptr_t>(p);
}

// ---- detours ----------------------------------------------------------------

using Cdecl2 = int (*)(int, int);
using Fastcall2 = int(__attribute__((fastcall)) *)(int, int);
using Cdecl3 = int (*)(int, int, int);
using Thiscall1 = int(__attribute__((thiscall)) *)(Counter*, int);

struct DetourLog {
    int calls = 0;
    int a = 0;
    int b = 0;
    const void* self = nullptr;
};
DetourLog detourLog;

void* originalFunction = nullptr; // the trampoline MH_CreateHook handed out

int cdeclDetour(int a, int b) {
    ++detourLog.calls;
    detourLog.a = a;
    detourLog.b = b;
    return reinterpret_cast<Cdecl2>(originalFunction)(a, b) + 1000;
}

__attribute__((fastcall)) int fastcallDetour(int a, int b) {
    ++detourLog.calls;
    detourLog.a = a;
    detourLog.b = b;
    return reinterpret_cast<Fastcall2>(originalFunction)(a, b) + 1000;
}

int compiledCdeclDetour(int a, int b, int c) {
    ++detourLog.calls;
    detourLog.a = a;
    detourLog.b = c;
    return reinterpret_cast<Cdecl3>(originalFunction)(a, b, c) * 2;
}

__attribute__((thiscall)) int compiledThiscallDetour(Counter* self, int x) {
    ++detourLog.calls;
    detourLog.self = self;
    detourLog.a = x;
    return reinterpret_cast<Thiscall1>(originalFunction)(self, x) + 1;
}

// ---- hand-assembled functions -----------------------------------------------

// Layout of a page of hand-assembled code: the function, an out-of-line body
// it may branch to, a PIC thunk, and a data word.
constexpr unsigned kBodyAt = 64;
constexpr unsigned kThunkAt = 96;
constexpr unsigned kDataAt = 256;
constexpr int kData = 5000;

// Bytes for one place in the page, with rel32 fields computed from where
// they will sit.
struct Piece {
    std::uintptr_t base;
    unsigned offset;
    std::vector<std::uint8_t> bytes;

    Piece(std::uintptr_t pageBase, unsigned at) : base(pageBase), offset(at) {}
    Piece& b(std::initializer_list<std::uint8_t> list) {
        bytes.insert(bytes.end(), list);
        return *this;
    }
    Piece& d32(std::uint32_t v) {
        for (int i = 0; i < 4; ++i)
            bytes.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
        return *this;
    }
    // A rel32 field ending here, leading to `destination`.
    Piece& rel32(std::uintptr_t destination) {
        return d32(static_cast<std::uint32_t>(destination - (base + offset + bytes.size() + 4)));
    }
};

enum class Convention { cdecl, fastcall };

struct Shape {
    const char* text;
    Convention convention;
    std::vector<Piece> (*assemble)(std::uintptr_t base);
    int (*expected)(int a, int b);
};

int difference(int a, int b) {
    return a - b;
}
int differencePlusData(int a, int b) {
    return a - b + kData;
}
int differencePlusHelper(int a, int b) {
    return a - b + 300;
}
int minusOneIfNegative(int a, int b) {
    return a < 0 ? -1 : a - b;
}
int sevenSevenSevenIfZero(int a, int b) {
    return a == 0 ? 777 : a - b;
}

// "mov eax, [esp+4]; sub eax, [esp+8]; ret" continues most shapes.
const std::initializer_list<std::uint8_t> kCdeclTail = {0x8B, 0x44, 0x24, 0x04, 0x2B,
                                                        0x44, 0x24, 0x08, 0xC3};

const Shape kShapes[] = {
    {"push ebp; mov ebp, esp; [ebp+disp8]", Convention::cdecl,
     [](std::uintptr_t base) {
         return std::vector<Piece>{
             Piece(base, 0).b({0x55, 0x89, 0xE5, 0x8B, 0x45, 0x08, 0x2B, 0x45, 0x0C, 0x5D, 0xC3})};
     },
     difference},
    {"push ebp; mov ebp, esp; [ebp+disp32]", Convention::cdecl,
     [](std::uintptr_t base) {
         return std::vector<Piece>{Piece(base, 0).b(
             {0x55, 0x89, 0xE5, 0x8B, 0x85, 0x08, 0, 0, 0, 0x2B, 0x85, 0x0C, 0, 0, 0, 0x5D, 0xC3})};
     },
     difference},
    {"hot-patch prologue mov edi, edi; push ebp; mov ebp, esp", Convention::cdecl,
     [](std::uintptr_t base) {
         return std::vector<Piece>{Piece(base, 0).b(
             {0x8B, 0xFF, 0x55, 0x8B, 0xEC, 0x8B, 0x45, 0x08, 0x2B, 0x45, 0x0C, 0x5D, 0xC3})};
     },
     difference},
    {"[esp+disp8] through a SIB byte", Convention::cdecl,
     [](std::uintptr_t base) { return std::vector<Piece>{Piece(base, 0).b(kCdeclTail)}; },
     difference},
    {"sub esp, imm8", Convention::cdecl,
     [](std::uintptr_t base) {
         return std::vector<Piece>{Piece(base, 0).b({0x83, 0xEC, 0x10, 0x8B, 0x44, 0x24, 0x14, 0x2B,
                                                     0x44, 0x24, 0x18, 0x83, 0xC4, 0x10, 0xC3})};
     },
     difference},
    {"sub esp, imm32; [esp+disp32] through a SIB byte", Convention::cdecl,
     [](std::uintptr_t base) {
         return std::vector<Piece>{
             Piece(base, 0).b({0x81, 0xEC, 0x00, 0x01, 0x00, 0x00, //
                               0x8B, 0x84, 0x24, 0x04, 0x01, 0x00, 0x00, 0x2B, 0x84, 0x24, 0x08,
                               0x01, 0x00, 0x00, 0x81, 0xC4, 0x00, 0x01, 0x00, 0x00, 0xC3})};
     },
     difference},
    {"operand without displacement", Convention::cdecl,
     [](std::uintptr_t base) {
         // mov ecx, esp; add ecx, 4; mov eax, [ecx]; sub eax, [ecx+4]; ret
         return std::vector<Piece>{
             Piece(base, 0).b({0x89, 0xE1, 0x83, 0xC1, 0x04, 0x8B, 0x01, 0x2B, 0x41, 0x04, 0xC3})};
     },
     difference},
    {"absolute memory operand", Convention::cdecl,
     [](std::uintptr_t base) {
         // mov ecx, [data]; mov eax, [esp+4]; sub eax, [esp+8]; add eax, ecx; ret
         return std::vector<Piece>{
             Piece(base, 0)
                 .b({0x8B, 0x0D})
                 .d32(static_cast<std::uint32_t>(base + kDataAt))
                 .b({0x8B, 0x44, 0x24, 0x04, 0x2B, 0x44, 0x24, 0x08, 0x01, 0xC8, 0xC3})};
     },
     differencePlusData},
    {"relative call first", Convention::cdecl,
     [](std::uintptr_t base) {
         // call compiledHelper; add eax, [esp+4]; sub eax, [esp+8]; ret
         return std::vector<Piece>{Piece(base, 0)
                                       .b({0xE8})
                                       .rel32(address(reinterpret_cast<void*>(&compiledHelper)))
                                       .b({0x03, 0x44, 0x24, 0x04, 0x2B, 0x44, 0x24, 0x08, 0xC3})};
     },
     differencePlusHelper},
    {"relative jump first", Convention::cdecl,
     [](std::uintptr_t base) {
         return std::vector<Piece>{Piece(base, 0).b({0xE9}).rel32(base + kBodyAt),
                                   Piece(base, kBodyAt).b(kCdeclTail)};
     },
     difference},
    {"short jump inside the first five bytes", Convention::cdecl,
     [](std::uintptr_t base) {
         // mov eax, [esp+4]; jmp short body; body: sub eax, [esp+8]; ret
         return std::vector<Piece>{Piece(base, 0).b({0x8B, 0x44, 0x24, 0x04, 0xEB, kBodyAt - 6}),
                                   Piece(base, kBodyAt).b({0x2B, 0x44, 0x24, 0x08, 0xC3})};
     },
     difference},
    {"short conditional jump inside the first five bytes", Convention::fastcall,
     [](std::uintptr_t base) {
         // test ecx, ecx; js negative; mov eax, ecx; sub eax, edx; ret
         // negative: mov eax, -1; ret
         return std::vector<Piece>{
             Piece(base, 0).b({0x85, 0xC9, 0x78, kBodyAt - 4, 0x89, 0xC8, 0x29, 0xD0, 0xC3}),
             Piece(base, kBodyAt).b({0xB8, 0xFF, 0xFF, 0xFF, 0xFF, 0xC3})};
     },
     minusOneIfNegative},
    {"near conditional jump", Convention::fastcall,
     [](std::uintptr_t base) {
         return std::vector<Piece>{Piece(base, 0)
                                       .b({0x85, 0xC9, 0x0F, 0x88})
                                       .rel32(base + kBodyAt)
                                       .b({0x89, 0xC8, 0x29, 0xD0, 0xC3}),
                                   Piece(base, kBodyAt).b({0xB8, 0xFF, 0xFF, 0xFF, 0xFF, 0xC3})};
     },
     minusOneIfNegative},
    {"jecxz first", Convention::fastcall,
     [](std::uintptr_t base) {
         // jecxz zero; mov eax, ecx; sub eax, edx; ret   zero: mov eax, 777; ret
         return std::vector<Piece>{
             Piece(base, 0).b({0xE3, kBodyAt - 2, 0x89, 0xC8, 0x29, 0xD0, 0xC3}),
             Piece(base, kBodyAt).b({0xB8}).d32(777).b({0xC3})};
     },
     sevenSevenSevenIfZero},
    {"PIC thunk call first", Convention::cdecl,
     [](std::uintptr_t base) {
         // call thunk.ax; mov eax, [eax + data - (base+5)]; add eax, [esp+4]; sub eax, [esp+8]; ret
         return std::vector<Piece>{Piece(base, 0)
                                       .b({0xE8})
                                       .rel32(base + kThunkAt)
                                       .b({0x8B, 0x80})
                                       .d32(static_cast<std::uint32_t>(kDataAt - 5))
                                       .b({0x03, 0x44, 0x24, 0x04, 0x2B, 0x44, 0x24, 0x08, 0xC3}),
                                   Piece(base, kThunkAt).b({0x8B, 0x04, 0x24, 0xC3})};
     },
     differencePlusData},
    {"call to the next instruction, then pop", Convention::cdecl,
     [](std::uintptr_t base) {
         // call $+5; pop eax; mov eax, [eax + data - (base+5)]; ...
         return std::vector<Piece>{Piece(base, 0)
                                       .b({0xE8, 0, 0, 0, 0, 0x58, 0x8B, 0x80})
                                       .d32(static_cast<std::uint32_t>(kDataAt - 5))
                                       .b({0x03, 0x44, 0x24, 0x04, 0x2B, 0x44, 0x24, 0x08, 0xC3})};
     },
     differencePlusData},
};

const int kArguments[][2] = {{7, 3}, {-5, 2}, {0, 9}, {123456, -654321}};

int callAs(Convention convention, void* function, int a, int b) {
    if (convention == Convention::cdecl) return reinterpret_cast<Cdecl2>(function)(a, b);
    return reinterpret_cast<Fastcall2>(function)(a, b);
}

void* detourFor(Convention convention) {
    return convention == Convention::cdecl ? reinterpret_cast<void*>(&cdeclDetour)
                                           : reinterpret_cast<void*>(&fastcallDetour);
}

// A page of executable memory holding one assembled shape.
class CodePage {
  public:
    CodePage() {
        base_ = static_cast<std::uint8_t*>(platform::allocateExecutable(kSize));
        if (base_) {
            std::memset(base_, 0xCC, kSize);
            std::memcpy(base_ + kDataAt, &kData, sizeof kData);
        }
    }
    ~CodePage() { platform::freeExecutable(base_, kSize); }
    CodePage(const CodePage&) = delete;
    CodePage& operator=(const CodePage&) = delete;

    void write(const std::vector<std::uint8_t>& bytes, unsigned at = 0) {
        std::memcpy(base_ + at, bytes.data(), bytes.size());
    }
    void write(const std::vector<Piece>& pieces) {
        for (const Piece& p : pieces)
            write(p.bytes, p.offset);
    }
    std::uint8_t* base() const { return base_; }

  private:
    static constexpr std::size_t kSize = 4096;
    std::uint8_t* base_ = nullptr;
};

class HookApi : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(MH_Initialize(), MH_OK);
        detourLog = DetourLog{};
        originalFunction = nullptr;
    }
    void TearDown() override { EXPECT_EQ(MH_Uninitialize(), MH_OK); }
};

// ---- hooking --------------------------------------------------------------------

TEST_F(HookApi, EveryPrologueShapeRunsTheDetourAndTheOriginalThroughTheTrampoline) {
    for (const Shape& shape : kShapes) {
        SCOPED_TRACE(shape.text);
        CodePage page;
        ASSERT_NE(page.base(), nullptr);
        page.write(shape.assemble(address(page.base())));
        void* target = page.base();
        for (const auto& args : kArguments) {
            ASSERT_EQ(callAs(shape.convention, target, args[0], args[1]),
                      shape.expected(args[0], args[1]))
                << "the assembled function itself is wrong";
        }
        std::uint8_t before[16];
        std::memcpy(before, target, sizeof before);

        detourLog = DetourLog{};
        ASSERT_EQ(MH_CreateHook(target, detourFor(shape.convention), &originalFunction), MH_OK);
        ASSERT_NE(originalFunction, nullptr);
        EXPECT_EQ(std::memcmp(before, target, sizeof before), 0) << "created hooks start disabled";
        EXPECT_EQ(callAs(shape.convention, target, 7, 3), shape.expected(7, 3));
        EXPECT_EQ(detourLog.calls, 0);

        ASSERT_EQ(MH_EnableHook(target), MH_OK);
        EXPECT_EQ(page.base()[0], 0xE9);
        int calls = 0;
        for (const auto& args : kArguments) {
            EXPECT_EQ(callAs(shape.convention, target, args[0], args[1]),
                      shape.expected(args[0], args[1]) + 1000);
            EXPECT_EQ(detourLog.calls, ++calls);
            EXPECT_EQ(detourLog.a, args[0]);
            EXPECT_EQ(detourLog.b, args[1]);
            EXPECT_EQ(callAs(shape.convention, originalFunction, args[0], args[1]),
                      shape.expected(args[0], args[1]));
        }

        ASSERT_EQ(MH_DisableHook(target), MH_OK);
        EXPECT_EQ(std::memcmp(before, target, sizeof before), 0);
        EXPECT_EQ(callAs(shape.convention, target, 7, 3), shape.expected(7, 3));
        EXPECT_EQ(detourLog.calls, calls);

        ASSERT_EQ(MH_EnableHook(target), MH_OK);
        ASSERT_EQ(MH_RemoveHook(target), MH_OK) << "removing an enabled hook disables it first";
        EXPECT_EQ(std::memcmp(before, target, sizeof before), 0);
        EXPECT_EQ(callAs(shape.convention, target, -4, 4), shape.expected(-4, 4));
        EXPECT_EQ(detourLog.calls, calls);
    }
}

TEST_F(HookApi, FunctionsThatCannotBeMovedAreRefusedAndLeftAlone) {
    // One of each refusal; the builder's own tests cover the variants.
    const std::vector<std::uint8_t> cases[] = {
        {0x31, 0xC0, 0xC3},                   // too short: xor eax, eax; ret
        {0x8B, 0xC1, 0xFF, 0x20},             // too short: mov eax, ecx; jmp [eax]
        {0x49, 0x75, 0xFD, 0x89, 0xC8, 0xC3}, // loop back into the first bytes
        {0x0F, 0x04, 0x90, 0x90, 0x90, 0xC3}, // undefined opcode
    };
    for (const auto& code : cases) {
        SCOPED_TRACE(::testing::PrintToString(code));
        CodePage page;
        page.write(code);
        std::uint8_t before[16];
        std::memcpy(before, page.base(), sizeof before);
        void* original = &originalFunction;
        EXPECT_EQ(MH_CreateHook(page.base(), detourFor(Convention::cdecl), &original),
                  MH_ERROR_UNSUPPORTED_FUNCTION);
        EXPECT_EQ(original, &originalFunction) << "no trampoline is handed out";
        EXPECT_EQ(std::memcmp(before, page.base(), sizeof before), 0);
        EXPECT_EQ(MH_EnableHook(page.base()), MH_ERROR_NOT_CREATED);
        EXPECT_EQ(MH_RemoveHook(page.base()), MH_ERROR_NOT_CREATED);
    }
}

TEST_F(HookApi, CompiledCdeclFunction) {
    volatile Cdecl3 call = &compiledCdecl;
    void* target = reinterpret_cast<void*>(&compiledCdecl);
    const int expected = 5 * 7 - 2 * 3 + 9 + compiledBias;
    ASSERT_EQ(call(5, 2, 9), expected);
    std::uint8_t before[16];
    std::memcpy(before, target, sizeof before);

    ASSERT_EQ(
        MH_CreateHook(target, reinterpret_cast<void*>(&compiledCdeclDetour), &originalFunction),
        MH_OK);
    // Built as position-independent code, the function normally starts by
    // calling a PC thunk; its trampoline must load the address instead.
    const auto* code = static_cast<const std::uint8_t*>(target);
    if (code[0] == 0xE8) {
        std::int32_t rel;
        std::memcpy(&rel, code + 1, sizeof rel);
        const int reg = hook::pcThunkRegister(code + 5 + rel);
        if (reg >= 0) {
            EXPECT_EQ(static_cast<const std::uint8_t*>(originalFunction)[0], 0xB8 + reg);
        }
    }
    ASSERT_EQ(MH_EnableHook(target), MH_OK);
    EXPECT_EQ(call(5, 2, 9), expected * 2);
    EXPECT_EQ(detourLog.calls, 1);
    EXPECT_EQ(detourLog.a, 5);
    EXPECT_EQ(detourLog.b, 9);
    compiledBias = 20; // the global is still read through the right address
    EXPECT_EQ(call(1, 1, 1), (7 - 3 + 1 + 20) * 2);
    compiledBias = 11;

    ASSERT_EQ(MH_DisableHook(target), MH_OK);
    EXPECT_EQ(std::memcmp(before, target, sizeof before), 0);
    ASSERT_EQ(MH_RemoveHook(target), MH_OK);
    EXPECT_EQ(std::memcmp(before, target, sizeof before), 0);
    EXPECT_EQ(call(5, 2, 9), expected);
    EXPECT_EQ(detourLog.calls, 2);
}

TEST_F(HookApi, CompiledThiscallFunction) {
    volatile Thiscall1 call = &compiledThiscall;
    void* target = reinterpret_cast<void*>(&compiledThiscall);
    Counter counter{4, 5};
    ASSERT_EQ(call(&counter, 3), 4 * 3 + 5 * 3);
    std::uint8_t before[16];
    std::memcpy(before, target, sizeof before);

    ASSERT_EQ(
        MH_CreateHook(target, reinterpret_cast<void*>(&compiledThiscallDetour), &originalFunction),
        MH_OK);
    ASSERT_EQ(MH_EnableHook(target), MH_OK);
    // Repeated calls: a detour or trampoline that popped the wrong amount of
    // stack would not survive them.
    for (int x = 0; x < 50; ++x) {
        ASSERT_EQ(call(&counter, x), 4 * 3 + 5 * x + 1);
        ASSERT_EQ(detourLog.self, &counter);
        ASSERT_EQ(detourLog.a, x);
    }
    EXPECT_EQ(detourLog.calls, 50);
    ASSERT_EQ(MH_RemoveHook(target), MH_OK);
    EXPECT_EQ(std::memcmp(before, target, sizeof before), 0);
    EXPECT_EQ(call(&counter, 2), 4 * 3 + 5 * 2);
    EXPECT_EQ(detourLog.calls, 50);
}

// ---- statuses -----------------------------------------------------------------

TEST(HookApiLifecycle, EveryCallBeforeInitialisationFailsAndInitialisationHappensOnce) {
    CodePage page;
    page.write(std::vector<std::uint8_t>(kCdeclTail));
    void* target = page.base();
    void* detour = reinterpret_cast<void*>(&cdeclDetour);
    EXPECT_EQ(MH_CreateHook(target, detour, nullptr), MH_ERROR_NOT_INITIALIZED);
    EXPECT_EQ(MH_CreateHook(nullptr, nullptr, nullptr), MH_ERROR_NOT_INITIALIZED);
    EXPECT_EQ(MH_EnableHook(target), MH_ERROR_NOT_INITIALIZED);
    EXPECT_EQ(MH_DisableHook(target), MH_ERROR_NOT_INITIALIZED);
    EXPECT_EQ(MH_RemoveHook(target), MH_ERROR_NOT_INITIALIZED);
    EXPECT_EQ(MH_Uninitialize(), MH_ERROR_NOT_INITIALIZED);

    EXPECT_EQ(MH_Initialize(), MH_OK);
    EXPECT_EQ(MH_Initialize(), MH_ERROR_ALREADY_INITIALIZED);
    EXPECT_EQ(MH_Uninitialize(), MH_OK);
    EXPECT_EQ(MH_Initialize(), MH_OK) << "the engine can start again after stopping";
    EXPECT_EQ(MH_Uninitialize(), MH_OK);
}

std::uint8_t notCode[64];

TEST_F(HookApi, CreateChecksExecutabilityBeforeDuplicatesAndNeedsNoTrampolineSlot) {
    CodePage page;
    page.write(std::vector<std::uint8_t>(kCdeclTail));
    void* target = page.base();
    void* detour = reinterpret_cast<void*>(&cdeclDetour);

    EXPECT_EQ(MH_CreateHook(notCode, detour, nullptr), MH_ERROR_NOT_EXECUTABLE);
    EXPECT_EQ(MH_CreateHook(target, notCode, nullptr), MH_ERROR_NOT_EXECUTABLE);
    EXPECT_EQ(MH_CreateHook(nullptr, detour, nullptr), MH_ERROR_NOT_EXECUTABLE);
    EXPECT_EQ(MH_CreateHook(target, detour, nullptr), MH_OK) << "the trampoline slot is optional";
    EXPECT_EQ(MH_CreateHook(target, notCode, nullptr), MH_ERROR_NOT_EXECUTABLE);
    EXPECT_EQ(MH_CreateHook(target, detour, nullptr), MH_ERROR_ALREADY_CREATED);
    EXPECT_EQ(MH_RemoveHook(target), MH_OK);
}

TEST_F(HookApi, EnableAndDisableReportTheStateTheyFind) {
    CodePage page;
    page.write(std::vector<std::uint8_t>(kCdeclTail));
    void* target = page.base();
    EXPECT_EQ(MH_EnableHook(target), MH_ERROR_NOT_CREATED);
    EXPECT_EQ(MH_DisableHook(target), MH_ERROR_NOT_CREATED);
    ASSERT_EQ(MH_CreateHook(target, reinterpret_cast<void*>(&cdeclDetour), &originalFunction),
              MH_OK);
    EXPECT_EQ(MH_DisableHook(target), MH_ERROR_DISABLED);
    EXPECT_EQ(MH_EnableHook(target), MH_OK);
    EXPECT_EQ(MH_EnableHook(target), MH_ERROR_ENABLED);
    EXPECT_EQ(MH_DisableHook(target), MH_OK);
    EXPECT_EQ(MH_DisableHook(target), MH_ERROR_DISABLED);
    EXPECT_EQ(MH_RemoveHook(target), MH_OK);
    EXPECT_EQ(MH_RemoveHook(target), MH_ERROR_NOT_CREATED);
}

TEST_F(HookApi, AllHooksSwitchTogetherAndStoppingTheEngineRestoresThem) {
    CodePage first, second;
    first.write(std::vector<std::uint8_t>(kCdeclTail));
    second.write(std::vector<std::uint8_t>(
        {0x55, 0x89, 0xE5, 0x8B, 0x45, 0x08, 0x2B, 0x45, 0x0C, 0x5D, 0xC3}));
    std::uint8_t firstBefore[16], secondBefore[16];
    std::memcpy(firstBefore, first.base(), 16);
    std::memcpy(secondBefore, second.base(), 16);
    void* detour = reinterpret_cast<void*>(&cdeclDetour);
    ASSERT_EQ(MH_CreateHook(first.base(), detour, nullptr), MH_OK);
    ASSERT_EQ(MH_CreateHook(second.base(), detour, nullptr), MH_OK);

    ASSERT_EQ(MH_EnableHook(first.base()), MH_OK);
    EXPECT_EQ(MH_EnableHook(MH_ALL_HOOKS), MH_OK) << "hooks already enabled are passed over";
    EXPECT_EQ(first.base()[0], 0xE9);
    EXPECT_EQ(second.base()[0], 0xE9);
    EXPECT_EQ(MH_DisableHook(MH_ALL_HOOKS), MH_OK);
    EXPECT_EQ(std::memcmp(firstBefore, first.base(), 16), 0);
    EXPECT_EQ(std::memcmp(secondBefore, second.base(), 16), 0);

    ASSERT_EQ(MH_EnableHook(MH_ALL_HOOKS), MH_OK);
    ASSERT_EQ(MH_Uninitialize(), MH_OK);
    EXPECT_EQ(std::memcmp(firstBefore, first.base(), 16), 0);
    EXPECT_EQ(std::memcmp(secondBefore, second.base(), 16), 0);
    ASSERT_EQ(MH_Initialize(), MH_OK); // for TearDown
    EXPECT_EQ(MH_EnableHook(first.base()), MH_ERROR_NOT_CREATED) << "stopping removed the hooks";
}

TEST(HookStatus, NamesEveryStatusAndNothingElse) {
    const struct {
        int value;
        const char* name;
    } names[] = {
        {-1, "MH_UNKNOWN"},
        {0, "MH_OK"},
        {1, "MH_ERROR_ALREADY_INITIALIZED"},
        {2, "MH_ERROR_NOT_INITIALIZED"},
        {3, "MH_ERROR_ALREADY_CREATED"},
        {4, "MH_ERROR_NOT_CREATED"},
        {5, "MH_ERROR_ENABLED"},
        {6, "MH_ERROR_DISABLED"},
        {7, "MH_ERROR_NOT_EXECUTABLE"},
        {8, "MH_ERROR_UNSUPPORTED_FUNCTION"},
        {9, "MH_ERROR_MEMORY_ALLOC"},
        {10, "MH_ERROR_MEMORY_PROTECT"},
        {11, "MH_ERROR_MODULE_NOT_FOUND"},
        {12, "MH_ERROR_FUNCTION_NOT_FOUND"},
        {13, "(unknown)"},
        {-2, "(unknown)"},
        {1000, "(unknown)"},
    };
    for (const auto& n : names) {
        EXPECT_STREQ(MH_StatusToString(static_cast<MH_STATUS>(n.value)), n.name) << n.value;
    }
    static_assert(MH_ERROR_FUNCTION_NOT_FOUND == 12, "status values are part of the interface");
}

} // namespace
