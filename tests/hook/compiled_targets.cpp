#include "compiled_targets.h"

volatile int compiledBias = 11;

// noipa: the compiler may not clone, inline or fold these, so every call goes
// to the one address that is hooked.
__attribute__((noipa)) int compiledCdecl(int a, int b, int c) {
    return a * 7 - b * 3 + c + compiledBias;
}

__attribute__((noipa, thiscall)) int compiledThiscall(Counter* self, int x) {
    return self->base * 3 + self->step * x;
}

__attribute__((noipa)) int compiledHelper() {
    return 300;
}
