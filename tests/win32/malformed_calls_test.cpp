// Malformed calls at the boundary of the real kmpparser.dll: records, pointers, lists and texts
// that a faulty host could hand over, generated from tables with a seeded generator. Each call
// must give its refusal answer, say once in the log what was wrong, and leave the instance
// working. A crash prints the case and the seed before the process ends.
// clang-format off
#include <windows.h>
#include <psapi.h>
// clang-format on
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "hostsim/host_lib.h"
#include "kmp/kmp_frame.h"
#include "parser/parser_CfgOptionsProxy.h"
#include "win32/helpers/guarded_pages.h"
#include "zolShared/Public/Common/zolRegSettings.h"

namespace zol::hostsim {
namespace {

using common::Variant;
using plugins::TPluginCallRec;

// The case being run, printed by the crash filter: a fault must never go unnamed.
std::string g_current_case;
std::uint32_t g_seed = 0;

LONG WINAPI ReportCrash(EXCEPTION_POINTERS* info) {
    std::fprintf(stderr, "CRASH 0x%08lX in case '%s' (seed %u)\n",
                 info->ExceptionRecord->ExceptionCode, g_current_case.c_str(), g_seed);
    std::fflush(stderr);
    return EXCEPTION_EXECUTE_HANDLER;
}

std::uint32_t Seed() {
    const char* text = std::getenv("ZOL_BOUNDARY_SEED");
    return text != nullptr ? static_cast<std::uint32_t>(std::strtoul(text, nullptr, 0)) : 20261208u;
}

// Memory a faulty host may point at: a page that cannot be touched, a region already freed, a
// read-only page, and the last bytes before an unreadable page (texts without terminator, records
// cut short).
class BadMemory {
   public:
    BadMemory() {
        // Freed but kept reserved, so that no later allocation can bring it back to life.
        freed_ = VirtualAlloc(nullptr, pages_.Page(), MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
        VirtualFree(freed_, pages_.Page(), MEM_DECOMMIT);
    }
    ~BadMemory() { VirtualFree(freed_, 0, MEM_RELEASE); }
    BadMemory(const BadMemory&) = delete;
    BadMemory& operator=(const BadMemory&) = delete;
    void* NoAccess() const { return pages_.NoAccess(); }
    void* Freed() const { return freed_; }
    void* ReadOnly() const { return pages_.ReadOnly(); }
    // `n` bytes of `fill` ending exactly where the unreadable page begins.
    char* AtGuard(std::size_t n, char fill = 'A') const {
        char* at = pages_.NoAccess() - n;
        std::memset(at, fill, n);
        return at;
    }
    // A pointer of which not even 4 bytes can be read (the last is above user space).
    void* Unreadable(std::mt19937& rng) const {
        void* const pool[] = {NoAccess(), Freed(), AtGuard(3), reinterpret_cast<void*>(0xFFFF0001)};
        return pool[rng() % std::size(pool)];
    }
    // A pointer to which 16 bytes cannot be written.
    void* Unwritable(std::mt19937& rng) const {
        return rng() % 5 == 0 ? ReadOnly() : Unreadable(rng);
    }

   private:
    zol::test::GuardedPages pages_;
    void* freed_ = nullptr;
};

// An object whose first word is a garbage table pointer: what a list object with a wrong marker,
// or a freed interface, looks like to the plug-in.
struct FakeObject {
    std::uint32_t words[8] = {0x12345678, 1, 2, 3, 0xFDE2E4B, 0, 0, 0};
};

enum class Export {
    kCreate,
    kFree,
    kModuleInfo,
    kCommand,
    kProcess,
    kGetLog,
    kGetOptions,
    kShowOptions
};
constexpr const char* kExportNames[] = {
    "CreatePluginInstance", "FreePluginInstance", "GetModuleInfo",    "ExecutePluginCommand",
    "ProcessData",          "GetLogEx",           "GetOptionsDialog", "ShowOptionsDialog"};

// One call's setup: a good record for a live, loaded instance, and what the fault changed.
struct Call {
    Export which = Export::kCreate;
    TPluginCallRec rec{};
    TPluginCallRec* rec_ptr = &rec;
    std::uint8_t* info = nullptr;  // GetModuleInfo's buffer
    std::int32_t* needed = nullptr;
    // The fault's word in the line the instance logs; empty when it cannot log (no instance).
    std::string logged;
    std::optional<std::int64_t> answer;  // when it differs from the export's refusal
};

struct Fault {
    const char* name;
    std::vector<Export> exports;
    std::function<void(Call&, std::mt19937&)> apply;
};

class MalformedCalls : public ::testing::Test {
   protected:
    void SetUp() override {
        SetUnhandledExceptionFilter(ReportCrash);
        g_seed = Seed();
        ASSERT_TRUE(library_.Load("kmpparser.dll")) << library_.Error();
        host_ = std::make_unique<HostInstance>(library_, ParamsMode::kListObject, 3);
        ASSERT_EQ(host_->Create(), 0);
        ASSERT_EQ(host_->Load().result, 0);
        host_->CollectLog();
        params_.Add("RESULT", Variant());
        params_.Add("COMMAND", Variant::Ansi("ITEMS"));
    }

