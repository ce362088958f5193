#pragma once
// Runs the built kmptool the way people and scripts do, for tests of its printed formats.

#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace zol::kmptool::testing {

struct ToolRun {
    std::string out;
    int status = -1;
};

// Runs a shell command line and collects its standard output and exit status.
inline ToolRun RunKmptoolCommand(const std::string& command) {
    ToolRun run;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return run;
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) run.out += buffer;
    const int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

// Runs kmptool with `arguments` (shell-quoted by the caller); stderr is folded into the output
// unless `stdout_only`.
inline ToolRun RunKmptool(const std::string& arguments, bool stdout_only = false) {
    return RunKmptoolCommand(std::string(ZOL_BIN_DIR) + "/kmptool " + arguments +
                             (stdout_only ? " 2>/dev/null" : " 2>&1"));
}

// Runs kmptool and collects only what it writes to stderr.
inline ToolRun RunKmptoolStderr(const std::string& arguments) {
    return RunKmptoolCommand(std::string(ZOL_BIN_DIR) + "/kmptool " + arguments +
                             " 2>&1 >/dev/null");
}

}  // namespace zol::kmptool::testing
