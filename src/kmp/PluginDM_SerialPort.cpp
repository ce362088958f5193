#include "kmp/PluginDM_SerialPort.h"

#include <string>

#include "kmp/PluginDM.h"
#include "kmp/PluginDM_KmpClient.h"

namespace zol::kmp {

TSerialPortDM::TSerialPortDM(plugins::TzolPlugin* plugin)
    : TDataSourceScheduledWithClients(plugin) {
    ClientClass = &TKmpParserClient::Create;
    // The port's queue holds the schedules of time and cron requests: a cron string that the
    // scheduler rejects at load is logged like the other schedule problems, not left silent.
    Queue->OnError = [this](parser::TQueueController&, std::string_view,
                            const std::exception& error, std::string_view detail) {
        if (auto* module = dynamic_cast<TaPlugin*>(Plugin)) {
            module->ScheduleProblem(std::string(detail) + ", " + error.what(), 1);
        }
    };
}

TSerialPortDM::~TSerialPortDM() {
    // The clients go before the port's own members: they reach back into the port.
    ShutdownClients();
    Shutdown();
}

}  // namespace zol::kmp
