#include "zolShared/Public/Common/zolRegSettings.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "platform/files.h"
#include "platform/named_mutex.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "platform/utf.h"
#include "zolShared/Public/Common/hex_text.h"
#include "zolShared/Public/Common/ini_file.h"

namespace zol::common {

namespace {

std::string AnsiToUtf8(std::string_view ansi) {
    return platform::Utf16ToUtf8(platform::AnsiToUtf16(ansi));
}

std::string Utf8ToAnsi(std::string_view utf8) {
    return platform::Utf16ToAnsi(platform::Utf8ToUtf16(utf8));
}

std::string_view Trim(std::string_view text) {
    auto blank = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    return text;
}

}  // namespace

// ------------------------------------------------------------------------------------------------
// Map lines and names

std::optional<PropertyMapLine> ParsePropertyMapLine(std::string_view line, bool need_value_name) {
    line = Trim(line);
    if (line.empty() || line.front() == ';') return std::nullopt;
    std::size_t split = line.find(',');
    if (split == std::string_view::npos) split = line.find(';');
    std::string_view path = line;
    std::string_view name;
    if (split != std::string_view::npos) {
        path = line.substr(0, split);
        name = line.substr(split + 1);
    }
    path = Trim(path);
    name = Trim(name);
    if (auto comment = name.find(';'); comment != std::string_view::npos) {
        name = Trim(name.substr(0, comment));
    }
    if (path.empty() || (need_value_name && name.empty())) return std::nullopt;

    std::string collapsed;
    for (char c : name) {
        if (c == '\\' && !collapsed.empty() && collapsed.back() == '\\') continue;
        collapsed.push_back(c);
    }
    if (!collapsed.empty() && collapsed.front() == '\\') collapsed.erase(collapsed.begin());

    PropertyMapLine out;
    out.property_path = std::string(path);
    if (auto last = collapsed.rfind('\\'); last != std::string::npos) {
        out.sub_path = collapsed.substr(0, last);
        out.value_name = collapsed.substr(last + 1);
    } else {
        out.value_name = std::move(collapsed);
    }
    if (need_value_name && out.value_name.empty()) return std::nullopt;
    return out;
}

std::string IniSectionName(std::string_view prefix, std::string_view sub_path) {
    std::string path(sub_path);
    std::string head(prefix);
    if (!head.empty() && (head.back() == '/' || head.back() == '\\')) {
        head.pop_back();
    } else if (path.empty()) {
        path = "Common";
    }
    std::string section = head.empty() ? path : (path.empty() ? head : head + "." + path);
    for (char& c : section) {
        if (c == '\\') c = '.';
    }
    return section;
}

std::string IniLockName(std::string_view full_file_name) {
    // Per UTF-16 character, so every process derives the same name for the same file.
    const std::u16string wide = platform::Utf8ToUtf16(full_file_name);
    std::string out;
    out.reserve(wide.size());
    for (char16_t u : wide) {
        if (u >= u'A' && u <= u'Z') u = static_cast<char16_t>(u - u'A' + u'a');
        const bool keep = (u >= u'0' && u <= u'9') || (u >= u'a' && u <= u'z');
        out.push_back(keep ? static_cast<char>(u) : '_');
    }
    return out;
}

// ------------------------------------------------------------------------------------------------
// Property access

namespace {

std::string ReplaceAll(std::string_view text, char from, char to) {
    std::string out(text);
    for (char& c : out) {
        if (c == from) c = to;
    }
    return out;
}

std::vector<std::string_view> SplitDots(std::string_view path) {
    std::vector<std::string_view> parts;
    std::size_t from = 0;
    for (;;) {
        const std::size_t at = path.find('.', from);
        parts.push_back(path.substr(from, at == std::string_view::npos ? at : at - from));
        if (at == std::string_view::npos) return parts;
        from = at + 1;
    }
}

PropertyRef RefOf(const PublishedProperty& p) {
    return PropertyRef{p.kind, p.value_names, p.get, p.set};
}

std::optional<PropertyRef> PropertyOf(Component* component, PublishedObject* published,
                                      std::string_view name) {
    if (published != nullptr) {
        if (const auto* p = published->FindPublished(name)) return RefOf(*p);
    }
    if (component != nullptr && component->HasStringProperty(name)) {
        PropertyRef ref;
        ref.kind = PropertyKind::kString;
        const std::string key(name);
        ref.get = [component, key]() -> PropertyValue {
            return component->GetStringProperty(key).value_or("");
        };
        ref.set = [component, key](const PropertyValue& value) {
            const auto* text = std::get_if<std::string>(&value);
            return text != nullptr && component->SetStringProperty(key, *text);
        };
        return ref;
    }
    return std::nullopt;
}

}  // namespace

std::optional<PropertyRef> ResolvePropertyPath(Component& object, std::string_view path) {
    auto* published = dynamic_cast<PublishedObject*>(&object);
    if (published != nullptr && published->FlattensPropertyPaths()) {
        const auto* p = published->FindPublished(ReplaceAll(path, '.', '_'));
        if (p == nullptr) return std::nullopt;
        return RefOf(*p);
    }
    const auto parts = SplitDots(path);
    Component* component = &object;
    std::size_t next = 0;
    if (parts.size() > 1) {
        if (Component* owned = object.FindComponent(parts[0])) {
            component = owned;
            published = dynamic_cast<PublishedObject*>(owned);
            next = 1;
        }
    }
    for (; next + 1 < parts.size(); ++next) {
        if (published == nullptr) return std::nullopt;
        const auto* p = published->FindPublished(parts[next]);
        if (p == nullptr || p->kind != PropertyKind::kObject) return std::nullopt;
        auto* target = std::get<PublishedObject*>(p->get());
        if (target == nullptr) return std::nullopt;
        published = target;
        component = dynamic_cast<Component*>(target);
    }
    return PropertyOf(component, published, parts[next]);
}

// ------------------------------------------------------------------------------------------------
// Value conversion

namespace {

// Integers in INI files: decimal, or "0x" and up to eight hex digits; 0 when unreadable.
std::int32_t ParseIniInteger(std::string_view text) {
    text = Trim(text);
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        return static_cast<std::int32_t>(ParseDigits32(text.substr(2), 16).value_or(0));
    }
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    std::int32_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return 0;
    return value;
}

// Numbers in INI files: "." or "," as decimal separator; 0 when unreadable.
double ParseIniFloat(std::string_view text) {
    std::string copy = ReplaceAll(Trim(text), ',', '.');
    std::string_view view = copy;
    if (!view.empty() && view.front() == '+') view.remove_prefix(1);
    double value = 0;
    auto [end, ec] = std::from_chars(view.data(), view.data() + view.size(), value);
    if (ec != std::errc() || end != view.data() + view.size()) return 0;
    return value;
}

std::string FormatFloat(double value, char separator) {
    std::string text;
    if (std::isnan(value)) {
        text = "NAN";
    } else if (std::isinf(value)) {
        text = value > 0 ? "INF" : "-INF";
    } else {
        char buffer[40];
        std::snprintf(buffer, sizeof buffer, "%.15g", value);
        text = buffer;
    }
    return ReplaceAll(text, '.', separator);
}

std::vector<std::uint8_t> RegText(std::string_view utf8) {
    const std::u16string wide = platform::Utf8ToUtf16(utf8);
    std::vector<std::uint8_t> data;
    data.reserve(wide.size() * 2 + 2);
    for (char16_t u : wide) {
        data.push_back(static_cast<std::uint8_t>(u & 0xFF));
        data.push_back(static_cast<std::uint8_t>(u >> 8));
    }
    data.push_back(0);
    data.push_back(0);
    return data;
}

std::string TextOfRegSz(const std::vector<std::uint8_t>& data) {
    std::u16string wide;
    for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
        const auto u = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
        if (u == 0) break;
        wide.push_back(u);
    }
    return platform::Utf16ToUtf8(wide);
}

