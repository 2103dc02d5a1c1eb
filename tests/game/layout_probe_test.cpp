#include "game/layout_probe.h"

#include "sim_fixture.h"

namespace {

using guardtest::SimTest;

class LayoutProbe : public SimTest {};

struct Case {
    const char* what;
    sim::MorphLayout layout;
    bool failAllocation;
    std::uint32_t offset;
    const char* line;
};

} // namespace

TEST_F(LayoutProbe, FindsExactlyOneLayoutOrDisablesDeformation) {
    const Case cases[] = {
        {"layout at 0x5C", sim::MorphLayout::At5C, false, 0x5C,
         "Geometry ABI: validated morphTarget offset=0x5C; CPU buffer guard active."},
        {"layout at 0x68", sim::MorphLayout::At68, false, 0x68,
         "Geometry ABI: validated morphTarget offset=0x68; CPU buffer guard active."},
        {"neither validates", sim::MorphLayout::Neither, false, 0,
         "Geometry ABI: no unique validated layout; deformation disabled."},
        {"both validate", sim::MorphLayout::Both, false, 0,
         "Geometry ABI: no unique validated layout; deformation disabled."},
        {"no probe geometry", sim::MorphLayout::At5C, true, 0,
         "Geometry ABI: probe allocation failed; deformation disabled."},
    };
    for (const Case& c : cases) {
        sim::HostOptions options;
        options.morphLayout = c.layout;
        startHost(options);
        if (c.failAllocation) host->failOnUse(sim::HostCall::CreateGeometry, 1);
        const sim::Accounting before = host->accounting();

        game::probeGeometryLayout();

        EXPECT_EQ(game::morphOffset, c.offset) << c.what;
        EXPECT_EQ(logLines(), std::vector<std::string>{c.line}) << c.what;
        EXPECT_STREQ(plugin::currentPhase(), "geometry ABI: create runtime probe") << c.what;
        // The probe geometry is released whatever the outcome.
        const sim::Accounting after = host->accounting();
        EXPECT_EQ(after.liveGeometries, before.liveGeometries) << c.what;
        EXPECT_EQ(after.badReleases, 0u) << c.what;
        EXPECT_EQ(after.invalidCalls, 0u) << c.what;
    }
}
