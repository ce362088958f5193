// Call records as a host might hand them over, built from arbitrary bytes: commands with their
// parameter lists (list objects or interface references, values of every kind, odd names, rows),
// data slots of any kind, record sizes, instance handles and source names without terminator,
// and received bytes for ProcessData, all against a live KMP module instance. Checked: no call
// throws or crashes, every call puts the caller's Flags, Params and list slots back, and the
// lists the caller owns are still whole afterwards.
//
// Commands that reach files or the registry (loading and storing settings) are left out: their
// parameters name places on this machine.
#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "kmp/PluginDM.h"
#include "zolShared/Private/Plugins/plugin_abi.h"
#include "zolShared/Private/Plugins/zolPluginModule.h"
#include "zolShared/Public/Common/zolParamLst.h"

namespace {

using namespace zol;
using common::Variant;

void Check(bool condition) {
    if (!condition) std::abort();
}

class Input {
   public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool Empty() const { return pos_ >= size_; }
    std::uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::uint32_t Word() {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v = (v << 8) | Byte();
        return v;
    }
    std::string Text(std::size_t max) {
        const std::size_t n =
            std::min<std::size_t>(Byte() % (max + 1), size_ - std::min(pos_, size_));
        std::string text(reinterpret_cast<const char*>(data_ + pos_), n);
        pos_ += n;
        return text;
    }

