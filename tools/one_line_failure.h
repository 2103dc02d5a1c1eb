#pragma once

// Whatever a tool's libraries throw (out of memory, a stream error) ends the
// tool with one line on stderr, "PROGRAM: what", and exit code 1, never an
// abort.

#include <cstdio>
#include <exception>

template <class Run> int runWithOneLineFailure(const char* program, Run run) {
    try {
        return run();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", program, e.what());
    } catch (...) {
        std::fprintf(stderr, "%s: unexpected failure\n", program);
    }
    return 1;
}