    // A good record of the export for the live instance.
    Call GoodCall(Export which) {
        Call call;
        call.which = which;
        call.rec.RecSize = plugins::kCallRecSize;
        call.rec.Instance = which == Export::kCreate ? nullptr : host_->Handle();
        call.rec.Params = which == Export::kFree ? nullptr : &params_;
        call.rec.StateMask = 0x03;
        call.rec.Flags = which == Export::kProcess ? 0x04 : 0;
        if (which == Export::kGetLog || which == Export::kGetOptions) {
            call.rec.InData.Value.Ptr = buffer_.data();
            call.rec.InData.Size = static_cast<std::int32_t>(buffer_.size());
        }
        std::int32_t size = static_cast<std::int32_t>(buffer_.size());
        std::memcpy(buffer_.data(), &size, 4);
        call.info = buffer_.data();
        call.needed = &needed_;
        return call;
    }

    // Runs the export; its answer as one number (void exports answer in OutData.Value).
    std::int64_t Run(Export which, Call& call) {
        const auto& x = library_.Exports();
        switch (which) {
            case Export::kCreate: {
                const std::int32_t result = x.CreatePluginInstance(call.rec_ptr);
                if (result == 0) {  // a record that still made an instance: free it again
                    TPluginCallRec free_rec{};
                    free_rec.Instance = call.rec_ptr->Instance;
                    x.FreePluginInstance(&free_rec);
                }
                return result;
            }
            case Export::kFree:
                return x.FreePluginInstance(call.rec_ptr);
            case Export::kModuleInfo:
                return x.GetModuleInfo(call.rec_ptr, call.info, call.needed);
            case Export::kCommand:
                return x.ExecutePluginCommand(call.rec_ptr);
            case Export::kProcess:
                return x.ProcessData(call.rec_ptr);
            case Export::kGetLog:
                return x.GetLogEx(call.rec_ptr);
            case Export::kGetOptions:
                x.GetOptionsDialog(call.rec_ptr);
                return call.rec_ptr == &call.rec ? call.rec.OutData.Value.Number : 1;
            case Export::kShowOptions:
                x.ShowOptionsDialog(call.rec_ptr);
                return call.rec_ptr == &call.rec ? call.rec.OutData.Value.Number : 2;
        }
        return 0;
    }

