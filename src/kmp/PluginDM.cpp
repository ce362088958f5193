#include "kmp/PluginDM.h"

#include "translation/translator.h"

namespace zol::kmp {

TaPlugin::TaPlugin(plugins::TPluginCallRec* creating_call) : TzolPlugin(creating_call) {
    SetName("aPlugin");
    zolPluginCreate();
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

    // The message table, translated once now; it keeps that language from then on.
    TextResources = new TTextResources(this);
    TranslateComponent(*TextResources);
    // The module's own translatable properties.
    if (Translator != nullptr) Translator->AddComponentProperties("Filter;Columns");
}

void RegisterKmpModule() { plugins::RegisterPluginClass(&TaPlugin::Create); }

}  // namespace zol::kmp
