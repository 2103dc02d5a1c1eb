// The one way tests and tools load a plug-in binary, in the substitute game
// as a Windows program: Wine's own loader maps it, binds its imports and
// calls its entry, as the game's ASI loader has it done.

#include "wingame/game_process.h"
#include "winhost/plugin_binary.h"

namespace winhost {
namespace {

DWORD WINAPI threadDoingNothing(void*) {
    return 0;
}

std::string folderOf(const std::string& path) {
    const std::size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

class LoadedByWindows : public PluginBinary {
  public:
    explicit LoadedByWindows(std::string path) : path_(std::move(path)) {}
    // The game's start-up: every *.asi beside this one loads, and Windows
    // runs each entry with process attach inside its LoadLibraryA.
    bool attach() override {
        wingame::loadAsiPlugins(folderOf(path_));
        module_ = GetModuleHandleA(path_.c_str());
        return module_ != nullptr;
    }
    // A thread that starts and ends; Windows tells the module if it asked.
    bool threadAttach() override {
        HANDLE thread = CreateThread(nullptr, 0, &threadDoingNothing, nullptr, 0, nullptr);
        if (thread == nullptr) return false;
        const bool done = WaitForSingleObject(thread, INFINITE) == WAIT_OBJECT_0;
        CloseHandle(thread);
        return done;
    }
    // Windows detaches the module itself when the process ends.
    bool detach() override { return module_ != nullptr; }
    bool release() override { return module_ != nullptr && FreeLibrary(module_) != 0; }
    bool loaded() const override {
        HMODULE again = nullptr;
        return GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, path_.c_str(),
                                  &again) != 0;
    }
    void* exportNamed(const char* name) override {
        return module_ != nullptr ? reinterpret_cast<void*>(GetProcAddress(module_, name))
                                  : nullptr;
    }
    std::string siblingFile(const char* extension) const override {
        const std::size_t dot = path_.find_last_of('.');
        return (dot == std::string::npos ? path_ : path_.substr(0, dot)) + extension;
    }

  private:
    std::string path_;
    HMODULE module_ = nullptr;
};

} // namespace

std::unique_ptr<PluginBinary> loadPlugin(const std::string& path, std::string* error) {
    if (GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        if (error != nullptr) *error = "no plug-in at " + path;
        return nullptr;
    }
    return std::make_unique<LoadedByWindows>(path);
}

} // namespace winhost
