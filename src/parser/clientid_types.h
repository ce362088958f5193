#pragma once
// Protocol clients and their list. A client is one conversation on a data source, named by the
// client identifier of the host's packets: it owns a receive queue for the bytes of that
// conversation and knows whether its connection is open and how long it has been silent.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/shared_mutex.h"
#include "zolShared/Private/Plugins/plugin_abi.h"
#include "zolShared/Private/Plugins/zolPluginModuleMulti.h"
#include "zolShared/Public/Common/fifo_stream.h"
#include "zolShared/Public/Common/function_ref.h"
#include "zolShared/Public/Common/read_write_lock.h"
#include "zolShared/Public/Common/zolTimeout.h"

namespace zol::parser {

class TDataSourceScheduledWithClients;

// A packet whose input slot has this kind carries a connection notice in its value.
inline constexpr std::uint8_t kNoticeKind = 7;
inline constexpr std::uint32_t kNoticeConnected = 257;
inline constexpr std::uint32_t kNoticeDisconnected = 258;
// Source names of placeholder packets begin with this.
inline constexpr std::string_view kPlaceholderPrefix = "__UT__";
// An idle timeout that never expires.
inline constexpr std::uint32_t kNeverExpires = 0xFFFFFFFFu;

bool IsConnectionNotice(const plugins::TPluginCallRec& packet) noexcept;
// The packet's source name: its fixed text field up to the first zero.
std::string PacketSourceName(const plugins::TPluginCallRec& packet);
// The source name cut before its last "." or ":"; empty when it has neither.
std::string BaseNameOf(std::string_view source_name);

// Shared: the list owns its clients, and a packet thread or a tick that is using one keeps it
// alive by a reference of its own until it is done, whatever the list does meanwhile.
class TCustomParserClient : public plugins::TzolPluginMulti,
                            public std::enable_shared_from_this<TCustomParserClient> {
   public:
    TCustomParserClient(TDataSourceScheduledWithClients& data_source,
                        const plugins::TPluginCallRec& packet);
    ~TCustomParserClient() override;

    virtual bool IsActive() const noexcept { return Active.load(); }
    virtual void SetActive(bool value);
    // Clears the per-frame scratch and restarts the idle timer; called after each frame.
    virtual void ResetFrame();
    void ClearBuffer() { Fifo.Clear(); }
    void AddText(std::string_view data);
    // Called by housekeeping while the client has not expired.
    virtual void OnIdle() {}
    // The list has let the client go: it does no more work of its own (ticks) from now on. True
    // when work in progress holds it still: the client then takes `self` and lets it go when that
    // work ends, so it is never freed under its own feet.
    virtual bool Retire(std::shared_ptr<TCustomParserClient>& /*self*/) { return false; }
    void AddData(std::span<const std::uint8_t> data);

    // Takes the packet's client identifier and source name.
    void InitFromPacket(const plugins::TPluginCallRec& packet);

    // The idle timer, touched by the packet thread and by housekeeping.
    void RestartIdleTimer();
    bool IdleExpired(std::uint32_t ms);
    // Restarts the idle timer as if it had started `offset_ms` from now (negative: earlier).
    void ShiftIdleTimer(std::int64_t offset_ms);

    TDataSourceScheduledWithClients& DataSource;
    std::int32_t FifoCapacity = 0;
    common::TFIFOStream Fifo;
    std::int32_t ClientId = 0;
    std::string SourceName;
    std::string BaseName;
    std::atomic<bool> Closed{false};
    std::int32_t DataSourceId = 0;
    std::atomic<bool> Active{false};
    bool AutoExpire = false;
    bool IsPlaceholder = false;
    std::atomic<std::uint32_t> IdleTimeout{60000};

   protected:
    // Per-frame scratch a derived client may use.
    bool frame_start_ = true;
    std::string frame_scratch_[2];

   private:
    // Taken three times for every packet: a slim lock, cheaper than a threads-library mutex.
    platform::SharedMutex idle_mutex_;
    common::TzolTimeout idle_timer_;
};

// The clients of a data source by the identifier each had when it was added. Owns the clients:
// removing a key retires its client and lets it go once the list's lock is let go (a caller or a
// tick still using it keeps it). Guarded by a re-entrant multiple-reader / single-writer lock in
// which a reader may also take the writer side.
class TCustomParserClientList {
   public:
    // Called while ForEach runs, never kept: a packet's dispatch visits the clients with a
    // lambda of several captures, which std::function would allocate for.
    using Visitor = common::FunctionRef<bool(std::intptr_t key, TCustomParserClient& client)>;

    TCustomParserClientList() = default;
    ~TCustomParserClientList();
    TCustomParserClientList(const TCustomParserClientList&) = delete;
    TCustomParserClientList& operator=(const TCustomParserClientList&) = delete;

    common::ReadWriteLock& Lock() noexcept { return lock_; }
    std::int32_t Count();
    // Adds the client under `key`, destroying a client the key named before.
    TCustomParserClient& AddOrReplace(std::intptr_t key,
                                      std::unique_ptr<TCustomParserClient> client);
    void Remove(std::intptr_t key);
    // Removes every client.
    void Clear();
    // Visits every client in the order they were added until the visitor answers false.
    void ForEach(Visitor visit);

    std::atomic<bool> HasPlaceholder{false};

   private:
    common::ReadWriteLock lock_;
    // Retires the clients taken out of the list and lets them go.
    static void LetGo(std::vector<std::shared_ptr<TCustomParserClient>>& gone) noexcept;
    std::vector<std::pair<std::intptr_t, std::shared_ptr<TCustomParserClient>>> clients_;
};

}  // namespace zol::parser
