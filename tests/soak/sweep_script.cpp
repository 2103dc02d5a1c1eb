#include "sweep_script.h"

#include "game/host_layout.h"

#include <fstream>
#include <iterator>

namespace soak {
namespace {

constexpr const char* kIni = "[General]\r\nLogHits=1\r\n";

sim::ColPoint colPoint(dent::Vec p, dent::Vec n) {
    sim::ColPoint c{};
    c.point = p;
    c.normal = n;
    c.pieceA = 5;
    c.pieceB = 7;
    return c;
}

void play(Session& s) {
    sim::Host& host = s.host();
    void* player = s.addCar({0, 0, 0}, 90);
    void* other = s.addCar({0, 4, 0}, 95);
    void* third = s.addCar({4, -5, 0}, 101);
    host.setPlayerVehicle(player);
    s.frame();
    // Head-on: the player's bonnet and the other car's boot fold.
    s.queuePair(player, other, colPoint({0, 2, 0.5f}, {0, -1, 0}), 900, 900);
    s.frame();
    // From behind at the left rear light, then a side hit on traffic.
    s.queuePair(player, third, colPoint({-0.7f, -2.1f, 0.3f}, {0, 1, 0}), 1200, 1200);
    s.frame(1000);
    s.queueSingle(third, nullptr, colPoint({4.9f, -5, 0.4f}, {-1, 0, 0}), 2500);
    s.frame(400);
    // The same crash growing, then a door held for separate attempts.
    s.queuePair(player, other, colPoint({0.3f, 2.1f, 0.6f}, {0, -1, 0.2f}), 1800, 1800);
    s.frame(50);
    s.queueComponentDamage(player, 5, 1.0f);
    s.frame(1000);
    s.queueComponentDamage(player, 5, 1.0f);
    s.frame(1000);
    // F7, then a repair by the game.
    host.setKey(0x76, true);
    s.frame();
    host.setKey(0x76, false);
    s.frame();
    s.queuePair(player, other, colPoint({0, 2, 0.5f}, {0, -1, 0}), 900, 900);
    s.frame(1000);
    game::setField<float>(player, game::VehicleHealth, 500.0f);
    s.frame();
    game::setField<float>(player, game::VehicleHealth, 1000.0f);
    s.frame();
    // On foot: traffic is chosen around the player's ped.
    host.setPlayerOnFoot({1, 6, 0});
    s.queueSingle(other, nullptr, colPoint({0.9f, 4.3f, 0.4f}, {-1, 0, 0}), 2500);
    s.frame(1000);
    host.setPlayerVehicle(player);
    s.frame();
    // A car deleted, its slot reused by a new one that is hit at once.
    s.removeCar(third);
    void* fourth = s.addCar({-4, -5, 0}, 120);
    s.queuePair(fourth, player, colPoint({-4.5f, -4, 0.5f}, {1, 0, 0}), 1500, 1500);
    s.frame(1000);
    s.restart();
    player = s.addCar({0, 0, 0}, 90);
    other = s.addCar({0, 4, 0}, 95);
    host.setPlayerVehicle(player);
    s.frame();
    s.queuePair(player, other, colPoint({0, 2, 0.5f}, {0, -1, 0}), 900, 900);
    s.frame(1000);
    s.finish();
}

} // namespace

void sweepScript(Figures& f, std::string* log, void (*atEnd)()) {
    Session s(kIni, 110, f);
    if (s.ok()) play(s);
    if (atEnd != nullptr) atEnd();
    if (log != nullptr) {
        std::ifstream in(s.logPath(), std::ios::binary);
        log->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
}

} // namespace soak
