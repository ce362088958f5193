#include "parser/options_text.h"

#include <limits>
#include <utility>

#include "zolShared/Public/Common/hex_text.h"

namespace zol::parser {
namespace {

constexpr char ToLowerAscii(char c) noexcept {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameNameIgnoringCase(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (ToLowerAscii(a[i]) != ToLowerAscii(b[i])) return false;
    }
    return true;
}

constexpr bool IsBlank(char c) noexcept { return static_cast<unsigned char>(c) <= ' '; }

// The five predefined entities; any other "&" stays as it is.
std::string DecodeEntities(std::string_view text) {
    static constexpr std::pair<std::string_view, char> kEntities[] = {
        {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&apos;", '\''}, {"&quot;", '"'}};
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        bool decoded = false;
        if (text[i] == '&') {
            for (const auto& [entity, c] : kEntities) {
                if (text.substr(i, entity.size()) == entity) {
                    out.push_back(c);
                    i += entity.size();
                    decoded = true;
                    break;
                }
            }
        }
        if (!decoded) out.push_back(text[i++]);
    }
    return out;
}

// Text between tags: a line break (CR LF, or a lone CR or LF) and a tab each become one space, the
// ends are trimmed, entities decoded.
std::string CleanText(std::string_view raw) {
    std::string spaced;
    spaced.reserve(raw.size());
    for (std::size_t i = 0; i < raw.size(); ++i) {
        const char c = raw[i];
        if (c == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') ++i;
        spaced.push_back(c == '\r' || c == '\n' || c == '\t' ? ' ' : c);
    }
    std::size_t first = 0;
    std::size_t last = spaced.size();
    while (first < last && IsBlank(spaced[first])) ++first;
    while (last > first && IsBlank(spaced[last - 1])) --last;
    return DecodeEntities(std::string_view(spaced).substr(first, last - first));
}

// CDATA content is taken literally except for the tree's own escapes: backslash, "n", space for a
// line break and backslash, "t", space for a tab.
std::string DecodeCdata(std::string_view raw) {
    std::string out;
    out.reserve(raw.size());
    for (std::size_t i = 0; i < raw.size();) {
        if (raw[i] == '\\' && i + 2 < raw.size() && raw[i + 2] == ' ') {
            if (raw[i + 1] == 'n') {
                out += "\r\n";
                i += 3;
                continue;
            }
            if (raw[i + 1] == 't') {
                out.push_back('\t');
                i += 3;
                continue;
            }
        }
        out.push_back(raw[i++]);
    }
    return out;
}

// Name and attributes of a tag body (without "<", ">" and a closing "/").
OptionsElement ElementFromTag(std::string_view tag) {
    OptionsElement element;
    std::size_t i = 0;
    while (i < tag.size() && IsBlank(tag[i])) ++i;
    const std::size_t name_start = i;
    while (i < tag.size() && !IsBlank(tag[i])) ++i;
    element.name = std::string(tag.substr(name_start, i - name_start));
    while (i < tag.size()) {
        while (i < tag.size() && IsBlank(tag[i])) ++i;
        if (i >= tag.size()) break;
        const std::size_t attr_start = i;
        while (i < tag.size() && !IsBlank(tag[i]) && tag[i] != '=') ++i;
        OptionsAttribute attribute;
        attribute.name = std::string(tag.substr(attr_start, i - attr_start));
        while (i < tag.size() && IsBlank(tag[i])) ++i;
        if (i < tag.size() && tag[i] == '=') {
            ++i;
            while (i < tag.size() && IsBlank(tag[i])) ++i;
            if (i < tag.size() && (tag[i] == '"' || tag[i] == '\'')) {
                const char quote = tag[i++];
                const std::size_t value_start = i;
                while (i < tag.size() && tag[i] != quote) ++i;
                attribute.value = DecodeEntities(tag.substr(value_start, i - value_start));
                if (i < tag.size()) ++i;
            } else {
                const std::size_t value_start = i;
                while (i < tag.size() && !IsBlank(tag[i])) ++i;
                attribute.value = DecodeEntities(tag.substr(value_start, i - value_start));
            }
        }
        if (!attribute.name.empty()) element.attributes.push_back(std::move(attribute));
    }
    return element;
}

const OptionsElement* FindSelfOrDescendant(const OptionsElement& element,
                                           std::string_view name) noexcept {
    if (SameNameIgnoringCase(element.name, name)) return &element;
    return element.FindDescendant(name);
}

}  // namespace

// Position of the ">" that ends the tag starting at `from`, skipping quoted parts; npos when the
// tag never ends.
std::size_t FindTagEnd(std::string_view text, std::size_t from) noexcept {
    char quote = 0;
    for (std::size_t i = from; i < text.size(); ++i) {
        const char c = text[i];
        if (quote != 0) {
            if (c == quote) quote = 0;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '>') {
            return i;
        }
    }
    return std::string_view::npos;
}

const OptionsElement* OptionsElement::FindDescendant(std::string_view element_name) const noexcept {
    for (const auto& child : children) {
        if (SameNameIgnoringCase(child.name, element_name)) return &child;
        if (const auto* found = child.FindDescendant(element_name)) return found;
    }
    return nullptr;
}

const OptionsElement* OptionsElement::FindChild(std::string_view element_name) const noexcept {
    for (const auto& child : children) {
        if (SameNameIgnoringCase(child.name, element_name)) return &child;
    }
    return nullptr;
}

std::optional<std::string_view> OptionsElement::Attribute(
    std::string_view attribute_name) const noexcept {
    for (const auto& attribute : attributes) {
        if (attribute.name == attribute_name) return std::string_view(attribute.value);
    }
    return std::nullopt;
}

OptionsDocument ReadOptionsText(std::string_view text) {
    OptionsDocument document;
    document.root.name = "root";
    // The open elements, innermost last. Children are only ever added to the innermost one, so
    // the pointers to the outer ones stay valid.
    std::vector<OptionsElement*> open{&document.root};
    constexpr std::string_view kCdataStart = "<![CDATA[";
    std::size_t i = 0;
    while (i < text.size()) {
        const std::size_t lt = text.find('<', i);
        const std::size_t text_end = lt == std::string_view::npos ? text.size() : lt;
        if (text_end > i) {
            std::string between = CleanText(text.substr(i, text_end - i));
            if (!between.empty()) open.back()->text = std::move(between);
        }
        if (lt == std::string_view::npos) break;
        const std::string_view rest = text.substr(lt);

        if (rest.starts_with(kCdataStart)) {
            const std::size_t content = lt + kCdataStart.size();
            std::size_t close = text.find("]]>", content);
            if (close == std::string_view::npos) {
                document.truncated = true;
                close = text.size();
            }
            open.back()->text = DecodeCdata(text.substr(content, close - content));
            i = close + 3;
            continue;
        }
        // Declarations and comments are not elements.
        std::string_view close_mark;
        if (rest.starts_with("<?")) {
            close_mark = "?>";
        } else if (rest.starts_with("<!--")) {
            close_mark = "-->";
        }
        if (!close_mark.empty()) {
            const std::size_t close = text.find(close_mark, lt + 2);
            if (close == std::string_view::npos) {
                document.truncated = true;
                break;
            }
            i = close + close_mark.size();
            continue;
        }

        const std::size_t gt = FindTagEnd(text, lt + 1);
        if (gt == std::string_view::npos) {
            document.truncated = true;
            break;
        }
        std::string_view tag = text.substr(lt + 1, gt - lt - 1);
        i = gt + 1;
        if (tag.starts_with('!')) continue;  // a document type or other markup declaration
        if (tag.starts_with('/')) {
            // Closes the open element whatever name it gives; the root is never closed.
            if (open.size() > 1) open.pop_back();
            continue;
        }
        if (open.size() > kMaxOptionsDepth) {
            document.truncated = true;
            break;
        }
        const bool empty_element = tag.ends_with('/');
        if (empty_element) tag.remove_suffix(1);
        OptionsElement* parent = open.back();
        parent->children.push_back(ElementFromTag(tag));
        if (!empty_element) open.push_back(&parent->children.back());
    }
    return document;
}

std::optional<std::int32_t> ParseOptionsInteger(std::string_view text) noexcept {
    if (text.empty()) return std::nullopt;
    if (text.front() == '$') {
        auto value = common::ParseDigits32(text.substr(1), 16);
        if (!value) return std::nullopt;
        return static_cast<std::int32_t>(*value);
    }
    bool negative = false;
    if (text.front() == '-' || text.front() == '+') {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) return std::nullopt;
    const std::int64_t limit =
        negative ? -static_cast<std::int64_t>(std::numeric_limits<std::int32_t>::min())
                 : std::numeric_limits<std::int32_t>::max();
    std::int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
        if (value > limit) return std::nullopt;
    }
    return static_cast<std::int32_t>(negative ? -value : value);
}

std::string OptionsTextValue(const OptionsElement& element, std::string_view name,
                             std::string_view fallback) {
    const auto* found = FindSelfOrDescendant(element, name);
    return found != nullptr ? found->text : std::string(fallback);
}

std::int32_t OptionsIntegerValue(const OptionsElement& element, std::string_view name,
                                 std::int32_t fallback) {
    const auto* found = FindSelfOrDescendant(element, name);
    if (found == nullptr) return fallback;
    return ParseOptionsInteger(found->text).value_or(fallback);
}

bool OptionsBooleanValue(const OptionsElement& element, std::string_view name, bool fallback) {
    const auto* found = FindSelfOrDescendant(element, name);
    if (found == nullptr) return fallback;
    if (!found->text.empty()) return found->text == "1";
    const auto check = found->Attribute("check");
    if (!check) return fallback;
    switch (ParseOptionsInteger(*check).value_or(-1)) {
        case 2:
            return true;
        case 0:
        case 1:
        case 3:
        case 5:
            return false;
        default:
            return fallback;  // 4 and anything unknown say nothing about the state
    }
}

std::string OptionsCaption(const OptionsElement& entry, std::string_view name, int position) {
    const auto caption = entry.Attribute("caption");
    if (caption && !caption->empty()) return std::string(*caption);
    return std::string(name) + " #" + std::to_string(position);
}

}  // namespace zol::parser
