#include "board/SimBoardConfig.h"

#include <yaml-cpp/yaml.h>

#include <stdexcept>

namespace {
struct FieldName {
    const char* name;
    v4l2_field field;
};
const FieldName kFieldNames[] = {
    {"any", V4L2_FIELD_ANY},
    {"none", V4L2_FIELD_NONE},
    {"progressive", V4L2_FIELD_NONE},
    {"top", V4L2_FIELD_TOP},
    {"bottom", V4L2_FIELD_BOTTOM},
    {"interlaced", V4L2_FIELD_INTERLACED},
    {"seq-tb", V4L2_FIELD_SEQ_TB},
    {"seq-bt", V4L2_FIELD_SEQ_BT},
    {"alternate", V4L2_FIELD_ALTERNATE},
    {"interlaced-tb", V4L2_FIELD_INTERLACED_TB},
    {"interlaced-bt", V4L2_FIELD_INTERLACED_BT},
};

constexpr double kMaxFrameRate = 300.0;

// A whole number written in digits only (no sign, no blanks), below 10^9.
unsigned Whole(const std::string& text)
{
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
        throw std::invalid_argument("board: \"" + text + "\" is not a whole number");
    return unsigned(std::stoul(text));
}

int PositiveInt(const YAML::Node& n, const char* key, int minimum, int maximum = 8192)
{
    int v = n.as<int>();
    if (v < minimum || v > maximum) throw std::invalid_argument(std::string("board: \"") + key + "\" out of range");
    return v;
}
}  // namespace

bool SimBoardConfig::FieldFromName(const std::string& name, v4l2_field& field)
{
    for (const auto& f : kFieldNames) {
        if (name == f.name) {
            field = f.field;
            return true;
        }
    }
    return false;
}

SimBoardConfig SimBoardConfig::FromYaml(const YAML::Node& board)
{
    SimBoardConfig c;
    if (board["outputs"]) c.outputs = PositiveInt(board["outputs"], "outputs", 0);
    if (board["inputs"]) c.inputs = PositiveInt(board["inputs"], "inputs", 0);
    if (board["width"]) c.width = PositiveInt(board["width"], "width", 2);
    if (board["height"]) c.height = PositiveInt(board["height"], "height", 2);
    if (c.outputs + c.inputs > 64) throw std::invalid_argument("board: too many nodes");
    if (board["field"]) {
        std::string name = board["field"].as<std::string>();
        if (!FieldFromName(name, c.field)) throw std::invalid_argument("board: unknown field order \"" + name + "\"");
    }
    if (board["frame-rate"]) {
        // "25", "29.97", "59.94" or "30000/1001"
        const std::string rate = board["frame-rate"].as<std::string>();
        unsigned num, den = 1;
        const size_t slash = rate.find('/');
        if (rate == "29.97") {
            num = 30000;
            den = 1001;
        } else if (rate == "59.94") {
            num = 60000;
            den = 1001;
        } else if (slash != std::string::npos) {
            num = Whole(rate.substr(0, slash));
            den = Whole(rate.substr(slash + 1));
        } else {
            num = Whole(rate);
        }
        // A clock ticks at most kMaxFrameRate times a second.
        if (num == 0 || den == 0 || double(num) / double(den) > kMaxFrameRate || double(num) / double(den) < 1.0)
            throw std::invalid_argument("board: frame-rate \"" + rate + "\" out of range");
        c.frameRateNum = num;
        c.frameRateDen = den;
    }
    if (board["preview"]) c.preview = board["preview"].as<std::string>();
    if (board["frame-log"]) c.frameLog = board["frame-log"].as<std::string>();
    if (board["clock"]) {
        std::string clock = board["clock"].as<std::string>();
        if (clock == "free-running")
            c.clock = Clock::FreeRunning;
        else if (clock == "real-time")
            c.clock = Clock::RealTime;
        else
            throw std::invalid_argument("board: unknown clock \"" + clock + "\"");
    }
    return c;
}
