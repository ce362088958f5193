#pragma once
// Data sources with clients: the data source keeps the master copy of the requests and the
// schedules, and one protocol client per client identifier seen in the host's packets. Packets
// are dispatched to their client, which extracts and parses frames; connection notices switch
// clients active or inactive; clients that stay silent are dropped by housekeeping.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "parser/clientid_types.h"
#include "parser/parser_DataSourceDM.h"
#include "zolShared/Private/Plugins/zolPluginItems.h"
#include "zolShared/Public/Common/zolRoundTimer.h"

namespace zol::parser {

class TCustomParserScheduledClient;

// Makes a client for a data source and the packet that asked for it.
using ClientFactory = std::function<std::unique_ptr<TCustomParserScheduledClient>(
    TDataSourceScheduledWithClients& data_source, const plugins::TPluginCallRec& packet)>;

class TCustomParserScheduledClient : public TCustomParserClient, public QueueOwner {
   public:
    TCustomParserScheduledClient(TDataSourceScheduledWithClients& data_source,
                                 const plugins::TPluginCallRec& packet);
    ~TCustomParserScheduledClient() override;

    // Loads the requests; run by the creator once the object is complete, since loading creates
    // request items through a virtual operation.
    void AfterConstruction() { LoadRequests(); }

    bool IsActive() const noexcept override { return Active.load(); }
    bool IsNotRunning() const noexcept override { return false; }
    // The client's data source is busy.
    bool IsBusy() const noexcept override;
    // Turning active makes every polling request due at once.
    void SetActive(bool value) override;
    // Its queue ticks no more; a tick in progress keeps the client until it ends.
    bool Retire(std::shared_ptr<TCustomParserClient>& self) override;
    void TickBegins() override;
    void TickEnds() override;

    // Copies the data source's requests into the queue again; an auto-expiring client's idle
    // timeout grows to 1.3 times the longest expected gap between requests.
    virtual void LoadRequests();
    virtual std::unique_ptr<TBasicRequestItem> CreateRequestItem();
    // True when an answer to `sent` is an answer to `fresh` too: after a reload, the exchange
    // under way then goes on with the fresh copy instead of leaving its answer unread. The base
    // knows nothing of what a request asks, so it never says so.
    virtual bool AwaitsSameAnswer(const TBasicRequestItem& sent,
                                  const TBasicRequestItem& fresh) const;
    // -1 when the buffer holds no complete frame, else the number of bytes to remove from the
    // head of Fifo once the frame has been parsed. Setting `continue_scan` asks for another pass.
    virtual int FindFrame(bool& continue_scan);
    // Parses the frame found by the last FindFrame into `list`; -6 stops this packet.
    virtual int ParseFrame(plugins::TParsedDataList& list);

    std::uint32_t DataGapReset = 15000;
    std::unique_ptr<TQueueControllerTimerClients> Queue;

    // The room of the packet list that the last frame was decoded into (its item slots and raw
    // text, no items), kept for the next frame so that a packet allocates neither. Used under the
    // client's buffer lock; a frame takes it and gives it back, so a packet handled inside
    // another on the same thread finds it empty and makes its own.
    plugins::TParsedDataList SparePacket;
};

class TDataSourceScheduledWithClients : public TDataSourceScheduled {
   public:
    // The value ParseFrame answers to stop the processing of a packet.
    static constexpr int kStopPacket = -6;
    static constexpr std::uint32_t kHousekeepingInterval = 300;

    explicit TDataSourceScheduledWithClients(plugins::TzolPlugin* plugin);
    ~TDataSourceScheduledWithClients() override;

    // Its own queue never ticks: it only holds the master requests and the schedules.
    bool IsNotRunning() const noexcept override { return true; }
    // Hands the event to every client's queue.
    void HostEvent(std::string_view name, bool is_port_open,
                   const common::TzolParamsList* params) override;

    // Feeds a packet of the host to its client: bytes into its buffer and frames out of it, or a
    // connection notice. Decoded packets are delivered into the packet's call record. Always 0;
    // failures lose the packet and nothing else. What the client has to send in answer (the next
    // step of an exchange) is left to the caller, in `flush`: it must be handed to the host only
    // once the caller holds no lock of the plug-in (FlushSends), since a host may hand the write
    // to a thread of its own and wait for it while that thread waits for one of those locks.
    int DispatchPacket(plugins::TPluginCallRec& packet,
                       std::shared_ptr<TCustomParserScheduledClient>& flush);
    // The same, for a caller that holds no lock of the plug-in: the client's frames go to the
    // host before it returns.
    int DispatchPacket(plugins::TPluginCallRec& packet);
    // For every client: with `reload` copies the requests again, then re-arms its queue.
    void RearmClients(bool reset_position, bool reload);
    // The client of the packet's identifier; else a placeholder adopted; else a new client
    // from `factory` (when given).
    TCustomParserScheduledClient* FindOrCreateClient(const plugins::TPluginCallRec& packet,
                                                     bool only_open, const ClientFactory* factory);
    // For each configured data source of a plug-in that may send and whose data source has no
    // client yet, a placeholder client, so that requests flow before the host delivers a packet.
    static void CreatePlaceholders(plugins::TzolPlugin& plugin, const ClientFactory& factory,
                                   bool never_expire, std::uint32_t suffix);
    // The own queue's schedule handler: marks the clients' copies of the request pending.
    void ScheduledForClients(TQueueController& sender, scheduler::TScheduledEvent& event,
                             TBasicRequestItem& item);
    // Drops auto-expiring clients that stayed silent for their idle timeout.
    void Housekeeping();
    // The longest time between two sends that the requests lead to expect (ms, -1: none).
    std::int64_t LongestExpectedGap();

    // Ticks of the clients' queues in progress. The data source waits for them before it goes
    // (a tick uses it); one on the calling thread cannot be waited for: its owner keeps the data
    // source until it has ended.
    int TicksInProgress();
    // Retires every client and waits for their ticks in progress on other threads; the first
    // step of every destructor of the family.
    void ShutdownClients() noexcept;
    bool TicksInProgressOnThisThread();

    ClientFactory ClientClass;
    // The data source's own thread, where its queue and housekeeping tick: the clients' queue
    // timers live there too, whatever thread made the client. A client may be made by a packet
    // on a thread that never handles window messages (a connection notice on the host's port
    // thread), where its queue would never tick. The data sources of one thread share the home,
    // so all their clients tick through one window and one OS timer.
    std::shared_ptr<common::TimerHome> Home;
    TCustomParserClientList Clients;
    std::unique_ptr<common::TzolRoundTimer> HousekeepingTimer;

   private:
    void EnableHousekeeping();
    friend class TCustomParserScheduledClient;
    std::mutex ticks_mutex_;
    std::condition_variable ticks_ended_;
    // The threads of the ticks in progress, one entry per tick.
    std::vector<std::uint32_t> tick_threads_;
};

}  // namespace zol::parser
