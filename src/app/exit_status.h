// Exit status of the process, the same in the window and in headless mode.
#pragma once

namespace kvx {

inline constexpr int EXIT_CLEAN_STOP = 0;
inline constexpr int EXIT_FAILURE_STATUS = 1;        // a failure while running
inline constexpr int EXIT_COMMAND_LINE_ERROR = 2;    // bad start-up values or options

}  // namespace kvx
