#pragma once
// The KMP request configuration: the settings object whose options text holds the requests, the
// loaded request (meter address, reply timeout, registers) and its registers, and the loader that
// turns the options text into the request list of one port.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "kmp/kmp_registers.h"
#include "parser/parser_BasicRequestItem.h"
#include "parser/parser_CfgOptionsProxy.h"
#include "parser/parser_QueueController.h"

namespace zol::kmp {

// The KMP module's settings object: the options form's state, loaded and stored through the
// module's property map. Its options text (lblParams_Caption) holds the request configuration.
class TDataSourceCfg : public parser::TProxyCodeObject {
   public:
    explicit TDataSourceCfg(common::Component* owner = nullptr)
        : TProxyCodeObject(owner, "DataSourceCfg") {}
};

struct TRequestParameters {
    std::uint8_t Address = 0;        // meter address sent in the request
    std::uint8_t Cid = 0;            // command id: the register read for every configured request
    std::string AddressText;         // the address as the configuration wrote it
    std::uint8_t CatalogueKind = 0;  // 0 heat, 1 electricity, at load time
    std::int32_t Timeout = 0;        // reply timeout, milliseconds
    // The configuration entry the request was made from (its 0-based position); requests of one
    // entry and one address leave as one packet.
    std::int32_t Group = 0;
};

struct TResponseParameters {
    std::uint16_t Register = 0;
    std::string Name;                        // name of the output item
    std::string Caption;                     // readable caption
    const TKmpRegisterInfo* Info = nullptr;  // the catalogue row of Register, if any
};

class TRequestItem;

// One configured register of a request.
class TResponseItem : public parser::ResponseEntry {
   public:
    explicit TResponseItem(TRequestItem* owner) : Owner(owner) {}
    void Assign(const TResponseItem& source) { Parameters = source.Parameters; }

    TRequestItem* Owner;
    TResponseParameters Parameters;
};

class TRequestItem : public parser::TBasicRequestItem {
   public:
    TRequestItem() { MaxRetries = 3; }

    // The base's configuration, then copies of the source's registers (owned by this request)
    // and its parameters.
    void Assign(const parser::TBasicRequestItem& source) override;

    std::size_t ResponseCount() const noexcept { return Responses.size(); }
    TResponseItem& Response(std::size_t index) const {
        return static_cast<TResponseItem&>(*Responses[index]);
    }
    TResponseItem& AddResponse();

    TRequestParameters Parameters;
};

// What the loader needs of the plug-in that owns the port.
class RequestLoadHost {
   public:
    virtual ~RequestLoadHost() = default;
    // Unloading, or neither the parser nor the data-source kind enabled: requests are not
    // built for a port then.
    virtual bool AcceptsRequests() const noexcept = 0;
    virtual KmpCatalogue CatalogueInUse() const noexcept = 0;
    // The number of configured requests that only decode (not enabled for sending).
    virtual void SetPassiveCount(std::int32_t count) noexcept = 0;
    virtual std::int32_t PassiveRequestCount() const noexcept = 0;
    // A schedule that will not run as written: `detail` is the expression, ", " and what is
    // wrong; `position` the 1-based character of the expression where. Called while a port's
    // requests are loaded, once per entry and port; the plug-in logs each detail once per load.
    virtual void ScheduleProblem(std::string_view /*detail*/, int /*position*/) noexcept {}
};

// The plug-in as tools and checks need it for loading: it takes requests, names registers from
// one catalogue and counts the passive requests.
class StandaloneLoadHost : public RequestLoadHost {
   public:
    explicit StandaloneLoadHost(KmpCatalogue catalogue = KmpCatalogue::kHeat) noexcept
        : catalogue_(catalogue) {}
    bool AcceptsRequests() const noexcept override { return true; }
    KmpCatalogue CatalogueInUse() const noexcept override { return catalogue_; }
    void SetPassiveCount(std::int32_t count) noexcept override { passive_ = count; }
    std::int32_t PassiveRequestCount() const noexcept override { return passive_; }

   private:
    KmpCatalogue catalogue_;
    std::int32_t passive_ = 0;
};

// Rebuilds `requests` from the options text of `config`. With `port_queue` (the queue of the
// port that holds `requests`) its timer is stopped during the load, its minimum interval and
// time schedules are set, and its schedule is reset at the end. `plugin` and `config` may be
// absent: without a plug-in the heat catalogue names the registers and nothing is counted.
void LoadRequests(RequestLoadHost* plugin, const TDataSourceCfg* config,
                  parser::TBasicRequestList& requests, parser::TQueueControllerTimer* port_queue);

// The address texts of a Device text: cut at every ";" and ",", as written (empty ones kept).
std::vector<std::string> SplitDevices(std::string_view text);

// Cleans a list of address texts in place: sorted as text (leading blanks not counting), entries
// that are not a non-negative number and repeats of an earlier entry dropped; kept entries keep
// their text as written.
void NormalizeDevices(std::vector<std::string>& devices);

// The item name of a register that neither the configuration nor the catalogue names:
// "REG_" and its id in four upper-case hexadecimal digits.
std::string RegisterItemName(std::uint16_t id);

// An address text as a number: optional sign and decimal digits, or "$" and hexadecimal digits,
// after trimming; -1 when it is not a number that fits 64 bits.
std::int64_t DeviceNumber(std::string_view text) noexcept;

}  // namespace zol::kmp
