#pragma once

// The exception reporter behind installExceptionReporter(), reachable for
// tests that hand it a fault record directly.

#include "platform/platform.h"

namespace plugin {

// Writes the EXCEPTION and REGISTERS lines for the reported fault codes, one
// report at a time process-wide; never changes what happens next.
void reportFault(const platform::FaultInfo& fault);

} // namespace plugin
