#pragma once
// The KMP module: the plug-in's one module class, derived from the frame's instance. It sets the
// module information the host shows and fills the frame's event slots with the KMP behaviour.

#include <memory>

#include "kmp/PluginDM_TextResources.h"
#include "kmp/request_config.h"
#include "zolShared/Private/Plugins/zolPluginModule.h"
#include "zolShared/Public/Common/zolStringHolder.h"

namespace zol::kmp {

// The module's property map in its stored form (InternalVer 2, empty key, hex lines).
common::StrHolderStoredForm PropertiesStoredForm();

class TaPlugin : public plugins::TzolPlugin {
   public:
    explicit TaPlugin(plugins::TPluginCallRec* creating_call);

    // Creates the module for CreatePluginInstance.
    static std::unique_ptr<plugins::TzolPlugin> Create(plugins::TPluginCallRec* creating_call);

    // The property map through which Config is stored and loaded (owned by the module).
    common::TzolStrHolder* Properties = nullptr;
    // The settings object, present between load and unload (owned by the module).
    TDataSourceCfg* Config = nullptr;
    // True from creation until load, and again from unload on.
    bool Unloading = true;

    // Loads `config` through the property map; with `restart`, the port modules are re-armed.
    void ApplyConfig(TDataSourceCfg& config, bool restart);
    // The module's message table (owned), translated once at creation.
    TTextResources* TextResources = nullptr;

   private:
    // The data module's creation handler: module information and event slots.
    void zolPluginCreate();
    void zolPluginLoad(plugins::TzolPlugin& sender, plugins::TPluginCallRec& rec,
                       std::int32_t& result);
    void zolPluginUnload(plugins::TzolPlugin& sender, plugins::TPluginCallRec& rec,
                         std::int32_t& result);
    void zolPluginSaveSettingsNow(plugins::TzolPlugin& sender);
    void zolPluginLoadSettingsNow(plugins::TzolPlugin& sender);
};

// Registers TaPlugin as the module class; called once at library start-up.
void RegisterKmpModule();

}  // namespace zol::kmp
