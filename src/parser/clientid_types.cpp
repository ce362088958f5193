#include "parser/clientid_types.h"

#include <algorithm>
#include <cstring>

namespace zol::parser {

bool IsConnectionNotice(const plugins::TPluginCallRec& packet) noexcept {
    return packet.InData.Kind == kNoticeKind;
}

std::string PacketSourceName(const plugins::TPluginCallRec& packet) {
    const char* name = packet.SourceName;
    const std::size_t length =
        static_cast<std::size_t>(std::find(name, name + sizeof packet.SourceName, '\0') - name);
    return std::string(name, length);
}

std::string BaseNameOf(std::string_view source_name) {
    const std::size_t cut = source_name.find_last_of(".:");
    if (cut == std::string_view::npos) return {};
    return std::string(source_name.substr(0, cut));
}

TCustomParserClient::TCustomParserClient(TDataSourceScheduledWithClients& data_source,
                                         const plugins::TPluginCallRec& packet)
    : TzolPluginMulti(0),
      DataSource(data_source),
      FifoCapacity(static_cast<std::int32_t>(common::TFIFOStream::kClientCapacity)),
      Fifo(common::TFIFOStream::kClientCapacity, common::TFIFOStream::kClientStep, true),
      DataSourceId(packet.SourceId),
      AutoExpire(IsConnectionNotice(packet)) {
    InitFromPacket(packet);
}

TCustomParserClient::~TCustomParserClient() = default;

void TCustomParserClient::InitFromPacket(const plugins::TPluginCallRec& packet) {
    ClientId = packet.ClientId;
    SourceName = PacketSourceName(packet);
    BaseName = BaseNameOf(SourceName);
    IsPlaceholder = SourceName.rfind(kPlaceholderPrefix, 0) == 0;
}

void TCustomParserClient::SetActive(bool value) {
    Active.store(value);
    RestartIdleTimer();
}

void TCustomParserClient::ResetFrame() {
    frame_start_ = true;
    frame_scratch_[0].clear();
    frame_scratch_[1].clear();
    RestartIdleTimer();
}

void TCustomParserClient::AddText(std::string_view data) {
    if (!data.empty()) {
        Fifo.Write(std::span(reinterpret_cast<const std::uint8_t*>(data.data()), data.size()));
    }
    if (!Closed) RestartIdleTimer();
}

void TCustomParserClient::AddData(std::span<const std::uint8_t> data) {
    if (!data.empty()) Fifo.Write(data);
    if (!Closed) RestartIdleTimer();
}

void TCustomParserClient::RestartIdleTimer() {
    std::lock_guard<platform::SharedMutex> lock(idle_mutex_);
    idle_timer_.StartNow();
}

bool TCustomParserClient::IdleExpired(std::uint32_t ms) {
    std::lock_guard<platform::SharedMutex> lock(idle_mutex_);
    return idle_timer_.Expired(ms);
}

void TCustomParserClient::ShiftIdleTimer(std::int64_t offset_ms) {
    std::lock_guard<platform::SharedMutex> lock(idle_mutex_);
    idle_timer_.StartShifted(offset_ms);
}

TCustomParserClientList::~TCustomParserClientList() { Clear(); }

std::int32_t TCustomParserClientList::Count() {
    common::SharedSection section(lock_);
    return static_cast<std::int32_t>(clients_.size());
}

TCustomParserClient& TCustomParserClientList::AddOrReplace(
    std::intptr_t key, std::unique_ptr<TCustomParserClient> client) {
    std::vector<std::shared_ptr<TCustomParserClient>> gone;
    TCustomParserClient* added = client.get();
    {
        common::ExclusiveSection section(lock_);
        bool replaced = false;
        for (auto& entry : clients_) {
            if (entry.first == key) {
                gone.push_back(std::move(entry.second));
                entry.second = std::move(client);
                replaced = true;
                break;
            }
        }
        if (!replaced) clients_.emplace_back(key, std::move(client));
    }
    LetGo(gone);
    return *added;
}

void TCustomParserClientList::Remove(std::intptr_t key) {
    std::vector<std::shared_ptr<TCustomParserClient>> gone;
    {
        common::ExclusiveSection section(lock_);
        for (auto it = clients_.begin(); it != clients_.end(); ++it) {
            if (it->first == key) {
                gone.push_back(std::move(it->second));
                clients_.erase(it);
                break;
            }
        }
    }
    LetGo(gone);
}

void TCustomParserClientList::Clear() {
    std::vector<std::shared_ptr<TCustomParserClient>> gone;
    {
        common::ExclusiveSection section(lock_);
        while (!clients_.empty()) {
            gone.push_back(std::move(clients_.back().second));
            clients_.pop_back();
        }
    }
    LetGo(gone);
}

void TCustomParserClientList::LetGo(
    std::vector<std::shared_ptr<TCustomParserClient>>& gone) noexcept {
    // Outside the list's lock: a client's last work (a tick on the timer thread that calls the
    // host, a packet being written) may itself want the lock as a reader.
    for (auto& client : gone) {
        try {
            client->Retire(client);
        } catch (...) {
            // Retiring cannot fail in a way worth more than letting the client go.
        }
        client.reset();
    }
}

void TCustomParserClientList::ForEach(Visitor visit) {
    common::SharedSection section(lock_);
    for (std::size_t i = 0; i < clients_.size(); ++i) {
        if (!visit(clients_[i].first, *clients_[i].second)) break;
    }
}

}  // namespace zol::parser
