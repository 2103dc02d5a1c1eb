#pragma once

// The parts of the PE/COFF image format the loader reads, laid out as the
// format documents them (32-bit images only).

#include <cstdint>

namespace winhost::pe {

constexpr std::uint16_t kDosMagic = 0x5A4D;    // "MZ"
constexpr std::uint32_t kNtSignature = 0x4550; // "PE\0\0"
constexpr std::uint16_t kMachineI386 = 0x014C;
constexpr std::uint16_t kOptionalMagic32 = 0x10B;

enum Directory { ExportDir = 0, ImportDir = 1, BaseRelocDir = 5, TlsDir = 9 };

struct DosHeader {
    std::uint16_t magic;
    std::uint16_t unused[29];
    std::int32_t ntHeaderOffset; // e_lfanew
};

struct FileHeader {
    std::uint16_t machine;
    std::uint16_t sectionCount;
    std::uint32_t timeDateStamp;
    std::uint32_t symbolTable;
    std::uint32_t symbolCount;
    std::uint16_t optionalHeaderSize;
    std::uint16_t characteristics;
};

struct DataDirectory {
    std::uint32_t rva;
    std::uint32_t size;
};

struct OptionalHeader32 {
    std::uint16_t magic;
    std::uint8_t linkerMajor, linkerMinor;
    std::uint32_t codeSize, initializedSize, uninitializedSize;
    std::uint32_t entryPoint;
    std::uint32_t codeBase, dataBase;
    std::uint32_t imageBase;
    std::uint32_t sectionAlignment, fileAlignment;
    std::uint16_t osMajor, osMinor, imageMajor, imageMinor, subsystemMajor, subsystemMinor;
    std::uint32_t win32Version;
    std::uint32_t imageSize;
    std::uint32_t headersSize;
    std::uint32_t checkSum;
    std::uint16_t subsystem, dllCharacteristics;
    std::uint32_t stackReserve, stackCommit, heapReserve, heapCommit;
    std::uint32_t loaderFlags;
    std::uint32_t directoryCount;
    DataDirectory directories[16];
};

struct NtHeaders {
    std::uint32_t signature;
    FileHeader file;
    OptionalHeader32 optional;
};

constexpr std::uint32_t kScnUninitialized = 0x00000080;
constexpr std::uint32_t kScnExecute = 0x20000000;
constexpr std::uint32_t kScnRead = 0x40000000;
constexpr std::uint32_t kScnWrite = 0x80000000;

struct SectionHeader {
    char name[8];
    std::uint32_t virtualSize;
    std::uint32_t rva;
    std::uint32_t rawSize;
    std::uint32_t rawOffset;
    std::uint32_t relocations, lineNumbers;
    std::uint16_t relocationCount, lineNumberCount;
    std::uint32_t characteristics;
};

struct ImportDescriptor {
    std::uint32_t lookupTable; // OriginalFirstThunk
    std::uint32_t timeDateStamp;
    std::uint32_t forwarderChain;
    std::uint32_t name;
    std::uint32_t addressTable; // FirstThunk
};
constexpr std::uint32_t kImportByOrdinal = 0x80000000;

struct BaseRelocationBlock {
    std::uint32_t pageRva;
    std::uint32_t blockSize;
};
constexpr unsigned kRelAbsolute = 0;
constexpr unsigned kRelHighLow = 3;

struct ExportDirectory {
    std::uint32_t characteristics, timeDateStamp;
    std::uint16_t major, minor;
    std::uint32_t name;
    std::uint32_t ordinalBase;
    std::uint32_t functionCount;
    std::uint32_t nameCount;
    std::uint32_t functions;
    std::uint32_t names;
    std::uint32_t nameOrdinals;
};

struct TlsDirectory32 {
    std::uint32_t rawDataStart; // virtual addresses, not RVAs
    std::uint32_t rawDataEnd;
    std::uint32_t indexAddress;
    std::uint32_t callbacks;
    std::uint32_t zeroFillSize;
    std::uint32_t characteristics;
};

static_assert(sizeof(NtHeaders) == 248, "PE32 headers");
static_assert(sizeof(SectionHeader) == 40, "section header");

} // namespace winhost::pe
