#include "zolShared/Public/Common/zolStringHolder.h"

#include <algorithm>
#include <stdexcept>

#include "platform/system.h"
#include "platform/utf.h"

namespace zol::common {

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string XorWithKey(std::string bytes, std::string_view key) {
    if (key.empty()) return bytes;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<char>(bytes[i] ^ key[i % key.size()]);
    }
    return bytes;
}

// Hex pairs to bytes; conversion stops at the first character that is not a hex digit pair.
std::string HexToBytes(std::string_view hex) {
    std::string out;
    out.reserve(hex.size() / 2);
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        const int high = HexValue(hex[i]);
        const int low = HexValue(hex[i + 1]);
        if (high < 0 || low < 0) break;
        out.push_back(static_cast<char>(high * 16 + low));
    }
    return out;
}

std::string ToAnsi(std::string_view utf8) {
    return platform::Utf16ToAnsi(platform::Utf8ToUtf16(utf8));
}

std::string FromAnsi(std::string_view ansi) {
    return platform::Utf16ToUtf8(platform::AnsiToUtf16(ansi));
}

// Lenient: malformed sequences become U+FFFD.
std::string CleanUtf8(std::string_view bytes) {
    return platform::Utf16ToUtf8(platform::Utf8ToUtf16(bytes));
}

int CompareText(std::string_view a, std::string_view b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        auto lower = [](char c) {
            return static_cast<unsigned char>((c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c);
        };
        if (lower(a[i]) != lower(b[i])) return lower(a[i]) < lower(b[i]) ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

}  // namespace

std::string EncodeHolderLine(std::string_view line, std::string_view key) {
    static constexpr char kHex[] = "0123456789abcdef";
    const std::string bytes = XorWithKey(std::string(line), key);
    std::string out;
    out.reserve(bytes.size() * 2);
    for (char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        out.push_back(kHex[b >> 4]);
        out.push_back(kHex[b & 0x0F]);
    }
    return out;
}

std::string DecodeHolderLine(std::string_view item, std::string_view key, std::int32_t version) {
    if (version >= 2) return CleanUtf8(XorWithKey(HexToBytes(item), key));
    // Versions 0 and 1 kept the key and the lines as 8-bit text of the system code page.
    const std::string key_bytes = ToAnsi(key);
    if (version == 1) return FromAnsi(XorWithKey(HexToBytes(item), key_bytes));
    return FromAnsi(XorWithKey(ToAnsi(item), key_bytes));
}

TzolStrHolder::TzolStrHolder(Component* owner, std::string name)
    : Component(owner, std::move(name)) {}

void TzolStrHolder::Changing() {
    if (!loading_ && OnChanging) OnChanging(*this);
}

void TzolStrHolder::Changed() {
    if (!loading_ && OnChange) OnChange(*this);
}

void TzolStrHolder::SetCapacity(std::size_t capacity) {
    if (capacity > lines_.capacity()) lines_.reserve(capacity);
}

void TzolStrHolder::SetSorted(bool sorted) {
    if (sorted == sorted_) return;
    if (sorted) {
        Changing();
        std::stable_sort(lines_.begin(), lines_.end(),
                         [](const auto& a, const auto& b) { return CompareText(a, b) < 0; });
        sorted_ = true;
        Changed();
    } else {
        sorted_ = false;
    }
}

void TzolStrHolder::SetStrings(std::vector<std::string> lines) {
    Changing();
    {
        // One change for the whole list.
        struct Quiet {
            bool& flag;
            bool before;
            ~Quiet() { flag = before; }
        } quiet{loading_, loading_};
        loading_ = true;
        lines_.clear();
        for (auto& line : lines) Add(std::move(line));
    }
    Changed();
}

std::optional<std::size_t> TzolStrHolder::Find(std::string_view line,
                                               std::size_t& insert_at) const {
    auto it = std::lower_bound(lines_.begin(), lines_.end(), line,
                               [](const auto& a, auto b) { return CompareText(a, b) < 0; });
    insert_at = static_cast<std::size_t>(it - lines_.begin());
    if (it != lines_.end() && CompareText(*it, line) == 0) return insert_at;
    return std::nullopt;
}

std::size_t TzolStrHolder::Add(std::string line) {
    std::size_t index = lines_.size();
    if (sorted_) {
        if (auto existing = Find(line, index)) {
            if (duplicates_ == TDuplicates::dupIgnore) return *existing;
            if (duplicates_ == TDuplicates::dupError) {
                throw std::runtime_error("String list does not allow duplicates");
            }
        }
    }
    Changing();
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(index), std::move(line));
    Changed();
    return index;
}

void TzolStrHolder::Clear() {
    if (lines_.empty()) return;
    Changing();
    lines_.clear();
    Changed();
}

std::string TzolStrHolder::Text() const {
    std::string out;
    for (const auto& line : lines_) out += line + "\r\n";
    return out;
}

void TzolStrHolder::SetText(std::string_view text) {
    std::vector<std::string> lines;
    std::size_t from = 0;
    while (from < text.size()) {
        std::size_t end = text.find_first_of("\r\n", from);
        if (end == std::string_view::npos) end = text.size();
        lines.emplace_back(text.substr(from, end - from));
        from = end + 1;
        if (end < text.size() && text[end] == '\r' && from < text.size() && text[from] == '\n')
            ++from;
    }
    SetStrings(std::move(lines));
}

StrHolderStoredForm TzolStrHolder::WriteStoredForm() const {
    StrHolderStoredForm form;
    form.InternalVer = kInternalVersion;
    if (!lines_.empty() || !key_.empty()) {
        std::vector<std::string> items;
        items.reserve(lines_.size() + 1);
        items.push_back(key_);
        for (const auto& line : lines_) items.push_back(EncodeHolderLine(line, key_));
        form.StrData = std::move(items);
    }
    return form;
}

void TzolStrHolder::ReadStoredForm(const StrHolderStoredForm& form) {
    if (!form.StrData) return;
    const std::int32_t version = form.InternalVer.value_or(0);
    const auto& items = *form.StrData;
    loading_ = true;
    struct Done {
        bool& flag;
        ~Done() { flag = false; }
    } done{loading_};
    key_ = items.empty() ? std::string() : items.front();
    std::vector<std::string> lines;
    for (std::size_t i = 1; i < items.size(); ++i) {
        lines.push_back(DecodeHolderLine(items[i], key_, version));
    }
    SetStrings(std::move(lines));
}

}  // namespace zol::common
