#pragma once

// Functions the compiler shaped, hooked by the tests. Built as
// position-independent code, so a function that reads a global starts by
// fetching its own address through a call to __x86.get_pc_thunk.*.

struct Counter {
    int base;
    int step;
};

// a * 7 - b * 3 + c + compiledBias
int compiledCdecl(int a, int b, int c);

// self->base * 3 + self->step * x; the callee pops x.
__attribute__((thiscall)) int compiledThiscall(Counter* self, int x);

// 300, for hand-assembled code to call.
int compiledHelper();

extern volatile int compiledBias;