double DoubleOf(const std::vector<std::uint8_t>& data) {
    std::uint64_t bits = 0;
    for (std::size_t i = 0; i < 8; ++i) bits |= std::uint64_t{data[i]} << (8 * i);
    double value = 0;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

std::int32_t DwordOf(const std::vector<std::uint8_t>& data) {
    const std::uint32_t bits = std::uint32_t{data[0]} | (std::uint32_t{data[1]} << 8) |
                               (std::uint32_t{data[2]} << 16) | (std::uint32_t{data[3]} << 24);
    return static_cast<std::int32_t>(bits);
}

// A registry value as text, for enumerations and strings; nothing for other types.
std::optional<std::string> RegistryText(const platform::RegistryValue& value) {
    if (value.type == platform::kRegSz || value.type == platform::kRegExpandSz) {
        return TextOfRegSz(value.data);
    }
    if (value.type == platform::kRegDword && value.data.size() == 4) {
        return std::to_string(DwordOf(value.data));
    }
    if (value.type == platform::kRegBinary && value.data.size() == 8) {
        return FormatFloat(DoubleOf(value.data), '.');
    }
    return std::nullopt;
}

std::optional<std::int64_t> OrdinalOf(const PropertyRef& ref, std::string_view name) {
    for (std::size_t i = 0; i < ref.value_names.size(); ++i) {
        if (SameTextAscii(ref.value_names[i], name)) return static_cast<std::int64_t>(i);
    }
    return std::nullopt;
}

std::string NameOf(const PropertyRef& ref, const PropertyValue& value) {
    const auto* ordinal = std::get_if<std::int64_t>(&value);
    if (ordinal == nullptr || *ordinal < 0 ||
        static_cast<std::size_t>(*ordinal) >= ref.value_names.size()) {
        return {};
    }
    return ref.value_names[static_cast<std::size_t>(*ordinal)];
}

// Applies a text value to an enumeration or string property; false when it does not fit.
bool ApplyText(const PropertyRef& ref, std::string_view text) {
    if (ref.kind == PropertyKind::kEnumeration) {
        if (text.empty()) return true;  // an empty name leaves the property as it is
        auto ordinal = OrdinalOf(ref, Trim(text));
        return ordinal && ref.set(*ordinal);
    }
    return ref.set(DecodeSettingString(text));
}

platform::RegistryHive HiveOf(TRegistryRoot root) {
    return static_cast<platform::RegistryHive>(static_cast<std::uint8_t>(root));
}

std::string BasePath(const std::string& registry_path) {
    std::string path = registry_path;
    while (!path.empty() && path.front() == '\\') path.erase(path.begin());
    while (!path.empty() && path.back() == '\\') path.pop_back();
    return path;
}

}  // namespace

