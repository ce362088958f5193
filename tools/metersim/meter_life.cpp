// How living meters change with time: counters that integrate a slowly swinging power or flow,
// gauges that move within a band, and clock and date registers that tell the simulator's local
// time. Everything is a closed-form function of the elapsed time, so a value read twice at the
// same moment is the same and no history has to be kept.
#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <numbers>

#include "metersim/meter_simulator.h"

namespace zol::metersim {

namespace {

// KMP unit codes of the clock and date registers.
constexpr std::uint8_t kClockUnit = 47, kDateUnit = 48;

// A stream of numbers in [0, 1) for one meter, the same for the same seed and address.
class MeterDraws {
   public:
    MeterDraws(std::uint32_t seed, std::uint8_t address)
        : state_((static_cast<std::uint64_t>(seed) << 8) | address) {}
    double Next() noexcept {
        // splitmix64: well spread even for neighbouring seeds and addresses.
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z ^= z >> 31;
        return static_cast<double>(z >> 11) / 9007199254740992.0;
    }
    double Between(double low, double high) noexcept { return low + (high - low) * Next(); }

   private:
    std::uint64_t state_;
};

// A slow swing 1 + depth * sin(w t + phase) and its integral over [0, t] in seconds: what a
// counter fed by a swinging rate has counted. The integral never decreases because depth < 1.
struct Swing {
    double depth = 0, omega = 0, phase = 0;

