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

int PositiveInt(const YAML::Node& n, const char* key, int minimum)
{
    int v = n.as<int>();
    if (v < minimum) throw std::invalid_argument(std::string("board: \"") + key + "\" out of range");
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
        // "25", "29.97" or "30000/1001"
        std::string rate = board["frame-rate"].as<std::string>();
        size_t slash = rate.find('/');
        size_t used = 0;
        if (slash != std::string::npos) {
            unsigned long num = std::stoul(rate.substr(0, slash), &used);
            unsigned long den = std::stoul(rate.substr(slash + 1));
            if (num == 0 || den == 0) throw std::invalid_argument("board: bad frame-rate");
            c.frameRateNum = unsigned(num);
            c.frameRateDen = unsigned(den);
        } else if (rate == "29.97") {
            c.frameRateNum = 30000;
            c.frameRateDen = 1001;
        } else if (rate == "59.94") {
            c.frameRateNum = 60000;
            c.frameRateDen = 1001;
        } else {
            unsigned long num = std::stoul(rate, &used);
            if (num == 0 || used != rate.size()) throw std::invalid_argument("board: bad frame-rate");
            c.frameRateNum = unsigned(num);
            c.frameRateDen = 1;
        }
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
