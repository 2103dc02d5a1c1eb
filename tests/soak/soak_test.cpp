// The soak: long seeded sessions of the plug-in on the substitute host with
// the player and up to 200 traffic cars, collisions from every direction with
// any impulse (non-finite and enormous included), pile-ups, vehicles deleted
// and their pool slots reused, repairs, F7, a restart in the middle, and the
// tracking and vertex budgets at both ends of their ranges. Every frame is
// checked (harness.cpp). BW_SOAK_FRAMES sets the total length, BW_SOAK_SEED
// the sequence, BW_SOAK_PROGRESS=<n> prints a progress line every n frames,
// BW_SOAK_CONFIG=<i> plays only the i-th configuration (from 1; each is its
// own process under Wine); the last line is a summary for
// scripts/reliability-report.sh.

#include "harness.h"
#include "random.h"

#include "game/host_layout.h"

#include <cmath>
#include <cstdio>
#include <limits>
#include <string>

namespace {

struct Config {
    const char* name;
    unsigned maxTracked;
    unsigned maxVertices;
    bool panelBending;
    unsigned cars; // traffic besides the player
};

const Config kConfigs[] = {
    {"low budgets, panels on", 16, 50000, true, 200},
    {"high budgets, panels off", 128, 1000000, false, 200},
    {"low tracking, high vertices, panels on", 16, 1000000, true, 60},
    {"high tracking, low vertices, panels off", 128, 50000, false, 120},
};

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

float impulse(soak::Random& rng) {
    const std::uint32_t k = rng.below(100);
    if (k < 55) return rng.uniform(0.0f, 2500.0f);
    if (k < 65) return rng.uniform(2500.0f, 1e5f);
    if (k < 70) return 1e30f;
    if (k < 73) return kInf;
    if (k < 76) return kNaN;
    if (k < 81) return -rng.uniform(0.0f, 3000.0f);
    if (k < 83) return std::numeric_limits<float>::max();
    return rng.uniform(0.0f, 50.0f);
}

dent::Vec direction(soak::Random& rng) {
    const std::uint32_t k = rng.below(60);
    if (k == 0) return {0, 0, 0};
    if (k == 1) return {kNaN, 0, 1};
    if (k == 2) return {kInf, 0, 0};
    if (k == 3) return {1e30f, -1e30f, 0};
    for (;;) {
        const dent::Vec v{rng.uniform(-1, 1), rng.uniform(-1, 1), rng.uniform(-1, 1)};
        const float l = dent::length(v);
        if (l > 0.05f && l <= 1.0f) return v * (1.0f / l);
    }
}

sim::ColPoint point(soak::Random& rng, void* vehicle) {
    sim::ColPoint c{};
    const dent::Vec at = game::entityPosition(vehicle);
    c.point = at + dent::Vec{rng.uniform(-1.2f, 1.2f), rng.uniform(-2.6f, 2.6f), rng.uniform(-0.3f, 1.2f)};
    if (rng.chance(40)) c.point = {kNaN, at.y, at.z};
    if (rng.chance(80)) c.point = at + dent::Vec{1e20f, 0, 0};
    c.normal = direction(rng);
    c.surfaceA = static_cast<std::uint8_t>(rng.below(256));
    c.pieceA = static_cast<std::uint8_t>(rng.below(256));
    c.surfaceB = static_cast<std::uint8_t>(rng.below(256));
    c.pieceB = static_cast<std::uint8_t>(rng.below(256));
    c.depth = rng.uniform(0, 0.5f);
    return c;
}

// A pile-up: a queue of cars pushed up behind one of them, each struck by the
// one behind, all in the same frame. One in 25 takes in most of the traffic
// and overfills the contact queue.
void pileUp(soak::Session& s, soak::Random& rng, void* player, soak::Figures& f) {
    const auto& cars = s.cars();
    const auto total = static_cast<std::uint32_t>(cars.size());
    if (total < 2) return;
    const std::uint32_t wanted = rng.chance(25) ? 100 + rng.below(60) : 4 + rng.below(21);
    std::vector<void*> chain{player != nullptr && rng.chance(3) ? player : cars[rng.below(total)]};
    const std::uint32_t first = rng.below(total);
    for (std::uint32_t k = 0; k < total && chain.size() < wanted; ++k)
        if (cars[(first + k) % total] != chain[0]) chain.push_back(cars[(first + k) % total]);
    const dent::Vec at = game::entityPosition(chain[0]);
    const float heading = rng.uniform(0, 360);
    const float r = heading * 3.14159265f / 180.0f;
    const dent::Vec ahead{-std::sin(r), std::cos(r), 0}, side{std::cos(r), std::sin(r), 0};
    for (std::size_t i = 1; i < chain.size(); ++i) {
        const dent::Vec place =
            at - ahead * (4.6f * static_cast<float>(i)) + side * rng.uniform(-0.8f, 0.8f);
        s.host().setPlacement(chain[i], sim::Matrix::yaw(heading + rng.uniform(-20, 20), place));
    }
    for (std::size_t i = 0; i + 1 < chain.size(); ++i) {
        sim::ColPoint c{};
        c.point = game::entityPosition(chain[i]) - ahead * 2.3f + side * rng.uniform(-0.6f, 0.6f);
        c.normal = ahead;
        c.depth = rng.uniform(0, 0.3f);
        s.queuePair(chain[i + 1], chain[i], c, rng.uniform(500, 20000), rng.uniform(500, 20000));
    }
    ++f.pileUps;
}

// Every `every` frames: how far the session is and where the time of the
// frames since the last line went.
class Progress {
  public:
    Progress(const Config& config, std::uint64_t every) : config_(config), every_(every) {}
    void frameDone(std::uint64_t n, std::uint64_t frames, std::size_t cars,
                   const soak::Figures& f) {
        if (every_ == 0 || (n + 1) % every_ != 0) return;
        double now[kAccounts];
        for (int a = 0; a < kAccounts; ++a)
            now[a] = soak::spentMs(static_cast<soak::Spend>(a));
        const double k = 1.0 / static_cast<double>(every_);
        std::printf(
            "soak: %s: frame %llu/%llu, %zu cars, %llu collisions, %llu violations; ms per frame: "
            "plug-in %.1f, host %.1f, checks %.1f, driver %.1f\n",
            config_.name, static_cast<unsigned long long>(n + 1),
            static_cast<unsigned long long>(frames), cars,
            static_cast<unsigned long long>(f.collisions),
            static_cast<unsigned long long>(f.violations), (now[0] - last_[0]) * k,
            (now[1] - last_[1]) * k, (now[2] - last_[2]) * k, (now[3] - last_[3]) * k);
        std::fflush(stdout);
        for (int a = 0; a < kAccounts; ++a)
            last_[a] = now[a];
    }

