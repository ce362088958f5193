#include "metersim/meter_simulator.h"

#include <algorithm>
#include <cmath>

#include "common/wire_time.h"
#include "kmp/kmp_frame.h"
#include "zolShared/Public/Common/byte_order.h"

namespace zol::metersim {

namespace {

// A request longer than this without a stop byte is line noise; the simulator forgets it.
constexpr std::size_t kMaxRequestBytes = 1024;

// What a master reads of a reply byte sent at another speed or format: not the byte, and never a
// frame's start or an acknowledgement (always odd, so never 0x40, 0x80 or 0x06), so no reply
// can be made of it, as a wrong speed makes none on a real line.
std::uint8_t Garbled(std::uint8_t byte) noexcept {
    return static_cast<std::uint8_t>((byte ^ 0xA5) | 0x01);
}

}  // namespace

SimRegister SimRegister::Make(std::uint16_t id, std::uint8_t unit, std::uint8_t sign_exponent,
                              std::uint64_t mantissa, std::size_t length) {
    SimRegister r{id, unit, sign_exponent, std::vector<std::uint8_t>(length)};
    for (std::size_t i = length; i-- > 0;) {
        r.value[i] = static_cast<std::uint8_t>(mantissa);
        mantissa >>= 8;
    }
    return r;
}

double SimWire::CharacterMs() const noexcept {
    return tools::CharacterMs(tools::LineFraming{baud, data_bits, parity, stop_bits});
}

const SimRegister* SimMeter::FindRegister(std::uint16_t id) const noexcept {
    for (const auto& r : registers) {
        if (r.id == id) return &r;
    }
    return nullptr;
}

void MeterSimulator::AddMeter(SimMeter meter) {
    if (SimMeter* existing = FindMeter(meter.address)) {
        *existing = std::move(meter);
    } else {
        meters_.push_back(std::move(meter));
    }
}

SimMeter* MeterSimulator::FindMeter(std::uint8_t address) noexcept {
    for (auto& m : meters_) {
        if (m.address == address) return &m;
    }
    return nullptr;
}

std::optional<std::vector<std::uint8_t>> MeterSimulator::Answer(
    const SimMeter& meter, std::span<const std::uint8_t> request) {
    if (request.size() < kmp::kMinBodySize || request[0] != meter.address) return std::nullopt;
    const std::uint8_t cid = request[1];
    const auto data = request.subspan(2, request.size() - 4);
    std::vector<std::uint8_t> body{meter.address, cid};
    switch (cid) {
        case kmp::CidGetType:
            common::WriteBe16(body, meter.type);
            common::WriteBe16(body, meter.revision);
            break;
        case kmp::CidGetSerialNo:
            common::WriteBe32(body, meter.serial);
            break;
        case kmp::CidGetRegister: {
            if (data.empty()) return std::nullopt;
            const std::size_t count = data[0];
            if (data.size() < 1 + 2 * count) return std::nullopt;
            // Registers the meter does not have are left out of the reply, as meters do.
            for (std::size_t i = 0; i < count; ++i) {
                const auto id = common::ReadBe16(data.subspan(1 + 2 * i).first<2>());
                const SimRegister* r = meter.FindRegister(id);
                if (r == nullptr) continue;
                common::WriteBe16(body, r->id);
                body.push_back(r->unit);
                body.push_back(static_cast<std::uint8_t>(r->value.size()));
                body.push_back(r->sign_exponent);
                body.insert(body.end(), r->value.begin(), r->value.end());
            }
            break;
        }
        default:
            return std::nullopt;
    }
    kmp::AppendKmpCrc(body);
    return body;
}

bool MeterSimulator::Paced() const noexcept {
    return std::any_of(meters_.begin(), meters_.end(),
                       [](const SimMeter& meter) { return meter.wire.baud > 0; });
}

double MeterSimulator::ReceiveCharacterMs() const noexcept {
    if (!Paced()) return 0;
    if (master_ && master_->baud > 0) return master_->CharacterMs();
    for (const auto& meter : meters_) {
        if (meter.wire.baud > 0) return meter.wire.CharacterMs();
    }
    return 0;
}

void MeterSimulator::Receive(std::span<const std::uint8_t> bytes, std::uint64_t now_ms) {
    const double character_ms = ReceiveCharacterMs();
    if (character_ms <= 0) {
        Take(bytes, now_ms);
        return;
    }
    // Taken up to each stop byte, so that every request is answered from the time its own last
    // byte arrived.
    while (!bytes.empty()) {
        const auto stop = std::find(bytes.begin(), bytes.end(), kmp::KmpStop);
        const std::size_t n =
            stop == bytes.end() ? bytes.size() : static_cast<std::size_t>(stop - bytes.begin()) + 1;
        receive_until_ms_ = std::max(receive_until_ms_, static_cast<double>(now_ms)) +
                            character_ms * static_cast<double>(n);
        Take(bytes.first(n), static_cast<std::uint64_t>(std::ceil(receive_until_ms_)));
        bytes = bytes.subspan(n);
    }
}

void MeterSimulator::Take(std::span<const std::uint8_t> bytes, std::uint64_t now_ms) {
    latest_ms_ = std::max(latest_ms_, now_ms);
    input_.insert(input_.end(), bytes.begin(), bytes.end());
    for (;;) {
        const auto start = std::find(input_.begin(), input_.end(), kmp::KmpReqStart);
        input_.erase(input_.begin(), start);  // nothing before a start byte can be a request
        if (input_.empty()) return;
        const auto stop = std::find(input_.begin() + 1, input_.end(), kmp::KmpStop);
        if (stop == input_.end()) {
            if (input_.size() > kMaxRequestBytes) input_.clear();
            return;
        }
        std::vector<std::uint8_t> body;
        kmp::KmpUnstuff(
            std::span(input_).subspan(1, static_cast<std::size_t>(stop - input_.begin()) - 1),
            body);
        input_.erase(input_.begin(), stop + 1);
        HandleRequest(body, now_ms);
    }
}

void MeterSimulator::HandleRequest(std::span<const std::uint8_t> body, std::uint64_t now_ms) {
    if (!kmp::KmpBodyVerified(body)) {
        ++rejected_;
        return;
    }
    ReleaseCopies(now_ms);
    // The meter at the request's address answers first, then any meter answering for it too.
    const std::uint8_t to = body[0];
    if (const SimMeter* meter = FindMeter(to)) Reply(*meter, body, now_ms);
    for (const auto& meter : meters_) {
        const auto& also = meter.faults.answers_for;
        if (meter.address != to && std::find(also.begin(), also.end(), to) != also.end()) {
            Reply(meter, body, now_ms);
        }
    }
}

void MeterSimulator::Reply(const SimMeter& meter, std::span<const std::uint8_t> body,
                           std::uint64_t now_ms) {
    // A meter answering another address builds its answer as if the request were its own.
    std::vector<std::uint8_t> own(body.begin(), body.end());
    own[0] = meter.address;
    // A living meter answers with its registers as they read now.
    const std::uint64_t elapsed = latest_ms_ > base_.origin_ms ? latest_ms_ - base_.origin_ms : 0;
    const SimMeter* now = &meter;
    if (meter.life != SimLife::kFixed) {
        MeterAtInto(meter, base_, elapsed, living_);
        now = &living_;
    }
    auto reply = Answer(*now, own);
    if (!reply) {
        ++rejected_;
        return;
    }
    ++answered_;
    const SimFaults& faults = meter.faults;
    const std::uint8_t cid = body[1];
    const bool registers = cid == kmp::CidGetRegister;
    if (faults.serial_for_registers && registers) {
        // The serial-number reply, whatever registers were asked for.
        reply->assign({meter.address, kmp::CidGetSerialNo});
        common::WriteBe32(*reply, meter.serial);
        kmp::AppendKmpCrc(*reply);
    }
    // The CID the reply carries: the request's, unless the meter answers another question.
    const std::uint8_t answered_cid = (*reply)[1];
    if (faults.serial_zero && answered_cid == kmp::CidGetSerialNo) {
        reply->resize(2);
        common::WriteBe32(*reply, 0);
        kmp::AppendKmpCrc(*reply);
    }
    const bool silent = faults.no_reply || (faults.no_registers && registers);
    SimReply record;
    if (OnReply) {
        record.address = meter.address;
        record.request_address = body[0];
        record.cid = cid;
        record.received_ms = now_ms;
        record.silent = silent;
        if (!silent) record.body = *reply;
    }
    if (silent) {
        if (OnReply) OnReply(record);
        return;
    }
    const std::uint32_t sent = ++replies_[meter.address];
    const bool corrupt = faults.corrupt_checksum ||
                         (faults.corrupt_every > 0 && sent % faults.corrupt_every == 0) ||
                         (faults.garbled_registers && registers);
    if (corrupt) reply->back() = static_cast<std::uint8_t>(reply->back() + 1);

    std::vector<std::uint8_t> wire = faults.noise;
    const auto frame = kmp::KmpStuff(*reply, kmp::KmpRespStart);
    wire.insert(wire.end(), frame.begin(), frame.end());
    const SimWire& line = meter.wire;
    const bool noise = line.baud > 0 && master_ && !master_->SameFraming(line);
    if (noise) std::transform(wire.begin(), wire.end(), wire.begin(), Garbled);

    // A paced meter sends a byte at a time, so a split reply is split already.
    const double character_ms = line.CharacterMs();
    const std::size_t piece =
        character_ms > 0 || faults.split_size == 0 ? wire.size() : faults.split_size;
    const std::uint64_t due =
        Queue(wire, piece, now_ms + line.latency_ms + faults.delay_ms, character_ms);
    if (OnReply) {
        record.corrupt = corrupt;
        record.noise = noise;
        record.due_ms = due;
        record.pieces = character_ms > 0 ? wire.size() : (wire.size() + piece - 1) / piece;
        OnReply(record);
    }
    if (faults.late_copy_ms &&
        (answered_cid == kmp::CidGetType || answered_cid == kmp::CidGetSerialNo)) {
        record.copy = true;
        held_copies_.push_back(
            {std::move(wire), piece, *faults.late_copy_ms, character_ms, std::move(record)});
    }
}

void MeterSimulator::ReleaseCopies(std::uint64_t now_ms) {
    for (auto& held : held_copies_) {
        const std::uint64_t due =
            Queue(held.wire, held.piece, now_ms + held.delay_ms, held.character_ms);
        if (OnReply) {
            held.record.received_ms = now_ms;
            held.record.due_ms = due;
            OnReply(held.record);
        }
    }
    held_copies_.clear();
}

std::uint64_t MeterSimulator::Queue(const std::vector<std::uint8_t>& wire, std::size_t piece,
                                    std::uint64_t due_ms, double character_ms) {
    if (character_ms > 0) {
        // Each byte is delivered when it has fully arrived; a reply waits for the line to be
        // free of the ones before it, as a wire carries one byte at a time.
        const double start = std::max(static_cast<double>(due_ms), send_until_ms_);
        for (std::size_t i = 0; i < wire.size(); ++i) {
            const double end = start + character_ms * static_cast<double>(i + 1);
            deliveries_.push_back({static_cast<std::uint64_t>(std::ceil(end)), {wire[i]}});
        }
        send_until_ms_ = start + character_ms * static_cast<double>(wire.size());
        return static_cast<std::uint64_t>(std::ceil(start + character_ms));
    }
    for (std::size_t offset = 0; offset < wire.size(); offset += piece) {
        const std::size_t n = std::min(piece, wire.size() - offset);
        deliveries_.push_back(
            {due_ms,
             std::vector<std::uint8_t>(wire.begin() + static_cast<std::ptrdiff_t>(offset),
                                       wire.begin() + static_cast<std::ptrdiff_t>(offset + n))});
    }
    return due_ms;
}

std::optional<std::vector<std::uint8_t>> MeterSimulator::TakeDelivery(std::uint64_t now_ms) {
    if (deliveries_.empty() || deliveries_.front().due_ms > now_ms) return std::nullopt;
    auto bytes = std::move(deliveries_.front().bytes);
    deliveries_.pop_front();
    return bytes;
}

bool ApplyFaultList(std::string_view list, SimFaults& faults) {
    while (!list.empty()) {
        const auto comma = list.find(',');
        const std::string_view item = list.substr(0, comma);
        list = comma == std::string_view::npos ? std::string_view{} : list.substr(comma + 1);
        if (item.empty()) continue;
        const auto eq = item.find('=');
        const std::string_view name = item.substr(0, eq);
        std::uint64_t number = 0;
        bool has_number = eq != std::string_view::npos && eq + 1 < item.size();
        for (char c : eq == std::string_view::npos ? std::string_view{} : item.substr(eq + 1)) {
            if (c < '0' || c > '9' || number > 100000000) {
                has_number = false;
                break;
            }
            number = number * 10 + static_cast<std::uint64_t>(c - '0');
        }
        if (name == "corrupt" && eq == std::string_view::npos) {
            faults.corrupt_checksum = true;
        } else if (name == "corrupt" && has_number && number > 0) {
            faults.corrupt_every = static_cast<std::uint32_t>(number);
        } else if (name == "silent" && eq == std::string_view::npos) {
            faults.no_reply = true;
        } else if (name == "noise" && eq == std::string_view::npos) {
            faults.noise = {0x06, 0x55, 0x06, 0xAA, kmp::KmpStop};  // acknowledges and garbage
        } else if (name == "delay" && has_number) {
            faults.delay_ms = static_cast<std::uint32_t>(number);
        } else if (name == "split" && has_number && number > 0) {
            faults.split_size = static_cast<std::size_t>(number);
        } else if (name == "garbled-registers" && eq == std::string_view::npos) {
            faults.garbled_registers = true;
        } else if (name == "serial0" && eq == std::string_view::npos) {
            faults.serial_zero = true;
        } else if (name == "no-registers" && eq == std::string_view::npos) {
            faults.no_registers = true;
        } else if (name == "answers" && has_number && number > 0 && number < 255) {
            faults.answers_for.push_back(static_cast<std::uint8_t>(number));
        } else if (name == "serial-for-registers" && eq == std::string_view::npos) {
            faults.serial_for_registers = true;
        } else if (name == "late-duplicate-ident" && eq == std::string_view::npos) {
            faults.late_copy_ms = kLateCopyMs;
        } else if (name == "late-duplicate-ident" && has_number) {
            faults.late_copy_ms = static_cast<std::uint32_t>(number);
        } else {
            return false;
        }
    }
    return true;
}

std::optional<std::uint64_t> MeterSimulator::NextDue() const noexcept {
    if (deliveries_.empty()) return std::nullopt;
    return deliveries_.front().due_ms;
}

}  // namespace zol::metersim
