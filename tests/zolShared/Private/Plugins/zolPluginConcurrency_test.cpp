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

// A fresh library with `count` instances; their handles, null where creation failed.
std::vector<void*> StartWithInstances(int count) {
    LibraryShutdown();
    RegisterPluginClass(&MakePlugin);
    LibraryStartup();
    std::vector<void*> handles;
    for (int i = 0; i < count; ++i) {
        TzolParamsList create_params;
        TPluginCallRec create{};
        create.RecSize = kCallRecSize;
        create.Params = &create_params;
        handles.push_back(CreatePluginInstanceCall(&create) == 0 ? create.Instance : nullptr);
    }
    return handles;
}

TEST(PluginConcurrency, CommandsDataAndLogCollectionFromSeveralThreads) {
    void* handle = StartWithInstances(1)[0];
    ASSERT_NE(handle, nullptr);
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

TEST(PluginConcurrency, OptionsDialogWhileCommandsChangeTheSameSettingsPlaces) {
    std::atomic<int> reloads{0};
    const std::vector<void*> handles = StartWithInstances(2);
    for (void* handle : handles) {
        auto instance = FindInstance(handle);
        ASSERT_NE(instance, nullptr);
        instance->OnShowOptionsDialog = [](TzolPlugin&, TPluginCallRec&, std::int32_t& result) {
            result = 1;
        };
        instance->OnLoadSettingsNow = [&reloads](TzolPlugin&) { ++reloads; };
    }
    constexpr int kRounds = 200;
    // The host's dialog thread: the dialog of the first instance changes shared settings, and
    // every instance with its registry path reloads them.
    std::thread dialog([&] {
        TzolParamsList params;
        params.Add("INI-FILE", Variant::Ansi("dialog.ini"));
        params.Add("OWNER-FORM", Variant::Int32(5));
        for (int i = 0; i < kRounds; ++i) {
            TPluginCallRec rec{};
            rec.RecSize = kCallRecSize;
            rec.Instance = handles[0];
            rec.Params = &params;
            ShowOptionsDialogCall(&rec);
            EXPECT_EQ(+rec.OutData.Value.Number, 1u);
        }
    });
    // Another host thread loads, stores settings and unloads both instances meanwhile.
    for (int i = 0; i < kRounds; ++i) {
        for (void* handle : handles) {
            EXPECT_EQ(Command(handle, "LOAD",
                              {{"REGISTRY-PATH", Variant::Ansi("Software\\Shared")},
                               {"INI-FILE", Variant::Ansi("load.ini")},
                               {"OWNER-FORM", Variant::Int32(6)}}),
                      0);
            EXPECT_EQ(Command(handle, "SAVE-SETTINGS-NOW", {{"INI-FILE", Variant::Ansi("x.ini")}}),
                      -2);
            EXPECT_EQ(Command(handle, "UNLOAD", {}), 0);
        }
    }
    dialog.join();
    EXPECT_EQ(FindInstance(handles[0])->OptionsOpen, 0);
    // Both were loaded on this thread last: a dialog here reloads both directly.
    reloads = 0;
    TPluginCallRec rec{};
    rec.RecSize = kCallRecSize;
    rec.Instance = handles[0];
    ShowOptionsDialogCall(&rec);
    EXPECT_EQ(reloads.load(), 2);
    LibraryShutdown();
}

}  // namespace
}  // namespace zol::plugins
