#pragma once

// A 32-bit Windows DLL mapped into this process the way the Windows loader
// maps it: sections at their place (relocated when the preferred base is
// taken), imports bound to the stand-ins, implicit TLS set up, protections
// set, then the TLS callbacks and the entry point called for attach, and
// again for detach.

#include "winhost/pe_format.h"

#include <cstdint>
#include <string>
#include <vector>

namespace winhost {

enum class LoadStep {
    ReadFile,
    Headers,
    Map,
    CopySections,
    Relocate,
    BindImports,
    ThreadBlock,
    Tls,
    Protect
};
const char* stepName(LoadStep step);

struct LoadError {
    LoadStep step;
    std::string detail; // e.g. the import that has no stand-in
};

class PeImage {
  public:
    PeImage() = default;
    ~PeImage();
    PeImage(const PeImage&) = delete;
    PeImage& operator=(const PeImage&) = delete;

    // Maps and binds the image at `posixPath`, known to the process as
    // `windowsPath`. False with the failing step; nothing stays mapped then.
    bool load(const std::string& posixPath, const std::string& windowsPath, LoadError* error);

    // TLS callbacks, then the entry point, with Windows' arguments: process
    // attach (1) and process detach (0, at process end). The entry's result.
    bool attach();
    bool detach();
    // A thread start after attach; nothing when the image turned these off.
    bool threadAttach();
    // The loader's FreeLibrary: drops its reference; with the last one gone
    // the image is detached (reserved null, as for an unload) and unmapped,
    // unless the module pinned itself.
    bool freeLibrary();

    std::uintptr_t base() const { return base_; }
    std::uint32_t size() const { return size_; }
    // The address the image exports under `name`; null when none.
    void* exportNamed(const char* name) const;

  private:
    bool copySections(const std::vector<std::uint8_t>& file, LoadError* error);
    bool relocate(LoadError* error);
    bool bindImports(LoadError* error);
    bool setUpTls(LoadError* error);
    bool protectSections(LoadError* error);
    bool callEntry(std::uint32_t reason, void* reserved);
    void runTlsCallbacks(std::uint32_t reason);
    void unmap();

    template <class T> T* at(std::uint32_t rva) const { return reinterpret_cast<T*>(base_ + rva); }
    const pe::NtHeaders* headers() const { return at<const pe::NtHeaders>(ntOffset_); }

    std::uintptr_t base_ = 0;
    std::uint32_t size_ = 0;
    std::uint32_t preferredBase_ = 0;
    std::uint32_t entry_ = 0;
    std::uint32_t ntOffset_ = 0;
    bool attached_ = false;
    void* tlsData_ = nullptr;
    std::vector<std::uint32_t> pages_; // PAGE_* per page, from the sections
};

// The export `name` of the image mapped at `base`; null when none.
void* findExport(std::uintptr_t base, const char* name);

} // namespace winhost
