#pragma once

// Length decoder for 32-bit x86 code: enough of each instruction's shape
// (prefixes, opcode, ModRM, SIB, displacement, immediate) to copy whole
// instructions out of a function's first bytes and to find the relative
// branches among them.

#include <cstdint>

namespace hook {

// The longest instruction the processor accepts.
constexpr unsigned maxInstructionLength = 15;

struct Instruction {
    std::uint8_t length = 0;      // 0: not decodable (invalid, VEX/EVEX, longer than 15)
    std::uint8_t prefixCount = 0; // legacy prefixes before the opcode
    bool operandSize16 = false;   // 0x66 prefix seen
    bool addressSize16 = false;   // 0x67 prefix seen
    std::uint8_t map = 1;         // 1: one-byte map, 2: 0F xx, 3: 0F 38 xx / 0F 3A xx
    std::uint8_t opcode = 0;      // the last opcode byte
    bool hasModrm = false;
    std::uint8_t modrm = 0;
    std::uint8_t displacementSize = 0; // bytes
    std::uint8_t immediateSize = 0;    // bytes (all immediates together, e.g. ENTER: 3)

    // ModRM reg field: the group selector of opcodes like FF /4.
    unsigned reg() const { return (modrm >> 3) & 7u; }
    // Where the immediate starts, counted from the first byte.
    unsigned immediateOffset() const { return length - immediateSize; }
};

// Decodes the instruction at `code`, reading at most 15 bytes. Returns its
// length (also in `out`), 0 when the bytes are no instruction this decoder
// knows.
unsigned decodeInstruction(const std::uint8_t* code, Instruction* out);

} // namespace hook
