#pragma once

#include <string>
#include <vector>

namespace agent::details {

// Starts argv[0] with the arguments as a process of its own session that outlives the
// agent and is never waited for (a browser launcher, the installer). No shell is involved:
// the arguments reach the program exactly as given. A program name without "/" is looked
// up in PATH. Returns once the program has been executed; throws SystemException naming
// the call that failed ("execv" with ENOENT or EACCES when the program cannot be run).
void start_detached(const std::vector<std::string>& argv);

}  // namespace agent::details
