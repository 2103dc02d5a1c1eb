// The shared library's entry on POSIX. A host that loads the plug-in with
// dlopen calls it once, as a Windows loader calls DllMain: reason 1 is
// process attach and the only one that does anything.

#include "orchestration/hook_installation.h"
#include "orchestration/startup.h"

extern "C" __attribute__((visibility("default"))) int bucklewright_attach(void* module, unsigned long reason,
                                                                          void* reserved) {
    (void)reserved;
    return orchestration::moduleEntry(module, reason, orchestration::startupBindings());
}
