#include "hook/instruction_length.h"

namespace hook {
namespace {

// What follows an opcode byte.
enum : unsigned {
    kNone = 0,
    kModrm = 1u << 0,
    kImm8 = 1u << 1,
    kImm16 = 1u << 2,
    kImmZ = 1u << 3,   // 16 or 32 bits by operand size
    kMoffs = 1u << 4,  // absolute address, 16 or 32 bits by address size
    kFarPtr = 1u << 5, // selector:offset, 16+16 or 16+32 bits by operand size
    kGroup3 = 1u << 6, // F6/F7: an immediate only for /0 and /1 (TEST)
    kInvalid = 1u << 7,
};

bool isLegacyPrefix(std::uint8_t b) {
    switch (b) {
    case 0xF0:
    case 0xF2:
    case 0xF3: // lock, repne, rep
    case 0x2E:
    case 0x36:
    case 0x3E:
    case 0x26: // segment overrides / branch hints
    case 0x64:
    case 0x65:
    case 0x66:
    case 0x67: // operand and address size
        return true;
    default:
        return false;
    }
}

unsigned oneByteMap(std::uint8_t op) {
    if (op < 0x40) {
        // The eight ALU rows: r/m forms, then AL/eAX immediates, then the
        // segment pushes/pops, prefixes and BCD adjusts that need nothing.
        switch (op & 7u) {
        case 0:
        case 1:
        case 2:
        case 3:
            return kModrm;
        case 4:
            return kImm8;
        case 5:
            return kImmZ;
        default:
            return kNone;
        }
    }
    if (op < 0x60) return kNone;                 // inc/dec/push/pop reg
    if (op >= 0x70 && op <= 0x7F) return kImm8;  // jcc rel8
    if (op >= 0x84 && op <= 0x8F) return kModrm; // test/xchg/mov/lea/pop r/m
    if (op >= 0x90 && op <= 0x9F) return op == 0x9A ? kFarPtr : kNone;
    if (op >= 0xB0 && op <= 0xB7) return kImm8;  // mov r8, imm8
    if (op >= 0xB8 && op <= 0xBF) return kImmZ;  // mov r32, imm32
    if (op >= 0xD8 && op <= 0xDF) return kModrm; // x87
    if (op >= 0xE0 && op <= 0xE7) return kImm8;  // loop/jecxz rel8, in/out imm8
    switch (op) {
    case 0x62:
    case 0x63:
        return kModrm; // bound, arpl
    case 0x68:
        return kImmZ;
    case 0x69:
        return kModrm | kImmZ;
    case 0x6A:
        return kImm8;
    case 0x6B:
        return kModrm | kImm8;
    case 0x80:
    case 0x82:
    case 0x83:
        return kModrm | kImm8;
    case 0x81:
        return kModrm | kImmZ;
    case 0xA0:
    case 0xA1:
    case 0xA2:
    case 0xA3:
        return kMoffs;
    case 0xA8:
        return kImm8;
    case 0xA9:
        return kImmZ;
    case 0xC0:
    case 0xC1:
        return kModrm | kImm8; // shift groups by imm8
    case 0xC2:
    case 0xCA:
        return kImm16; // ret imm16
    case 0xC4:
    case 0xC5:
        return kModrm; // les/lds (VEX checked apart)
    case 0xC6:
        return kModrm | kImm8;
    case 0xC7:
        return kModrm | kImmZ;
    case 0xC8:
        return kImm16 | kImm8; // enter imm16, imm8
    case 0xCD:
        return kImm8; // int imm8
    case 0xD0:
    case 0xD1:
    case 0xD2:
    case 0xD3:
        return kModrm;
    case 0xD4:
    case 0xD5:
        return kImm8; // aam/aad
    case 0xE8:
    case 0xE9:
        return kImmZ; // call/jmp rel32
    case 0xEA:
        return kFarPtr;
    case 0xEB:
        return kImm8; // jmp rel8
    case 0xF6:
    case 0xF7:
        return kModrm | kGroup3;
    case 0xFE:
    case 0xFF:
        return kModrm;
    default:
        return kNone; // 6C-6F, A4-AF strings, C3, C9, CB-CF, D6, D7, EC-EF, F1, F4, F5, F8-FD
    }
}

unsigned twoByteMap(std::uint8_t op) {
    if (op >= 0x80 && op <= 0x8F) return kImmZ; // jcc rel32
    if (op >= 0xC8 && op <= 0xCF) return kNone; // bswap
    switch (op) {
    case 0x04:
    case 0x0A:
    case 0x0C:
    case 0x24:
    case 0x25:
    case 0x26:
    case 0x27:
    case 0x36:
    case 0x39:
    case 0x3B:
    case 0x3C:
    case 0x3D:
    case 0x3E:
    case 0x3F:
    case 0x7A:
    case 0x7B:
    case 0xA6:
    case 0xA7:
        return kInvalid;
    case 0x05:
    case 0x06:
    case 0x07:
    case 0x08:
    case 0x09:
    case 0x0B:
    case 0x0E:
    case 0x30:
    case 0x31:
    case 0x32:
    case 0x33:
    case 0x34:
    case 0x35:
    case 0x37:
    case 0x77:
    case 0xA0:
    case 0xA1:
    case 0xA2:
    case 0xA8:
    case 0xA9:
    case 0xAA:
        return kNone;
    case 0x0F: // 3DNow!: ModRM, then the opcode byte
    case 0x70:
    case 0x71:
    case 0x72:
    case 0x73:
    case 0xA4:
    case 0xAC:
    case 0xBA:
    case 0xC2:
    case 0xC4:
    case 0xC5:
    case 0xC6:
        return kModrm | kImm8;
    default:
        return kModrm;
    }
}

} // namespace

unsigned decodeInstruction(const std::uint8_t* code, Instruction* out) {
    Instruction in;
    *out = in;
    unsigned pos = 0;
    // Every byte is fetched through here, so nothing past the 15-byte limit
    // is ever read, even from garbage.
    bool overrun = false;
    auto next = [&]() -> std::uint8_t {
        if (pos >= maxInstructionLength) {
            overrun = true;
            return 0;
        }
        return code[pos++];
    };

    std::uint8_t op = next();
    while (!overrun && isLegacyPrefix(op)) {
        if (op == 0x66) in.operandSize16 = true;
        if (op == 0x67) in.addressSize16 = true;
        op = next();
    }
    if (overrun) return 0;
    in.prefixCount = static_cast<std::uint8_t>(pos - 1);

    unsigned attributes;
    if (op == 0x0F) {
        op = next();
        if (op == 0x38 || op == 0x3A) {
            in.map = 3;
            attributes = op == 0x3A ? (kModrm | kImm8) : kModrm;
            op = next();
        } else {
            in.map = 2;
            attributes = twoByteMap(op);
        }
    } else {
        in.map = 1;
        attributes = oneByteMap(op);
        // In 32-bit mode C4/C5 and 62 followed by a register-form ModRM are
        // VEX and EVEX prefixes; this decoder does not follow those encodings.
        if ((op == 0xC4 || op == 0xC5 || op == 0x62) && pos < maxInstructionLength &&
            (code[pos] & 0xC0u) == 0xC0u)
            return 0;
    }
    if (overrun || (attributes & kInvalid)) return 0;
    in.opcode = op;

    if (attributes & kModrm) {
        in.hasModrm = true;
        in.modrm = next();
        // mov to/from control and debug registers reads ModRM as two
        // registers whatever its mod field says.
        const bool registersOnly = in.map == 2 && op >= 0x20 && op <= 0x23;
        const unsigned mod = registersOnly ? 3u : in.modrm >> 6u;
        const unsigned rm = in.modrm & 7u;
        if (mod != 3) {
            if (in.addressSize16) {
                if (mod == 1)
                    in.displacementSize = 1;
                else if (mod == 2 || (mod == 0 && rm == 6))
                    in.displacementSize = 2;
            } else {
                if (rm == 4) {
                    const std::uint8_t sib = next();
                    if (mod == 0 && (sib & 7u) == 5) in.displacementSize = 4;
                }
                if (mod == 1)
                    in.displacementSize = 1;
                else if (mod == 2 || (mod == 0 && rm == 5))
                    in.displacementSize = 4;
            }
        }
        if (overrun) return 0;
        pos += in.displacementSize;
    }

    unsigned immediate = 0;
    if (attributes & kImm8) immediate += 1;
    if (attributes & kImm16) immediate += 2;
    if (attributes & kImmZ) immediate += in.operandSize16 ? 2 : 4;
    if (attributes & kMoffs) immediate += in.addressSize16 ? 2 : 4;
    if (attributes & kFarPtr) immediate += in.operandSize16 ? 4 : 6;
    if ((attributes & kGroup3) && in.reg() < 2)
        immediate += op == 0xF6 ? 1 : (in.operandSize16 ? 2 : 4);
    in.immediateSize = static_cast<std::uint8_t>(immediate);
    pos += immediate;

    if (pos > maxInstructionLength) return 0;
    in.length = static_cast<std::uint8_t>(pos);
    *out = in;
    return pos;
}

} // namespace hook
