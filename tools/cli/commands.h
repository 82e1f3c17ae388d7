#pragma once

#include "arguments.h"
#include "console.h"

namespace agent::cli {

// Exit statuses.
inline constexpr int EXIT_OK = 0;
inline constexpr int EXIT_FAILED = 1;
inline constexpr int EXIT_USAGE = 2;

// Runs one command with the agent's data directory and configuration
// (~/.config/varnel-agent/): the same saved session, log and settings as the windowed
// agent. Failures are told to the console in the user's words; returns the exit status.
int run_command(const Arguments& arguments, Console& console);

// parse_arguments + run_command, with usage errors told to the console.
int run(const std::vector<std::string>& args, Console& console);

}  // namespace agent::cli
