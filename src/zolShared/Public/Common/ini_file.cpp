#include "zolShared/Public/Common/ini_file.h"

#include <type_traits>

#include "platform/utf.h"
#include "zolShared/Public/Common/component.h"

namespace zol::common {

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr std::string_view kUtf16LeMark = "\xFF\xFE";
constexpr std::string_view kUtf16BeMark = "\xFE\xFF";

std::string_view Trim(std::string_view text) {
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\0'; };
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    return text;
}

// The trimmed key and value of a key line ("key=value"); nothing for a comment or other line.
std::optional<std::pair<std::string_view, std::string_view>> EntryOf(std::string_view trimmed) {
    if (trimmed.empty() || trimmed.front() == ';' || trimmed.front() == '#') return std::nullopt;
    const auto equals = trimmed.find('=');
    if (equals == std::string_view::npos) return std::nullopt;
    return std::pair{Trim(trimmed.substr(0, equals)), Trim(trimmed.substr(equals + 1))};
}

IniDocument::Line MakeLine(std::string_view raw) {
    IniDocument::Line line;
    line.text = std::string(raw);
    const auto entry = EntryOf(Trim(raw));
    if (!entry) return line;
    line.is_entry = true;
    line.key = std::string(entry->first);
    line.value_at = static_cast<std::size_t>(entry->second.data() - raw.data());
    line.value_size = entry->second.size();
    return line;
}

// The file's bytes as text: the form it is held in, and its lines from the first (past a UTF-8
// mark). A UTF-16 file's text is converted into `utf8`.
std::string_view DecodeText(std::string_view bytes, std::string& utf8, IniTextForm& form,
                            bool& byte_order_mark) {
    form = IniTextForm::kCodePage;
    byte_order_mark = false;
    if (bytes.starts_with(kUtf16LeMark) || bytes.starts_with(kUtf16BeMark)) {
        const bool big_endian = bytes.starts_with(kUtf16BeMark);
        form = big_endian ? IniTextForm::kUtf16Be : IniTextForm::kUtf16Le;
        utf8 = platform::Utf16ToUtf8(platform::Utf16FromBytes(bytes.substr(2), big_endian));
        return utf8;
    }
    if (bytes.starts_with(kByteOrderMark)) {
        byte_order_mark = true;
        bytes.remove_prefix(kByteOrderMark.size());
    }
    return bytes;
}

// Calls `section(name)` for each section line and `line(trimmed)` for every other line that is
// not empty, in file order. Both the document and the plain reader see a file through this, so
// they cannot disagree on what a line is.
template <typename OnSection, typename OnLine>
void ForEachLine(std::string_view text, OnSection&& section, OnLine&& line) {
    std::size_t from = 0;
    while (from < text.size()) {
        std::size_t end = text.find_first_of("\r\n", from);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view raw = text.substr(from, end - from);
        from = end + 1;
        if (end < text.size() && text[end] == '\r' && from < text.size() && text[from] == '\n')
            ++from;
        std::string_view trimmed = Trim(raw);
        // Byte-order marks at the start of a line (UTF-8, or the bytes of a UTF-16 one) are
        // dropped: written back at the top of the file, they would be taken for the file's own.
        for (;;) {
            if (trimmed.starts_with(kByteOrderMark)) {
                trimmed = Trim(trimmed.substr(kByteOrderMark.size()));
            } else if (trimmed.starts_with(kUtf16LeMark) || trimmed.starts_with(kUtf16BeMark)) {
                trimmed = Trim(trimmed.substr(2));
            } else {
                break;
            }
        }
        if (trimmed.empty()) continue;
        if (trimmed.size() >= 2 && trimmed.front() == '[' && trimmed.back() == ']') {
            section(Trim(trimmed.substr(1, trimmed.size() - 2)));
        } else if constexpr (std::is_void_v<std::invoke_result_t<OnLine&, std::string_view>>) {
            line(trimmed);
        } else if (!line(trimmed)) {
            return;  // the reader has what it looked for
        }
    }
}

}  // namespace

