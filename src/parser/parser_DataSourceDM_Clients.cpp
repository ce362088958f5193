#include "parser/parser_DataSourceDM_Clients.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <vector>

#include "platform/crash_report.h"
#include "platform/system.h"
#include "scheduler/date_helpers.h"

namespace zol::parser {

// ---- TCustomParserScheduledClient ------------------------------------------------------------

TCustomParserScheduledClient::TCustomParserScheduledClient(
    TDataSourceScheduledWithClients& data_source, const plugins::TPluginCallRec& packet)
    : TCustomParserClient(data_source, packet),
      Queue(std::make_unique<TQueueControllerTimerClients>(this, data_source.Home.get())) {}

TCustomParserScheduledClient::~TCustomParserScheduledClient() {
    // The queue's timer and schedules go first: nothing may tick into a half-destroyed client.
    Queue.reset();
}

bool TCustomParserScheduledClient::IsBusy() const noexcept { return DataSource.IsBusy(); }

bool TCustomParserScheduledClient::Retire(std::shared_ptr<TCustomParserClient>& self) {
    if (!Queue) return false;
    std::shared_ptr<void> owner = self;
    if (!Queue->Retire(owner)) return false;
    self.reset();
    return true;
}

void TCustomParserScheduledClient::TickBegins() {
    std::lock_guard<std::mutex> lock(DataSource.ticks_mutex_);
    DataSource.tick_threads_.push_back(platform::CurrentThreadId());
}

void TCustomParserScheduledClient::TickEnds() {
    // The data source may go as soon as the lock is let go: nothing of it is touched after.
    std::lock_guard<std::mutex> lock(DataSource.ticks_mutex_);
    auto& threads = DataSource.tick_threads_;
    const auto mine = std::find(threads.begin(), threads.end(), platform::CurrentThreadId());
    if (mine != threads.end()) threads.erase(mine);
    DataSource.ticks_ended_.notify_all();
}

void TCustomParserScheduledClient::SetActive(bool value) {
    const bool was_active = IsActive();
    TCustomParserClient::SetActive(value);
    if (value && !was_active) Queue->ResetSchedule();
}

std::unique_ptr<TBasicRequestItem> TCustomParserScheduledClient::CreateRequestItem() {
    return std::make_unique<TBasicRequestItem>();
}

bool TCustomParserScheduledClient::AwaitsSameAnswer(const TBasicRequestItem& /*sent*/,
                                                    const TBasicRequestItem& /*fresh*/) const {
    return false;
}

int TCustomParserScheduledClient::FindFrame(bool& /*continue_scan*/) { return -1; }

int TCustomParserScheduledClient::ParseFrame(plugins::TParsedDataList& /*list*/) { return 0; }

void TCustomParserScheduledClient::LoadRequests() {
    TQueueControllerTimerEx* master = DataSource.Queue.get();
    if (master == nullptr) return;
    {
        common::SharedSection source(master->Requests.Lock());
        common::ExclusiveSection mine(Queue->Requests.Lock());
        std::vector<std::unique_ptr<TBasicRequestItem>> fresh;
        for (std::int32_t i = 0; i < master->Requests.CountLocked(); ++i) {
            fresh.push_back(CreateRequestItem());
            fresh.back()->Assign(*master->Requests.Item(i));
        }
        // The request an exchange is under way for goes with the old list. When the fresh list
        // has the same request in its place, the exchange goes on with that one: an unchanged
        // reload must not leave the answer on the line unread.
        TBasicRequestItem* kept = nullptr;
        if (TBasicRequestItem* sent = Queue->Current) {
            const std::int32_t position = Queue->Requests.IndexOf(sent);
            if (position >= 0 && static_cast<std::size_t>(position) < fresh.size() &&
                AwaitsSameAnswer(*sent, *fresh[static_cast<std::size_t>(position)])) {
                kept = fresh[static_cast<std::size_t>(position)].get();
                kept->Sent = sent->Sent;
                kept->SendTag = sent->SendTag;
                kept->Pending = sent->Pending;
                kept->RetryCount = sent->RetryCount;
                kept->LastSent = sent->LastSent;
            }
        }
        const bool claimed = Queue->ClaimedRequest() != nullptr;
        Queue->Requests.Clear();
        Queue->Current = kept;
        // A claimed answer goes on with the fresh copy; one of a request that went is dropped.
        if (claimed && kept == nullptr) Queue->LetGoOfAnswer();
        Queue->HeldRetry = nullptr;
        for (auto& item : fresh) Queue->Requests.Add(std::move(item));
        // Under the list's lock: a tick on the queue's own thread reads it while it sends.
        Queue->MinInterval = master->MinInterval;
    }
    if (AutoExpire && IdleTimeout != kNeverExpires) {
        // In full: a monthly schedule's gap is past 2^31 ms. The grown timeout stops short of the
        // value that means "never".
        const std::int64_t gap = DataSource.LongestExpectedGap();
        if (gap > 0) {
            const double grown = std::trunc(static_cast<double>(gap) * 1.3);
            const auto capped =
                static_cast<std::uint32_t>(std::min(grown, static_cast<double>(kNeverExpires - 1)));
            if (IdleTimeout < capped) IdleTimeout = capped;
        } else {
            IdleTimeout = 60000;
        }
    }
}

// ---- TDataSourceScheduledWithClients ---------------------------------------------------------

TDataSourceScheduledWithClients::TDataSourceScheduledWithClients(plugins::TzolPlugin* plugin)
    : TDataSourceScheduled(plugin),
      ClientClass([](TDataSourceScheduledWithClients& source, const plugins::TPluginCallRec& p) {
          return std::make_unique<TCustomParserScheduledClient>(source, p);
      }),
      Home(common::TimerHome::OfThisThread()),
      // One OS timer serves the housekeeping of every data source of this thread.
      HousekeepingTimer(std::make_unique<common::TzolRoundTimer>(kHousekeepingInterval,
                                                                 [this] { Housekeeping(); })) {
    Queue->OnScheduled = [this](TQueueController& sender, scheduler::TScheduledEvent& event,
                                TBasicRequestItem& item) {
        ScheduledForClients(sender, event, item);
    };
    Queue->SetTimerEnabled(false);
}

TDataSourceScheduledWithClients::~TDataSourceScheduledWithClients() {
    ShutdownClients();
    Shutdown();
    HousekeepingTimer.reset();
    Clients.Clear();
}

void TDataSourceScheduledWithClients::ShutdownClients() noexcept {
    // The clients are retired: none starts a tick from now on. A tick in progress on another
    // thread uses this data source until it ends: it is waited for, without end (freeing the data
    // source under it would crash the host later and far from here); it takes no lock a
    // destroying thread may hold, so the wait ends. Past 5 s the wait is reported once.
    Clients.Clear();
    std::unique_lock<std::mutex> lock(ticks_mutex_);
    const std::uint32_t me = platform::CurrentThreadId();
    const auto others_done = [&] {
        return std::all_of(tick_threads_.begin(), tick_threads_.end(),
                           [&](std::uint32_t thread) { return thread == me; });
    };
    if (!ticks_ended_.wait_for(lock, std::chrono::seconds(5), others_done)) {
        platform::ReportFailure("TDataSourceScheduledWithClients.Destroy",
                                "a client's tick on another thread did not end within 5000 ms; "
                                "waiting on for it");
        ticks_ended_.wait(lock, others_done);
    }
    if (!tick_threads_.empty()) {
        platform::ReportFailure("TDataSourceScheduledWithClients.Destroy",
                                "freed from inside a tick of its own client");
    }
}

int TDataSourceScheduledWithClients::TicksInProgress() {
    std::lock_guard<std::mutex> lock(ticks_mutex_);
    return static_cast<int>(tick_threads_.size());
}

bool TDataSourceScheduledWithClients::TicksInProgressOnThisThread() {
    std::lock_guard<std::mutex> lock(ticks_mutex_);
    return std::find(tick_threads_.begin(), tick_threads_.end(), platform::CurrentThreadId()) !=
           tick_threads_.end();
}

void TDataSourceScheduledWithClients::EnableHousekeeping() {
    if (!HousekeepingTimer) return;
    // A round only expires clients (and tells the ones that may expire that they are idle), so
    // it runs while some client can expire. Clients of packets that were not connection notices
    // never do: a large site of serial lines would otherwise visit every data source three
    // times a second for nothing. Every change that lets a client expire (a connection notice,
    // an idle timeout set) is followed by a call here.
    bool may_expire = false;
    Clients.ForEach([&](std::intptr_t, TCustomParserClient& client) {
        may_expire = !client.Closed && client.AutoExpire && client.IdleTimeout != kNeverExpires;
        return !may_expire;
    });
    HousekeepingTimer->SetEnabled(may_expire);
}

void TDataSourceScheduledWithClients::HostEvent(std::string_view name, bool is_port_open,
                                                const common::TzolParamsList* params) {
    Clients.ForEach([&](std::intptr_t, TCustomParserClient& client) {
        static_cast<TCustomParserScheduledClient&>(client).Queue->HostEvent(name, is_port_open,
                                                                            params);
        return true;
    });
}

TCustomParserScheduledClient* TDataSourceScheduledWithClients::FindOrCreateClient(
    const plugins::TPluginCallRec& packet, bool only_open, const ClientFactory* factory) {
    common::SharedSection read(Clients.Lock());
    TCustomParserScheduledClient* found = nullptr;
    TCustomParserScheduledClient* placeholder = nullptr;
    Clients.ForEach([&](std::intptr_t, TCustomParserClient& client) {
        auto& scheduled = static_cast<TCustomParserScheduledClient&>(client);
        if (scheduled.IsPlaceholder && placeholder == nullptr) placeholder = &scheduled;
        if (only_open && scheduled.Closed) return true;
        if (scheduled.ClientId != packet.ClientId) return true;
        found = &scheduled;
        return false;
    });
    if (found != nullptr) return found;
    if (placeholder != nullptr) {
        if (PacketSourceName(packet).rfind(kPlaceholderPrefix, 0) != 0) {
            // The first real packet takes the placeholder over, with its queue and requests.
            placeholder->InitFromPacket(packet);
            placeholder->IsPlaceholder = placeholder->ClientId == 0;
            if (!placeholder->IsPlaceholder && IsConnectionNotice(packet)) {
                placeholder->AutoExpire = true;
            }
        } else {
            placeholder->IsPlaceholder = true;
        }
        return placeholder;
    }
    if (factory == nullptr || !*factory) return nullptr;
    std::unique_ptr<TCustomParserScheduledClient> client = (*factory)(*this, packet);
    if (!client) return nullptr;
    client->AfterConstruction();
    const std::intptr_t key = client->ClientId;
    return static_cast<TCustomParserScheduledClient*>(
        &Clients.AddOrReplace(key, std::move(client)));
}

int TDataSourceScheduledWithClients::DispatchPacket(plugins::TPluginCallRec& packet) {
    std::shared_ptr<TCustomParserScheduledClient> flush;
    const int result = DispatchPacket(packet, flush);
    if (flush) {
        try {
            flush->FlushSends();
        } catch (...) {
            // The frames are lost; the exchange runs into its deadline and is retried.
        }
    }
    return result;
}

int TDataSourceScheduledWithClients::DispatchPacket(
    plugins::TPluginCallRec& packet, std::shared_ptr<TCustomParserScheduledClient>& flush) {
    try {
        common::SharedSection read(Clients.Lock());
        const bool notice = IsConnectionNotice(packet);
        const std::uint32_t code = notice ? packet.InData.Value.Number : 0;
        if (Clients.HasPlaceholder && notice &&
            (code == kNoticeConnected || code == kNoticeDisconnected)) {
            Clients.HasPlaceholder = false;
            std::vector<std::intptr_t> placeholders;
            Clients.ForEach([&](std::intptr_t key, TCustomParserClient& client) {
                if (client.IsPlaceholder) placeholders.push_back(key);
                return true;
            });
            for (std::intptr_t key : placeholders) Clients.Remove(key);
        }

        TCustomParserScheduledClient* client = FindOrCreateClient(packet, false, &ClientClass);
        if (client == nullptr) return 0;
        if (notice) {
            if (code == kNoticeConnected) {
                client->SetActive(true);
            } else if (code == kNoticeDisconnected) {
                client->SetActive(false);
                // An auto-expiring client goes after a tenth of its idle timeout.
                client->ShiftIdleTimer(-static_cast<std::int64_t>(
                    std::trunc(static_cast<double>(client->IdleTimeout.load()) * 0.9)));
            }
            EnableHousekeeping();
            return 0;
        }

        // Frames the client answered with go to the host once the caller has let go of every
        // lock (a host that hands the answer back from inside the write must find the buffer
        // free); the reference keeps the client for that, whatever the list does meanwhile.
        flush =
            std::static_pointer_cast<TCustomParserScheduledClient>(client->weak_from_this().lock());
        const auto* bytes = static_cast<const std::uint8_t*>(packet.InData.Value.Ptr);
        const std::size_t size = bytes != nullptr && packet.InData.Size > 0
                                     ? static_cast<std::size_t>(packet.InData.Size)
                                     : 0;
        common::TFIFOStream& fifo = client->Fifo;
        fifo.LockData();
        struct Unlock {
            common::TFIFOStream& fifo;
            ~Unlock() { fifo.Unlock(); }
        } unlock{fifo};
        if (client->DataGapReset > 0 && client->IdleExpired(client->DataGapReset)) {
            client->ClearBuffer();  // partial frames from before the silence are stale
        }
        // The bytes are copied before any delivery reuses the packet's input slot.
        client->AddData(std::span<const std::uint8_t>(bytes, size));
        while (true) {
            bool continue_scan = false;
            int consumed = -1;
            int result = 0;
            // The frame's packet list starts with the room the last one left (its items went
            // to the host, or are freed here) and gives it back, whatever way the frame ends.
            struct PacketList {
                plugins::TParsedDataList& spare;
                plugins::TParsedDataList list;
                explicit PacketList(plugins::TParsedDataList& kept) : spare(kept) {
                    list.TakeItems(spare);
                    list.RawText.swap(spare.RawText);
                }
                ~PacketList() {
                    list.Clear();
                    spare.TakeItems(list);
                    spare.RawText.swap(list.RawText);
                }
            } packet_list{client->SparePacket};
            plugins::TParsedDataList& list = packet_list.list;
            {
                // A frame is found and decoded under one read lock of the client's requests: a
                // settings load that replaces them waits for both steps, so the request the frame
                // was matched to is the one it is decoded against (between the steps a load
                // could drop a passive request's answer, or take its request away).
                common::SharedSection requests(client->Queue->Requests.Lock());
                consumed = client->FindFrame(continue_scan);
                if (consumed >= 0) result = client->ParseFrame(list);
            }
            if (consumed >= 0) {
                if (list.Count() > 0) plugins::DeliverToCall(packet, list, list.RawText, true);
                fifo.Discard(static_cast<std::size_t>(consumed));
                client->ResetFrame();
                if (result == kStopPacket) break;
            }
            // A frame found may have more frames behind it in the same packet: look again
            // rather than leave them for a packet that may never come.
            if (!(continue_scan || consumed >= 0) || fifo.Count() == 0) break;
        }
    } catch (...) {
        // The packet is lost; the data source and its clients go on.
    }
    try {
        EnableHousekeeping();
    } catch (...) {
        // No timer left: housekeeping resumes with the next packet.
    }
    return 0;
}

void TDataSourceScheduledWithClients::RearmClients(bool reset_position, bool reload) {
    Clients.ForEach([&](std::intptr_t, TCustomParserClient& client) {
        auto& scheduled = static_cast<TCustomParserScheduledClient&>(client);
        if (reload) scheduled.LoadRequests();
        scheduled.Queue->Rearm(reset_position);
        return true;
    });
}

void TDataSourceScheduledWithClients::CreatePlaceholders(plugins::TzolPlugin& plugin,
                                                         const ClientFactory& factory,
                                                         bool never_expire, std::uint32_t suffix) {
    const bool may_send = plugin.Unloaded.load() == 0 && plugin.LoadCount.load() > 0 &&
                          (plugin.Enabled[0] || plugin.Enabled[1]);
    if (!may_send) return;
    for (const plugins::TConfigDataSource& configured : plugin.DataSources) {
        plugins::TPluginCallRec packet{};
        packet.RecSize = plugins::kCallRecSize;
        packet.Flags = 1;
        packet.SourceId = configured.Id;
        char name[sizeof packet.SourceName];
        // The instance's address in full: 8 hex digits on the 32-bit target, 16 in 64-bit code.
        constexpr int kAddressDigits = static_cast<int>(2 * sizeof(std::uintptr_t));
        const auto address =
            static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(&plugin));
        if (suffix != 0) {
            std::snprintf(name, sizeof name, "%s%0*llX_%08X", kPlaceholderPrefix.data(),
                          kAddressDigits, address, static_cast<unsigned>(suffix));
        } else {
            std::snprintf(name, sizeof name, "%s%0*llX", kPlaceholderPrefix.data(), kAddressDigits,
                          address);
        }
        std::memcpy(packet.SourceName, name, std::strlen(name));
        auto* source =
            dynamic_cast<TDataSourceScheduledWithClients*>(FindDataSource(plugin, configured.Id));
        if (source == nullptr || source->Clients.Count() != 0) continue;
        TCustomParserScheduledClient* client = source->FindOrCreateClient(packet, false, &factory);
        if (client == nullptr) continue;
        if (never_expire) client->IdleTimeout = kNeverExpires;
        client->SetActive(true);
        source->Clients.HasPlaceholder = true;
        source->EnableHousekeeping();
    }
}

