// The host link under Windows: commands and module parameters through the real DLL, the two
// notifications reaching a real message-only window, packets reaching the host's entry point,
// and several host threads using one instance at once.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "hostsim/host_lib.h"
#include "zolShared/Private/Plugins/zolPluginItems.h"
#include "zolShared/Private/Plugins/zolPluginModule.h"

namespace zol::hostsim {
namespace {

using common::Variant;

class HostLink : public ::testing::TestWithParam<ParamsMode> {
   protected:
    void SetUp() override {
        ASSERT_TRUE(library_.Load("kmpparser.dll")) << library_.Error();
        host_ = std::make_unique<HostInstance>(library_, GetParam(), 7);
        ASSERT_EQ(host_->Create(), 0);
    }
    Variant Get(const char* key) {
        auto answer = host_->Command("GET-MODULE-PARAMETER", {{"PARAM", Variant::Ansi(key)}});
        EXPECT_EQ(answer.result, 0);
        return answer.Find("RESULT").value_or(Variant());
    }
    bool Set(const char* key, Variant value) {
        auto answer = host_->Command("SET-MODULE-PARAMETER",
                                     {{"PARAM", Variant::Ansi(key)}, {"VALUE", value}});
        return answer.Find("RESULT").value_or(Variant()).ToBool().value_or(false);
    }

