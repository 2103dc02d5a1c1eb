#include "hook/trampoline.h"

#include "hook/instruction_length.h"
#include "platform/code_memory.h"

#include <cstring>

namespace hook {
namespace {

// Every emitted instruction, by its encoding:
//   E8 xxxxxxxx     CALL +5+xxxxxxxx
//   E9 xxxxxxxx     JMP  +5+xxxxxxxx
//   0F 8c xxxxxxxx  Jcc  +6+xxxxxxxx
//   68 xxxxxxxx     PUSH xxxxxxxx
//   B8+r xxxxxxxx   MOV  r32, xxxxxxxx
//   op 02 EB 05 E9 xxxxxxxx
//                   LOOPcc/JECXZ taken -> JMP xxxxxxxx, else fall through
class Emitter {
  public:
    Emitter(std::uint8_t* out, std::size_t capacity) : out_(out), capacity_(capacity) {}

    bool room(std::size_t n) const { return size_ + n <= capacity_; }
    std::size_t size() const { return size_; }
    std::uintptr_t here() const { return reinterpret_cast<std::uintptr_t>(out_ + size_); }

    void bytes(const void* data, std::size_t n) {
        std::memcpy(out_ + size_, data, n);
        size_ += n;
    }
    void byte(std::uint8_t b) { out_[size_++] = b; }
    void dword(std::uint32_t v) { bytes(&v, sizeof v); }
    // rel32 of an instruction whose 4-byte offset is the last thing in it.
    void rel32To(std::uintptr_t destination) {
        dword(static_cast<std::uint32_t>(destination - (here() + 4)));
    }

