#pragma once

// The exception reporter behind installExceptionReporter(), reachable for
// tests that hand it a fault record directly.

#include "platform/platform.h"

namespace plugin {

// Writes the EXCEPTION and REGISTERS lines for the reported fault codes, in
// one flushed write, one report at a time process-wide: each distinct fault
// (code and address) once, the first 8 of them, then one line saying that
// further ones are not reported. Never changes what happens next.
void reportFault(const platform::FaultInfo& fault);

// Tests only: forgets the faults reported so far.
void resetExceptionReportsForTesting();

} // namespace plugin
