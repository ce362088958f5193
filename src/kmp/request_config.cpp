#include "kmp/request_config.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <unordered_set>

#include "kmp/kmp_frame.h"
#include "parser/options_text.h"

namespace zol::kmp {

namespace {

char LowerAscii(char c) noexcept {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool TextLess(std::string_view a, std::string_view b) noexcept {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return LowerAscii(x) < LowerAscii(y);
    });
}

std::int32_t MinIntervalMs(double value) noexcept {
    if (!std::isfinite(value)) return 0;
    return static_cast<std::int32_t>(std::clamp(std::trunc(value), -2147483648.0, 2147483647.0));
}

// The register id of one register node: "Custom" when present and not 0, else "Register" read
// as hexadecimal (0 when it is not).
std::uint16_t RegisterId(const parser::OptionsElement& node) {
    const std::int32_t custom = parser::OptionsIntegerValue(node, "Custom", 0);
    if (custom != 0) return static_cast<std::uint16_t>(custom);
    const std::string hex = parser::OptionsTextValue(node, "Register", "0000");
    return static_cast<std::uint16_t>(parser::ParseOptionsInteger("$" + hex).value_or(0));
}

// A cron string of fewer than five fields runs every day at midnight: a schedule nobody wrote
// on purpose, so the plug-in says so.
void ReportShortCron(RequestLoadHost& plugin, const TRequestItem& entry) {
    if (entry.Method != parser::TRequestMethod::rmCron) return;
    const std::string& cron = entry.MethodParams.Param;
    const std::size_t fields = parser::CronFields(cron).size();
    if (fields >= 5) return;
    // The error is where the missing fields should begin: just behind the last one.
    const std::size_t last = cron.find_last_not_of(" \t");
    const int position = last == std::string::npos ? 1 : static_cast<int>(last) + 2;
    plugin.ScheduleProblem(
        cron + ", " + std::to_string(fields) + (fields == 1 ? " field" : " fields") +
            " where 5 or 6 are needed: " + entry.Name + " runs every day at midnight",
        position);
}

}  // namespace

std::vector<std::string> SplitDevices(std::string_view text) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t separator = text.find_first_of(";,", start);
        const std::size_t end = separator == std::string_view::npos ? text.size() : separator;
        parts.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

std::string RegisterItemName(std::uint16_t id) {
    char name[16];
    std::snprintf(name, sizeof name, "REG_%04X", static_cast<unsigned>(id));
    return name;
}

void TRequestItem::Assign(const parser::TBasicRequestItem& source) {
    if (&source == this) return;
    TBasicRequestItem::Assign(source);
    const auto* request = dynamic_cast<const TRequestItem*>(&source);
    if (request == nullptr) return;
    Responses.clear();
    for (std::size_t i = 0; i < request->ResponseCount(); ++i) {
        AddResponse().Assign(request->Response(i));
    }
    Parameters = request->Parameters;
}

TResponseItem& TRequestItem::AddResponse() {
    Responses.push_back(std::make_unique<TResponseItem>(this));
    return static_cast<TResponseItem&>(*Responses.back());
}

std::int64_t DeviceNumber(std::string_view text) noexcept {
    text = common::TrimControl(text);
    bool negative = false;
    int base = 10;
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (!text.empty() && text.front() == '$') {
        base = 16;
        text.remove_prefix(1);
    }
    if (text.empty()) return -1;
    std::uint64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (error != std::errc{} || end != text.data() + text.size()) return -1;
    if (value > static_cast<std::uint64_t>(INT64_MAX)) return -1;
    return negative ? -static_cast<std::int64_t>(value) : static_cast<std::int64_t>(value);
}

void NormalizeDevices(std::vector<std::string>& devices) {
    std::stable_sort(devices.begin(), devices.end(),
                     [](const std::string& a, const std::string& b) {
                         return TextLess(common::TrimControl(a), common::TrimControl(b));
                     });
    std::vector<std::string> kept;
    std::unordered_set<std::string_view> kept_trimmed;  // views into `devices`, alive until the end
    kept.reserve(devices.size());
    for (const std::string& device : devices) {
        const std::string_view trimmed = common::TrimControl(device);
        if (DeviceNumber(trimmed) < 0) continue;
        if (!kept_trimmed.insert(trimmed).second) continue;
        kept.push_back(device);
    }
    devices = std::move(kept);
}

