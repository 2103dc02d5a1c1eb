#pragma once

// A substitute host per test, a private log file read back line by line, and
// the process-wide state of the plug-in put back to its start.

#include "dent/impact.h"
#include "game/contact_capture.h"
#include "game/frame_state.h"
#include "game/host_functions.h"
#include "game/host_layout.h"
#include "plugin/log.h"
#include "../plugin/scratch_dir.h"
#include "plugin/settings.h"
#include "sim/host.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace guardtest {

class SimTest : public ::testing::Test {
protected:
    void SetUp() override { startHost({}); }

    void TearDown() override {
        host.reset();
        std::remove(logFile_.c_str());
    }

    void startHost(sim::HostOptions options) {
        host.reset();
        host = std::make_unique<sim::Host>(options);
        ASSERT_TRUE(host->ok()) << "the host's address range is taken";
        plugin::resetSettingsForTesting();
        game::morphOffset = 0;
        game::hooksActive = 0;
        game::captureOpen = 0;
        game::shuttingDown = 0;
        game::contactQueue.reset();
        logFile_ = scratch_.file("guard_test.log");
        std::remove(logFile_.c_str());
        plugin::setLogPath(logFile_.c_str());
    }

    std::vector<std::string> logLines() const {
        std::vector<std::string> lines;
        std::ifstream in(logFile_, std::ios::binary);
        std::string line;
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            lines.push_back(line);
        }
        return lines;
    }

    // A contact on `vehicle` as capture queues it: the live identity, and the
    // dent sized with the vehicle's mass and the settings of this moment.
    dent::Contact contactOn(void* vehicle, dent::Vec point, dent::Vec normal, float impulse,
                            std::uint32_t piece) const {
        return {vehicle,
                host->handleOf(vehicle),
                game::renderObject(vehicle),
                point,
                normal,
                impulse,
                piece,
                dent::response(impulse, game::vehicleMass(vehicle), plugin::settings().impact)};
    }

    int countLog(const std::string& text) const {
        int n = 0;
        for (const auto& l : logLines()) n += (l == text);
        return n;
    }

    std::unique_ptr<sim::Host> host;

private:
    bwtest::ScratchDir scratch_; // keeps the log out of whatever folder the test runs in
    std::string logFile_;
};

} // namespace guardtest
