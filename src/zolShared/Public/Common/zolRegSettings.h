#pragma once
// The settings component `TWreg`: walks a property map (lines "property path,value name")
// against one object and one store, the registry or an INI file, and loads or stores each mapped
// property. It lives for one operation. Also here: the encoding of stored strings, the reading
// of one map line, and the naming rules of INI sections and of the INI file's cross-process lock.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "zolShared/Public/Common/component.h"
#include "zolShared/Public/Common/published_properties.h"

namespace zol::common {

// The registry roots the component can use, in the order of their stored numbers.
enum class TRegistryRoot : std::uint8_t {
    rrHKEY_CLASSES_ROOT,
    rrHKEY_CURRENT_USER,
    rrHKEY_LOCAL_MACHINE,
    rrHKEY_USERS,
    rrHKEY_CURRENT_CONFIG,
    rrNone,  // no root: selecting it fails
};

// The kinds of operation this system runs.
enum class TWregOperation : std::uint8_t { kLoad, kStore };

// --- Stored strings -----------------------------------------------------------------------------

// The stored form of a UTF-8 text: printable ASCII except "%", "+" and some spaces is copied, "%"
// becomes "%%", a space between two non-space runs stays a space and any other space becomes "+",
// every other byte becomes "%" and two upper-case hex digits. The result never holds a line break.
std::string EncodeSettingString(std::string_view utf8);
// Reverses EncodeSettingString; never fails. `stored` is the stored text as UTF-8. When it holds
// only ASCII, the decoded bytes are read as UTF-8, or as system code page text when they are not
// valid UTF-8. When it holds other characters, it was not written by this encoder: decoded bytes
// are taken as characters of the system code page and the other characters as they are.
std::string DecodeSettingString(std::string_view stored);

// --- Property map lines -------------------------------------------------------------------------

struct PropertyMapLine {
    std::string property_path;  // e.g. "lblParams.Caption"
    std::string sub_path;       // key or section below the base, "\"-separated; may be empty
    std::string value_name;     // the stored value's name
};
// One line of a property map; nothing for comment lines, empty lines and lines without a
// property path, and, when `need_value_name`, for lines without a value name.
std::optional<PropertyMapLine> ParsePropertyMapLine(std::string_view line, bool need_value_name);

// The INI section of a value: "Common" stands for an empty sub-path unless the prefix ends in
// "/" or "\"; the prefix goes in front with a "."; every "\" becomes ".".
std::string IniSectionName(std::string_view prefix, std::string_view sub_path);
// The name of the cross-process lock of an INI file: its full name (UTF-8) in lower case, every
// character other than "0"-"9" and "a"-"z" replaced by "_".
std::string IniLockName(std::string_view full_file_name);

// --- Property access by path --------------------------------------------------------------------

// A published property found by path: its kind, value names and accessors.
struct PropertyRef {
    PropertyKind kind = PropertyKind::kString;
    std::vector<std::string> value_names;
    std::function<PropertyValue()> get;
    std::function<bool(const PropertyValue&)> set;
};
// Resolves `path` against `object`. An object that stands in for a form takes the path with "."
// replaced by "_" as one of its own properties. Any other component splits the path at ".": a
// first segment naming an owned component selects it, and the remaining segments walk published
// object-valued properties to the last one. Plain components offer their string properties.
std::optional<PropertyRef> ResolvePropertyPath(Component& object, std::string_view path);

// --- The settings component ---------------------------------------------------------------------

class TWreg : public Component {
   public:
    explicit TWreg(Component* owner = nullptr);

    TRegistryRoot RegistryRoot = TRegistryRoot::rrHKEY_LOCAL_MACHINE;
    TRegistryRoot SecondRegistryRoot = TRegistryRoot::rrHKEY_CURRENT_USER;
    std::string RegistryPath = "\\Software\\Company name\\App name";
    std::string INIFile;  // UTF-8; "$CUSTOM$" selects the custom store
    std::string INIFileSectionPrefix;
    std::vector<std::string> Components;  // the property map
    // The object whose properties are processed.
    Component* Object = nullptr;
    // Values with no sub-path go to the section "Common" (always on in this system).
    bool CommonSection = true;

    // How long an INI operation waits for the file's cross-process lock before giving up.
    static constexpr std::uint32_t kIniLockTimeoutMs = 30000;

    // Runs the operation over the whole map. Load: true when at least one stored value was
    // found; store: true when at least one value was stored and the store was written. A store
    // that cannot be used (no lock, an INI file that exists but cannot be read or written, a
    // registry key that cannot be created) changes nothing, logs a line at severity 0 and
    // gives false.
    bool Execute(TWregOperation operation);
    // The registry root the last registry operation opened, if any.
    std::optional<TRegistryRoot> OpenedRoot() const noexcept { return opened_root_; }

    // Where failures are told (UTF-8 text); without it they are only reported by the result.
    using LogFunction = std::function<void(int severity, std::string_view text)>;
    void SetLog(LogFunction log) { log_ = std::move(log); }
    // How long an INI operation waits for the lock; tests shorten it.
    void SetLockTimeout(std::uint32_t timeout_ms) noexcept { lock_timeout_ms_ = timeout_ms; }

   private:
    bool ExecuteRegistry(TWregOperation operation);
    bool ExecuteIni(TWregOperation operation);
    // Logs "Settings not loaded/stored: " and the reason at severity 0.
    void LogFailure(TWregOperation operation, std::string_view reason) const;

    std::optional<TRegistryRoot> opened_root_;
    LogFunction log_;
    std::uint32_t lock_timeout_ms_ = kIniLockTimeoutMs;
};

}  // namespace zol::common
