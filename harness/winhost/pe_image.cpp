#include "winhost/pe_image.h"

#include "winhost/process.h"
#include "winhost/stand_ins.h"
#include "winhost/thread_block.h"

#include <sys/mman.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <type_traits>

namespace winhost {
namespace {

using EntryPoint = int(__attribute__((stdcall)) *)(void* module, std::uint32_t reason,
                                                   void* reserved);
using TlsCallback = void(__attribute__((stdcall)) *)(void* module, std::uint32_t reason,
                                                     void* reserved);

constexpr std::uint32_t kProcessDetach = 0;
constexpr std::uint32_t kProcessAttach = 1;
constexpr std::uint32_t kThreadAttach = 2;

std::string hex(std::uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", v);
    return text;
}

std::uint32_t pageProtection(std::uint32_t characteristics) {
    const bool w = characteristics & pe::kScnWrite, x = characteristics & pe::kScnExecute;
    if (x) return w ? 0x40 : 0x20;
    return w ? 0x04 : 0x02;
}

int posixProtection(std::uint32_t characteristics) {
    int prot = 0;
    if (characteristics & pe::kScnRead) prot |= PROT_READ;
    if (characteristics & pe::kScnWrite) prot |= PROT_READ | PROT_WRITE;
    if (characteristics & pe::kScnExecute) prot |= PROT_READ | PROT_EXEC;
    return prot;
}

bool fail(LoadError* error, LoadStep step, const std::string& detail) {
    if (error != nullptr) *error = LoadError{step, detail};
    return false;
}

} // namespace

const char* stepName(LoadStep step) {
    switch (step) {
    case LoadStep::ReadFile:
        return "read file";
    case LoadStep::Headers:
        return "headers";
    case LoadStep::Map:
        return "map";
    case LoadStep::CopySections:
        return "copy sections";
    case LoadStep::Relocate:
        return "relocate";
    case LoadStep::BindImports:
        return "bind imports";
    case LoadStep::ThreadBlock:
        return "thread block";
    case LoadStep::Tls:
        return "TLS";
    case LoadStep::Protect:
        return "protections";
    }
    return "?";
}

PeImage::~PeImage() {
    unmap();
}

void PeImage::unmap() {
    if (base_ == 0) return;
    removeModule(base_);
    munmap(reinterpret_cast<void*>(base_), size_);
    base_ = 0;
    std::free(tlsData_);
    tlsData_ = nullptr;
}

bool PeImage::load(const std::string& posixPath, const std::string& windowsPath, LoadError* error) {
    unmap();
    std::ifstream in(posixPath, std::ios::binary);
    if (!in) return fail(error, LoadStep::ReadFile, posixPath);
    const std::vector<std::uint8_t> file{std::istreambuf_iterator<char>(in),
                                         std::istreambuf_iterator<char>()};

    // Headers: an i386 PE32 DLL whose headers lie inside the file.
    pe::DosHeader dos{};
    if (file.size() < sizeof dos) return fail(error, LoadStep::Headers, "too short");
    std::memcpy(&dos, file.data(), sizeof dos);
    if (dos.magic != pe::kDosMagic || dos.ntHeaderOffset <= 0 ||
        file.size() < static_cast<std::size_t>(dos.ntHeaderOffset) + sizeof(pe::NtHeaders))
        return fail(error, LoadStep::Headers, "no PE header");
    pe::NtHeaders nt{};
    std::memcpy(&nt, file.data() + dos.ntHeaderOffset, sizeof nt);
    if (nt.signature != pe::kNtSignature || nt.file.machine != pe::kMachineI386 ||
        nt.optional.magic != pe::kOptionalMagic32 || nt.optional.headersSize > file.size() ||
        nt.optional.headersSize > nt.optional.imageSize)
        return fail(error, LoadStep::Headers, "not a 32-bit x86 image");

    // Map: the preferred base when it is free, anywhere else otherwise.
    size_ = (nt.optional.imageSize + 0xFFFu) & ~0xFFFu;
    void* want = reinterpret_cast<void*>(static_cast<std::uintptr_t>(nt.optional.imageBase));
    void* got = mmap(want, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (got == MAP_FAILED)
        return fail(error, LoadStep::Map, "no room for " + hex(size_) + " bytes");
    base_ = reinterpret_cast<std::uintptr_t>(got);
    preferredBase_ = nt.optional.imageBase;
    entry_ = nt.optional.entryPoint;
    ntOffset_ = static_cast<std::uint32_t>(dos.ntHeaderOffset);
    std::memcpy(got, file.data(), nt.optional.headersSize);

    if (!copySections(file, error) || !relocate(error) || !bindImports(error)) {
        unmap();
        return false;
    }
    std::string reason;
    if (!installThreadBlock(&reason)) {
        unmap();
        return fail(error, LoadStep::ThreadBlock, reason);
    }
    if (!setUpTls(error) || !protectSections(error)) {
        unmap();
        return false;
    }
    Module module{base_, size_, windowsPath, 1, false, true, {}};
    module.pages = pages_;
    addModule(module);
    return true;
}

bool PeImage::copySections(const std::vector<std::uint8_t>& file, LoadError* error) {
    const pe::NtHeaders* h = headers();
    const auto* sections = reinterpret_cast<const pe::SectionHeader*>(
        reinterpret_cast<const std::uint8_t*>(&h->optional) + h->file.optionalHeaderSize);
    if (reinterpret_cast<std::uintptr_t>(sections + h->file.sectionCount) >
        base_ + h->optional.headersSize)
        return fail(error, LoadStep::CopySections, "section table outside the headers");
    for (unsigned i = 0; i < h->file.sectionCount; ++i) {
        const pe::SectionHeader& s = sections[i];
        const std::uint32_t extent = s.virtualSize > s.rawSize ? s.virtualSize : s.rawSize;
        if (s.rva > size_ || extent > size_ - s.rva)
            return fail(error, LoadStep::CopySections,
                        std::string(s.name, strnlen(s.name, 8)) + " outside the image");
        if (s.rawSize == 0 || (s.characteristics & pe::kScnUninitialized))
            continue; // the mapping is zeroed
        const std::uint32_t bytes =
            s.rawSize < s.virtualSize || s.virtualSize == 0 ? s.rawSize : s.virtualSize;
        if (s.rawOffset > file.size() || bytes > file.size() - s.rawOffset)
            return fail(error, LoadStep::CopySections,
                        std::string(s.name, strnlen(s.name, 8)) + " outside the file");
        std::memcpy(at<void>(s.rva), file.data() + s.rawOffset, bytes);
    }
    return true;
}

bool PeImage::relocate(LoadError* error) {
    const std::uint32_t delta = static_cast<std::uint32_t>(base_) - preferredBase_;
    if (delta == 0) return true;
    const pe::DataDirectory dir = headers()->optional.directories[pe::BaseRelocDir];
    if (dir.size == 0) return fail(error, LoadStep::Relocate, "base taken and no relocations");
    std::uint32_t offset = 0;
    while (offset + sizeof(pe::BaseRelocationBlock) <= dir.size) {
        const auto* block = at<const pe::BaseRelocationBlock>(dir.rva + offset);
        if (block->blockSize < sizeof *block || block->blockSize > dir.size - offset)
            return fail(error, LoadStep::Relocate, "malformed block at " + hex(offset));
        const auto* entries = reinterpret_cast<const std::uint16_t*>(block + 1);
        const std::size_t count = (block->blockSize - sizeof *block) / 2;
        for (std::size_t i = 0; i < count; ++i) {
            const unsigned type = entries[i] >> 12;
            const std::uint32_t rva = block->pageRva + (entries[i] & 0xFFFu);
            if (type == pe::kRelAbsolute) continue; // padding
            if (type != pe::kRelHighLow)
                return fail(error, LoadStep::Relocate, "type " + std::to_string(type));
            if (rva > size_ - 4)
                return fail(error, LoadStep::Relocate, "target outside at " + hex(rva));
            std::uint32_t value;
            std::memcpy(&value, at<void>(rva), 4);
            value += delta;
            std::memcpy(at<void>(rva), &value, 4);
        }
        offset += block->blockSize;
    }
    return true;
}

bool PeImage::bindImports(LoadError* error) {
    const pe::DataDirectory dir = headers()->optional.directories[pe::ImportDir];
    for (std::uint32_t offset = 0; offset + sizeof(pe::ImportDescriptor) <= dir.size;
         offset += sizeof(pe::ImportDescriptor)) {
        const auto* d = at<const pe::ImportDescriptor>(dir.rva + offset);
        if (d->name == 0) break;
        const char* dll = at<const char>(d->name);
        const std::uint32_t lookupRva = d->lookupTable != 0 ? d->lookupTable : d->addressTable;
        const auto* lookup = at<const std::uint32_t>(lookupRva);
        auto* slots = at<std::uint32_t>(d->addressTable);
        for (std::size_t i = 0; lookup[i] != 0; ++i) {
            if (lookup[i] & pe::kImportByOrdinal)
                return fail(error, LoadStep::BindImports,
                            std::string(dll) + "!#" + std::to_string(lookup[i] & 0xFFFFu) +
                                " (by ordinal)");
            const char* name = at<const char>(lookup[i] + 2); // after the hint
            void* target = findStandIn(dll, name);
            if (target == nullptr)
                return fail(error, LoadStep::BindImports, std::string(dll) + "!" + name);
            slots[i] = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(target));
        }
    }
    return true;
}

bool PeImage::setUpTls(LoadError* error) {
    const pe::DataDirectory dir = headers()->optional.directories[pe::TlsDir];
    if (dir.size == 0) return true;
    const auto* tls = at<const pe::TlsDirectory32>(dir.rva);
    // The directory holds preferred-base addresses, relocated like any other.
    const std::uint32_t templateSize = tls->rawDataEnd - tls->rawDataStart;
    tlsData_ = std::calloc(1, templateSize + tls->zeroFillSize + 1);
    if (tlsData_ == nullptr) return fail(error, LoadStep::Tls, "no memory for the TLS block");
    std::memcpy(tlsData_,
                reinterpret_cast<const void*>(static_cast<std::uintptr_t>(tls->rawDataStart)),
                templateSize);
    // The only image with TLS: index 0.
    if (tls->indexAddress != 0)
        *reinterpret_cast<std::uint32_t*>(static_cast<std::uintptr_t>(tls->indexAddress)) = 0;
    if (!setTlsData(0, tlsData_)) return fail(error, LoadStep::Tls, "no TLS slot");
    return true;
}

bool PeImage::protectSections(LoadError* error) {
    const pe::NtHeaders* h = headers();
    const auto* sections = reinterpret_cast<const pe::SectionHeader*>(
        reinterpret_cast<const std::uint8_t*>(&h->optional) + h->file.optionalHeaderSize);
    // Copy the table first: the headers become read-only.
    std::vector<pe::SectionHeader> table(sections, sections + h->file.sectionCount);
    if (mprotect(reinterpret_cast<void*>(base_), 0x1000, PROT_READ) != 0)
        return fail(error, LoadStep::Protect, "headers");
    pages_.assign(size_ / 0x1000, 0x02); // read-only where no section says more
    for (const pe::SectionHeader& s : table) {
        const std::uint32_t extent =
            ((s.virtualSize != 0 ? s.virtualSize : s.rawSize) + 0xFFFu) & ~0xFFFu;
        if (extent == 0) continue;
        if (mprotect(at<void>(s.rva), extent, posixProtection(s.characteristics)) != 0)
            return fail(error, LoadStep::Protect, std::string(s.name, strnlen(s.name, 8)));
        for (std::uint32_t p = s.rva / 0x1000; p < (s.rva + extent) / 0x1000 && p < pages_.size();
             ++p)
            pages_[p] = pageProtection(s.characteristics);
    }
    return true;
}

void PeImage::runTlsCallbacks(std::uint32_t reason) {
    const pe::DataDirectory dir = headers()->optional.directories[pe::TlsDir];
    if (dir.size == 0) return;
    const auto* tls = at<const pe::TlsDirectory32>(dir.rva);
    if (tls->callbacks == 0) return;
    for (const auto* cb =
             reinterpret_cast<const std::uint32_t*>(static_cast<std::uintptr_t>(tls->callbacks));
         *cb != 0; ++cb)
        reinterpret_cast<TlsCallback>(static_cast<std::uintptr_t>(*cb))(
            reinterpret_cast<void*>(base_), reason, nullptr);
}

bool PeImage::callEntry(std::uint32_t reason, void* reserved) {
    if (entry_ == 0) return true;
    return at<std::remove_pointer_t<EntryPoint>>(entry_)(reinterpret_cast<void*>(base_), reason,
                                                         reserved) != 0;
}

bool PeImage::attach() {
    if (base_ == 0 || attached_) return false;
    runTlsCallbacks(kProcessAttach);
    attached_ = callEntry(kProcessAttach, nullptr);
    return attached_;
}

bool PeImage::threadAttach() {
    const Module* module = moduleWithBase(base_);
    if (!attached_ || module == nullptr) return false;
    runTlsCallbacks(kThreadAttach);
    return module->threadNotifications ? callEntry(kThreadAttach, nullptr) : true;
}

// Process end: the reserved argument is non-null.
bool PeImage::detach() {
    if (base_ == 0 || !attached_) return false;
    attached_ = false;
    runTlsCallbacks(kProcessDetach);
    return callEntry(kProcessDetach, reinterpret_cast<void*>(1));
}

bool PeImage::freeLibrary() {
    Module* module = moduleWithBase(base_);
    if (module == nullptr || module->references == 0) return false;
    if (module->pinned || --module->references > 0) return true;
    if (attached_) {
        attached_ = false;
        runTlsCallbacks(kProcessDetach);
        callEntry(kProcessDetach, nullptr);
    }
    unmap();
    return true;
}

void* PeImage::exportNamed(const char* name) const {
    return base_ != 0 ? findExport(base_, name) : nullptr;
}

void* findExport(std::uintptr_t base, const char* name) {
    if (name == nullptr) return nullptr;
    const auto at = [base](std::uint32_t rva) {
        return reinterpret_cast<const std::uint8_t*>(base + rva);
    };
    const auto* dos = reinterpret_cast<const pe::DosHeader*>(base);
    const auto* nt =
        reinterpret_cast<const pe::NtHeaders*>(at(static_cast<std::uint32_t>(dos->ntHeaderOffset)));
    const pe::DataDirectory dir = nt->optional.directories[pe::ExportDir];
    if (dir.size == 0) return nullptr;
    const auto* e = reinterpret_cast<const pe::ExportDirectory*>(at(dir.rva));
    const auto* names = reinterpret_cast<const std::uint32_t*>(at(e->names));
    const auto* ordinals = reinterpret_cast<const std::uint16_t*>(at(e->nameOrdinals));
    const auto* functions = reinterpret_cast<const std::uint32_t*>(at(e->functions));
    for (std::uint32_t i = 0; i < e->nameCount; ++i)
        if (std::strcmp(reinterpret_cast<const char*>(at(names[i])), name) == 0 &&
            ordinals[i] < e->functionCount)
            return const_cast<std::uint8_t*>(at(functions[ordinals[i]]));
    return nullptr;
}

} // namespace winhost