    PluginLibrary library_;
    std::unique_ptr<HostInstance> host_;
};

TEST_P(HostLink, CommandResults) {
    EXPECT_EQ(host_->Command("load").result, -2);
    EXPECT_EQ(host_->Load().result, 0);
    auto state = host_->Command("SET-STATE",
                                {{"DATA-SOURCES-IN-CFG", Variant::Ansi("3;COM3;Port 3")},
                                 {"DATA-SOURCE-LOAD", Variant::Ansi("COM3")}},
                                false);
    EXPECT_EQ(state.result, -1);
    EXPECT_EQ(Get("DataSourceLoadFor").AsAnsi(), "COM3");
    EXPECT_EQ(host_->Command("ITEMS", {}, false).result, -1);
    EXPECT_EQ(host_->Command("ITEMS").result, 0);
    auto events = host_->Command("EVENTS-SUPPORT");
    EXPECT_EQ(events.Find("RESULT")->AsAnsi(), "PORT-OPEN;PORT-CLOSE");
    // Every event the module asks for is one the host sends.
    const std::string supported = events.Find("RESULT")->AsAnsi() + ";";
    for (std::size_t from = 0, to; (to = supported.find(';', from)) != std::string::npos;
         from = to + 1) {
        const std::string name = supported.substr(from, to - from);
        EXPECT_NE(std::find(plugins::kHostEventNames.begin(), plugins::kHostEventNames.end(), name),
                  plugins::kHostEventNames.end())
            << name;
    }
    // Port events reach the module once the host has enabled it for them.
    EXPECT_EQ(host_->Command("EVENT", {{"EVENT-TYPE", Variant::Ansi("PORT-OPEN")}}).result, -1);
    EXPECT_EQ(host_->Command("SET-STATE", {{"RESULT", Variant::Int32(1)}}, true, 0x01).result, 0);
    EXPECT_EQ(host_->Command("EVENT", {{"EVENT-TYPE", Variant::Ansi("PORT-OPEN")}}).result, 0);
    EXPECT_EQ(host_->Command("SAVE-SETTINGS-NOW").result, -2);
    EXPECT_EQ(host_->Command("UNLOAD").result, 0);
}

TEST_P(HostLink, ScriptedSetStateSetsTheEnabledFlagsOfItsStateMask) {
    std::string error;
    auto script = ParseCommandScript({"SET-STATE", "RESULT=1", "--state-mask", "0x05", "--",
                                      "GET-MODULE-PARAMETER", "PARAM=ModuleEnabled"},
                                     error);
    ASSERT_TRUE(script.has_value()) << error;
    ASSERT_EQ(script->size(), 2u);
    ASSERT_EQ(host_->Load().result, 0);
    std::vector<CommandAnswer> answers;
    for (const auto& entry : *script) {
        answers.push_back(
            host_->Command(entry.command, entry.params, entry.with_result, entry.state_mask));
    }
    EXPECT_EQ(answers[0].result, 0);
    EXPECT_EQ(answers[1].Find("RESULT").value_or(Variant()).AsInt64(), 5);
    for (const std::vector<std::string>& bad :
         {std::vector<std::string>{"SET-STATE", "--state-mask"},
          std::vector<std::string>{"SET-STATE", "--state-mask", "256"},
          std::vector<std::string>{"SET-STATE", "--state-mask", "x1"}}) {
        EXPECT_FALSE(ParseCommandScript(bad, error).has_value()) << bad.back();
    }
}

TEST_P(HostLink, ModuleParameters) {
    EXPECT_TRUE(Set("Custom:Station", Variant::Ansi("north")));
    EXPECT_TRUE(Set("Custom_Count2", Variant::Int32(2)));
    EXPECT_EQ(Get("Custom COUNT").AsInt64(), 2);
    EXPECT_EQ(Get("Custom:0").AsAnsi(), "north");
    EXPECT_TRUE(Set("Custom:COUNT", Variant()));
    EXPECT_EQ(Get("Custom_COUNT").AsInt64(), 0);

    auto set_items = host_->Command(
        "SET-ITEMS", {{"ITEMS", Variant::Ansi("Meter number|SERIAL|Integer|0\r\nUnit|UNIT|")}});
    EXPECT_EQ(set_items.result, 0);
    EXPECT_EQ(Get("ParserItemType0").AsInt64(), 8);
    EXPECT_EQ(Get("ParserItemType1").AsInt64(), 17);
    EXPECT_TRUE(Get("ParserItemTypeX").IsEmpty());
    EXPECT_EQ(Get("ParserItemName1").AsAnsi(), "UNIT");
    EXPECT_EQ(Get("ParserItemsCount").AsInt64(), 2);
    EXPECT_EQ(Get("Description").AsAnsi(),
              "Kamstrup [KMP protocol]\r\nKamstrup electricity [KMP protocol]");
    EXPECT_EQ(Get("DisplayFullVersion").AsAnsi().substr(0, 2), "1.");
    EXPECT_EQ(Get("ModuleName").AsAnsi(), "kmpparser.dll");
    EXPECT_FALSE(Get("TESTTRANSL").ToBool().value_or(true));
}

TEST_P(HostLink, LogNotificationsReachTheHostWindow) {
    HostWindow window;
    ASSERT_NE(window.Handle(), nullptr);
    host_->UseWindow(&window);
    ASSERT_EQ(host_->Load().result, 0);
    CallRecord call(GetParam());
    call.Rec().Instance = host_->Handle();
    call.Rec().Flags = 0x04;
    call.Rec().StateMask = 0x03;
    call.AttachParams();
    EXPECT_EQ(library_.Exports().ProcessData(&call.Rec()), 0);
    for (int i = 0; i < 50 && window.LogNotifications() == 0; ++i) window.Pump(100);
    auto lines = window.TakeLogLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].tag, 7);
    EXPECT_EQ(lines[0].severity, 1);
    EXPECT_EQ(lines[0].text, "Kamstrup. No data for processing");
    // With a hook (a run's) the lines go to it and are not kept: a long run would pile them up.
    std::vector<std::string> hooked;
    window.OnLogLine = [&](const HostWindow::LogLine& line) { hooked.push_back(line.text); };
    EXPECT_EQ(library_.Exports().ProcessData(&call.Rec()), 0);
    for (int i = 0; i < 50 && window.LogNotifications() == 1; ++i) window.Pump(100);
    EXPECT_EQ(hooked, std::vector<std::string>{"Kamstrup. No data for processing"});
    EXPECT_TRUE(window.TakeLogLines().empty());
    host_->UseWindow(nullptr);
}

