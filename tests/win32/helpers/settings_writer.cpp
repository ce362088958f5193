// Helper of the two-process INI test: stores a settings object into an INI file again and again,
// under its own section prefix, each time with a new Left value and one new key.
// Usage: zol_settings_writer INI-FILE PREFIX FIRST-LEFT ROUNDS START-EVENT
// It waits for the named event START-EVENT first, so that both writers begin together.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "parser/parser_CfgOptionsProxy.h"
#include "zolShared/Public/Common/zolRegSettings.h"

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr,
                     "usage: zol_settings_writer INI-FILE PREFIX FIRST-LEFT ROUNDS START-EVENT\n");
        return 2;
    }
    HANDLE start = OpenEventA(SYNCHRONIZE, FALSE, argv[5]);
    if (start == nullptr || WaitForSingleObject(start, 60000) != WAIT_OBJECT_0) return 3;
    CloseHandle(start);
    zol::parser::TProxyCodeObject object;
    zol::common::TWreg wreg;
    wreg.INIFile = argv[1];
    wreg.INIFileSectionPrefix = argv[2];
    wreg.Object = &object;
    const int first = std::atoi(argv[3]);
    const int rounds = std::atoi(argv[4]);
    int failures = 0;
    for (int i = 0; i < rounds; ++i) {
        // Each round also adds a key of its own: a rewrite that lost another writer's round
        // would show as a missing key.
        wreg.Components = {"Left,Left", "lblParams.Caption,Parser config",
                           "Top,Round " + std::to_string(i)};
        object.Left = first + i;
        object.lblParams_Caption = "round " + std::to_string(i) + "\r\nof " + argv[2];
        if (!wreg.Execute(zol::common::TWregOperation::kStore)) ++failures;
    }
    return failures == 0 ? 0 : 1;
}
