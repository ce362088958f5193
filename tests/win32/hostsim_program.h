#pragma once
// Runs the hostsim program (beside the test program) the way a user does, for the Windows tests
// of its command line and printed output.

#include <windows.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <string>

namespace zol::hostsim {

struct ProgramRun {
    DWORD exit_code = 0xFFFFFFFF;
    DWORD process_id = 0;
    std::string out;
    std::string err;
};

inline std::string ReadBack(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Runs `program` (hostsim.exe on kmpparser.dll unless told) with `arguments`, collecting its two
// outputs; `while_running` is called once the program has started. A run that does not end
// within `wait_ms` is ended (its exit code then tells).
inline ProgramRun RunHostsim(const std::string& arguments,
                             const std::function<void()>& while_running = {},
                             const std::string& program = "hostsim.exe --dll kmpparser.dll",
                             DWORD wait_ms = 60000) {
    const std::string base = "hostsim_program_" + std::to_string(GetCurrentProcessId());
    const std::string out_file = base + ".out", err_file = base + ".err";
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE out = CreateFileA(out_file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                             CREATE_ALWAYS, 0, nullptr);
    HANDLE err = CreateFileA(err_file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                             CREATE_ALWAYS, 0, nullptr);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = out;
    startup.hStdError = err;
    std::string command = program + " " + arguments;
    PROCESS_INFORMATION info{};
    ProgramRun run;
    if (CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                       &startup, &info)) {
        run.process_id = info.dwProcessId;
        if (while_running) while_running();
        if (WaitForSingleObject(info.hProcess, wait_ms) != WAIT_OBJECT_0) {
            TerminateProcess(info.hProcess, 0xDEAD);
            WaitForSingleObject(info.hProcess, 10000);
        }
        GetExitCodeProcess(info.hProcess, &run.exit_code);
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
    }
    CloseHandle(out);
    CloseHandle(err);
    run.out = ReadBack(out_file);
    run.err = ReadBack(err_file);
    DeleteFileA(out_file.c_str());
    DeleteFileA(err_file.c_str());
    return run;
}

}  // namespace zol::hostsim
