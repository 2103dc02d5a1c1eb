#pragma once

// A fault handler that has seen a signal hands it on as if it had never been
// installed: to the handler that was there before it, or to the default
// action (which then takes the process down when the handler returns).

#include <signal.h>

namespace platform {

void passSignalOn(const struct sigaction& previous, int sig, siginfo_t* info, void* context);

} // namespace platform
