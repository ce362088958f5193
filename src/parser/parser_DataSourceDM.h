#pragma once
// A scheduled data source: one data source of the host (a port). It keeps the configured requests
// and their time schedules in its own queue; the derived data sources with clients do the talking.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "parser/parser_QueueController.h"
#include "zolShared/Private/Plugins/zolPluginModule.h"
#include "zolShared/Public/Common/component.h"

namespace zol::parser {

class TDataSourceScheduled : public common::Component, public QueueOwner {
   public:
    // Owned by `plugin` (may be absent).
    explicit TDataSourceScheduled(plugins::TzolPlugin* plugin);
    ~TDataSourceScheduled() override;

    // True unless the owning plug-in is loaded and running.
    bool IsNotRunning() const noexcept override;
    bool IsBusy() const noexcept override { return Busy.load(); }
    bool IsActive() const noexcept override { return false; }
    virtual void Idle() {}
    virtual void RearmQueue(bool reset_position);
    virtual void HostEvent(std::string_view name, bool is_port_open,
                           const common::TzolParamsList* params);
    // Frees the queue with its schedules; called first by every destructor of the family.
    void Shutdown() noexcept;

    // The last data source of the plug-in with this id (any for -1), or nullptr.
    static TDataSourceScheduled* FindDataSource(plugins::TzolPlugin& plugin, std::int32_t id);

    plugins::TzolPlugin* Plugin;
    std::unique_ptr<TQueueControllerTimerEx> Queue;
    // The host's number of this data source. Its name (the component's Name, port events are
    // matched on it) and full name are set by the creator.
    std::int32_t Id = 0;
    std::string FullName;
    std::atomic<bool> Busy{false};
};

}  // namespace zol::parser