    // The plug-in's time over the whole session, by the phase it was in.
    void sessionDone(std::uint64_t frames) const {
        if (every_ == 0 || frames == 0) return;
        soak::PhaseSpend phases[6];
        const int n = soak::pluginPhases(phases, 6);
        std::printf("soak: %s: plug-in ms per frame by phase:", config_.name);
        for (int i = 0; i < n; ++i)
            std::printf("%s \"%s\" %.2f", i ? "," : "", phases[i].phase,
                        phases[i].ms / static_cast<double>(frames));
        std::printf("\n");
    }

  private:
    static constexpr int kAccounts = static_cast<int>(soak::Spend::Count);
    const Config& config_;
    std::uint64_t every_;
    double last_[kAccounts] = {};
};

void run(const Config& config, std::uint64_t seed, std::uint64_t frames, soak::Figures& f) {
    Progress progress(config, soak::envNumber("BW_SOAK_PROGRESS", 0));
    soak::Random rng(seed);
    // Pile-ups draw from their own sequence, so that the rest of a seed's
    // session stays what it was without them.
    soak::Random pileUps(~seed);
    const std::string ini = "[General]\r\nLogHits=1\r\n[Deformation]\r\nPanelBending=" +
                            std::string(config.panelBending ? "1" : "0") +
                            "\r\n[Traffic]\r\nNPCRange=200\r\nMaxNPCPerFrame=64\r\nMaxTrackedVehicles=" +
                            std::to_string(config.maxTracked) + "\r\nMaxTotalVertices=" +
                            std::to_string(config.maxVertices) + "\r\n";
    soak::Session s(ini, 256, f);
    if (!s.ok()) return;
    sim::Host& host = s.host();
    void* player = s.addCar({0, 0, 0}, 90);
    host.setPlayerVehicle(player);
    bool f7 = false;
    std::vector<void*> repairing;
    for (std::uint64_t n = 0; n < frames; ++n) {
        soak::setContext("seed " + std::to_string(seed) + ", " + config.name + ", frame " + std::to_string(n));
        if (n == frames / 2) {
            s.restart();
            player = s.addCar({0, 0, 0}, 90);
            host.setPlayerVehicle(player);
            repairing.clear();
        }
        const auto& cars = s.cars();
        // Traffic arrives near the player, some of it out of range.
        for (int k = 0; k < 6 && cars.size() < config.cars + 1; ++k) {
            const float range = rng.chance(5) ? 320.0f : 150.0f;
            const int model = rng.chance(15) ? 60 + static_cast<int>(rng.below(30))
                                             : 90 + static_cast<int>(rng.below(61));
            if (s.addCar({rng.uniform(-range, range), rng.uniform(-range, range), 0}, model) !=
                nullptr)
                ++f.carsAdded;
        }
        if (cars.size() > f.peakCars) f.peakCars = static_cast<std::uint32_t>(cars.size());
        if (cars.size() > 2 && rng.chance(8)) {
            void* gone = cars[1 + rng.below(static_cast<std::uint32_t>(cars.size() - 1))];
            if (gone != player) {
                for (auto& r : repairing)
                    if (r == gone) r = nullptr;
                s.removeCar(gone);
            }
        }
        if (cars.empty()) continue;
        const auto pick = [&]() -> void* {
            return rng.chance(3) && player != nullptr ? player
                                                      : cars[rng.below(static_cast<std::uint32_t>(cars.size()))];
        };
        for (std::uint32_t k = rng.below(5); k > 0; --k) {
            void* self = pick();
            void* other = rng.chance(4) ? nullptr : pick();
            if (other == self) other = nullptr;
            if (rng.chance(2)) s.queuePair(self, other, point(rng, self), impulse(rng), impulse(rng));
            else s.queueSingle(self, other, point(rng, self), impulse(rng));
        }
        if (pileUps.chance(60)) pileUp(s, pileUps, player, f);
        if (rng.chance(10))
            s.queueComponentDamage(pick(), static_cast<int>(rng.below(24)) - 2, rng.uniform(0, 3));
        // Repairs: the health falls, then rises again.
        for (void*& r : repairing)
            if (r != nullptr) {
                game::setField<float>(r, game::VehicleHealth, 1000.0f);
                r = nullptr;
            }
        if (rng.chance(30)) {
            void* v = pick();
            game::setField<float>(v, game::VehicleHealth, rng.uniform(100, 900));
            repairing.push_back(v);
        }
        if (rng.chance(40)) host.resetDamage(pick());
        if (f7 ? rng.chance(2) : rng.chance(60)) {
            f7 = !f7;
            host.setKey(0x76, f7);
        }
        if (rng.chance(150)) {
            player = pick();
            host.setPlayerVehicle(player);
        } else if (rng.chance(400)) {
            host.setPlayerOnFoot({5, 5, 0});
            player = nullptr;
        } else if (player == nullptr && rng.chance(20)) {
            player = cars[rng.below(static_cast<std::uint32_t>(cars.size()))];
            host.setPlayerVehicle(player);
        }
        if (rng.chance(10)) {
            void* v = pick();
            host.setPlacement(v, sim::Matrix::yaw(rng.uniform(0, 360), game::entityPosition(v) +
                                                                     dent::Vec{rng.uniform(-3, 3), rng.uniform(-3, 3), 0}));
        }
        host.setHoldFlags(rng.chance(200) ? 1 : 0, 0);
        const std::uint32_t ms = rng.chance(20) ? rng.below(3000) : 33;
        s.frame(ms);
        progress.frameDone(n, frames, cars.size(), f);
    }
    progress.sessionDone(frames);
    host.setKey(0x76, false);
    soak::setContext("seed " + std::to_string(seed) + ", " + config.name + ", end of session");
    s.finish();
}

} // namespace