   private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

constexpr const char* kNames[] = {
    "COMMAND", "RESULT", "EVENT-TYPE", "PORTSTR",  "DATA-SOURCES-IN-CFG", "DATA-SOURCE-LOAD",
    "ITEMS",   "PARAM",  "VALUE",      "LANGUAGE", "$NEW_ROW$",           "CONFIG-ID"};
constexpr const char* kCommands[] = {"SET-STATE",
                                     "ITEMS",
                                     "EVENT",
                                     "SET-ITEMS",
                                     "EVENTS-SUPPORT",
                                     "GET-MODULE-PARAMETER",
                                     "SET-MODULE-PARAMETER",
                                     "GET-FUNC-TYPE-LIST"};
constexpr const char* kTexts[] = {"PORT-OPEN", "PORT-CLOSE", "1;COM1;Port one\r\n2;COM2;Two",
                                  "1",         "COM1",       "0x10"};

bool ReachesFiles(std::string text) {
    for (auto& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text.find("LOAD") != std::string::npos || text.find("SAVE") != std::string::npos;
}

Variant MakeValue(Input& in, bool is_command) {
    const std::uint8_t kind = in.Byte();
    if (is_command && kind % 2 == 0)
        return Variant::Ansi(kCommands[kind / 2 % std::size(kCommands)]);
    switch (kind % 10) {
        case 0:
            return Variant();
        case 1:
            return Variant::Null();
        case 2:
            return Variant::Int32(static_cast<std::int32_t>(in.Word()));
        case 3:
            return Variant::Double(static_cast<double>(static_cast<std::int32_t>(in.Word())) / 7.0);
        case 4:
            return Variant::Bool(in.Byte() & 1);
        case 5:
            return Variant::Date(static_cast<double>(in.Word() % 200000));
        case 6: {
            const std::string text = in.Text(40);
            return Variant::Utf16(std::u16string(text.begin(), text.end()));
        }
        case 7:
            return Variant::Ansi(kTexts[in.Byte() % std::size(kTexts)]);
        case 8:
            return Variant::Byte(in.Byte());
        default:
            return Variant::Ansi(in.Text(60));
    }
}

// A list the caller owns, filled from the input.
std::unique_ptr<common::TzolParamsList> MakeList(Input& in) {
    auto list = std::make_unique<common::TzolParamsList>();
    const int count = in.Byte() % 10;
    for (int i = 0; i < count && !in.Empty(); ++i) {
        const std::uint8_t pick = in.Byte();
        const std::string name = pick < 200 ? kNames[pick % std::size(kNames)] : in.Text(20);
        Variant value = MakeValue(in, name == "COMMAND");
        if (name == "COMMAND" && ReachesFiles(value.AsAnsi())) value = Variant::Ansi("ITEMS");
        list->Add(name, std::move(value));
    }
    return list;
}

struct CallerLists {
    std::vector<std::unique_ptr<common::TzolParamsList>> lists;
    std::vector<common::TzolParamsListWrap*> wraps;
    ~CallerLists() {
        for (auto* wrap : wraps) wrap->DestroyCached();
    }
    // The list itself, or a pointer to an interface variable of an adapter over it.
    void* Pointer(Input& in, bool as_interface) {
        lists.push_back(MakeList(in));
        if (!as_interface) return lists.back().get();
        wraps.push_back(new common::TzolParamsListWrap(lists.back().get(), true));
        return wraps.back()->AsInterfaceA();
    }
};

void FillSlot(Input& in, plugins::TPluginData& slot, CallerLists& lists,
              std::vector<std::uint8_t>& bytes, std::vector<std::uint8_t>& junk) {
    slot.Kind = in.Byte() % 12;
    slot.Count = static_cast<std::int32_t>(in.Byte()) - 8;
    switch (slot.Kind) {
        case plugins::kDataListObject:
            // A list object, or memory that is not one (its first word is no list marker).
            if (in.Byte() % 2 == 0) {
                slot.Value.Ptr = lists.Pointer(in, false);
            } else {
                junk.assign(32, in.Byte());
                junk[0] = 0;
                slot.Value.Ptr = junk.data();
            }
            break;
        case plugins::kDataListUnchecked:
            slot.Value.Ptr = in.Byte() % 4 == 0 ? nullptr : lists.Pointer(in, false);
            break;
        case plugins::kDataListInterface:
            slot.Value.Ptr = in.Byte() % 4 == 0 ? nullptr : lists.Pointer(in, true);
            break;
        case plugins::kDataRawBytes: {
            const std::string text = in.Text(250);
            bytes.assign(text.begin(), text.end());
            slot.Value.Ptr = bytes.empty() ? nullptr : bytes.data();
            slot.Size = static_cast<std::int32_t>(bytes.size());
            return;
        }
        default:
            slot.Value.Number = in.Word();
            break;
    }
    slot.Size = static_cast<std::int32_t>(in.Byte()) - 8;
}

void* g_handle = nullptr;

void EnsureInstance() {
    if (g_handle != nullptr) return;
    kmp::RegisterKmpModule();
    plugins::LibraryStartup();
    common::TzolParamsList params;
    plugins::TPluginCallRec rec{};
    rec.RecSize = plugins::kCallRecSize;
    rec.Params = &params;
    Check(plugins::CreatePluginInstanceCall(&rec) == 0);
    g_handle = rec.Instance;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    EnsureInstance();
    Input in(data, size);
    for (int call = 0; call < 12 && !in.Empty(); ++call) {
        CallerLists lists;
        std::vector<std::uint8_t> in_bytes, out_bytes, junk_in, junk_out;
        plugins::TPluginCallRec rec{};
        const std::uint8_t shape = in.Byte();
        rec.RecSize =
            shape % 16 == 0 ? static_cast<std::int32_t>(in.Word()) : plugins::kCallRecSize;
        rec.Flags = in.Byte();
        std::uint32_t stray = 0;
        rec.Instance = shape % 13 == 0 ? nullptr : shape % 11 == 0 ? &stray : g_handle;
        rec.Tag = static_cast<std::int32_t>(in.Byte());
        rec.SourceId = static_cast<std::int32_t>(in.Byte() % 4);
        rec.ClientId = static_cast<std::int32_t>(in.Byte() % 4);
        rec.StateMask = in.Byte();
        const std::uint8_t params = in.Byte() % 3;
        rec.Params = params == 2 ? nullptr : lists.Pointer(in, params == 1);
        FillSlot(in, rec.InData, lists, in_bytes, junk_in);
        FillSlot(in, rec.OutData, lists, out_bytes, junk_out);
        // The source name may fill all its bytes, with no terminator.
        const std::string name = in.Text(sizeof(rec.SourceName));
        std::memcpy(rec.SourceName, name.data(), name.size());

        const plugins::TPluginCallRec before = rec;
        switch (shape % 3) {
            case 0:
                plugins::ExecutePluginCommandCall(&rec);
                break;
            case 1:
                plugins::ProcessDataCall(&rec);
                break;
            default: {
                char log[256];
                rec.InData.Value.Ptr = log;
                rec.InData.Size = static_cast<std::int32_t>(in.Byte());
                plugins::GetLogExCall(&rec);
                break;
            }
        }
        Check(rec.Flags == before.Flags && rec.Params == before.Params);
        for (const auto& list : lists.lists) Check(list->Count() >= 0 && list->Count() < 100000);
    }
    // The log is the host's to collect; collect it so it does not grow across inputs.
    plugins::TPluginCallRec rec{};
    rec.RecSize = plugins::kCallRecSize;
    rec.Instance = g_handle;
    std::vector<char> log(1 << 16);
    rec.InData.Value.Ptr = log.data();
    rec.InData.Size = static_cast<std::int32_t>(log.size());
    plugins::GetLogExCall(&rec);
    return 0;
}
