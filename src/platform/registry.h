#pragma once
// The system registry as the settings store uses it: open or create a key below one of the
// predefined roots, read a value as its type and raw bytes, write one, delete one. Text values
// (REG_SZ) travel as UTF-16LE bytes with their terminating zero, exactly as the registry keeps
// them; the portable settings code does every conversion. The native stand-in is an in-memory
// registry shared by the whole process (see platform/native/registry_native.h).

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace zol::platform {

// The predefined roots, in the order of the settings component's root selector.
enum class RegistryHive : std::uint8_t {
    kClassesRoot,
    kCurrentUser,
    kLocalMachine,
    kUsers,
    kCurrentConfig,
};

// Registry value types, with the system's numbers.
constexpr std::uint32_t kRegNone = 0;
constexpr std::uint32_t kRegSz = 1;
constexpr std::uint32_t kRegExpandSz = 2;
constexpr std::uint32_t kRegBinary = 3;
constexpr std::uint32_t kRegDword = 4;
constexpr std::uint32_t kRegMultiSz = 7;

struct RegistryValue {
    std::uint32_t type = kRegNone;
    std::vector<std::uint8_t> data;
};

// One open key with full access; closed when destroyed.
class RegistryKey {
   public:
    virtual ~RegistryKey() = default;
    // Nothing when the value does not exist or cannot be read.
    virtual std::optional<RegistryValue> Read(const std::string& name) = 0;
    // False when the value could not be written.
    virtual bool Write(const std::string& name, std::uint32_t type,
                       std::span<const std::uint8_t> data) = 0;
    // False when the value did not exist or could not be deleted.
    virtual bool Delete(const std::string& name) = 0;
};

// Opens `path` (UTF-8, "\"-separated, relative to the root) with full access; with `create`,
// missing keys on the way are created. Nothing when that fails (no such key, access denied).
std::unique_ptr<RegistryKey> OpenRegistryKey(RegistryHive hive, const std::string& path,
                                             bool create);

}  // namespace zol::platform