TEST_P(HostLink, SeveralHostThreadsShareOneInstance) {
    ASSERT_EQ(host_->Load().result, 0);
    std::atomic<bool> stop{false};
    std::atomic<int> failures{0};
    std::mutex collected_lock;
    std::string collected;
    std::vector<std::thread> threads;
    constexpr int kRounds = 200;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                std::string key = "Custom:T" + std::to_string(t);
                auto set = host_->Command("SET-MODULE-PARAMETER", {{"PARAM", Variant::Ansi(key)},
                                                                   {"VALUE", Variant::Int32(i)}});
                if (set.result != 0) ++failures;
                CallRecord call(GetParam());
                call.Rec().Instance = host_->Handle();
                call.Rec().Flags = 0x04;
                call.Rec().StateMask = 0x03;
                call.AttachParams();
                if (library_.Exports().ProcessData(&call.Rec()) != 0) ++failures;
            }
        });
    }
    std::thread collector([&] {
        while (!stop) {
            std::string text = host_->CollectLog();
            std::lock_guard<std::mutex> guard(collected_lock);
            collected += text;
        }
    });
    for (auto& thread : threads) thread.join();
    stop = true;
    collector.join();
    collected += host_->CollectLog();
    EXPECT_EQ(failures.load(), 0);
    // Every no-data line arrived, as a plain line or folded into an " xN" repeat.
    int lines = 0;
    for (const auto& line : ParseLog(0, collected)) {
        ASSERT_EQ(line.text.rfind("Kamstrup. No data for processing", 0), 0u) << line.text;
        auto x = line.text.rfind(" x");
        lines += x == std::string::npos ? 1 : std::stoi(line.text.substr(x + 2));
    }
    EXPECT_EQ(lines, 3 * kRounds);
    for (int t = 0; t < 3; ++t) {
        std::string key = "Custom:T" + std::to_string(t);
        auto get = host_->Command("GET-MODULE-PARAMETER", {{"PARAM", Variant::Ansi(key)}});
        EXPECT_EQ(get.Find("RESULT")->AsInt64(), kRounds - 1);
    }
}

INSTANTIATE_TEST_SUITE_P(BothListForms, HostLink,
                         ::testing::Values(ParamsMode::kListObject, ParamsMode::kInterface),
                         [](const auto& param_info) {
                             return param_info.param == ParamsMode::kListObject ? "ListObject"
                                                                                : "Interface";
                         });

// The frame's own code, in this process, against the entry points this test program exports
// and a real message-only window.
class InProcessFrame : public ::testing::Test {
   protected:
    void SetUp() override {
        plugins::LibraryStartup();
        TakeRecordedSends();
    }
    std::shared_ptr<plugins::TzolPlugin> NewInstance(std::int32_t tag, HWND window) {
        plugins::TPluginCallRec rec{};
        rec.RecSize = plugins::kCallRecSize;
        EXPECT_EQ(plugins::CreatePluginInstanceCall(&rec), 0);
        auto instance = plugins::FindInstance(rec.Instance);
        common::TzolParamsList load;
        load.Add("COMMAND", Variant::Ansi("LOAD"));
        load.Add("HANDLE",
                 Variant::Handle(reinterpret_cast<std::uintptr_t>(GetModuleHandleA(nullptr))));
        load.Add("MSG-PROC-HANDLE", Variant::Handle(reinterpret_cast<std::uintptr_t>(window)));
        rec.Params = &load;
        rec.Tag = tag;
        EXPECT_EQ(plugins::ExecutePluginCommandCall(&rec), 0);
        handles_.push_back(rec.Instance);
        return instance;
    }
    void TearDown() override {
        for (void* handle : handles_) {
            plugins::TPluginCallRec rec{};
            rec.Instance = handle;
            plugins::FreePluginInstanceCall(&rec);
        }
    }
    std::vector<void*> handles_;
};

