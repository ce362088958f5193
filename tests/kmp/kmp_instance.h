#pragma once
// A KMP module instance made the way the host makes one: the library restarted with the module
// registered, then CreatePluginInstance. Tests keep the handle for their calls.

#include <gtest/gtest.h>

#include <memory>

#include "kmp/PluginDM.h"
#include "zolShared/Private/Plugins/plugin_abi.h"

namespace zol::kmp::testing {

struct KmpInstance {
    void* handle = nullptr;
    std::shared_ptr<plugins::TzolPlugin> instance;
    TaPlugin* plugin = nullptr;

    // Restarts the library and creates the instance (a failed assertion leaves plugin null).
    void Create() {
        plugins::LibraryShutdown();
        RegisterKmpModule();
        plugins::LibraryStartup();
        common::TzolParamsList params;
        plugins::TPluginCallRec rec{};
        rec.RecSize = plugins::kCallRecSize;
        rec.Params = &params;
        ASSERT_EQ(plugins::CreatePluginInstanceCall(&rec), 0);
        handle = rec.Instance;
        instance = plugins::FindInstance(handle);
        plugin = dynamic_cast<TaPlugin*>(instance.get());
        ASSERT_NE(plugin, nullptr);
    }
    void Release() {
        plugin = nullptr;
        instance.reset();
        plugins::LibraryShutdown();
    }
};

}  // namespace zol::kmp::testing
