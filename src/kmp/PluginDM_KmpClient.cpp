#include "kmp/PluginDM_KmpClient.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <utility>

#include "kmp/PluginDM.h"
#include "kmp/PluginDM_SerialPort.h"
#include "kmp/kmp_frame.h"
#include "kmp/kmp_registers.h"
#include "kmp/kmp_value.h"
#include "platform/local_clock.h"
#include "scheduler/date_helpers.h"
#include "translation/text_format.h"
#include "zolShared/Public/Common/byte_order.h"

namespace zol::kmp {

namespace {

common::Variant ValueVariant(const RegisterValue& value) {
    if (const auto* u = std::get_if<std::uint32_t>(&value)) return common::Variant::UInt32(*u);
    if (const auto* i = std::get_if<std::int32_t>(&value)) return common::Variant::Int32(*i);
    if (const auto* l = std::get_if<std::int64_t>(&value)) return common::Variant::Int64(*l);
    if (const auto* d = std::get_if<double>(&value)) return common::Variant::Double(*d);
    if (const auto* date = std::get_if<KmpDate>(&value)) {
        return common::Variant::Date(date->ToOleDate());
    }
    return common::Variant::Date(std::get<KmpTime>(value).ToOleDate());
}

std::string_view AsText(std::span<const std::uint8_t> bytes) {
    return std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

}  // namespace

TKmpParserClient::TKmpParserClient(parser::TDataSourceScheduledWithClients& data_source,
                                   const plugins::TPluginCallRec& packet)
    : TCustomParserScheduledClient(data_source, packet),
      plugin_(data_source.Plugin),
      module_(dynamic_cast<TaPlugin*>(data_source.Plugin)),
      send_failed_(static_cast<TSerialPortDM&>(data_source).SendFailed) {
    Queue->OnSendRequest = [this](parser::TQueueController&, parser::TBasicRequestItem& item,
                                  std::uint32_t& timeout,
                                  std::int32_t& tag) { return SendNext(&item, timeout, tag); };
    Queue->OnRequestTimeout = [this](parser::TQueueController&, parser::TBasicRequestItem& item,
                                     bool& retry) { RequestTimedOut(item, retry); };
    Queue->OnError = [this](parser::TQueueController&, std::string_view context,
                            const std::exception& error,
                            std::string_view detail) { ScheduleError(context, error, detail); };
}

std::unique_ptr<parser::TCustomParserScheduledClient> TKmpParserClient::Create(
    parser::TDataSourceScheduledWithClients& data_source, const plugins::TPluginCallRec& packet) {
    return std::make_unique<TKmpParserClient>(data_source, packet);
}

TKmpParserClient::~TKmpParserClient() {
    // The queue's handlers reach into this object: it goes first.
    Queue.reset();
}

TSerialPortDM& TKmpParserClient::Port() { return static_cast<TSerialPortDM&>(DataSource); }

TaPlugin* TKmpParserClient::Module() { return module_; }

void TKmpParserClient::Log(int severity, std::string_view text) {
    if (plugin_ != nullptr) plugin_->Log(severity, text);
}

std::unique_ptr<parser::TBasicRequestItem> TKmpParserClient::CreateRequestItem() {
    return std::make_unique<TRequestItem>();
}

bool TKmpParserClient::AwaitsSameAnswer(const parser::TBasicRequestItem& sent,
                                        const parser::TBasicRequestItem& fresh) const {
    const auto& a = static_cast<const TRequestItem&>(sent);
    const auto& b = static_cast<const TRequestItem&>(fresh);
    if (a.Enabled != b.Enabled || a.Parameters.Address != b.Parameters.Address ||
        a.Parameters.Cid != b.Parameters.Cid || a.Parameters.Group != b.Parameters.Group) {
        return false;
    }
    // The registers the request frame names: the first ones, up to what one frame carries.
    const std::size_t count = std::min(a.ResponseCount(), kMaxRequestRegisters);
    if (std::min(b.ResponseCount(), kMaxRequestRegisters) != count) return false;
    for (std::size_t i = 0; i < count; ++i) {
        if (a.Response(i).Parameters.Register != b.Response(i).Parameters.Register) return false;
    }
    return true;
}

TRequestItem* TKmpParserClient::CurrentRequest() {
    return static_cast<TRequestItem*>(Queue->Current);
}

std::uint32_t TKmpParserClient::TimeoutOf(const TRequestItem& request) const {
    return request.Parameters.Timeout > 0 ? static_cast<std::uint32_t>(request.Parameters.Timeout)
                                          : 0;
}

std::uint32_t TKmpParserClient::StepTimeout(const TRequestItem& request) {
    const std::uint32_t timeout = TimeoutOf(request);
    if (timeout == 0) return 0;  // the request waits for no answer
    const std::uint64_t now = clock_.ReadTick();
    const std::uint64_t left = attempt_deadline_ > now ? attempt_deadline_ - now : 0;
    // At least a tick: 0 would mean "no answer awaited" and end the exchange unanswered.
    return static_cast<std::uint32_t>(
        std::max<std::uint64_t>(1, std::min<std::uint64_t>(timeout, left)));
}

void TKmpParserClient::SetActive(bool value) {
    TCustomParserScheduledClient::SetActive(value);
    if (value) return;
    common::SharedSection list(Queue->Requests.Lock());
    auto exchange = Queue->LockExchange();
    DeviceInfo.clear();
    EndRequest(kClosed);
    ClearOutbox();
}

// ---- Sending ---------------------------------------------------------------------------------

bool TKmpParserClient::SendNext(parser::TBasicRequestItem* item, std::uint32_t& response_timeout,
                                std::int32_t& send_tag) {
    if (item == nullptr) return false;
    auto& request = static_cast<TRequestItem&>(*item);
    // An unknown meter is identified first (type, serial number): three steps, each with the
    // request's timeout, within one deadline.
    const std::uint64_t steps =
        request.Enabled && !LookupDevice(request.Parameters.Address).Identified ? 3 : 1;
    attempt_deadline_ = clock_.ReadTick() + steps * TimeoutOf(request);
    SendRegisterRequest(request, true);
    response_timeout = TimeoutOf(request);
    send_tag = 0;
    return true;
}

std::int32_t TKmpParserClient::SendFrame(std::span<const std::uint8_t> body, bool first) {
    awaited_cid_ = body.size() > 1 ? body[1] : 0;
    Outgoing outgoing;
    outgoing.frame = KmpStuff(body);
    outgoing.exchange = Queue->ExchangeNumber();
    outgoing.first = first;
    Enqueue(std::move(outgoing));
    return 0;
}

void TKmpParserClient::Enqueue(Outgoing outgoing) {
    std::lock_guard<std::mutex> lock(outbox_mutex_);
    outbox_.push_back(std::move(outgoing));
    outbox_count_.store(outbox_.size(), std::memory_order_release);
}

void TKmpParserClient::FlushSends() {
    // One thread hands the outbox over at a time, so frames reach the host in the order they
    // were made. A flush asked for while another runs (on another thread, or for a packet that
    // the host delivers from inside the write) is left to the one running: it looks again
    // before it stops. Most packets leave nothing to hand over: that needs no lock.
    if (outbox_count_.load(std::memory_order_acquire) == 0) return;
    {
        std::lock_guard<std::mutex> lock(outbox_mutex_);
        if (flushing_) return;
        flushing_ = true;
    }
    try {
        while (true) {
            Outgoing next;
            {
                std::lock_guard<std::mutex> lock(outbox_mutex_);
                if (outbox_.empty()) {
                    flushing_ = false;
                    return;
                }
                next = std::move(outbox_.front());
                outbox_.pop_front();
                outbox_count_.store(outbox_.size(), std::memory_order_release);
            }
            if (plugin_ == nullptr) continue;
            if (next.packet) {
                plugins::PushPacket(*plugin_, DataSourceId, ClientId, *next.packet);
                continue;
            }
            // An unloading module writes nothing more (its exchanges are over).
            if (module_ != nullptr && module_->Unloading) continue;
            const std::int32_t result =
                plugin_->SendDataEx(DataSourceId, ClientId, plugins::kSendRawBytes,
                                    reinterpret_cast<std::intptr_t>(next.frame.data()),
                                    static_cast<std::int32_t>(next.frame.size()));
            if (result == kPortNotWritten) {
                WriteRefused(next);
            } else {
                *send_failed_ = false;
            }
        }
    } catch (...) {
        std::lock_guard<std::mutex> lock(outbox_mutex_);
        flushing_ = false;
        throw;
    }
}

void TKmpParserClient::WriteRefused(const Outgoing& outgoing) {
    // The host was unable to send: pause 1000 ms, or 10000 ms once the request has used its
    // attempts, and mark the port. A refused first frame undoes its send; a refused follow-up
    // leaves the exchange to its deadline, which retries it.
    std::optional<bool> attempts_left;
    if (outgoing.first) attempts_left = Queue->SendRefused(outgoing.exchange);
    {
        common::SharedSection list(Queue->Requests.Lock());
        auto exchange = Queue->LockExchange();
        Queue->Pause.StartWithTimeout(attempts_left.value_or(true) ? 1000 : 10000);
    }
    *send_failed_ = true;
}

void TKmpParserClient::ClearOutbox() {
    std::lock_guard<std::mutex> lock(outbox_mutex_);
    // Packets are readings the meters gave: they still go; frames do not.
    std::erase_if(outbox_, [](const Outgoing& outgoing) { return !outgoing.packet; });
    outbox_count_.store(outbox_.size(), std::memory_order_release);
}

std::int32_t TKmpParserClient::SendRegisterRequest(TRequestItem& request, bool first) {
    try {
        if (request.Enabled && !LookupDevice(request.Parameters.Address).Identified) {
            return SendIdentification(request, CidGetType, first);
        }
        // One frame names at most kMaxRequestRegisters registers: room for them on the stack.
        std::array<std::uint16_t, kMaxRequestRegisters> ids{};
        const std::size_t count = std::min(request.ResponseCount(), ids.size());
        for (std::size_t i = 0; i < count; ++i) ids[i] = request.Response(i).Parameters.Register;
        return SendFrame(
            BuildRegisterRequest(request.Parameters.Address, std::span(ids).first(count)), first);
    } catch (const std::exception& error) {
        Log(0, RequestTag(nullptr) + ": " + error.what());
        return -1;
    }
}

std::int32_t TKmpParserClient::SendIdentification(TRequestItem& request, std::uint8_t cid,
                                                  bool first) {
    return SendFrame(BuildIdentificationRequest(request.Parameters.Address, cid), first);
}

// ---- Receiving -------------------------------------------------------------------------------

int TKmpParserClient::FindFrame(bool& /*continue_scan*/) {
    common::SharedSection list(Queue->Requests.Lock());
    auto exchange = Queue->LockExchange();
    LastResponse.clear();
    TaPlugin* module = Module();
    const bool passive = module != nullptr && module->PassiveCount > 0;
    auto matches = [](const TRequestItem& request, std::uint8_t address, std::uint8_t cid) {
        return request.Parameters.Address == address && cid == request.Parameters.Cid;
    };
    auto accept = [&](std::span<const std::uint8_t> body) {
        const std::uint8_t address = body[0];
        const std::uint8_t cid = body[1];
        TRequestItem* current = CurrentRequest();
        if (current != nullptr || !passive) {
            if (current == nullptr) return false;
            // A request of this master takes the reply to the step it sent last and nothing
            // else: an identification reply to a register request (a meter that answers so, a
            // late copy, another master identifying the meter) would otherwise restart the
            // exchange for ever.
            if (current->Enabled ? current->Parameters.Address != address || cid != awaited_cid_
                                 : !matches(*current, address, cid)) {
                return false;
            }
            LastResponse.assign(body.begin(), body.end());
            Queue->ClaimAnswer();
            return true;
        }
        // Another master's traffic: the first passive request it answers becomes current.
        for (std::int32_t i = 0; i < Queue->Requests.CountLocked(); ++i) {
            auto& request = static_cast<TRequestItem&>(*Queue->Requests.Item(i));
            if (request.Enabled || !matches(request, address, cid)) continue;
            Queue->Current = &request;
            LastResponse.assign(body.begin(), body.end());
            Queue->ClaimAnswer();
            return true;
        }
        return false;
    };
    return kmp::FindFrame(
        Fifo, accept, [this](int level, std::string_view text) { Log(level, text); }, scan_body_,
        module != nullptr ? std::string_view(module->TextResources->InvalidCrc)
                          : kInvalidCrcFormat);
}

bool TKmpParserClient::IsLastOfGroup(const TRequestItem& request) {
    return NextOfGroup(request) == nullptr;
}

const TRequestItem* TKmpParserClient::NextOfGroup(const TRequestItem& request) {
    common::SharedSection list(Queue->Requests.Lock());
    const std::int32_t position = Queue->Requests.IndexOf(&request);
    if (position < 0) return nullptr;
    const auto* next = static_cast<const TRequestItem*>(Queue->Requests.Item(position + 1));
    if (next == nullptr || next->Parameters.Address != request.Parameters.Address ||
        next->Parameters.Group != request.Parameters.Group) {
        return nullptr;
    }
    return next;
}

void TKmpParserClient::EnqueuePending() {
    pending_next_ = 0;
    if (PendingItems.Count() == 0) return;
    Outgoing outgoing;
    outgoing.packet = std::make_unique<plugins::TParsedDataList>();
    outgoing.packet->TakeItems(PendingItems);
    outgoing.packet->RawText = std::move(PendingItems.RawText);
    outgoing.packet->NewRow();
    PendingItems.Clear();
    Enqueue(std::move(outgoing));
}

int TKmpParserClient::ParseFrame(plugins::TParsedDataList& output) {
    common::SharedSection list(Queue->Requests.Lock());
    auto exchange = Queue->LockExchange();
    // However this ends, the answer found is out of the client's hands.
    struct LetGo {
        parser::TQueueControllerTimerClients& queue;
        ~LetGo() { queue.LetGoOfAnswer(); }
    } let_go{*Queue};
    if (LastResponse.size() < kMinBodySize) return -1;
    // The request the frame was found for: no tick, deadline or release came between (the claim
    // held them off), and a reload that kept the exchange handed over its fresh copy.
    TRequestItem* current = static_cast<TRequestItem*>(Queue->ClaimedRequest());
    const bool last = current == nullptr || IsLastOfGroup(*current);
    const std::uint8_t reply_cid = LastResponse[1];
    // An identification reply is a step of the exchange, not its end: the attempt goes on to
    // the register reply or the deadline, and only a register reply resets the attempts.
    const bool identification = reply_cid == CidGetType || reply_cid == CidGetSerialNo;
    if (current != nullptr && !identification) Queue->ReleaseCurrent(kAnswered);
    int result = -1;
    // Whatever way the frame ends, a finished group leaves as one packet.
    struct Deliver {
        TKmpParserClient& client;
        plugins::TParsedDataList& output;
        const bool last;
        int& result;
        ~Deliver() {
            if (client.PendingItems.Count() == 0 || !last) return;
            result = client.PendingItems.Count();
            output.TakeItems(client.PendingItems);
            output.NewRow();
            output.RawText += client.PendingItems.RawText;
            client.PendingItems.Clear();
        }
    } deliver{*this, output, last, result};
    if (current == nullptr) return result;

    const std::span<const std::uint8_t> body(LastResponse);
    const std::span<const std::uint8_t> data = body.subspan(2, body.size() - 4);
    const std::uint8_t address = body[0];
    switch (body[1]) {
        case CidGetType: {
            if (data.size() < 4) return result;
            TKmpDeviceInfo info = LookupDevice(address);
            info.MeterType = common::ReadBe16(data.subspan<0, 2>());
            info.SoftwareRevision = common::ReadBe16(data.subspan<2, 2>());
            info.Identified = false;
            StoreDevice(info);
            result = SendIdentification(*current, CidGetSerialNo);
            // The identification goes on within the attempt's deadline.
            if (result >= 0) Queue->ExpectResponse(StepTimeout(*current));
            return result;
        }
        case CidGetSerialNo: {
            if (data.size() < 4) return result;
            TKmpDeviceInfo info = LookupDevice(address);
            info.Serial = common::ReadBe32(data.subspan<0, 4>());
            info.Identified = true;
            StoreDevice(info);
            result = SendRegisterRequest(*current);
            if (result >= 0) Queue->ExpectResponse(StepTimeout(*current));
            return result;
        }
        default:
            break;
    }

    // Items of a group whose run this answer does not continue (its exchange ended by a refused
    // write or a reload, before the rest of the group was read) belong to their own meter: they
    // go as they are, and this answer starts a packet with its own meter's identity.
    if (PendingItems.Count() > 0 && pending_next_ != current->Identity()) EnqueuePending();
    plugins::AppendRaw(PendingItems, AsText(body));
    if (PendingItems.Count() == 0) {
        // The standard items, the meter's, a value and a unit per register and the row marker.
        constexpr std::size_t kFixedItems = 12;
        PendingItems.Reserve(static_cast<std::int32_t>(kFixedItems + 2 * current->ResponseCount()));
        const TKmpDeviceInfo info = LookupDevice(address);
        // One reading for both stamps: they differ by the offset the local time was read with.
        const platform::LocalTimeReading now = platform::CurrentLocalClock().ReadLocal();
        const double local = scheduler::MsToOle(now.local_ms);
        const double utc = scheduler::MsToOle(now.local_ms - now.utc_offset_ms);
        TSerialPortDM& port = Port();
        plugins::AddPacketItems(PendingItems, AsText(body), AsText(body), port.Id, port.Name(),
                                port.FullName, ClientId, SourceName, local);
        static const common::ItemName kDeviceId("DEVICE_ID");
        static const common::ItemName kSerialNo("SERIAL_NO");
        static const common::ItemName kDeviceType("DEVICE_TYPE");
        static const common::ItemName kTimestamp("TIMESTAMP");
        static const common::ItemName kTimestampUtc("TIMESTAMP_UTC");
        PendingItems.Add(kDeviceId, common::Variant::Byte(address));
        if (info.Serial != 0) PendingItems.Add(kSerialNo, common::Variant::UInt32(info.Serial));
        if (info.MeterType != 0) {
            char type[8];
            std::snprintf(type, sizeof type, "%04X", static_cast<unsigned>(info.MeterType));
            PendingItems.Add(kDeviceType, common::Variant::Ansi(type));
        }
        PendingItems.Add(kTimestamp, common::Variant::Date(local));
        PendingItems.Add(kTimestampUtc, common::Variant::Date(utc));
    }
    DecodeRegisters(*current, data);
    const TRequestItem* next = last ? nullptr : NextOfGroup(*current);
    pending_next_ = next != nullptr ? next->Identity() : 0;
    EndRequest(kAnswered);
    return result;
}

void TKmpParserClient::DecodeRegisters(const TRequestItem& request,
                                       std::span<const std::uint8_t> data) {
    // Meters leave out registers they do not have, so each block is matched to its configured
    // register by id (in configured order while they agree); blocks nobody asked for are skipped.
    const std::size_t count = request.ResponseCount();
    std::vector<bool>& used = decode_used_;
    used.assign(count, false);
    std::size_t expected = 0;
    std::size_t remaining = count;
    while (data.size() > 4 && remaining > 0) {
        const std::optional<RegisterBlock> block = ReadRegisterBlock(data);
        if (!block) break;  // a value running past the frame ends the walk
        std::size_t index = count;
        if (expected < count && !used[expected] &&
            request.Response(expected).Parameters.Register == block->id) {
            index = expected;
        } else {
            for (std::size_t i = 0; i < count; ++i) {
                if (!used[i] && request.Response(i).Parameters.Register == block->id) {
                    index = i;
                    break;
                }
            }
        }
        if (index == count) continue;
        used[index] = true;
        --remaining;
        expected = index + 1;
        const TResponseParameters& configured = request.Response(index).Parameters;
        RegisterValue value = DecodeRegisterValue(block->value, block->sign_exponent);
        if (configured.Info != nullptr && configured.Info->Decoder != nullptr &&
            !configured.Info->Decoder(*configured.Info, RawMantissa(block->value), block->value,
                                      value)) {
            continue;  // not a valid date or time: nothing is published for it
        }
        PendingItems.Add(configured.Name, ValueVariant(value));
        if (const auto unit = KmpUnitText(block->unit)) {
            PendingItems.Add(configured.Name + "_UNIT", common::Variant::Ansi(*unit));
        }
    }
}

// ---- Failures --------------------------------------------------------------------------------

void TKmpParserClient::RequestTimedOut(parser::TBasicRequestItem& item, bool& retry) {
    auto& request = static_cast<TRequestItem&>(item);
    if (!retry && PendingItems.Count() > 0 && IsLastOfGroup(request) && plugin_ != nullptr) {
        // Pushed once the tick has let go of the queue (FlushSends).
        EnqueuePending();
    }
    ForgetDevice(request.Parameters.Address);
    std::string line = RequestTag(&request);
    if (!request.Name.empty()) line += ". " + request.Name;
    const TaPlugin* module = Module();
    const std::string message =
        module != nullptr ? module->TextResources->RequestTimeout : "Request timeout (ms)";
    line += ". ";
    line += common::TrimControl(std::string_view(message).substr(0, message.find('(')));
    Log(1, line);
    EndRequest(kTimedOut);
}

void TKmpParserClient::ScheduleError(std::string_view, const std::exception& error,
                                     std::string_view detail) {
    const TaPlugin* module = Module();
    const std::string format = module != nullptr
                                   ? module->TextResources->UnableToParseExpression
                                   : "Unable to parse expression \"%s\". Error at: %d";
    const std::string expression = std::string(detail) + ", " + error.what();
    Log(1, translation::FormatText(format, {expression, std::int64_t{1}}));
}

void TKmpParserClient::EndRequest(std::uint8_t reason) {
    common::SharedSection list(Queue->Requests.Lock());
    auto exchange = Queue->LockExchange();
    Queue->ReleaseCurrent(reason);
    Queue->Current = nullptr;
}

std::string TKmpParserClient::RequestTag(const TRequestItem* request) {
    if (request == nullptr) request = CurrentRequest();
    if (request == nullptr) return {};
    return "[" + request->Parameters.AddressText + "/" + request->Name + "] ";
}

// ---- Meter identities ------------------------------------------------------------------------

TKmpDeviceInfo TKmpParserClient::LookupDevice(std::int32_t address) const {
    for (const TKmpDeviceInfo& info : DeviceInfo) {
        if (info.Address == address) return info;
    }
    TKmpDeviceInfo unknown;
    unknown.Address = static_cast<std::int16_t>(address);
    return unknown;
}

void TKmpParserClient::StoreDevice(const TKmpDeviceInfo& info) {
    for (std::size_t i = DeviceInfo.size(); i-- > 0;) {
        if (DeviceInfo[i].Address == info.Address) {
            DeviceInfo[i] = info;
            return;
        }
    }
    for (std::size_t i = DeviceInfo.size(); i-- > 0;) {
        if (DeviceInfo[i].Address == -1) {
            DeviceInfo[i] = info;
            return;
        }
    }
    DeviceInfo.push_back(info);
}

void TKmpParserClient::ForgetDevice(std::int32_t address) {
    for (std::size_t i = DeviceInfo.size(); i-- > 0;) {
        if (DeviceInfo[i].Address == address) {
            DeviceInfo[i].Address = -1;
            return;
        }
    }
}

}  // namespace zol::kmp