    static Swing Draw(MeterDraws& draws, double depth, double min_period_s, double max_period_s) {
        Swing s;
        s.depth = depth;
        s.omega = 2 * std::numbers::pi / draws.Between(min_period_s, max_period_s);
        s.phase = draws.Between(0, 2 * std::numbers::pi);
        return s;
    }
    double At(double t) const noexcept { return 1 + depth * std::sin(omega * t + phase); }
    double Integral(double t) const noexcept {
        return t + depth / omega * (std::cos(phase) - std::cos(omega * t + phase));
    }
};

std::uint64_t Mantissa(const SimRegister& r) noexcept {
    std::uint64_t value = 0;
    for (std::uint8_t b : r.value) value = (value << 8) | b;
    return value;
}

// The register's value in its own unit (10^exponent per mantissa step).
double Scale(const SimRegister& r) noexcept {
    const int exponent = r.sign_exponent & 0x3F;
    return std::pow(10.0, (r.sign_exponent & 0x40) != 0 ? -exponent : exponent);
}

// Writes `mantissa` into `r`, kept within its byte length (a counter saturates there).
void SetMantissa(SimRegister& r, double mantissa) {
    const std::size_t bits = std::min<std::size_t>(r.value.size() * 8, 64);
    const double most =
        bits >= 53 ? 9007199254740991.0 : std::ldexp(1.0, static_cast<int>(bits)) - 1;
    const double kept = std::clamp(std::floor(mantissa), 0.0, most);
    r = SimRegister::Make(r.id, r.unit, r.sign_exponent, static_cast<std::uint64_t>(kept),
                          r.value.size());
}

// Adds `amount` (in the register's unit) to a counter register, in whole steps only.
void Count(SimRegister* r, double amount) {
    if (r != nullptr) SetMantissa(*r, static_cast<double>(Mantissa(*r)) + amount / Scale(*r));
}

// Sets a gauge register to its table value times `factor` plus `shift` (in its unit), rounded.
void Gauge(SimRegister* r, double factor, double shift = 0) {
    if (r != nullptr) {
        SetMantissa(*r, static_cast<double>(Mantissa(*r)) * factor + shift / Scale(*r) + 0.5);
    }
}

double Value(const SimRegister* r, double otherwise) noexcept {
    return r != nullptr ? static_cast<double>(Mantissa(*r)) * Scale(*r) : otherwise;
}

SimRegister* Find(SimMeter& meter, std::uint16_t id) noexcept {
    for (auto& r : meter.registers) {
        if (r.id == id) return &r;
    }
    return nullptr;
}

// The civil date of a day count since 1970-01-01 (proleptic Gregorian).
void CivilFromDays(std::int64_t days, int& year, unsigned& month, unsigned& day) noexcept {
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const auto doe = static_cast<unsigned>(days - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    day = doy - (153 * mp + 2) / 5 + 1;
    month = mp < 10 ? mp + 3 : mp - 9;
    year = static_cast<int>(static_cast<std::int64_t>(yoe) + era * 400 + (month <= 2 ? 1 : 0));
}

void LiveHeat(SimMeter& meter, MeterDraws& draws, double t) {
    // The power swings by a quarter over a few hours about the table's power times a size of the
    // meter's own; the flow swings with it about the table's flow (or, without one, the flow that
    // carries that power at the table's temperature difference).
    const double size = draws.Between(0.8, 1.2);
    const Swing load = Swing::Draw(draws, 0.25, 3 * 3600.0, 5 * 3600.0);
    const double power_kw = Value(Find(meter, 80), 27.6) * size;
    const double spread_k = std::max(5.0, Value(Find(meter, 86), 70) - Value(Find(meter, 87), 42));
    const double flow_m3h =
        Value(Find(meter, 74), power_kw / (1.163 * spread_k) * 1000) / 1000 * size;
    const double hours = load.Integral(t) / 3600;
    const double energy_kwh = power_kw * hours;
    const double volume_m3 = flow_m3h * hours;
    Count(Find(meter, 60), energy_kwh);              // kWh
    Count(Find(meter, 94), energy_kwh * 0.0036);     // GJ
    Count(Find(meter, 68), volume_m3);               // V1
    Count(Find(meter, 69), volume_m3 * 0.9994);      // V2, a little behind
    Count(Find(meter, 72), volume_m3 * 0.9896);      // mass of water at its temperature
    Count(Find(meter, 1004), std::floor(t / 3600));  // operating hours
    const double now = load.At(t);
    Gauge(Find(meter, 80), size * now);
    Gauge(Find(meter, 74), size * now);
    Gauge(Find(meter, 124), size * now);
    // Temperatures drift within 1.8 K of the table's: a daily swing and a ripple of a few hours.
    for (const std::uint16_t id : std::initializer_list<std::uint16_t>{86, 87, 89}) {
        const Swing daily = Swing::Draw(draws, 1, 86400, 86400);
        const Swing ripple = Swing::Draw(draws, 1, 7200, 14400);
        Gauge(Find(meter, id), 1, 1.5 * (daily.At(t) - 1) + 0.3 * (ripple.At(t) - 1));
    }
}

void LiveElectricity(SimMeter& meter, MeterDraws& draws, double t) {
    const double size = draws.Between(0.8, 1.2);
    double energy_kwh = 0;
    double total = 0;  // the three phases' power mantissas, which add up to the total's
    for (std::uint16_t phase = 0; phase < 3; ++phase) {
        const Swing load = Swing::Draw(draws, 0.3, 1800, 7200);
        SimRegister* power = Find(meter, static_cast<std::uint16_t>(1080 + phase));
        energy_kwh += Value(power, 0.95) * size * load.Integral(t) / 3600;
        Gauge(power, size * load.At(t));
        total += power != nullptr ? static_cast<double>(Mantissa(*power)) : 0;
        Gauge(Find(meter, static_cast<std::uint16_t>(1076 + phase)), size * load.At(t));
        const Swing mains = Swing::Draw(draws, 1, 600, 1800);
        Gauge(Find(meter, static_cast<std::uint16_t>(1054 + phase)), 1, 1.5 * (mains.At(t) - 1));
    }
    if (SimRegister* sum = Find(meter, 1023)) SetMantissa(*sum, total);
    Count(Find(meter, 1), energy_kwh);
}

}  // namespace

std::int64_t CivilSeconds(int year, unsigned month, unsigned day, unsigned hour, unsigned minute,
                          unsigned second) noexcept {
    const std::int64_t y = year - (month <= 2 ? 1 : 0);
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const std::int64_t days = era * 146097 + static_cast<std::int64_t>(doe) - 719468;
    return days * 86400 + hour * 3600 + minute * 60 + second;
}

std::int32_t ClockOffsetSeconds(std::uint32_t seed, std::uint8_t address) noexcept {
    MeterDraws draws(seed ^ 0xC10C, address);
    return static_cast<std::int32_t>(std::floor(draws.Between(-90, 91)));
}

SimMeter MeterAt(const SimMeter& meter, const SimTimeBase& base, std::uint64_t elapsed_ms) {
    SimMeter at;
    MeterAtInto(meter, base, elapsed_ms, at);
    return at;
}

void MeterAtInto(const SimMeter& meter, const SimTimeBase& base, std::uint64_t elapsed_ms,
                 SimMeter& at) {
    at = meter;
    if (meter.life == SimLife::kFixed) return;
    const double t =
        static_cast<double>(elapsed_ms) / 1000 * std::max<std::uint32_t>(meter.pace, 1);
    MeterDraws draws(base.seed, meter.address);
    if (meter.life == SimLife::kHeat) LiveHeat(at, draws, t);
    if (meter.life == SimLife::kElectricity) LiveElectricity(at, draws, t);

    const std::int64_t local = base.start_local_s + static_cast<std::int64_t>(elapsed_ms / 1000) +
                               ClockOffsetSeconds(base.seed, meter.address);
    const std::int64_t days = (local >= 0 ? local : local - 86399) / 86400;
    const std::int64_t second_of_day = local - days * 86400;
    int year = 0;
    unsigned month = 0, day = 0;
    CivilFromDays(days, year, month, day);
    for (auto& r : at.registers) {
        if (r.unit == kClockUnit) {
            SetMantissa(r, static_cast<double>(second_of_day / 3600 * 10000 +
                                               second_of_day / 60 % 60 * 100 + second_of_day % 60));
        } else if (r.unit == kDateUnit) {
            SetMantissa(r,
                        static_cast<double>((year % 100) * 10000 + static_cast<int>(month) * 100 +
                                            static_cast<int>(day)));
        }
    }
}

}  // namespace zol::metersim
