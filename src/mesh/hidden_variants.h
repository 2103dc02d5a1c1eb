#pragma once

// A part the game keeps in two variants, intact and damaged, draws one. The
// variant it does not draw (the damaged one until the part's damage shows
// it, the intact one from then on) is not copied until it is drawn: its
// dents wait to be replayed then.

#include "game/registry.h"

#include <cstdint>

namespace mesh {

// Makes the first dent `hitDent` of a hidden variant wait. Its copy's
// vertices are held against the budgets: a plain copy's at once (the
// source's count); a bonnet's or boot's rebuilt panel's worked out at once
// when the budgets might not hold the largest panel, else before the next
// frame's work. False when the atomic is no such variant, or a panel whose
// rebuild would refuse its shape (it is then copied as any atomic); true
// when it waits, or when a budget turned it away.
bool deferHiddenVariant(void* atomic, void* geometry, game::TrackedVehicle& record,
                        std::int32_t n, const game::AtomicDent& hitDent);

// One more dent for a waiting variant. One struck very often is built at
// once, so that what it keeps to replay stays small however long it stays
// hidden.
void addHiddenDent(game::TrackedVehicle& record, game::HiddenVariant& variant,
                   const game::AtomicDent& hitDent);

// Copies every hidden part variant that the game now draws (looked at when
// its car's damage record changed) and replays its dents, whatever the
// frame's work: a variant the game draws is never drawn undented.
void buildShownVariants(game::Registry& registry);

} // namespace mesh