    PluginLibrary library_;
    std::unique_ptr<HostInstance> host_;
    common::TzolParamsList params_;
    std::vector<std::uint8_t> buffer_ = std::vector<std::uint8_t>(8192);
    std::int32_t needed_ = 0;
    BadMemory bad_;
    FakeObject fake_;
    void* fake_interface_ = &fake_;  // an interface variable holding the fake object
};

// The refusal answer of each export: -1, false / 0, or the output value left as "nothing done".
constexpr std::int64_t kRefused[] = {-1, -1, 0, -1, -1, 0, 1, 2};

TEST_F(MalformedCalls, EveryExportRefusesBadRecordsLogsOnceAndKeepsWorking) {
    const std::vector<Export> all = {Export::kCreate,     Export::kFree,       Export::kModuleInfo,
                                     Export::kCommand,    Export::kProcess,    Export::kGetLog,
                                     Export::kGetOptions, Export::kShowOptions};
    const std::vector<Export> checked = {Export::kCommand, Export::kProcess};
    const std::vector<Export> with_params = {Export::kCreate, Export::kCommand, Export::kProcess,
                                             Export::kShowOptions};
    BadMemory& bad = bad_;
    const std::vector<Fault> faults = {
        {"unusable record", all,
         [&](Call& c, std::mt19937& rng) {
             // A record cut short by an unreadable page, or one that cannot be touched at all.
             void* const pool[] = {nullptr, bad.NoAccess(), bad.Freed(), bad.ReadOnly(),
                                   bad.AtGuard(1 + rng() % 101)};
             c.rec_ptr = static_cast<TPluginCallRec*>(pool[rng() % std::size(pool)]);
         }},
        {"record size", checked,
         [&](Call& c, std::mt19937& rng) {
             const std::int32_t sizes[] = {0, -1, 101, 103, 0x7FFFFFFF, 1 + int(rng() % 100)};
             c.rec.RecSize = sizes[rng() % std::size(sizes)];
             c.logged = "RecSize";
         }},
        {"unknown instance", all,
         [&](Call& c, std::mt19937& rng) {
             static int on_stack = 0;
             void* const pool[] = {bad.NoAccess(), bad.Freed(), &on_stack,
                                   reinterpret_cast<void*>(std::uintptr_t{rng() | 1})};
             c.rec.Instance = pool[rng() % std::size(pool)];
         }},
        {"unusable parameter list", with_params,
         [&](Call& c, std::mt19937& rng) {
             void* const pool[] = {bad.NoAccess(), bad.Freed(), &fake_, &fake_interface_,
                                   bad.AtGuard(2)};
             c.rec.Params = pool[rng() % std::size(pool)];
             c.logged = c.rec.Instance != nullptr ? "Params" : "";
         }},
        {"unusable list slot", with_params,
         [&](Call& c, std::mt19937& rng) {
             // ShowOptionsDialog's output slot is its answer: it is overwritten, not read.
             const bool out = rng() % 2 && c.which != Export::kShowOptions;
             plugins::TPluginData& slot = out ? c.rec.OutData : c.rec.InData;
             slot.Kind = rng() % 2 ? plugins::kDataListUnchecked : plugins::kDataListInterface;
             slot.Value.Ptr = rng() % 3 == 0 ? &fake_interface_ : bad.Unreadable(rng);
             if (c.rec.Instance != nullptr)
                 c.logged = &slot == &c.rec.InData ? "InData" : "OutData";
         }},
        {"unreadable received bytes",
         {Export::kProcess},
         [&](Call& c, std::mt19937& rng) {
             c.rec.InData.Kind = plugins::kDataRawBytes;
             c.rec.InData.Value.Ptr = rng() % 2 ? bad.AtGuard(16) : bad.Unreadable(rng);
             c.rec.InData.Size = rng() % 3 == 0 ? -int(rng() % 100) - 1 : 17 + int(rng() % 9000);
             c.logged = "InData";
         }},
        {"unwritable log buffer",
         {Export::kGetLog},
         [&](Call& c, std::mt19937& rng) {
             c.rec.InData.Value.Ptr = rng() % 2 ? bad.ReadOnly() : bad.Unreadable(rng);
             c.rec.InData.Size = 4 + int(rng() % 60000);
             c.logged = "buffer";
         }},
        {"unusable options buffer",
         {Export::kGetOptions},
         [&](Call& c, std::mt19937& rng) {
             // A form name without terminator up to the unreadable page, or a buffer to which the
             // description cannot be written (answered like one too small).
             c.rec.InData.Value.Ptr = rng() % 2 ? bad.AtGuard(1 + rng() % 64) : bad.Unwritable(rng);
             c.rec.InData.Size = 600000 + int(rng() % 600000);
             if (c.rec.InData.Value.Ptr == bad.ReadOnly()) c.answer = 3;
             c.logged = "buffer";
         }},
        {"unusable module-info buffer",
         {Export::kModuleInfo},
         [&](Call& c, std::mt19937& rng) {
             if (rng() % 2) {
                 c.needed = static_cast<std::int32_t*>(bad.Unwritable(rng));
             } else {
                 // A size word that promises more than lies before the unreadable page.
                 auto* cut = reinterpret_cast<std::uint8_t*>(bad.AtGuard(40, 0));
                 const std::int32_t claimed = 4096;
                 std::memcpy(cut, &claimed, 4);
                 c.info = rng() % 2 ? cut : static_cast<std::uint8_t*>(bad.Unreadable(rng));
             }
             c.logged = "buffer";
         }},
    };

    std::mt19937 rng(g_seed);
    for (Export which : all) {
        std::vector<const Fault*> usable;
        for (const auto& f : faults) {
            if (std::find(f.exports.begin(), f.exports.end(), which) != f.exports.end()) {
                usable.push_back(&f);
            }
        }
        for (int i = 0; i < 200; ++i) {
            const Fault& fault = *usable[rng() % usable.size()];
            g_current_case = std::string(kExportNames[int(which)]) + ": " + fault.name + " #" +
                             std::to_string(i);
            SCOPED_TRACE(g_current_case + " (seed " + std::to_string(g_seed) + ")");
            Call call = GoodCall(which);
            fault.apply(call, rng);
            const std::int64_t answer = Run(which, call);
            EXPECT_EQ(answer, call.answer.value_or(kRefused[int(which)]));
            const auto lines = ParseLog(0, host_->CollectLog());
            if (call.logged.empty()) {
                EXPECT_TRUE(lines.empty()) << lines.front().text;
            } else {
                ASSERT_EQ(lines.size(), 1u);
                EXPECT_NE(lines[0].text.find(call.logged), std::string::npos) << lines[0].text;
            }
        }
        g_current_case = std::string(kExportNames[int(which)]) + ": a good call afterwards";
        Call good = GoodCall(which);
        if (which == Export::kFree) {
            HostInstance other(library_, ParamsMode::kListObject);
            ASSERT_EQ(other.Create(), 0);
            good.rec.Instance = other.Handle();
            EXPECT_EQ(Run(which, good), 0);
            continue;
        }
        const std::int64_t answer = Run(which, good);
        if (which == Export::kModuleInfo) {
            EXPECT_EQ(answer, 1);
        }
        if (which == Export::kCommand || which == Export::kProcess || which == Export::kCreate) {
            EXPECT_EQ(answer, 0);
        }
        host_->CollectLog();
    }
}

TEST_F(MalformedCalls, CommandsWithMissingOrNonNumericParametersAreAnsweredNotThrown) {
    const struct {
        const char* command;
        std::vector<NamedValue> params;
        std::int32_t result;
    } cases[] = {
        {"", {}, -1},
        {"NO-SUCH-COMMAND", {}, -2},
        {"LOAD", {{"HANDLE", Variant::Ansi("not a number")}, {"CONFIG-ID", Variant::Ansi("x")}}, 0},
        {"GET-MODULE-PARAMETER", {}, -2},
        {"SET-MODULE-PARAMETER", {{"VALUE", Variant::Int32(1)}}, -2},
        {"SET-MODULE-PARAMETER", {{"PARAM", Variant::Ansi("Enabled")}}, 0},  // VALUE null
        {"SET-STATE", {{"RESULT", Variant::Ansi("yes")}}, 0},                // RESULT present
        {"EVENT", {}, -1},
        {"ITEMS", {{"TEMPORARY-LOAD", Variant::Ansi("abc")}}, 0},
    };
    for (const auto& c : cases) {
        g_current_case = std::string("command ") + c.command;
        SCOPED_TRACE(g_current_case);
        EXPECT_EQ(host_->Command(c.command, c.params).result, c.result);
        EXPECT_LE(ParseLog(0, host_->CollectLog()).size(), 1u);
    }
    EXPECT_EQ(host_->Command("ITEMS").result, 0);
}

// The list adapter's methods with what a faulty caller passes: unreadable and unterminated
// names, VARIANTs that cannot be read, out pointers that cannot be written, foreign objects.
TEST_F(MalformedCalls, ListInterfaceMethodsFailWithTheirStatusOnBadArguments) {
    constexpr std::int32_t kFailed = static_cast<std::int32_t>(0x8000FFFF);
    auto* wrap = new common::TzolParamsListWrap();
    common::IzolParamsListA* a = *wrap->AsInterfaceA();
    common::IzolParamsListW* w = wrap->AsW();
    a->Add("X", &Variant::Int32(1).Raw(), nullptr);
    std::mt19937 rng(g_seed);
    BadMemory& bad = bad_;
    auto name = [&] {
        return rng() % 2 ? bad.AtGuard(1 + rng() % 300) : static_cast<char*>(bad.Unreadable(rng));
    };
    auto wide = [&] {
        return reinterpret_cast<const char16_t*>(bad.AtGuard(2 + 2 * (rng() % 99)));
    };
    auto variant = [&] { return static_cast<platform::OleVariant*>(bad.Unreadable(rng)); };
    auto out = [&] { return bad.Unwritable(rng); };
    // A VARIANT whose text payload runs into the unreadable page, and a BSTR that points there.
    platform::OleVariant text_payload{};
    text_payload.vt = platform::kVtPlainString;
    text_payload.byref = bad.AtGuard(8);
    auto* freed_item = reinterpret_cast<common::IzolParamsListItemA*>(&fake_interface_);
    common::IzolParamsListItemA* item = nullptr;
    ASSERT_EQ(a->GetItem(0, &item), 0);
    const std::vector<std::pair<const char*, std::function<std::int32_t()>>> calls = {
        {"GetItem", [&] { return a->GetItem(0, (common::IzolParamsListItemA**)out()); }},
        {"AddList", [&] { return a->AddList((common::TzolParamsList*)variant(), nullptr); }},
        {"AddListRange",
         [&] { return a->AddListRange((common::TzolParamsList*)&fake_, 0, 1, nullptr); }},
        {"W AddList", [&] { return w->AddList((common::TzolParamsListWrap*)out(), nullptr); }},
        {"FindItem",
         [&] {
             common::IzolParamsListItemA* i = nullptr;
             return a->FindItem(name(), 0, -1, &i);
         }},
        {"IndexOf",
         [&] {
             std::int32_t i = 0;
             return a->IndexOf(name(), 0, -1, &i);
         }},
        {"IndexOf out", [&] { return a->IndexOf("X", 0, -1, (std::int32_t*)bad.ReadOnly()); }},
        {"GetValue",
         [&] {
             platform::OleVariant v{};
             return a->GetValue(name(), 0, -1, &v);
         }},
        {"GetValue out", [&] { return a->GetValue("X", 0, -1, (platform::OleVariant*)out()); }},
        {"GetValueDef",
         [&] {
             platform::OleVariant v{};
             return a->GetValueDef("Y", variant(), 0, -1, &v);
         }},
        {"Add", [&] { return a->Add(name(), &Variant::Int32(2).Raw(), nullptr); }},
        {"Add value", [&] { return a->Add("Z", variant(), nullptr); }},
        {"Add text", [&] { return a->Add("Z", &text_payload, nullptr); }},
        {"Insert", [&] { return a->Insert(0, "Z", variant(), nullptr); }},
        {"SetValue", [&] { return a->SetValue(name(), &Variant::Int32(3).Raw(), 1, nullptr); }},
        {"AddItem", [&] { return a->AddItem(freed_item, nullptr); }},
        {"W FindItem",
         [&] {
             common::IzolParamsListItemW* i = nullptr;
             return w->FindItem(wide(), 0, -1, &i);
         }},
        {"W Add", [&] { return w->Add(wide(), &Variant::Int32(4).Raw(), nullptr); }},
        {"W SetValue", [&] { return w->SetValue(u"X", variant(), 0, nullptr); }},
        {"item SetValue", [&] { return item->SetValue(variant()); }},
        {"item GetValue", [&] { return item->GetValue((platform::OleVariant*)out()); }},
    };
    for (int i = 0; i < 400; ++i) {
        const auto& [method, call] = calls[rng() % calls.size()];
        g_current_case = std::string("interface ") + method + " #" + std::to_string(i);
        SCOPED_TRACE(g_current_case + " (seed " + std::to_string(g_seed) + ")");
        EXPECT_EQ(call(), kFailed);
        item->SetKey(name());  // the non-status methods just do nothing with them
        item->SetName(name());
    }
    // Megabytes of name still work, and the list was not damaged.
    std::string huge(3 << 20, 'n');
    EXPECT_EQ(a->Add(huge.c_str(), &Variant::Int32(5).Raw(), nullptr), 0);
    std::int32_t index = -1;
    EXPECT_EQ(a->IndexOf("x", 0, -1, &index), 0);
    EXPECT_EQ(index, 0);
    item->Release();
    wrap->DestroyCached();
}

// ---------------------------------------------------------------------------------------------
// Bytes from a port that are no KMP at all.

std::size_t PrivateBytes() {
    PROCESS_MEMORY_COUNTERS_EX counters{};
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                         sizeof counters);
    return counters.PrivateUsage;
}

TEST(PortNoise, GarbageKeepsMemoryBoundedAndAGoodFrameIsStillDecoded) {
    SetUnhandledExceptionFilter(ReportCrash);
    g_seed = Seed();
    // A passive request for register 0x3C of meter 63: the plug-in decodes what arrives.
    char temp[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, temp);
    const std::string ini =
        std::string(temp) + "malformed_calls_" + std::to_string(GetCurrentProcessId()) + ".ini";
    parser::TProxyCodeObject settings;
    settings.lblParams_Caption =
        "<QUERY><Listen><Device>63</Device><Response><I><Register>3C</Register></I>"
        "</Response></Listen></QUERY>";
    common::TWreg store;
    store.INIFile = ini;
    store.Components = {"lblParams.Caption,Parser config"};
    store.Object = &settings;
    ASSERT_TRUE(store.Execute(common::TWregOperation::kStore));

    PluginLibrary library;
    ASSERT_TRUE(library.Load("kmpparser.dll")) << library.Error();
    HostInstance host(library, ParamsMode::kInterface);
    ASSERT_EQ(host.Create(), 0);
    ASSERT_EQ(host.Load({{"INI-FILE", Variant::Ansi(ini)}}).result, 0);
    ASSERT_EQ(host.SetState("1;COM1;COM1 port", 0x03, true).result, 0);
    host.Command("EVENT",
                 {{"EVENT-TYPE", Variant::Ansi("PORT-OPEN")}, {"PORTSTR", Variant::Ansi("COM1")}});

    // Energy register 0x3C: unit 2 (kWh), 4 bytes, exponent 0, value 0x00012345 = 74565.
    std::vector<std::uint8_t> body = {63,   0x10, 0x00, 0x3C, 0x02, 0x04,
                                      0x00, 0x00, 0x01, 0x23, 0x45};
    kmp::AppendKmpCrc(body);
    const std::vector<std::uint8_t> good = kmp::KmpStuff(body, kmp::KmpRespStart);

    std::mt19937 rng(g_seed);
    const std::size_t megabyte = 1 << 20;
    auto random_bytes = [&](std::size_t n) {
        std::vector<std::uint8_t> bytes(n);
        for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
        return bytes;
    };
    const struct {
        const char* name;
        std::vector<std::uint8_t> bytes;
        std::size_t chunk;
    } streams[] = {
        {"random, at once", random_bytes(4 * megabyte), 4 * megabyte},
        {"random, in small chunks", random_bytes(megabyte), 61},
        {"acknowledges", std::vector<std::uint8_t>(2 * megabyte, 0x06), 4096},
        {"start bytes without a stop, at once", std::vector<std::uint8_t>(4 * megabyte, 0x40),
         4 * megabyte},
        {"start bytes without a stop, in chunks", std::vector<std::uint8_t>(megabyte, 0x40), 509},
    };
    host.ProcessReceived(1, "COM1", good);  // warm up: the client and its buffer exist
    host.CollectLog();
    const std::size_t before = PrivateBytes();
    for (const auto& stream : streams) {
        g_current_case = std::string("port noise: ") + stream.name;
        SCOPED_TRACE(g_current_case + " (seed " + std::to_string(g_seed) + ")");
        for (std::size_t at = 0; at < stream.bytes.size(); at += stream.chunk) {
            const std::size_t n = std::min(stream.chunk, stream.bytes.size() - at);
            host.ProcessReceived(1, "COM1",
                                 {stream.bytes.begin() + at, stream.bytes.begin() + at + n});
        }
        const auto received = host.ProcessReceived(1, "COM1", good);
        EXPECT_EQ(received.result, 0);
        ASSERT_EQ(received.packets.size(), 1u);
        bool found = false;
        for (const auto& [name, value] : received.packets[0]) {
            if (name == "E1") {
                found = true;
                EXPECT_EQ(value.AsInt64(), 74565);
            }
        }
        EXPECT_TRUE(found);
        // The plug-in's buffer stays bounded: nothing near the megabytes that went in. The log
        // names a bad checksum at most once per stop byte, not once per start byte before it.
        EXPECT_LT(PrivateBytes(), before + 8 * megabyte);
        const auto stops = std::count(stream.bytes.begin(), stream.bytes.end(), kmp::KmpStop);
        EXPECT_LE(ParseLog(0, host.CollectLog()).size(), static_cast<std::size_t>(stops) + 1);
    }
    host.Command("UNLOAD");
    DeleteFileA(ini.c_str());
}

}  // namespace
}  // namespace zol::hostsim
