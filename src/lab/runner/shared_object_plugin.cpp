// The shared library is entered through bucklewright_attach with the
// arguments a Windows loader gives DllMain. The runner exports the platform
// layer's test record, so the loaded plug-in reads the host's clock and keys.

#include "lab/runner/plugin_binary.h"

#include <dlfcn.h>
#include <unistd.h>

namespace lab {
namespace {

using AttachFn = int (*)(void* module, unsigned long reason, void* reserved);
constexpr unsigned long kProcessAttach = 1;

class SharedObjectPlugin : public PluginBinary {
  public:
    explicit SharedObjectPlugin(std::string path) : source_(std::move(path)) {}

    const char* fileName() const override { return "bucklewright.so"; }

    bool load(const std::string& folder, std::string& error) override {
        if (::access(source_.c_str(), R_OK) != 0) {
            error = source_ + ": expected a readable plug-in library";
            return false;
        }
        char resolved[4096];
        if (::realpath(source_.c_str(), resolved) == nullptr) {
            error = source_ + ": cannot resolve the plug-in's path";
            return false;
        }
        // A link keeps the library's own bytes while its settings and log
        // names come from the installed path.
        const std::string installed = folder + "/" + fileName();
        if (::symlink(resolved, installed.c_str()) != 0) {
            error = installed + ": cannot install the plug-in";
            return false;
        }
        module_ = ::dlopen(installed.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (module_ == nullptr) {
            const char* why = ::dlerror();
            error =
                source_ + ": cannot load the plug-in: " + (why != nullptr ? why : "unknown error");
            return false;
        }
        entry_ = reinterpret_cast<AttachFn>(::dlsym(module_, "bucklewright_attach"));
        if (entry_ == nullptr) {
            error = source_ + ": the library has no bucklewright_attach";
            return false;
        }
        return true;
    }

    bool attach(std::string& error) override {
        if (entry_ == nullptr || entry_(module_, kProcessAttach, nullptr) != 1) {
            error = source_ + ": the plug-in refused process attach";
            return false;
        }
        return true;
    }

    void detach() override {}

  private:
    std::string source_;
    void* module_ = nullptr;
    AttachFn entry_ = nullptr;
};

} // namespace

std::unique_ptr<PluginBinary> sharedObjectPlugin(const std::string& path) {
    return std::make_unique<SharedObjectPlugin>(path);
}

} // namespace lab