int main() {
    const std::uint64_t seed = soak::envNumber("BW_SOAK_SEED", 20240611);
    const std::uint64_t total = soak::envNumber("BW_SOAK_FRAMES", 200);
    const std::uint64_t perConfig = total / (sizeof kConfigs / sizeof kConfigs[0]) + 1;
    std::printf("soak: seed %llu, %llu frames per configuration\n", static_cast<unsigned long long>(seed),
                static_cast<unsigned long long>(perConfig));
    soak::Figures sum;
    unsigned index = 0;
    const std::uint64_t only = soak::envNumber("BW_SOAK_CONFIG", 0);
    for (const Config& c : kConfigs) {
        const std::uint64_t configSeed = seed * 4 + index++;
        if (only != 0 && only != index) continue;
        const soak::Figures f =
            soak::runChild(c.name, [&](soak::Figures& out) { run(c, configSeed, perConfig, out); });
        std::printf("soak: %s: %llu frames, %llu collisions, %llu pile-ups, up to %u cars, %llu "
                    "violations\n",
                    c.name, static_cast<unsigned long long>(f.frames),
                    static_cast<unsigned long long>(f.collisions),
                    static_cast<unsigned long long>(f.pileUps), f.peakCars,
                    static_cast<unsigned long long>(f.violations));
        sum.frames += f.frames;
        sum.carsAdded += f.carsAdded;
        if (f.peakCars > sum.peakCars) sum.peakCars = f.peakCars;
        sum.pileUps += f.pileUps;
        sum.collisions += f.collisions;
        sum.violations += f.violations;
        sum.leaks += f.leaks;
        sum.exceptions += f.exceptions;
    }
    std::printf("BW-SOAK seed=%llu frames=%llu collisions=%llu pileUps=%llu cars=%u carsAdded=%llu "
                "violations=%llu "
                "leaks=%llu exceptions=%llu\n",
                static_cast<unsigned long long>(seed), static_cast<unsigned long long>(sum.frames),
                static_cast<unsigned long long>(sum.collisions),
                static_cast<unsigned long long>(sum.pileUps), sum.peakCars,
                static_cast<unsigned long long>(sum.carsAdded),
                static_cast<unsigned long long>(sum.violations),
                static_cast<unsigned long long>(sum.leaks),
                static_cast<unsigned long long>(sum.exceptions));
    return sum.violations == 0 && sum.leaks == 0 && sum.exceptions == 0 ? 0 : 1;
}
