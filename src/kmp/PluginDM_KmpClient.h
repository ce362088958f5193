#pragma once
// The KMP protocol client: one conversation on one port. It turns the requests of its queue into
// KMP request frames, identifies each meter (type, then serial number) before reading it, finds
// and checks response frames in its receive buffer, decodes register values and hands the items
// to the host, one packet per request group.

#include <atomic>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kmp/request_config.h"
#include "parser/parser_DataSourceDM_Clients.h"

namespace zol::kmp {

class TaPlugin;
class TSerialPortDM;

struct TKmpDeviceInfo {
    std::int16_t Address = -1;  // -1: a free slot
    std::uint32_t Serial = 0;   // 0 while not known, and for meters whose serial number reads 0
    std::uint16_t MeterType = 0;
    std::uint16_t SoftwareRevision = 0;
    // The serial-number reply came: the meter is read from now on. A flag of its own, since 0
    // is a serial number some meters answer.
    bool Identified = false;
};

class TKmpParserClient : public parser::TCustomParserScheduledClient {
   public:
    // Reasons the client ends an exchange with.
    static constexpr std::uint8_t kAnswered = 1;
    static constexpr std::uint8_t kTimedOut = 2;
    static constexpr std::uint8_t kClosed = 3;
    // The host's answer when it could not write to the port.
    static constexpr std::int32_t kPortNotWritten = -12;

    TKmpParserClient(parser::TDataSourceScheduledWithClients& data_source,
                     const plugins::TPluginCallRec& packet);
    ~TKmpParserClient() override;

    // Makes KMP clients: the client class of the port modules and of their placeholders.
    static std::unique_ptr<parser::TCustomParserScheduledClient> Create(
        parser::TDataSourceScheduledWithClients& data_source,
        const plugins::TPluginCallRec& packet);

    // Turning inactive forgets every meter's identity and ends the exchange.
    void SetActive(bool value) override;
    std::unique_ptr<parser::TBasicRequestItem> CreateRequestItem() override;
    // The same meter, command, registers on the wire, group and kind (active or passive).
    bool AwaitsSameAnswer(const parser::TBasicRequestItem& sent,
                          const parser::TBasicRequestItem& fresh) const override;
    int FindFrame(bool& continue_scan) override;
    int ParseFrame(plugins::TParsedDataList& list) override;

    // The queue's send handler. The frame goes to the host when the tick has let go of the
    // queue's locks (FlushSends); a host that refuses it (-12) then pauses the queue and the
    // request is offered again as if refused here.
    bool SendNext(parser::TBasicRequestItem* request, std::uint32_t& response_timeout,
                  std::int32_t& send_tag);
    // The register request of `request`, or its identification first while the meter is not
    // identified. Queued for the host: 0, or -1 when the frame could not be built. `first`: the
    // frame opens an exchange (a refusal undoes the send) rather than continuing one.
    std::int32_t SendRegisterRequest(TRequestItem& request, bool first = false);
    std::int32_t SendIdentification(TRequestItem& request, std::uint8_t cid, bool first = false);
    // Writes the queued frames and pushes the queued packets, in order; never holds a lock of
    // the client or its queue while it calls the host.
    void FlushSends() override;
    // Drops what waits for the host: the line closed or the module unloads, and frames of
    // exchanges that are over must not reach the meters.
    void ClearOutbox();
    void RequestTimedOut(parser::TBasicRequestItem& request, bool& retry);
    void ScheduleError(std::string_view context, const std::exception& error,
                       std::string_view detail);
    void EndRequest(std::uint8_t reason);
    // "[<address text>/<name>] " of the request (the current one when none is given), or "".
    std::string RequestTag(const TRequestItem* request);
    // False only when the next request of the queue has the same address and group.
    bool IsLastOfGroup(const TRequestItem& request);
    // That next request, or none.
    const TRequestItem* NextOfGroup(const TRequestItem& request);

    TKmpDeviceInfo LookupDevice(std::int32_t address) const;
    void StoreDevice(const TKmpDeviceInfo& info);
    void ForgetDevice(std::int32_t address);

    std::vector<TKmpDeviceInfo> DeviceInfo;
    std::vector<std::uint8_t> LastResponse;
    plugins::TParsedDataList PendingItems;

   private:
    // A frame to write or a packet to push, queued under the queue's locks and handed to the
    // host without them.
    struct Outgoing {
        std::vector<std::uint8_t> frame;
        std::unique_ptr<plugins::TParsedDataList> packet;
        std::uint64_t exchange = 0;  // the queue's exchange the frame belongs to
        bool first = false;          // the frame opens that exchange
    };
    void Enqueue(Outgoing outgoing);
    void WriteRefused(const Outgoing& outgoing);
    // The pending items of a group go to the host as a packet of their own.
    void EnqueuePending();
    std::mutex outbox_mutex_;
    std::deque<Outgoing> outbox_;
    std::atomic<std::size_t> outbox_count_{0};  // outbox_.size(), stored under the mutex
    bool flushing_ = false;  // a thread is handing the outbox to the host (under the mutex)

    // The exchange under way (under the queue's exchange lock): the CID of the reply to the step
    // just sent (identification type, serial number or the request's own), the only reply taken
    // for it; and the attempt's deadline, fixed at its first frame for every step it plans, so
    // that no meter's replies can keep an attempt going.
    std::uint8_t awaited_cid_ = 0;
    // The request whose answer completes the next part of the group PendingItems holds (its
    // identity; 0 when the group is complete or nothing is pending). An answer of any other
    // request finds the pending items out of place: they leave as a packet of their own.
    std::uint32_t pending_next_ = 0;
    std::uint64_t attempt_deadline_ = 0;
    common::TzolTimeout clock_;
    // How long the next step of the attempt may wait for its reply.
    std::uint32_t StepTimeout(const TRequestItem& request);

    // The scan's unstuffed bodies and the registers a decode has matched, kept from frame to
    // frame so that their storage is reused.
    std::vector<std::uint8_t> scan_body_;
    std::vector<bool> decode_used_;

    // What a flush needs, kept from the port: a flush after a packet runs with no lock of the
    // plug-in held and may end after the port has gone (the module outlives the host's call).
    plugins::TzolPlugin* const plugin_;
    TaPlugin* const module_;
    const std::shared_ptr<std::atomic<bool>> send_failed_;

    TSerialPortDM& Port();
    TaPlugin* Module();
    void Log(int severity, std::string_view text);
    // Queues the stuffed frame of `body` for the host; 0.
    std::int32_t SendFrame(std::span<const std::uint8_t> body, bool first);
    TRequestItem* CurrentRequest();
    // Decodes the register blocks of a register response into PendingItems.
    void DecodeRegisters(const TRequestItem& request, std::span<const std::uint8_t> data);
    std::uint32_t TimeoutOf(const TRequestItem& request) const;
};

}  // namespace zol::kmp
