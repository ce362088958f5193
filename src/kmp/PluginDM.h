#pragma once
// The KMP module: the plug-in's one module class, derived from the frame's instance. It sets the
// module information the host shows and fills the frame's event slots with the KMP behaviour.

#include <atomic>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "kmp/PluginDM_SerialPort.h"
#include "kmp/PluginDM_TextResources.h"
#include "kmp/kmp_registers.h"
#include "kmp/request_config.h"
#include "zolShared/Private/Plugins/zolPluginModule.h"
#include "zolShared/Public/Common/zolStringHolder.h"

namespace zol::kmp {

// The name of the module's second configuration, the one for electricity meters.
inline constexpr const char* kElectricityConfigName = "Kamstrup electricity [KMP protocol]";

// The module's property map in its stored form (InternalVer 2, empty key, hex lines).
common::StrHolderStoredForm PropertiesStoredForm();

class TaPlugin : public plugins::TzolPlugin, public RequestLoadHost {
   public:
    explicit TaPlugin(plugins::TPluginCallRec* creating_call);
    ~TaPlugin() override;

    // Creates the module for CreatePluginInstance.
    static std::unique_ptr<plugins::TzolPlugin> Create(plugins::TPluginCallRec* creating_call);

    // The property map through which Config is stored and loaded (owned by the module).
    common::TzolStrHolder* Properties = nullptr;
    // The settings object, present between load and unload (owned by the module).
    TDataSourceCfg* Config = nullptr;
    // True from creation until load, and again from unload on.
    std::atomic<bool> Unloading{true};
    // Loaded requests that are not enabled for sending (they only decode).
    std::atomic<std::int32_t> PassiveCount{0};
    // 0 heat, 1 electricity: the catalogue in use, chosen at load.
    std::atomic<std::uint8_t> CatalogueKind{0};
    std::span<const TKmpRegisterInfo> Catalogue() const noexcept;

    // What the request loader asks of the plug-in.
    bool AcceptsRequests() const noexcept override;
    KmpCatalogue CatalogueInUse() const noexcept override;
    void SetPassiveCount(std::int32_t count) noexcept override { PassiveCount = count; }
    std::int32_t PassiveRequestCount() const noexcept override { return PassiveCount.load(); }
    // Logs a schedule that will not run as written through the schedule-error message, once per
    // detail and load (every port loads the same entries).
    void ScheduleProblem(std::string_view detail, int position) noexcept override;

    // Loads `config` through the property map; with `restart`, the port modules are re-armed.
    void ApplyConfig(TDataSourceCfg& config, bool restart);
    // The module's message table (owned), translated once at creation.
    TTextResources* TextResources = nullptr;

    // The port module of a host data source id, for a caller that holds the ports' lock.
    TSerialPortDM* FindPort(std::int32_t id) const noexcept;
    // The port modules, guarded for the threads on which packets and events arrive while a state
    // change adds or removes ports.
    common::ReadWriteLock& PortsLock() noexcept { return ports_lock_; }
    std::vector<TSerialPortDM*> Ports() const { return ports_; }

   private:
    // The data module's creation handler: module information and event slots.
    void zolPluginCreate();
    void zolPluginLoad(plugins::TzolPlugin& sender, plugins::TPluginCallRec& rec,
                       std::int32_t& result);
    void zolPluginUnload(plugins::TzolPlugin& sender, plugins::TPluginCallRec& rec,
                         std::int32_t& result);
    void zolPluginSaveSettingsNow(plugins::TzolPlugin& sender);
    void zolPluginLoadSettingsNow(plugins::TzolPlugin& sender);
    void zolPluginChangeState(plugins::TzolPlugin& sender, std::uint8_t state_mask);
    void zolPluginProcessData(plugins::TzolPlugin& sender, plugins::TPluginCallRec& rec,
                              std::int32_t& result);
    void zolPluginBeforeGetParserItems(plugins::TzolPlugin& sender);
    void zolPluginShowOptionsDialog(plugins::TzolPlugin& sender, plugins::TPluginCallRec& rec,
                                    std::int32_t& result);
    void zolPluginEvent(plugins::TzolPlugin& sender, const std::string& name, std::int32_t& result,
                        plugins::TPluginCallRec& rec);
    // Declares what the packets carry beyond the catalogue: identity, times, and the registers
    // of the loaded configuration with their units; no name twice.
    void DeclarePublishedItems();
    // Loads the requests of every port from `config`; false (and logged) when one failed.
    bool LoadPortRequests(const TDataSourceCfg* config);

    // The schedule problems logged during the current load of the ports' requests.
    std::mutex schedule_problems_lock_;
    std::unordered_set<std::string> schedule_problems_;

    // Frees the ports a state change dropped, and those retired before whose ticks have ended;
    // keeps (retired) a port whose client's tick is in progress on this thread. On the command
    // thread, with the ports' lock let go.
    void LetGoOfPorts(std::vector<TSerialPortDM*> doomed);

    mutable common::ReadWriteLock ports_lock_;
    std::vector<TSerialPortDM*> ports_;          // owned as components of the module
    std::vector<TSerialPortDM*> retired_ports_;  // likewise; out of ports_, waiting for a tick
};

// Registers TaPlugin as the module class; called once at library start-up.
void RegisterKmpModule();

}  // namespace zol::kmp
