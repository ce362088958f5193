// The registry through the wide-character API, so key and value names keep every character.
#include <windows.h>

#include "platform/registry.h"
#include "platform/utf.h"

namespace zol::platform {

namespace {

std::wstring Wide(const std::string& utf8) {
    const std::u16string text = Utf8ToUtf16(utf8);
    return std::wstring(text.begin(), text.end());
}

HKEY RootOf(RegistryHive hive) {
    switch (hive) {
        case RegistryHive::kClassesRoot:
            return HKEY_CLASSES_ROOT;
        case RegistryHive::kCurrentUser:
            return HKEY_CURRENT_USER;
        case RegistryHive::kLocalMachine:
            return HKEY_LOCAL_MACHINE;
        case RegistryHive::kUsers:
            return HKEY_USERS;
        case RegistryHive::kCurrentConfig:
            return HKEY_CURRENT_CONFIG;
    }
    return nullptr;
}

class Win32Key : public RegistryKey {
   public:
    explicit Win32Key(HKEY key) : key_(key) {}
    ~Win32Key() override { RegCloseKey(key_); }

    std::optional<RegistryValue> Read(const std::string& name) override {
        const std::wstring wide = Wide(name);
        for (int attempt = 0; attempt < 4; ++attempt) {
            DWORD type = 0;
            DWORD size = 0;
            if (RegQueryValueExW(key_, wide.c_str(), nullptr, &type, nullptr, &size) !=
                ERROR_SUCCESS) {
                return std::nullopt;
            }
            RegistryValue value;
            value.type = type;
            value.data.resize(size);
            LONG status = RegQueryValueExW(key_, wide.c_str(), nullptr, &type,
                                           value.data.empty() ? nullptr : value.data.data(), &size);
            if (status == ERROR_MORE_DATA) continue;  // grew between the two calls
            if (status != ERROR_SUCCESS) return std::nullopt;
            value.type = type;
            value.data.resize(size);
            return value;
        }
        return std::nullopt;
    }

    bool Write(const std::string& name, std::uint32_t type,
               std::span<const std::uint8_t> data) override {
        return RegSetValueExW(key_, Wide(name).c_str(), 0, type, data.data(),
                              static_cast<DWORD>(data.size())) == ERROR_SUCCESS;
    }

    bool Delete(const std::string& name) override {
        return RegDeleteValueW(key_, Wide(name).c_str()) == ERROR_SUCCESS;
    }

   private:
    HKEY key_;
};

}  // namespace

std::unique_ptr<RegistryKey> OpenRegistryKey(RegistryHive hive, const std::string& path,
                                             bool create) {
    HKEY root = RootOf(hive);
    if (root == nullptr) return nullptr;
    std::string relative = path;
    while (!relative.empty() && relative.front() == '\\') relative.erase(relative.begin());
    HKEY key = nullptr;
    const std::wstring wide = Wide(relative);
    LONG status = 0;
    if (create) {
        status = RegCreateKeyExW(root, wide.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                 KEY_ALL_ACCESS, nullptr, &key, nullptr);
    } else {
        status = RegOpenKeyExW(root, wide.c_str(), 0, KEY_ALL_ACCESS, &key);
    }
    if (status != ERROR_SUCCESS) return nullptr;
    return std::make_unique<Win32Key>(key);
}

}  // namespace zol::platform