TEST_F(InProcessFrame, PushedPacketsReachTheHostEntryPointIntact) {
    HostWindow window;
    auto instance = NewInstance(3, window.Handle());
    ASSERT_NE(instance->EntryPoints().Vantor_SendDataEx, nullptr);
    plugins::TParsedDataList packet;
    packet.Add("SERIAL", Variant::Int32(5123456));
    packet.Add("V1", Variant::Double(123.25));
    packet.Add("UNIT_V1", Variant::Ansi("m\xB3"));
    packet.NewRow();
    plugins::AppendRaw(packet, "\x40\x3F\x10");
    plugins::PushPacket(*instance, 11, 22, packet);
    auto sends = TakeRecordedSends();
    ASSERT_EQ(sends.size(), 1u);
    EXPECT_EQ(sends[0].tag, 3);
    EXPECT_EQ(sends[0].source_id, 11);
    EXPECT_EQ(sends[0].client_id, 22);
    EXPECT_EQ(sends[0].kind, 9);
    ASSERT_EQ(sends[0].packet.size(), 4u);
    EXPECT_EQ(sends[0].packet[0].first, "SERIAL");
    EXPECT_EQ(sends[0].packet[0].second.AsInt64(), 5123456);
    EXPECT_EQ(sends[0].packet[1].second.ToDouble().value(), 123.25);
    EXPECT_EQ(sends[0].packet[2].second.AsAnsi(), "m\xB3");
    EXPECT_EQ(sends[0].packet[3].first, "$NEW_ROW$");
    EXPECT_EQ(packet.Count(), 4);  // the list is only lent to the host

    // Raw bytes for the port go out as kind 0x81 with their length.
    const std::uint8_t frame[] = {0x80, 0x3F, 0x01, 0x05, 0x8A, 0x0D};
    EXPECT_EQ(instance->SendDataEx(11, 22, plugins::kSendRawBytes,
                                   reinterpret_cast<std::intptr_t>(frame), sizeof frame),
              0);
    sends = TakeRecordedSends();
    ASSERT_EQ(sends.size(), 1u);
    EXPECT_EQ(sends[0].bytes, std::vector<std::uint8_t>(frame, frame + sizeof frame));
}

TEST_F(InProcessFrame, ReloadRequestsGoByMessageToInstancesOnOtherThreads) {
    HostWindow window;
    auto first = NewInstance(1, window.Handle());
    auto second = NewInstance(2, window.Handle());
    int direct_reloads = 0;
    for (auto* instance : {first.get(), second.get()}) {
        instance->ModuleRegistryPath = "Software\\Shared";
        instance->OnLoadSettingsNow = [&](plugins::TzolPlugin&) { ++direct_reloads; };
    }
    second->LoaderThread = GetCurrentThreadId() + 1;  // as if loaded on another thread
    first->OnShowOptionsDialog = [](plugins::TzolPlugin&, plugins::TPluginCallRec&,
                                    std::int32_t& result) { result = 1; };
    plugins::TPluginCallRec rec{};
    rec.RecSize = plugins::kCallRecSize;
    rec.Instance = handles_[0];
    plugins::ShowOptionsDialogCall(&rec);
    EXPECT_EQ(rec.OutData.Value.Number, 1u);
    EXPECT_EQ(direct_reloads, 1);
    std::vector<std::int32_t> reloads;
    for (int i = 0; i < 50 && reloads.empty(); ++i) {
        window.Pump(100);
        reloads = window.TakeReloadRequests();
    }
    EXPECT_EQ(reloads, std::vector<std::int32_t>{2});
}

// A list the host no longer needs is split without copying when it holds one row; every shape of
// list still splits as the copying split does.
TEST(HostLink, SplittingAListItNoLongerNeedsGivesTheRowsACopyingSplitGives) {
    const std::string mark(common::kNewRowName);
    const std::vector<std::vector<std::string>> shapes = {
        {},
        {"A"},
        {"A", "B", mark},
        {mark},
        {"A", mark, "B"},
        {"A", mark, "B", mark},
        {mark, "A"},
        {mark, mark},
    };
    for (const auto& shape : shapes) {
        std::vector<NamedValue> items;
        for (std::size_t i = 0; i < shape.size(); ++i) {
            items.emplace_back(shape[i], Variant::Int32(static_cast<std::int32_t>(i)));
        }
        const auto copied = SplitRows(static_cast<const std::vector<NamedValue>&>(items));
        const auto moved = SplitRows(std::move(items));
        ASSERT_EQ(moved.size(), copied.size()) << shape.size() << " items";
        for (std::size_t r = 0; r < copied.size(); ++r) {
            ASSERT_EQ(moved[r].size(), copied[r].size());
            for (std::size_t i = 0; i < copied[r].size(); ++i) {
                EXPECT_EQ(moved[r][i].first, copied[r][i].first);
                EXPECT_EQ(ValueText(moved[r][i].second), ValueText(copied[r][i].second));
            }
        }
    }
}

}  // namespace
}  // namespace zol::hostsim
