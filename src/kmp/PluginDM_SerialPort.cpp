#include "kmp/PluginDM_SerialPort.h"

#include "kmp/PluginDM_KmpClient.h"

namespace zol::kmp {

TSerialPortDM::TSerialPortDM(plugins::TzolPlugin* plugin)
    : TDataSourceScheduledWithClients(plugin) {
    ClientClass = [](parser::TDataSourceScheduledWithClients& source,
                     const plugins::TPluginCallRec& packet) {
        return std::unique_ptr<parser::TCustomParserScheduledClient>(
            std::make_unique<TKmpParserClient>(source, packet));
    };
}

TSerialPortDM::~TSerialPortDM() {
    // The clients go before the port's own members: they reach back into the port.
    Shutdown();
    Clients.Clear();
}

}  // namespace zol::kmp
