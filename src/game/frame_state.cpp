#include "game/frame_state.h"

namespace game {

std::uint8_t hooksActive = 0;
std::uint8_t captureOpen = 0;
std::uint8_t shuttingDown = 0;

} // namespace game
