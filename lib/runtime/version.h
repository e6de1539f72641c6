// The suite version, printed by the help, "--version" and "--selftest".
#pragma once

inline constexpr const char VERSION_STRING[] = "1.0.2-alpha027";
