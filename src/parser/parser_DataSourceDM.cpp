#include "parser/parser_DataSourceDM.h"

namespace zol::parser {

TDataSourceScheduled::TDataSourceScheduled(plugins::TzolPlugin* plugin)
    : Component(plugin), Plugin(plugin), Queue(std::make_unique<TQueueControllerTimerEx>(this)) {}

TDataSourceScheduled::~TDataSourceScheduled() { Shutdown(); }

bool TDataSourceScheduled::IsNotRunning() const noexcept {
    if (Plugin == nullptr) return true;
    return Plugin->Unloaded.load() != 0 || Plugin->LoadCount.load() <= 0;
}

void TDataSourceScheduled::RearmQueue(bool reset_position) {
    if (Queue) Queue->Rearm(reset_position);
}

void TDataSourceScheduled::HostEvent(std::string_view name, bool is_port_open,
                                     const common::TzolParamsList* params) {
    if (Queue) Queue->HostEvent(name, is_port_open, params);
}

void TDataSourceScheduled::Shutdown() noexcept { Queue.reset(); }

TDataSourceScheduled* TDataSourceScheduled::FindDataSource(plugins::TzolPlugin& plugin,
                                                           std::int32_t id) {
    for (std::size_t i = plugin.ComponentCount(); i-- > 0;) {
        auto* source = dynamic_cast<TDataSourceScheduled*>(plugin.ComponentAt(i));
        if (source != nullptr && (id == -1 || source->Id == id)) return source;
    }
    return nullptr;
}

}  // namespace zol::parser