  private:
    std::uint8_t* out_;
    std::size_t capacity_;
    std::size_t size_ = 0;
};

bool isRelativeBranch(const Instruction& in) {
    if (in.map == 2) return (in.opcode & 0xF0u) == 0x80u; // jcc rel32
    if (in.map != 1) return false;
    return in.opcode == 0xE8 || in.opcode == 0xE9 || in.opcode == 0xEB ||
           (in.opcode & 0xF0u) == 0x70u ||           // jcc rel8
           (in.opcode >= 0xE0 && in.opcode <= 0xE3); // loopne, loope, loop, jecxz
}

bool endsFlow(const Instruction& in) {
    if (in.map != 1) return false;
    switch (in.opcode) {
    case 0xC2:
    case 0xC3:
    case 0xCA:
    case 0xCB:
    case 0xCF: // returns
    case 0xE9:
    case 0xEB:
    case 0xEA: // jumps
        return true;
    case 0xFF:
        return in.reg() == 4 || in.reg() == 5; // indirect jumps
    default:
        return false;
    }
}

} // namespace

int pcThunkRegister(const std::uint8_t* address) {
    // 8B /r with [esp] (ModRM 00 reg 100, SIB 24), then C3.
    if (!platform::isExecutable(address) || !platform::isExecutable(address + 3)) return -1;
    if (address[0] != 0x8B || (address[1] & 0xC7u) != 0x04u || address[2] != 0x24 ||
        address[3] != 0xC3)
        return -1;
    const int reg = (address[1] >> 3) & 7;
    return reg == 4 ? -1 : reg; // "mov esp, [esp]" is no thunk
}

TrampolineError buildTrampoline(const std::uint8_t* target, std::uint8_t* out, std::size_t capacity,
                                TrampolineLayout* layout) {
    *layout = TrampolineLayout{};
    Emitter emit(out, capacity);
    const auto start = reinterpret_cast<std::uintptr_t>(target);

    // Destinations of the moved branches, checked once the moved range is known.
    std::uintptr_t destinations[maxCopiedInstructions];
    std::uintptr_t branchAddresses[maxCopiedInstructions];
    unsigned destinationCount = 0;

    unsigned pos = 0;
    bool flowEnds = false;
    while (pos < patchSize) {
        const std::uint8_t* source = target + pos;
        const auto sourceAddress = reinterpret_cast<std::uintptr_t>(source);
        layout->failedAt = sourceAddress;

        Instruction in;
        const unsigned length = decodeInstruction(source, &in);
        if (length == 0) return TrampolineError::undecodable;
        // The widest rewrite of one instruction (prefixes kept, loop/jecxz
        // grown by 9 bytes), plus the jump back.
        if (!emit.room(length + 9 + patchSize)) return TrampolineError::noRoom;

        layout->oldOffsets[layout->count] = static_cast<std::uint8_t>(pos);
        layout->newOffsets[layout->count] = static_cast<std::uint8_t>(emit.size());
        ++layout->count;

        const std::uintptr_t next = sourceAddress + length;
        if (isRelativeBranch(in)) {
            if (in.operandSize16) return TrampolineError::unsupportedBranch;
            std::int32_t rel;
            if (in.immediateSize == 1) {
                rel = static_cast<std::int8_t>(source[in.immediateOffset()]);
            } else {
                std::memcpy(&rel, source + in.immediateOffset(), sizeof rel);
            }
            const std::uintptr_t destination =
                next + static_cast<std::uintptr_t>(static_cast<std::intptr_t>(rel));
            const int thunkRegister =
                in.map == 1 && in.opcode == 0xE8
                    ? pcThunkRegister(reinterpret_cast<const std::uint8_t*>(destination))
                    : -1;
            if (in.map == 1 && in.opcode == 0xE8 && rel == 0) {
                // "call $+5" only pushes its own return address (the start of a
                // "pop reg" that reads it back); push the original one.
                emit.byte(0x68);
                emit.dword(static_cast<std::uint32_t>(next));
            } else if (thunkRegister >= 0) {
                // call __x86.get_pc_thunk.reg leaves its return address in reg;
                // load the address the original call would have left there.
                emit.byte(static_cast<std::uint8_t>(0xB8 + thunkRegister));
                emit.dword(static_cast<std::uint32_t>(next));
            } else {
                branchAddresses[destinationCount] = sourceAddress;
                destinations[destinationCount++] = destination;
                emit.bytes(source, in.prefixCount); // branch hints and the like stay
                if (in.map == 2) {
                    emit.byte(0x0F);
                    emit.byte(in.opcode);
                } else if ((in.opcode & 0xF0u) == 0x70u) {
                    emit.byte(0x0F);
                    emit.byte(static_cast<std::uint8_t>(0x80 | (in.opcode & 0x0Fu)));
                } else if (in.opcode == 0xE8) {
                    emit.byte(0xE8);
                } else if (in.opcode == 0xE9 || in.opcode == 0xEB) {
                    emit.byte(0xE9);
                } else {
                    // loop/jecxz have only a rel8 form: branch over a near jump.
                    emit.byte(in.opcode);
                    emit.byte(0x02);
                    emit.byte(0xEB);
                    emit.byte(0x05);
                    emit.byte(0xE9);
                }
                emit.rel32To(destination);
            }
        } else {
            // Without RIP-relative addressing every other instruction means the
            // same wherever it runs.
            emit.bytes(source, length);
        }
        pos += length;
        if (endsFlow(in)) {
            flowEnds = true;
            break;
        }
    }

    // A function that returns or jumps away before 5 bytes would have its jump
    // written over whatever follows it.
    if (pos < patchSize) return TrampolineError::tooShort;
    for (unsigned i = 0; i < destinationCount; ++i) {
        if (destinations[i] >= start && destinations[i] < start + pos) {
            layout->failedAt = branchAddresses[i];
            return TrampolineError::branchIntoPatch;
        }
    }

    if (!flowEnds) {
        emit.byte(0xE9);
        emit.rel32To(start + pos);
        layout->jumpsBack = true;
    }
    layout->copiedSize = static_cast<std::uint8_t>(pos);
    layout->size = static_cast<std::uint8_t>(emit.size());
    layout->failedAt = 0;
    return TrampolineError::none;
}

} // namespace hook
