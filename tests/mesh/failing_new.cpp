#include "failing_new.h"

#include "../support/failable_new.h"

#include <atomic>

namespace {
std::atomic<std::size_t> armedSize{0};
std::atomic<bool> happened{false};

bool failArmedSize(std::size_t size) {
    if (size == 0 || armedSize.load() != size) return false;
    armedSize = 0;
    happened = true;
    return true;
}
} // namespace

void failNextAllocationOfSize(std::size_t size) {
    happened = false;
    armedSize = size;
    bwtest::setAllocationRule(failArmedSize);
}

bool allocationFailureHappened() {
    armedSize = 0;
    return happened.exchange(false);
}