void TDataSourceScheduledWithClients::ScheduledForClients(TQueueController&,
                                                          scheduler::TScheduledEvent&,
                                                          TBasicRequestItem& item) {
    const std::string schedule_id = item.ScheduleId;
    Clients.ForEach([&](std::intptr_t, TCustomParserClient& client) {
        static_cast<TCustomParserScheduledClient&>(client).Queue->MarkPending(schedule_id);
        return true;
    });
    // The data source's own queue never sends.
    item.Pending = false;
}

void TDataSourceScheduledWithClients::Housekeeping() {
    // The timer runs on while clients remain (switching it off and on again every round would
    // be wasted work); nothing here runs a message loop that could start another round inside
    // this one.
    std::vector<std::intptr_t> expired;
    Clients.ForEach([&](std::intptr_t key, TCustomParserClient& client) {
        if (client.Closed || !client.AutoExpire || client.IdleTimeout == kNeverExpires) {
            return true;
        }
        if (client.IdleExpired(client.IdleTimeout)) {
            client.Closed = true;
            client.RestartIdleTimer();
            expired.push_back(key);
        } else {
            client.OnIdle();
        }
        return true;
    });
    for (std::intptr_t key : expired) Clients.Remove(key);
    EnableHousekeeping();
}

std::int64_t TDataSourceScheduledWithClients::LongestExpectedGap() {
    std::int64_t longest = -1;
    if (!Queue) return longest;
    bool timed = false;
    {
        common::SharedSection read(Queue->Requests.Lock());
        for (std::int32_t i = 0; i < Queue->Requests.CountLocked(); ++i) {
            const TBasicRequestItem& item = *Queue->Requests.Item(i);
            switch (item.Method) {
                case TRequestMethod::rmPoll:
                    longest = std::max<std::int64_t>(longest, item.PollInterval);
                    break;
                case TRequestMethod::rmAtTime:
                case TRequestMethod::rmCron:
                    timed = true;
                    break;
                case TRequestMethod::rmEvent:
                    longest = std::max<std::int64_t>(longest, 86'400'000);
                    break;
                default:
                    break;
            }
        }
    }
    if (!timed) return longest;
    // Ten successive runs of every registered schedule, from now. A settings load may be
    // replacing them on another thread.
    const double now = scheduler::NowOle();
    auto events = Queue->EventsLock();
    for (std::size_t e = 0; e < Queue->Events.Count(); ++e) {
        const scheduler::TSchedule& schedule = Queue->Events[e].Schedule;
        double previous = now;
        for (int run = 0; run < 10; ++run) {
            const scheduler::NextRunResult next =
                scheduler::NextRun(schedule.Entries, previous, 0, 0);
            if (!next.Ok() || next.time == 0) break;
            if (run > 0) {
                if (next.time <= previous) break;
                const std::int64_t gap = std::max<std::int64_t>(
                    0, scheduler::OleToMs(next.time) - scheduler::OleToMs(previous));
                longest = std::max(longest, gap);
            }
            previous = next.time;
        }
    }
    return longest;
}

}  // namespace zol::parser
