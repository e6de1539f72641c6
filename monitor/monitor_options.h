// The monitor's own options, for the start-up check of unknown options.
// The values themselves are read on demand with opt_value and opt_flag.
#pragma once

#include "runtime/options.h"

// --pid/-p PID, --dump, --interval MS, --wait S, --all; ends with a null entry.
extern const OptionSpec monitor_options[];
