#include <algorithm>
#include <string_view>

#include "kmp/kmp_registers.h"
#include "metersim/meter_simulator.h"

namespace zol::metersim {

namespace {

// KMP unit codes used by the demo values.
constexpr std::uint8_t kKwh = 2, kGj = 8, kKw = 21, kV = 33, kA = 34, kC = 37, kM3 = 40,
                       kLitrePerHour = 41, kM3PerHour = 42, kTon = 44, kHours = 46, kClock = 47,
                       kDate = 48, kBar = 52;
constexpr std::uint8_t kTwoDecimals = 0x42, kThreeDecimals = 0x43, kOneDecimal = 0x41;

// A believable value for the well-known registers (what a living meter reads at the simulator's
// start, clock and date apart); every other one gets a plain number derived
// from its id, so a read shows at a glance which register answered.
SimRegister HeatValue(std::int32_t id_value) {
    const auto id = static_cast<std::uint16_t>(id_value);
    switch (id) {
        case 1003:
            return SimRegister::Make(id, kDate, 0, 261207);  // 2026-12-07
        case 1002:
            return SimRegister::Make(id, kClock, 0, 143015);  // 14:30:15
        case 60:
            return SimRegister::Make(id, kKwh, 0, 315904);
        case 94:
            return SimRegister::Make(id, kGj, kTwoDecimals, 113725);
        case 68:
            return SimRegister::Make(id, kM3, kTwoDecimals, 2741533);
        case 69:
            return SimRegister::Make(id, kM3, kTwoDecimals, 2740012);
        case 72:
            return SimRegister::Make(id, kTon, kTwoDecimals, 2713102);
        case 1004:
            return SimRegister::Make(id, kHours, 0, 41877);
        case 86:
            return SimRegister::Make(id, kC, kTwoDecimals, 7012);
        case 87:
            return SimRegister::Make(id, kC, kTwoDecimals, 4188);
        case 89:
            return SimRegister::Make(id, kC, kTwoDecimals, 2824);
        case 91:
            return SimRegister::Make(id, kBar, kOneDecimal, 62, 1);
        case 92:
            return SimRegister::Make(id, kBar, kOneDecimal, 58, 1);
        case 74:
            return SimRegister::Make(id, kLitrePerHour, 0, 845);
        case 80:
            return SimRegister::Make(id, kKw, kOneDecimal, 276);
        case 124:
            return SimRegister::Make(id, kM3PerHour, kThreeDecimals, 1420);
        case 1001:
            return SimRegister::Make(id, 0, 0, 67012345);
        case 99:
            return SimRegister::Make(id, 0, 0, 0, 2);
        default:
            return SimRegister::Make(id, 0, 0, static_cast<std::uint64_t>(id) * 10 + 1);
    }
}

SimRegister ElectricityValue(std::int32_t id_value) {
    const auto id = static_cast<std::uint16_t>(id_value);
    switch (id) {
        case 1:
            return SimRegister::Make(id, kKwh, kOneDecimal, 15873210);
        case 2:
            return SimRegister::Make(id, kKwh, kOneDecimal, 231057);
        case 1054:
        case 1055:
        case 1056:
            return SimRegister::Make(id, kV, 0, 229u + (id - 1054u));
        case 1076:
        case 1077:
        case 1078:
            return SimRegister::Make(id, kA, kTwoDecimals, 412u + 7u * (id - 1076u));
        case 1080:
        case 1081:
        case 1082:
            return SimRegister::Make(id, kKw, kThreeDecimals, 943u + 11u * (id - 1080u));
        case 1023:
            return SimRegister::Make(id, kKw, kThreeDecimals, 2862);
        case 1024:
            return SimRegister::Make(id, kKw, 0xC3, 120);  // exporting: a negative value
        default:
            return SimRegister::Make(id, 0, 0, static_cast<std::uint64_t>(id) * 10 + 1);
    }
}

template <typename MakeValue>
std::vector<SimRegister> EveryRegister(kmp::KmpCatalogue catalogue, MakeValue make) {
    std::vector<SimRegister> registers;
    for (const auto& row : kmp::Catalogue(catalogue)) {
        if (row.Id == kmp::kKmpCatalogueEnd) break;
        const bool seen = std::any_of(registers.begin(), registers.end(),
                                      [&](const SimRegister& r) { return r.id == row.Id; });
        if (!seen) registers.push_back(make(row.Id));
    }
    return registers;
}

}  // namespace

std::vector<SimMeter> DemoMeters() {
    SimMeter heat;
    heat.address = kDemoHeatAddress;
    heat.life = SimLife::kHeat;
    heat.type = 0x0210;
    heat.revision = 0x0005;
    heat.serial = 67012345;
    heat.registers = EveryRegister(kmp::KmpCatalogue::kHeat, HeatValue);

    SimMeter electricity;
    electricity.address = kDemoElectricityAddress;
    electricity.life = SimLife::kElectricity;
    electricity.type = 0x0401;
    electricity.revision = 0x0102;
    electricity.serial = 5512093;
    electricity.registers = EveryRegister(kmp::KmpCatalogue::kElectricity, ElectricityValue);
    return {heat, electricity};
}

}  // namespace zol::metersim
