#include "kmp/PluginDM_SerialPort.h"

#include "kmp/PluginDM_KmpClient.h"

namespace zol::kmp {

TSerialPortDM::TSerialPortDM(plugins::TzolPlugin* plugin)
    : TDataSourceScheduledWithClients(plugin) {
    ClientClass = &TKmpParserClient::Create;
}

TSerialPortDM::~TSerialPortDM() {
    // The clients go before the port's own members: they reach back into the port.
    Shutdown();
    Clients.Clear();
}

}  // namespace zol::kmp