// ------------------------------------------------------------------------------------------------
// The component

TWreg::TWreg(Component* owner) : Component(owner, "Wreg") {}

bool TWreg::Execute(TWregOperation operation) {
    opened_root_.reset();
    if (Object == nullptr) return false;
    // The custom store has no behaviour in this system: nothing is found and nothing stored.
    if (INIFile == "$CUSTOM$") return false;
    if (!INIFile.empty() &&
        (operation == TWregOperation::kStore || platform::SettingsFileExists(INIFile))) {
        return ExecuteIni(operation);
    }
    return ExecuteRegistry(operation);
}

bool TWreg::ExecuteRegistry(TWregOperation operation) {
    const bool store = operation == TWregOperation::kStore;
    const std::string base = BasePath(RegistryPath);
    // Without a path the values would land in the root key itself: nothing is done then.
    if (base.empty()) return false;
    for (TRegistryRoot root : {RegistryRoot, SecondRegistryRoot}) {
        if (root >= TRegistryRoot::rrNone) continue;
        if (platform::OpenRegistryKey(HiveOf(root), base, store)) {
            opened_root_ = root;
            break;
        }
    }
    if (!opened_root_) {
        // Nothing to load is the normal first run; a store that finds no place is a failure.
        if (store) LogFailure(operation, "the registry key \"" + base + "\" cannot be created");
        return false;
    }
    const platform::RegistryHive hive = HiveOf(*opened_root_);

    bool done = false;
    for (const std::string& text : Components) {
        auto line = ParsePropertyMapLine(text, true);
        if (!line) continue;
        auto ref = ResolvePropertyPath(*Object, line->property_path);
        if (!ref || ref->kind == PropertyKind::kObject) continue;
        const std::string key_path = line->sub_path.empty() ? base : base + "\\" + line->sub_path;
        auto key = platform::OpenRegistryKey(hive, key_path, store);
        if (!key) continue;
        const std::string& name = line->value_name;

        if (store) {
            const PropertyValue value = ref->get();
            bool written = false;
            switch (ref->kind) {
                case PropertyKind::kInteger: {
                    const auto number = static_cast<std::uint32_t>(std::get<std::int64_t>(value));
                    const std::uint8_t data[4] = {static_cast<std::uint8_t>(number),
                                                  static_cast<std::uint8_t>(number >> 8),
                                                  static_cast<std::uint8_t>(number >> 16),
                                                  static_cast<std::uint8_t>(number >> 24)};
                    written = key->Write(name, platform::kRegDword, data);
                    break;
                }
                case PropertyKind::kFloat: {
                    std::uint64_t bits = 0;
                    const double number = std::get<double>(value);
                    std::memcpy(&bits, &number, sizeof bits);
                    std::uint8_t data[8];
                    for (std::size_t i = 0; i < 8; ++i) {
                        data[i] = static_cast<std::uint8_t>(bits >> (8 * i));
                    }
                    written = key->Write(name, platform::kRegBinary, data);
                    break;
                }
                case PropertyKind::kEnumeration:
                    written = key->Write(name, platform::kRegSz, RegText(NameOf(*ref, value)));
                    break;
                case PropertyKind::kString:
                    written =
                        key->Write(name, platform::kRegSz,
                                   RegText(EncodeSettingString(std::get<std::string>(value))));
                    break;
                case PropertyKind::kObject:
                    break;
            }
            if (written) {
                done = true;
            } else {
                key->Delete(name);
            }
            continue;
        }

        auto stored = key->Read(name);
        if (!stored) continue;  // a missing value keeps the property
        done = true;
        bool applied = false;
        switch (ref->kind) {
            case PropertyKind::kInteger:
                applied = stored->type == platform::kRegDword && stored->data.size() == 4 &&
                          ref->set(std::int64_t{DwordOf(stored->data)});
                break;
            case PropertyKind::kFloat:
                applied = stored->type == platform::kRegBinary && stored->data.size() == 8 &&
                          ref->set(DoubleOf(stored->data));
                break;
            case PropertyKind::kEnumeration:
            case PropertyKind::kString: {
                auto as_text = RegistryText(*stored);
                applied = as_text && ApplyText(*ref, *as_text);
                break;
            }
            case PropertyKind::kObject:
                break;
        }
        // A value of the wrong type or content would fail again at every load: it goes.
        if (!applied) key->Delete(name);
    }
    return done;
}

