#pragma once

namespace vardo {

// The program: mode probe, options, dispatch. Every path ends the process with exit status 0 or
// 1.
[[noreturn]] void driver_main(int argc, char **argv);

} // namespace vardo
