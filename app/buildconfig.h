#pragma once

// Values fixed when the program is built; the program has no run-time configuration.
namespace buildconfig {
extern const char serviceHost[];
extern const int servicePort;
extern const char extraCaPem[]; // empty when the build trusts the system roots only
} // namespace buildconfig