bool TWreg::ExecuteIni(TWregOperation operation) {
    const bool store = operation == TWregOperation::kStore;
    const std::string quoted = "\"" + INIFile + "\"";
    const std::string lock_name = IniLockName(platform::FullFileName(INIFile));
    auto lock = platform::CreateNamedMutex(lock_name);
    if (!lock) {
        LogFailure(operation, "the system refuses the lock of " + quoted + " (a name of " +
                                  std::to_string(lock_name.size()) + " characters)");
        return false;
    }
    if (!lock->Lock(lock_timeout_ms_)) {
        LogFailure(operation, quoted + " stayed locked by another writer for " +
                                  std::to_string(lock_timeout_ms_) + " ms");
        return false;
    }
    struct Unlock {
        platform::NamedMutex& mutex;
        ~Unlock() { mutex.Unlock(); }
    } unlock{*lock};

    // A file that exists but cannot be read now is not an empty one: rewriting it would drop
    // every section other programs keep in it.
    platform::FileContents file = platform::ReadWholeFile(INIFile);
    if (file.status == platform::FileReadStatus::kUnreadable) {
        LogFailure(operation,
                   quoted + " exists but cannot be read (another program may hold it open)");
        return false;
    }
    // A store changes the file and needs its document; a load only reads values, where they
    // stand in the file's text.
    std::optional<IniDocument> doc;
    std::optional<IniText> text_read;
    if (store) {
        doc.emplace(IniDocument::Parse(file.bytes));
    } else {
        text_read.emplace(std::move(file.bytes));
    }
    // Names and values are kept in the file in the system code page, or as UTF-8 text inside a
    // UTF-16 file.
    const bool utf8_file =
        (store ? doc->TextForm() : text_read->TextForm()) != IniTextForm::kCodePage;
    auto to_file = [utf8_file](std::string_view utf8) {
        return utf8_file ? std::string(utf8) : Utf8ToAnsi(utf8);
    };
    // ASCII reads the same in every system code page, and the long texts of the settings are
    // stored escaped to ASCII: they are used where they stand, without a converted copy.
    std::string converted;
    auto from_file = [utf8_file, &converted](std::string_view text) -> std::string_view {
        const bool ascii = std::all_of(text.begin(), text.end(),
                                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
        if (utf8_file || ascii) return text;
        converted = AnsiToUtf8(text);
        return converted;
    };
    const char separator = platform::LocaleDecimalSeparator();
    bool done = false;
    for (const std::string& text : Components) {
        auto line = ParsePropertyMapLine(text, true);
        if (!line) continue;
        auto ref = ResolvePropertyPath(*Object, line->property_path);
        if (!ref || ref->kind == PropertyKind::kObject) continue;
        const std::string section = to_file(IniSectionName(INIFileSectionPrefix, line->sub_path));
        const std::string key = to_file(line->value_name);

        if (store) {
            const PropertyValue value = ref->get();
            std::string stored;
            switch (ref->kind) {
                case PropertyKind::kInteger:
                    stored = std::to_string(std::get<std::int64_t>(value));
                    break;
                case PropertyKind::kFloat:
                    stored = FormatFloat(std::get<double>(value), separator);
                    break;
                case PropertyKind::kEnumeration:
                    stored = to_file(NameOf(*ref, value));
                    break;
                case PropertyKind::kString:
                    stored = EncodeSettingString(std::get<std::string>(value));
                    break;
                case PropertyKind::kObject:
                    break;
            }
            doc->Write(section, key, stored);
            done = true;
            continue;
        }

        auto stored = text_read->Read(section, key);
        if (!stored) continue;
        done = true;
        switch (ref->kind) {
            case PropertyKind::kInteger:
                ref->set(std::int64_t{ParseIniInteger(*stored)});
                break;
            case PropertyKind::kFloat:
                ref->set(ParseIniFloat(*stored));
                break;
            case PropertyKind::kEnumeration:
            case PropertyKind::kString:
                // Nothing is deleted from an INI file; a value that does not fit is passed over.
                ApplyText(*ref, from_file(*stored));
                break;
            case PropertyKind::kObject:
                break;
        }
    }
    if (store && doc->Changed() && !platform::WriteWholeFile(INIFile, doc->Serialize())) {
        LogFailure(operation, quoted + " cannot be written; it is left as it was");
        return false;
    }
    return done;
}

void TWreg::LogFailure(TWregOperation operation, std::string_view reason) const {
    if (!log_) return;
    const char* what =
        operation == TWregOperation::kStore ? "Settings not stored: " : "Settings not loaded: ";
    log_(0, what + std::string(reason));
}

}  // namespace zol::common
