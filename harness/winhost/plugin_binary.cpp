#include "winhost/plugin_binary.h"

#include "winhost/pe_image.h"
#include "winhost/process.h"

#include <dlfcn.h>

namespace winhost {
namespace {

constexpr unsigned long kProcessDetach = 0, kProcessAttach = 1, kThreadAttach = 2;

bool endsWith(const std::string& s, const char* tail) {
    const std::string t = tail;
    return s.size() >= t.size() && s.compare(s.size() - t.size(), t.size(), t) == 0;
}

std::string sibling(const std::string& path, const char* extension) {
    const std::size_t dot = path.find_last_of('.');
    return (dot == std::string::npos ? path : path.substr(0, dot)) + extension;
}

class SharedObject : public PluginBinary {
  public:
    using Entry = int (*)(void* module, unsigned long reason, void* reserved);
    SharedObject(void* handle, Entry entry, std::string path)
        : handle_(handle), entry_(entry), path_(std::move(path)) {}
    // Never closed: the plug-in's hooks and fault reporter stay for the
    // life of the process, as in the game.
    bool attach() override { return entry_(handle_, kProcessAttach, nullptr) != 0; }
    bool threadAttach() override { return entry_(handle_, kThreadAttach, nullptr) != 0; }
    bool detach() override {
        return entry_(handle_, kProcessDetach, reinterpret_cast<void*>(1)) != 0;
    }
    bool release() override { return ::dlclose(handle_) == 0; }
    bool loaded() const override {
        void* again = ::dlopen(path_.c_str(), RTLD_NOW | RTLD_NOLOAD);
        if (again != nullptr) ::dlclose(again);
        return again != nullptr;
    }
    void* exportNamed(const char* name) override { return ::dlsym(handle_, name); }
    std::string siblingFile(const char* extension) const override {
        return sibling(path_, extension);
    }

  private:
    void* handle_;
    Entry entry_;
    std::string path_;
};

class WindowsDll : public PluginBinary {
  public:
    explicit WindowsDll(std::string path) : path_(std::move(path)) {}
    bool load(std::string* error) {
        LoadError e{};
        if (image_.load(path_, windowsPath(path_), &e)) return true;
        if (error != nullptr) *error = std::string(stepName(e.step)) + ": " + e.detail;
        return false;
    }
    bool attach() override { return image_.attach(); }
    bool threadAttach() override { return image_.threadAttach(); }
    bool detach() override { return image_.detach(); }
    bool release() override { return image_.freeLibrary(); }
    bool loaded() const override { return image_.base() != 0; }
    void* exportNamed(const char* name) override { return image_.exportNamed(name); }
    std::string siblingFile(const char* extension) const override {
        return sibling(path_, extension);
    }

  private:
    std::string path_;
    PeImage image_;
};

} // namespace

std::unique_ptr<PluginBinary> loadPlugin(const std::string& path, std::string* error) {
    if (endsWith(path, ".asi") || endsWith(path, ".dll")) {
        // The drive letter stands for the binary's folder, as a game folder.
        const std::size_t slash = path.find_last_of('/');
        mapDrive(slash == std::string::npos ? "." : path.substr(0, slash));
        auto dll = std::make_unique<WindowsDll>(path);
        if (!dll->load(error)) return nullptr;
        return dll;
    }
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        if (error != nullptr) *error = ::dlerror();
        return nullptr;
    }
    auto entry = reinterpret_cast<SharedObject::Entry>(::dlsym(handle, "bucklewright_attach"));
    if (entry == nullptr) {
        if (error != nullptr) *error = "no bucklewright_attach in " + path;
        return nullptr;
    }
    return std::make_unique<SharedObject>(handle, entry, path);
}

} // namespace winhost