IniDocument IniDocument::Parse(std::string_view bytes) {
    IniDocument doc;
    std::string utf8;
    const std::string_view text = DecodeText(bytes, utf8, doc.text_form_, doc.byte_order_mark_);
    Section* current = nullptr;
    ForEachLine(
        text,
        [&](std::string_view name) {
            current = doc.FindSection(name);
            if (current == nullptr) {
                doc.sections_.push_back(Section{std::string(name), {}});
                current = &doc.sections_.back();
            }
        },
        [&](std::string_view trimmed) {
            if (current == nullptr) {
                doc.preamble_.emplace_back(trimmed);
            } else {
                current->lines.push_back(MakeLine(trimmed));
            }
        });
    return doc;
}

std::string IniDocument::Serialize() const {
    std::string out;
    if (byte_order_mark_) out += kByteOrderMark;
    for (const auto& line : preamble_) out += line + "\r\n";
    if (!preamble_.empty()) out += "\r\n";
    for (const auto& section : sections_) {
        bool has_entries = false;
        for (const auto& line : section.lines) has_entries = has_entries || line.is_entry;
        if (!has_entries) continue;
        out += "[" + section.name + "]\r\n";
        for (const auto& line : section.lines) out += line.text + "\r\n";
        out += "\r\n";
    }
    if (text_form_ == IniTextForm::kCodePage) return out;
    const bool big_endian = text_form_ == IniTextForm::kUtf16Be;
    return std::string(big_endian ? kUtf16BeMark : kUtf16LeMark) +
           platform::Utf16ToBytes(platform::Utf8ToUtf16(out), big_endian);
}

IniDocument::Section* IniDocument::FindSection(std::string_view name) {
    for (auto& section : sections_) {
        if (SameTextAscii(section.name, name)) return &section;
    }
    return nullptr;
}

const IniDocument::Section* IniDocument::FindSection(std::string_view name) const {
    for (const auto& section : sections_) {
        if (SameTextAscii(section.name, name)) return &section;
    }
    return nullptr;
}

std::optional<std::string_view> IniDocument::Read(std::string_view section,
                                                  std::string_view key) const {
    const Section* s = FindSection(section);
    if (s == nullptr) return std::nullopt;
    for (const auto& line : s->lines) {
        if (line.is_entry && SameTextAscii(line.key, key)) return line.Value();
    }
    return std::nullopt;
}

void IniDocument::Write(std::string_view section, std::string_view key, std::string_view value) {
    const std::string text = std::string(key) + "=" + std::string(value);
    Section* s = FindSection(section);
    if (s == nullptr) {
        sections_.push_back(Section{std::string(section), {}});
        s = &sections_.back();
    }
    for (auto& line : s->lines) {
        if (!line.is_entry || !SameTextAscii(line.key, key)) continue;
        // The key keeps the spelling the file has.
        const std::string replaced = line.key + "=" + std::string(value);
        if (line.text != replaced) {
            line = MakeLine(replaced);
            changed_ = true;
        }
        return;
    }
    s->lines.push_back(MakeLine(text));
    changed_ = true;
}

void IniDocument::Remove(std::string_view section, std::string_view key) {
    Section* s = FindSection(section);
    if (s == nullptr) return;
    for (auto it = s->lines.begin(); it != s->lines.end();) {
        if (it->is_entry && SameTextAscii(it->key, key)) {
            it = s->lines.erase(it);
            changed_ = true;
        } else {
            ++it;
        }
    }
}

IniText::IniText(std::string bytes) : bytes_(std::move(bytes)) {
    bool byte_order_mark = false;
    text_ = DecodeText(bytes_, utf8_, text_form_, byte_order_mark);
}

std::optional<std::string_view> IniText::Read(std::string_view section,
                                              std::string_view key) const {
    // Lines of a section named twice count as one section, in file order: the first matching
    // key line anywhere in it is the value, as the document reads it.
    bool inside = false;
    std::optional<std::string_view> found;
    ForEachLine(
        text_, [&](std::string_view name) { inside = SameTextAscii(name, section); },
        [&](std::string_view trimmed) {
            if (!inside) return true;
            const auto entry = EntryOf(trimmed);
            if (!entry || !SameTextAscii(entry->first, key)) return true;
            found = entry->second;
            return false;
        });
    return found;
}

}  // namespace zol::common
