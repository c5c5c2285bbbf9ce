// The "board" mapping of the configuration file.
#include "board/SimBoardConfig.h"

#include <gtest/gtest.h>
#include <yaml-cpp/yaml.h>

namespace {

TEST(SimBoardConfig, ReadsTheMapping)
{
    SimBoardConfig c = SimBoardConfig::FromYaml(YAML::Load(
        "{type: simulated, outputs: 3, inputs: 0, width: 720, height: 243, field: alternate, frame-rate: 30000/1001,"
        " preview: /p, frame-log: /f, clock: free-running}"));
    EXPECT_EQ(3, c.outputs);
    EXPECT_EQ(0, c.inputs);
    EXPECT_EQ(720, c.width);
    EXPECT_EQ(243, c.height);
    EXPECT_EQ(V4L2_FIELD_ALTERNATE, c.field);
    EXPECT_EQ(30000u, c.frameRateNum);
    EXPECT_EQ(1001u, c.frameRateDen);
    EXPECT_EQ("/p", c.preview);
    EXPECT_EQ("/f", c.frameLog);
    EXPECT_EQ(SimBoardConfig::Clock::FreeRunning, c.clock);

    SimBoardConfig d = SimBoardConfig::FromYaml(YAML::Load("{type: simulated}"));
    EXPECT_EQ(2, d.outputs);
    EXPECT_EQ(1, d.inputs);
    EXPECT_EQ(V4L2_FIELD_INTERLACED, d.field);
    EXPECT_DOUBLE_EQ(25.0, d.FrameRate());
    EXPECT_EQ(SimBoardConfig::Clock::RealTime, d.clock);
}

TEST(SimBoardConfig, FrameRates)
{
    struct Case {
        const char* text;
        unsigned num, den;
    } good[] = {{"25", 25, 1}, {"29.97", 30000, 1001}, {"59.94", 60000, 1001}, {"50/1", 50, 1}, {"24000/1001", 24000, 1001}};
    for (const Case& c : good) {
        SimBoardConfig cfg = SimBoardConfig::FromYaml(YAML::Load(std::string("{frame-rate: \"") + c.text + "\"}"));
        EXPECT_EQ(c.num, cfg.frameRateNum) << c.text;
        EXPECT_EQ(c.den, cfg.frameRateDen) << c.text;
    }
    for (const char* bad : {"0", "-5", "25.5", "1/0", "0/1", "100000", "1/2", "x", "25 ", "4294967321"})
        EXPECT_THROW(SimBoardConfig::FromYaml(YAML::Load(std::string("{frame-rate: \"") + bad + "\"}")),
                     std::exception)
            << bad;
}

TEST(SimBoardConfig, RefusesValuesOfTheWrongKind)
{
    for (const char* bad : {"{field: sideways}", "{clock: sometimes}", "{outputs: -1}", "{width: 1}",
                            "{outputs: 40, inputs: 40}", "{height: tall}", "{width: 100000}"})
        EXPECT_THROW(SimBoardConfig::FromYaml(YAML::Load(bad)), std::exception) << bad;
}

}  // namespace