void LoadRequests(RequestLoadHost* plugin, const TDataSourceCfg* config,
                  parser::TBasicRequestList& requests, parser::TQueueControllerTimer* port_queue) {
    if (port_queue != nullptr) port_queue->SetTimerEnabled(false);
    requests.Clear();
    if (config == nullptr) return;
    if (port_queue != nullptr && plugin != nullptr && !plugin->AcceptsRequests()) return;

    if (port_queue != nullptr) {
        port_queue->MinInterval = MinIntervalMs(config->spMinInt_Value);
        port_queue->StopSchedules();
    }
    // The count is set once the requests are read, not counted up in place: a port's thread
    // reads it for every frame, and a load that passed through 0 would turn away the answers
    // that arrive meanwhile for the passive requests the clients still hold.
    struct PassiveCount {
        RequestLoadHost* plugin;
        std::int32_t count = 0;
        ~PassiveCount() {
            if (plugin != nullptr) plugin->SetPassiveCount(count);
        }
    } passive{plugin};
    const KmpCatalogue catalogue_kind =
        plugin != nullptr ? plugin->CatalogueInUse() : KmpCatalogue::kHeat;
    const auto catalogue = Catalogue(catalogue_kind);

    const parser::OptionsDocument document = parser::ReadOptionsText(config->lblParams_Caption);
    const parser::OptionsElement* query = document.root.FindChild("QUERY");
    if (query != nullptr) {
        for (std::size_t k = 0; k < query->children.size(); ++k) {
            const parser::OptionsElement& entry = query->children[k];
            const parser::OptionsElement* response = entry.FindChild("Response");
            if (response == nullptr) continue;

            TRequestItem template_item;
            template_item.LoadFromXml(entry, static_cast<int>(k + 1));
            template_item.MaxRetries = 3;
            TRequestParameters parameters;
            parameters.Timeout = parser::OptionsIntegerValue(entry, "Timeout", 300);
            parameters.CatalogueKind = catalogue_kind == KmpCatalogue::kElectricity ? 1 : 0;
            parameters.Group = static_cast<std::int32_t>(k);
            parameters.Cid = CidGetRegister;
            if (!template_item.Enabled) ++passive.count;
            if (plugin != nullptr) ReportShortCron(*plugin, template_item);

            std::vector<std::string> devices =
                SplitDevices(parser::OptionsTextValue(entry, "Device", "1"));
            NormalizeDevices(devices);
            if (devices.empty()) devices.emplace_back("1");

            const bool timed = template_item.Method == parser::TRequestMethod::rmAtTime ||
                               template_item.Method == parser::TRequestMethod::rmCron;
            if (port_queue != nullptr && timed) port_queue->AddSchedules(template_item);

            for (const std::string& device : devices) {
                auto request = std::make_unique<TRequestItem>();
                request->Assign(template_item);
                request->Parameters = parameters;
                request->Parameters.AddressText = device;
                const std::int64_t number = DeviceNumber(device);
                request->Parameters.Address =
                    static_cast<std::uint8_t>(number < 0 ? 0 : number & 0xFF);
                for (const parser::OptionsElement& node : response->children) {
                    TResponseParameters& registered = request->AddResponse().Parameters;
                    registered.Register = RegisterId(node);
                    registered.Info = FindRegister(catalogue, registered.Register);
                    registered.Name = parser::OptionsTextValue(node, "Name", "");
                    if (registered.Name.empty() && registered.Info != nullptr) {
                        registered.Name = std::string(registered.Info->Code);
                    }
                    // An item without a name cannot be published: a register that neither
                    // the configuration nor the catalogue names gets one from its id.
                    if (registered.Name.empty())
                        registered.Name = RegisterItemName(registered.Register);
                    if (registered.Info != nullptr) {
                        registered.Caption = std::string(registered.Info->Name);
                    }
                    if (registered.Caption.empty()) registered.Caption = registered.Name;
                }
                requests.Add(std::move(request));
            }
        }
    }
    if (port_queue != nullptr) port_queue->ResetSchedule();
}

}  // namespace zol::kmp
