#include "monitor/monitor_options.h"

const OptionSpec monitor_options[] = {
    {"--pid", "-p", 1},     {"--dump", nullptr, 0}, {"--interval", nullptr, 1},
    {"--wait", nullptr, 1}, {"--all", nullptr, 0},  {nullptr, nullptr, 0},
};
