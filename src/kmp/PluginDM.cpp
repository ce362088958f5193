#include "kmp/PluginDM.h"

#include <algorithm>
#include <cstdio>
#include <unordered_set>

#include "kmp/PluginDM_KmpClient.h"
#include "translation/text_format.h"
#include "translation/translator.h"
#include "zolShared/Private/Plugins/call_params.h"

namespace zol::kmp {

common::StrHolderStoredForm PropertiesStoredForm() {
    // The lines, in order: "Left,Left", "Top,Top", "Height,Height", "Width,Width",
    // ";---short---", "lblParams.Caption,Parser config", "OpenDialog.FileName,Open files dir",
    // "SaveDialog.FileName,Save files dir", "spMinInt.Value,Min interval".
    return common::StrHolderStoredForm{
        2, std::vector<std::string>{
               "",
               "4c6566742c4c656674",
               "546f702c546f70",
               "4865696768742c486569676874",
               "57696474682c5769647468",
               "3b2d2d2d73686f72742d2d2d",
               "6c626c506172616d732e43617074696f6e2c50617273657220636f6e666967",
               "4f70656e4469616c6f672e46696c654e616d652c4f70656e2066696c657320646972",
               "536176654469616c6f672e46696c654e616d652c536176652066696c657320646972",
               "73704d696e496e742e56616c75652c4d696e20696e74657276616c",
           }};
}

TaPlugin::TaPlugin(plugins::TPluginCallRec* creating_call) : TzolPlugin(creating_call) {
    SetName("aPlugin");
    Properties = new common::TzolStrHolder(this, "Properties");
    Properties->ReadStoredForm(PropertiesStoredForm());
    zolPluginCreate();
}

TaPlugin::~TaPlugin() {
    // The ports (and their clients and timers) go before the frame they report to, outside the
    // ports' lock: a port waits for its clients' ticks, and a tick's host may deliver a packet.
    std::vector<TSerialPortDM*> doomed;
    {
        common::ExclusiveSection ports(ports_lock_);
        doomed.swap(ports_);
    }
    doomed.insert(doomed.end(), retired_ports_.begin(), retired_ports_.end());
    retired_ports_.clear();
    for (TSerialPortDM* port : doomed) delete port;
}

void TaPlugin::LetGoOfPorts(std::vector<TSerialPortDM*> doomed) {
    // Retired ports whose last tick has ended go too.
    for (auto it = retired_ports_.begin(); it != retired_ports_.end();) {
        if ((*it)->TicksInProgressOnThisThread()) {
            ++it;
            continue;
        }
        doomed.push_back(*it);
        it = retired_ports_.erase(it);
    }
    for (TSerialPortDM* port : doomed) {
        if (port->TicksInProgressOnThisThread()) {
            // A host that runs this command from a message loop inside a tick of the port's own
            // client: the port stays until that tick has ended (its clients are retired now, so
            // nothing more is sent), and goes with the next state change or the module.
            port->Clients.Clear();
            retired_ports_.push_back(port);
            continue;
        }
        delete port;
    }
}

std::unique_ptr<plugins::TzolPlugin> TaPlugin::Create(plugins::TPluginCallRec* creating_call) {
    return std::make_unique<TaPlugin>(creating_call);
}

void TaPlugin::zolPluginCreate() {
    Description = "Kamstrup [KMP protocol]";
    LogTitle = "Kamstrup";
    ModuleType = 3;                                                 // module kinds 0 and 1
    Capabilities = static_cast<std::uint8_t>(Capabilities | 0x04);  // read CONFIG-ID at LOAD
    InfoFlag = 1;
    InfoVersion = 5.0f;
    EventsSupported = "PORT-OPEN;PORT-CLOSE";

    using namespace std::placeholders;
    OnLoad = std::bind(&TaPlugin::zolPluginLoad, this, _1, _2, _3);
    OnUnload = std::bind(&TaPlugin::zolPluginUnload, this, _1, _2, _3);
    OnSaveSettingsNow = std::bind(&TaPlugin::zolPluginSaveSettingsNow, this, _1);
    OnLoadSettingsNow = std::bind(&TaPlugin::zolPluginLoadSettingsNow, this, _1);
    OnChangeState = std::bind(&TaPlugin::zolPluginChangeState, this, _1, _2);
    OnProcessData = std::bind(&TaPlugin::zolPluginProcessData, this, _1, _2, _3);
    OnBeforeGetParserItems = std::bind(&TaPlugin::zolPluginBeforeGetParserItems, this, _1);
    OnShowOptionsDialog = std::bind(&TaPlugin::zolPluginShowOptionsDialog, this, _1, _2, _3);
    OnEvent = std::bind(&TaPlugin::zolPluginEvent, this, _1, _2, _3, _4);
    Unloading = true;

    // The message table, translated once now; it keeps that language from then on.
    TextResources = new TTextResources(this);
    // The module's configurations: the host picks one by the JAMCRC key of its name (CONFIG-ID).
    // The first reads heat meters; the second, at index 1, electricity meters (LOAD selects
    // their catalogue by that index). New ones go behind, so every name keeps its place.
    ModuleConfigs.Add(Description);
    ModuleConfigs.Add(kElectricityConfigName);
    Description = ModuleConfigs.Names("\r\n");
    TranslateComponent(*TextResources);
    // The module's own translatable properties.
    if (Translator != nullptr) Translator->AddComponentProperties("Filter;Columns");
}

void TaPlugin::zolPluginLoad(plugins::TzolPlugin&, plugins::TPluginCallRec&, std::int32_t&) {
    if (Config == nullptr) Config = new TDataSourceCfg(this);
    Unloading = false;
    // The configuration the host chose by CONFIG-ID names the log; its index picks the catalogue.
    CatalogueKind = 0;
    if (auto found = ModuleConfigs.FindByKey(static_cast<std::uint32_t>(ConfigId))) {
        WriteText(LogTitle, found->second);
        if (found->first == 1) CatalogueKind = 1;
    }
    ApplyConfig(*Config, false);
}

void TaPlugin::zolPluginUnload(plugins::TzolPlugin&, plugins::TPluginCallRec&, std::int32_t&) {
    Unloading = true;
    {
        common::SharedSection ports(ports_lock_);
        for (TSerialPortDM* port : ports_) {
            LoadRequests(this, nullptr, port->Queue->Requests, port->Queue.get());
            // The clients' copies go too: an unloaded plug-in sends nothing more, not even the
            // frames already waiting for the host.
            port->RearmClients(true, true);
            port->Clients.ForEach([](std::intptr_t, parser::TCustomParserClient& client) {
                static_cast<TKmpParserClient&>(client).ClearOutbox();
                return true;
            });
        }
    }
    delete Config;  // the owner forgets it as it goes
    Config = nullptr;
}

void TaPlugin::zolPluginSaveSettingsNow(plugins::TzolPlugin&) {
    if (Config != nullptr) {
        ProcessSettings(common::TWregOperation::kStore, Properties->Strings(), *Config);
    }
}

void TaPlugin::zolPluginLoadSettingsNow(plugins::TzolPlugin&) {
    if (Config != nullptr) ApplyConfig(*Config, true);
}

void TaPlugin::ApplyConfig(TDataSourceCfg& config, bool restart) {
    ProcessSettings(common::TWregOperation::kLoad, Properties->Strings(), config);
    LoadPortRequests(&config);
    if (!restart) return;
    common::SharedSection ports(ports_lock_);
    for (TSerialPortDM* port : ports_) port->RearmClients(true, true);
}

bool TaPlugin::LoadPortRequests(const TDataSourceCfg* config) {
    {
        std::lock_guard<std::mutex> lock(schedule_problems_lock_);
        schedule_problems_.clear();
    }
    common::SharedSection ports(ports_lock_);
    for (TSerialPortDM* port : ports_) {
        try {
            LoadRequests(this, config, port->Queue->Requests, port->Queue.get());
        } catch (const std::exception& error) {
            Log(0, translation::FormatText(TextResources->ItemsFormationError,
                                           {std::string(error.what())}));
            return false;  // the ports after the failing one keep no requests
        }
    }
    return true;
}

void TaPlugin::ScheduleProblem(std::string_view detail, int position) noexcept {
    try {
        {
            std::lock_guard<std::mutex> lock(schedule_problems_lock_);
            if (!schedule_problems_.emplace(detail).second) return;
        }
        Log(1, translation::FormatText(TextResources->UnableToParseExpression,
                                       {std::string(detail), std::int64_t{position}}));
    } catch (...) {
        // A log line that cannot be built is not worth failing the load for.
    }
}

std::span<const TKmpRegisterInfo> TaPlugin::Catalogue() const noexcept {
    return kmp::Catalogue(CatalogueInUse());
}

KmpCatalogue TaPlugin::CatalogueInUse() const noexcept {
    return CatalogueKind.load() == 1 ? KmpCatalogue::kElectricity : KmpCatalogue::kHeat;
}

bool TaPlugin::AcceptsRequests() const noexcept { return !Unloading && (Enabled[0] || Enabled[1]); }

TSerialPortDM* TaPlugin::FindPort(std::int32_t id) const noexcept {
    for (auto it = ports_.rbegin(); it != ports_.rend(); ++it) {
        if ((*it)->Id == id) return *it;
    }
    return nullptr;
}

void TaPlugin::zolPluginChangeState(plugins::TzolPlugin&, std::uint8_t) {
    std::vector<TSerialPortDM*> doomed;
    {
        common::ExclusiveSection ports(ports_lock_);
        std::vector<TSerialPortDM*> kept;
        bool any_enabled = false;
        for (bool enabled : Enabled) any_enabled = any_enabled || enabled;
        if (any_enabled) {
            for (const plugins::TConfigDataSource& source : DataSources) {
                if (!DataSourceLoadFor.empty() &&
                    !common::SameTextAscii(source.Line, DataSourceLoadFor)) {
                    continue;
                }
                if (std::find_if(kept.begin(), kept.end(), [&](const TSerialPortDM* port) {
                        return port->Id == source.Id;
                    }) != kept.end()) {
                    continue;  // one module per data source, however often it is listed
                }
                TSerialPortDM* port = FindPort(source.Id);
                if (port == nullptr) {
                    port = new TSerialPortDM(this);
                    port->Id = source.Id;
                    port->SetName(source.Name);
                    port->FullName = source.FullName;
                }
                kept.push_back(port);
            }
        }
        for (TSerialPortDM* port : ports_) {
            if (std::find(kept.begin(), kept.end(), port) == kept.end()) doomed.push_back(port);
        }
        ports_ = std::move(kept);
    }
    // Outside the ports' lock: a port that goes waits for its clients' ticks on other threads.
    LetGoOfPorts(std::move(doomed));
    if (Config != nullptr) ApplyConfig(*Config, true);
    if (IsTemporaryLoad == 0) {
        common::SharedSection ports(ports_lock_);
        parser::TDataSourceScheduledWithClients::CreatePlaceholders(
            *this, &TKmpParserClient::Create, true, 0);
    }
}

void TaPlugin::zolPluginProcessData(plugins::TzolPlugin&, plugins::TPluginCallRec& rec,
                                    std::int32_t& result) {
    result = Config != nullptr ? 0 : -1;
    if (Unloading) return;
    std::shared_ptr<parser::TCustomParserScheduledClient> flush;
    {
        common::SharedSection ports(ports_lock_);
        TSerialPortDM* port = FindPort(rec.SourceId);
        if (port != nullptr && (rec.StateMask & 0x02) != 0 && Enabled[1]) {
            result = port->DispatchPacket(rec, flush);
        }
    }
    // What the client answered with goes to the host with no lock of the plug-in held: a host
    // that hands the write to its main thread and waits must not find that thread waiting for
    // the ports (a state change) while this thread waits for it.
    if (flush) {
        try {
            flush->FlushSends();
        } catch (...) {
            // The frames are lost; the exchange runs into its deadline and is retried.
        }
    }
}

void TaPlugin::zolPluginBeforeGetParserItems(plugins::TzolPlugin&) {
    ParserItems.Clear();
    ParserItems.AddStandardItems(false);
    ParserItems.Add("DEVICE_ID", "Device ID", "", plugins::kParserTypeInteger);
    std::size_t rows = 0;
    for (const TKmpRegisterInfo& row : Catalogue()) {
        if (row.Id == kKmpCatalogueEnd || rows++ >= kKmpCatalogueMaxRows) break;
        // Rows without a code are declared under the name their values are published with.
        ParserItems.Add(row.Code.empty() ? RegisterItemName(static_cast<std::uint16_t>(row.Id))
                                         : std::string(row.Code),
                        std::string(row.Name), "0", plugins::kParserTypeFloat);
    }
    DeclarePublishedItems();
}

void TaPlugin::DeclarePublishedItems() {
    // A host that offers only declared items for export must find everything a packet can carry.
    // Names compare without regard to case, as the host's lists compare them.
    std::unordered_set<std::string> declared;
    const auto key = [](std::string_view name) {
        std::string lower(name);
        for (char& c : lower) {
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        }
        return lower;
    };
    for (const plugins::TParserItem& item : ParserItems.Items()) declared.insert(key(item.Name));
    const auto declare = [&](const std::string& name, const std::string& caption,
                             const char* default_value, std::uint8_t type) {
        if (declared.insert(key(name)).second) ParserItems.Add(name, caption, default_value, type);
    };
    // The meter's identity and the reading's time, in the value kinds the packets carry them.
    declare("SERIAL_NO", "Serial no.", "", plugins::kParserTypeDWord);
    declare("DEVICE_TYPE", "Device type", "", plugins::kParserTypeString);
    declare("TIMESTAMP", "Timestamp", "", plugins::kParserTypeDateTime);
    declare("TIMESTAMP_UTC", "Timestamp (UTC)", "", plugins::kParserTypeDateTime);
    if (Config == nullptr) return;

    // The registers of the loaded configuration, named as the loader names them, each with its
    // unit. Registers decoded as a date or a time of day are date-time values; others numbers.
    StandaloneLoadHost host(CatalogueInUse());
    parser::TBasicRequestList requests;
    try {
        LoadRequests(&host, Config, requests, nullptr);
    } catch (const std::exception&) {
        return;  // the ports' load has logged what is wrong with the configuration
    }
    common::SharedSection list(requests.Lock());
    for (std::int32_t i = 0; i < requests.CountLocked(); ++i) {
        const auto& request = static_cast<const TRequestItem&>(*requests.Item(i));
        for (std::size_t r = 0; r < request.ResponseCount(); ++r) {
            const TResponseParameters& registered = request.Response(r).Parameters;
            const bool dated = registered.Info != nullptr && registered.Info->Decoder != nullptr;
            declare(registered.Name, registered.Caption, "0",
                    dated ? plugins::kParserTypeDateTime : plugins::kParserTypeFloat);
            declare(registered.Name + "_UNIT", registered.Caption + " (unit)", "",
                    plugins::kParserTypeString);
        }
    }
}

void TaPlugin::zolPluginShowOptionsDialog(plugins::TzolPlugin&, plugins::TPluginCallRec&,
                                          std::int32_t& result) {
    result = 1;
}

namespace {

// A copy of a call's parameter list, for handlers that keep it beyond the call.
std::unique_ptr<common::TzolParamsList> CopyParams(common::IzolParamsListA* list) {
    auto copy = std::make_unique<common::TzolParamsList>();
    if (list == nullptr) return copy;
    const std::int32_t count = list->GetCount();
    for (std::int32_t i = 0; i < count; ++i) {
        common::IzolParamsListItemA* item = nullptr;
        if (list->GetItem(i, &item) != 0 || item == nullptr) continue;
        if (item->IsNewRow() != 0) {
            copy->NewRow();
        } else {
            common::Variant value;
            if (item->GetValue(&value.Raw()) == 0) {
                const char* name = item->GetName();
                copy->Add(name != nullptr ? name : "", std::move(value));
            }
        }
        item->Release();
    }
    return copy;
}

}  // namespace

void TaPlugin::zolPluginEvent(plugins::TzolPlugin&, const std::string& name, std::int32_t& result,
                              plugins::TPluginCallRec& rec) {
    const plugins::CallParams params(rec);
    if (name == "GetFuncTypeList") {
        result = 0;
        std::string text;
        std::size_t rows = 0;
        for (const TKmpRegisterInfo& row : Catalogue()) {
            if (row.Id == kKmpCatalogueEnd || rows++ >= kKmpCatalogueMaxRows) break;
            if (row.Code.empty()) continue;
            char id[8];
            std::snprintf(id, sizeof id, "%04X", static_cast<unsigned>(row.Id & 0xFFFF));
            if (!text.empty()) text += "||";
            text.append(row.Name).append("==").append(id);
        }
        const common::Variant value = common::Variant::Ansi(text);
        if (!params.SetResult(value) && params.List() != nullptr) {
            common::IzolParamsListItemA* added = nullptr;
            params.List()->Add("RESULT", &value.Raw(), &added);
            if (added != nullptr) added->Release();
        }
        return;
    }
    if (!Enabled[0]) return;
    result = 0;
    const bool port_open = name == "PORT-OPEN";
    std::string port_text;
    if (port_open) {
        if (auto port = params.Find("PORTSTR")) port_text = port->AsAnsi();
    }
    common::SharedSection ports(ports_lock_);
    for (auto it = ports_.rbegin(); it != ports_.rend(); ++it) {
        TSerialPortDM& port = **it;
        try {
            if (!port_text.empty() && !common::SameTextAscii(port_text, port.Name())) continue;
            if (port_open && *port.SendFailed) {
                *port.SendFailed = false;
                port.RearmClients(true, false);
            }
            const auto copy = CopyParams(params.List());
            port.HostEvent(name, port_open, copy.get());
            if (port_open) port.RearmClients(true, false);
        } catch (...) {
            // One port's trouble does not keep the event from the others.
        }
    }
    if (!port_open) return;
    for (auto it = ports_.rbegin(); it != ports_.rend(); ++it) {
        (*it)->Queue->ResetRequest = 2;
        (*it)->RearmClients(false, false);
    }
}

void RegisterKmpModule() { plugins::RegisterPluginClass(&TaPlugin::Create); }

}  // namespace zol::kmp
