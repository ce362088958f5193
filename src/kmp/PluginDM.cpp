#include "kmp/PluginDM.h"

#include "translation/translator.h"

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
    Unloading = true;

    // The message table, translated once now; it keeps that language from then on.
    TextResources = new TTextResources(this);
    // The module's configurations: the host picks one by the JAMCRC key of its name (CONFIG-ID).
    ModuleConfigs.Add(Description);
    Description = ModuleConfigs.Names("\r\n");
    TranslateComponent(*TextResources);
    // The module's own translatable properties.
    if (Translator != nullptr) Translator->AddComponentProperties("Filter;Columns");
}

void TaPlugin::zolPluginLoad(plugins::TzolPlugin&, plugins::TPluginCallRec&, std::int32_t&) {
    if (Config == nullptr) Config = new TDataSourceCfg(this);
    Unloading = false;
    ApplyConfig(*Config, false);
}

void TaPlugin::zolPluginUnload(plugins::TzolPlugin&, plugins::TPluginCallRec&, std::int32_t&) {
    Unloading = true;
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

void TaPlugin::ApplyConfig(TDataSourceCfg& config, bool /*restart*/) {
    ProcessSettings(common::TWregOperation::kLoad, Properties->Strings(), config);
    // TODO: rebuild the port modules' requests from config.lblParams_Caption and re-arm their
    // clients when restarting; this waits for the request configuration and the port modules.
}

void RegisterKmpModule() { plugins::RegisterPluginClass(&TaPlugin::Create); }

}  // namespace zol::kmp
