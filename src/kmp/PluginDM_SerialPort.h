#pragma once
// The port data module: one host data source (a port) of the KMP module, with KMP clients.

#include <atomic>

#include "parser/parser_DataSourceDM_Clients.h"

namespace zol::kmp {

class TSerialPortDM : public parser::TDataSourceScheduledWithClients {
   public:
    explicit TSerialPortDM(plugins::TzolPlugin* plugin);
    ~TSerialPortDM() override;

    // The host could not write the last request to the port; cleared by the next write.
    std::atomic<bool> SendFailed{false};
};

}  // namespace zol::kmp
