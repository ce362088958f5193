#pragma once
// The port data module: one host data source (a port) of the KMP module, with KMP clients.

#include <atomic>
#include <memory>

#include "parser/parser_DataSourceDM_Clients.h"

namespace zol::kmp {

class TSerialPortDM : public parser::TDataSourceScheduledWithClients {
   public:
    explicit TSerialPortDM(plugins::TzolPlugin* plugin);
    ~TSerialPortDM() override;

    // The host could not write the last request to the port; cleared by the next write. Shared
    // with the port's clients: a write on a packet thread may end after the port has gone.
    const std::shared_ptr<std::atomic<bool>> SendFailed =
        std::make_shared<std::atomic<bool>>(false);
};

}  // namespace zol::kmp
