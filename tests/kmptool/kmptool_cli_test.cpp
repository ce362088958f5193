// kmptool's command line as people meet it: help on every command, typing mistakes named with
// the exit code of a usage error, and the register listing that read --regs is written from.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>

#include "common/exit_codes.h"
#include "kmp/kmp_registers.h"
#include "kmptool/run_kmptool.h"

namespace {

using zol::kmptool::testing::RunKmptool;
using zol::kmptool::testing::RunKmptoolStderr;
using zol::kmptool::testing::ToolRun;

TEST(KmptoolCommandLine, HelpOnEveryCommandListsEachOptionOnOneLine) {
    const struct {
        const char* command;
        const char* option;  // one option its help must show with its description
    } cases[] = {
        {"", "registers"},  // the tool itself lists its commands
        {"crc", "--list"},
        {"cron", "next"},
        {"cron next", "--from"},
        {"decode", "--catalogue"},
        {"frame", "--cid"},
        {"read", "--sim-fault"},
        {"registers", "--catalogue"},
        {"requests", "--dry-run"},
        {"scan", "HEX"},
        {"settings", "decode"},
        {"settings encode", "TEXT"},
    };
    for (const auto& c : cases) {
        for (const char* help : {" --help", " -h"}) {
            SCOPED_TRACE(std::string(c.command) + help);
            const ToolRun run = RunKmptool(std::string(c.command) + help, true);
            EXPECT_EQ(run.status, zol::tools::kExitDone);
            EXPECT_NE(run.out.find(std::string("Usage: kmptool ") + c.command), std::string::npos)
                << run.out;
            // Every option, positional and subcommand line carries its description: a name and
            // at least two spaces, then text; a description pushed to a line of its own would
            // leave the name alone.
            std::istringstream lines(run.out);
            bool found = false;
            for (std::string line; std::getline(lines, line);) {
                if (line.rfind("  ", 0) != 0 || line.rfind("          ", 0) == 0) continue;
                const auto gap = line.find("  ", 2);
                EXPECT_TRUE(gap != std::string::npos &&
                            line.find_first_not_of(' ', gap) != std::string::npos)
                    << line;
                found = found || line.find(c.option) == 2;
            }
            EXPECT_TRUE(found) << run.out;
        }
    }
}

TEST(KmptoolCommandLine, MistakesAreNamedOnStderrWithExitCode2) {
    const struct {
        const char* arguments;
        const char* says;  // the first line on stderr
    } cases[] = {
        {"read --sim --adr 63 --regs E1",
         "kmptool read: unknown option --adr; did you mean --addr?"},
        {"read --sim --addr 63 --regs E1 --jsno",
         "kmptool read: unknown option --jsno; did you mean --json?"},
        {"read --sim --addr 63 --regs E1 --timeout", "kmptool read: --timeout needs a value (MS)"},
        {"read --sim --addr 63", "kmptool read: --regs is required"},
        {"read --sim --addr 63 --regs E1 --verbose", "kmptool read: unknown option --verbose"},
        {"read --sim --addr 0x100 --regs E1",
         "kmptool read: --addr must be a number from 0 to 255"},
        {"read --sim --addr 63 --regs E1 63", "kmptool read: unexpected argument '63'"},
        {"read --port /dev/null --addr 63 --regs E1 --baud 1234",
         "kmptool read: --baud must be one of 300, 600, 1200, 2400, 4800, 9600, 19200, 38400, "
         "57600, 115200 (not '1234')"},
        {"discover --sim 63 --baud 1201",
         "kmptool discover: --baud must be one of 300, 600, 1200, 2400, 4800, 9600, 19200, 38400, "
         "57600, 115200 (not '1201')"},
        {"decode 80 3F 01 05 8A 0D",
         "kmptool decode: this is a request frame (80 ... 0D), sent to the meter: decode reads "
         "the meter's replies (40 ... 0D); kmptool scan shows frames"},
        {"requests --chek site.xml",
         "kmptool requests: unknown option --chek; did you mean --check?"},
        {"requests", "kmptool requests: FILE is required"},
        {"registers --catalog electricity",
         "kmptool registers: unknown option --catalog; did you mean --catalogue?"},
        {"registers --catalogue water",
         "kmptool registers: --catalogue must be heat or electricity"},
        {"cron nxt '* * * * *'", "kmptool cron: unknown command 'nxt'; did you mean next?"},
        {"cron next '0 0 12' -n x", "invalid count 'x'"},
        {"reed --sim", "kmptool: unknown command 'reed'; did you mean read?"},
        {"", "kmptool: a command is required"},
        {"settings encode --x", "kmptool settings encode: unknown option --x"},
        {"frame --addr 1 --cid 1 --regz E1",
         "kmptool frame: unknown option --regz; did you mean --regs?"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments);
        const ToolRun run = RunKmptoolStderr(c.arguments);
        EXPECT_EQ(run.status, zol::tools::kExitUsage);
        EXPECT_EQ(run.out.substr(0, run.out.find('\n')), c.says) << run.out;
        EXPECT_EQ(RunKmptool(c.arguments, true).out, "") << "nothing on stdout";
    }
}

// The listing is what a technician copies into read --regs: every row of the catalogue in
// order, its id in a form --regs takes, and reading by that id or code gives the row's register.
TEST(KmptoolRegisters, ListsEveryRowAndItsIdsAndCodesReadBack) {
    for (const auto which : {zol::kmp::KmpCatalogue::kHeat, zol::kmp::KmpCatalogue::kElectricity}) {
        const bool heat = which == zol::kmp::KmpCatalogue::kHeat;
        const ToolRun run = RunKmptool(heat ? "registers" : "registers --catalogue electricity");
        ASSERT_EQ(run.status, 0);
        std::istringstream lines(run.out);
        std::string line;
        std::getline(lines, line);
        EXPECT_EQ(line, "ID      CODE                 DECODER  NAME");
        std::size_t rows = 0;
        for (const auto& row : zol::kmp::Catalogue(which)) {
            if (row.Id == zol::kmp::kKmpCatalogueEnd) break;
            ASSERT_TRUE(std::getline(lines, line)) << "row " << rows << " missing";
            char id[8];
            std::snprintf(id, sizeof id, "0x%04X", static_cast<unsigned>(row.Id));
            EXPECT_EQ(line.substr(0, 8), std::string(id) + "  ");
            EXPECT_EQ(line.substr(line.size() - row.Name.size()), row.Name);
            ++rows;
        }
        EXPECT_FALSE(std::getline(lines, line)) << "more lines than rows: " << line;
        EXPECT_EQ(rows, heat ? 72u : 31u);
    }
    EXPECT_NE(
        RunKmptool("registers").out.find("\n0x03EA  CLOCK                time     Current time"),
        std::string::npos);

    // Reading by code and by the listed id asks for the same register.
    const ToolRun by_code = RunKmptool("read --sim --addr 63 --regs t1,CLOCK --json");
    const ToolRun by_id = RunKmptool("read --sim --addr 63 --regs 0x0056,0x03EA --json");
    EXPECT_EQ(by_code.status, 0);
    EXPECT_EQ(by_code.out, by_id.out);
    EXPECT_NE(by_code.out.find(R"("T1": {"id": "0056", "value": )"), std::string::npos);
    const ToolRun power =
        RunKmptool("read --sim --addr 64 --catalogue electricity --regs 0x0438", true);
    EXPECT_EQ(power.status, 0);
    EXPECT_NE(power.out.find("0438   -                    "), std::string::npos) << power.out;

    // A heat code given for an electricity meter says what it is and where the codes are.
    const ToolRun wrong =
        RunKmptoolStderr("read --sim --addr 64 --catalogue electricity --regs E1");
    EXPECT_EQ(wrong.status, zol::tools::kExitUsage);
    EXPECT_NE(wrong.out.find("(E1 is heat register 0x003C)"), std::string::npos) << wrong.out;
    EXPECT_NE(wrong.out.find("`kmptool registers --catalogue electricity`"), std::string::npos);
}

}  // namespace
