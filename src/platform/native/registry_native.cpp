// Native stand-in of the registry: one in-memory tree per process. Key paths and value names are
// compared without regard to ASCII case, as the registry does.
#include "platform/native/registry_native.h"

#include <array>
#include <map>
#include <mutex>
#include <set>

namespace zol::platform {

namespace {

std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

// "\A\\b\" -> "a\b": no empty segments, lower case.
std::string NormalPath(std::string_view path) {
    std::string out;
    std::size_t from = 0;
    while (from <= path.size()) {
        std::size_t at = path.find('\\', from);
        if (at == std::string_view::npos) at = path.size();
        if (at > from) {
            if (!out.empty()) out.push_back('\\');
            out += Lower(path.substr(from, at - from));
        }
        from = at + 1;
    }
    return out;
}

struct Hive {
    bool writable = true;
    std::set<std::string> keys{""};
    std::map<std::string, std::map<std::string, RegistryValue>> values;  // key -> name -> value
};

struct Registry {
    std::mutex lock;
    std::array<Hive, 5> hives;
};

Registry& TheRegistry() {
    static Registry registry;
    return registry;
}

class NativeKey : public RegistryKey {
   public:
    NativeKey(RegistryHive hive, std::string path) : hive_(hive), path_(std::move(path)) {}

    std::optional<RegistryValue> Read(const std::string& name) override {
        auto& r = TheRegistry();
        std::lock_guard<std::mutex> guard(r.lock);
        auto& values = r.hives[static_cast<std::size_t>(hive_)].values;
        auto key = values.find(path_);
        if (key == values.end()) return std::nullopt;
        auto value = key->second.find(Lower(name));
        if (value == key->second.end()) return std::nullopt;
        return value->second;
    }

    bool Write(const std::string& name, std::uint32_t type,
               std::span<const std::uint8_t> data) override {
        auto& r = TheRegistry();
        std::lock_guard<std::mutex> guard(r.lock);
        auto& hive = r.hives[static_cast<std::size_t>(hive_)];
        if (!hive.writable || hive.keys.count(path_) == 0) return false;
        hive.values[path_][Lower(name)] = RegistryValue{type, {data.begin(), data.end()}};
        return true;
    }

    bool Delete(const std::string& name) override {
        auto& r = TheRegistry();
        std::lock_guard<std::mutex> guard(r.lock);
        auto& hive = r.hives[static_cast<std::size_t>(hive_)];
        if (!hive.writable) return false;
        auto key = hive.values.find(path_);
        return key != hive.values.end() && key->second.erase(Lower(name)) > 0;
    }

   private:
    RegistryHive hive_;
    std::string path_;
};

}  // namespace

std::unique_ptr<RegistryKey> OpenRegistryKey(RegistryHive hive, const std::string& path,
                                             bool create) {
    auto& r = TheRegistry();
    std::lock_guard<std::mutex> guard(r.lock);
    auto& h = r.hives[static_cast<std::size_t>(hive)];
    const std::string normal = NormalPath(path);
    if (!h.writable) return nullptr;
    if (h.keys.count(normal) == 0) {
        if (!create) return nullptr;
        // Every key on the way exists afterwards, as with RegCreateKeyEx.
        for (std::size_t at = normal.find('\\'); at != std::string::npos;
             at = normal.find('\\', at + 1)) {
            h.keys.insert(normal.substr(0, at));
        }
        h.keys.insert(normal);
    }
    return std::make_unique<NativeKey>(hive, normal);
}

namespace native {

void ResetRegistry() {
    auto& r = TheRegistry();
    std::lock_guard<std::mutex> guard(r.lock);
    for (auto& hive : r.hives) hive = Hive{};
}

void SetRegistryHiveWritable(RegistryHive hive, bool writable) {
    auto& r = TheRegistry();
    std::lock_guard<std::mutex> guard(r.lock);
    r.hives[static_cast<std::size_t>(hive)].writable = writable;
}

bool RegistryKeyExists(RegistryHive hive, const std::string& path) {
    auto& r = TheRegistry();
    std::lock_guard<std::mutex> guard(r.lock);
    return r.hives[static_cast<std::size_t>(hive)].keys.count(NormalPath(path)) > 0;
}

}  // namespace native

}  // namespace zol::platform
