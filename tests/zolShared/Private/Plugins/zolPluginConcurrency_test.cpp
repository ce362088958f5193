// Several host threads on one instance: commands, ProcessData and log collection at once. Run
// under the ThreadSanitizer build this catches unguarded shared state; everywhere it checks that
// nothing deadlocks and no log line is lost.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "zolShared/Private/Plugins/zolPluginModule.h"

namespace zol::plugins {
namespace {

using common::TzolParamsList;
using common::Variant;

std::unique_ptr<TzolPlugin> MakePlugin(TPluginCallRec* rec) {
    auto plugin = std::make_unique<TzolPlugin>(rec);
    plugin->LogTitle = "T";
    return plugin;
}

std::int32_t Command(void* handle, const std::string& command,
                     std::initializer_list<std::pair<const char*, Variant>> params) {
    TzolParamsList list;
    list.Add("RESULT", Variant());
    list.Add("COMMAND", Variant::Ansi(command));
    for (const auto& [name, value] : params) list.Add(name, value);
    TPluginCallRec rec{};
    rec.RecSize = kCallRecSize;
    rec.Instance = handle;
    rec.Params = &list;
    return ExecutePluginCommandCall(&rec);
}

std::string TakeLog(void* handle) {
    std::vector<char> buffer(1 << 16);
    TPluginCallRec rec{};
    rec.Instance = handle;
    rec.InData.Size = static_cast<std::int32_t>(buffer.size());
    rec.InData.Value.Ptr = buffer.data();
    const std::int32_t n = GetLogExCall(&rec);
    return std::string(buffer.data(), static_cast<std::size_t>(n > 0 ? n : 0));
}

TEST(PluginConcurrency, CommandsDataAndLogCollectionFromSeveralThreads) {
    LibraryShutdown();
    RegisterPluginClass(&MakePlugin);
    LibraryStartup();
    TzolParamsList create_params;
    TPluginCallRec create{};
    create.RecSize = kCallRecSize;
    create.Params = &create_params;
    ASSERT_EQ(CreatePluginInstanceCall(&create), 0);
    void* handle = create.Instance;
    ASSERT_EQ(Command(handle, "LOAD", {}), 0);

    constexpr int kThreads = 3;
    constexpr int kRounds = 300;
    std::atomic<int> failures{0};
    std::atomic<bool> stop{false};
    std::string collected;
    std::thread collector([&] {
        while (!stop.load()) collected += TakeLog(handle);
    });
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t) {
        workers.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                const std::string key = "Custom:W" + std::to_string(t);
                if (Command(handle, "SET-MODULE-PARAMETER",
                            {{"PARAM", Variant::Ansi(key)}, {"VALUE", Variant::Int32(i)}}) != 0) {
                    ++failures;
                }
                if (Command(handle, "GET-MODULE-PARAMETER",
                            {{"PARAM", Variant::Ansi("ModuleLoadCount")}}) != 0) {
                    ++failures;
                }
                // Renaming the log title (to the same text) while other threads log.
                if (Command(handle, "SET-MODULE-PARAMETER",
                            {{"PARAM", Variant::Ansi("LogTitle")},
                             {"VALUE", Variant::Ansi("T")}}) != 0) {
                    ++failures;
                }
                TzolParamsList params;
                TPluginCallRec rec{};
                rec.RecSize = kCallRecSize;
                rec.Instance = handle;
                rec.Params = &params;
                rec.Flags = kFlagExpectsInput;
                rec.StateMask = 0x03;
                if (ProcessDataCall(&rec) != 0) ++failures;
            }
        });
    }
    for (auto& worker : workers) worker.join();
    stop = true;
    collector.join();
    collected += TakeLog(handle);
    EXPECT_EQ(failures.load(), 0);

    int lines = 0;
    std::size_t start = 0;
    while (start < collected.size()) {
        std::size_t end = collected.find("\r\n", start);
        ASSERT_NE(end, std::string::npos);
        const std::string line = collected.substr(start, end - start);
        start = end + 2;
        ASSERT_EQ(line.rfind("\x02T. No data for processing", 0), 0u) << line;
        auto x = line.rfind(" x");
        lines += x == std::string::npos ? 1 : std::stoi(line.substr(x + 2));
    }
    EXPECT_EQ(lines, kThreads * kRounds);
    LibraryShutdown();
}

}  // namespace
}  // namespace zol::plugins
