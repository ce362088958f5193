#pragma once
// The KMP module: the plug-in's one module class, derived from the frame's instance. It sets the
// module information the host shows and fills the frame's event slots with the KMP behaviour.

#include <memory>

#include "kmp/PluginDM_TextResources.h"
#include "zolShared/Private/Plugins/zolPluginModule.h"

namespace zol::kmp {

class TaPlugin : public plugins::TzolPlugin {
   public:
    explicit TaPlugin(plugins::TPluginCallRec* creating_call);

    // Creates the module for CreatePluginInstance.
    static std::unique_ptr<plugins::TzolPlugin> Create(plugins::TPluginCallRec* creating_call);

    // The module's message table (owned), translated once at creation.
    TTextResources* TextResources = nullptr;

   private:
    // The data module's creation handler: module information and event slots.
    void zolPluginCreate();
};

// Registers TaPlugin as the module class; called once at library start-up.
void RegisterKmpModule();

}  // namespace zol::kmp
