#pragma once
// The options text: the XML that the options dialog's property tree writes (root element QUERY,
// one child element per request) and that the request configuration is read from. This is a
// small, forgiving reader rather than a validating XML parser: it accepts what the tree writes
// and never fails on anything else, it only reads less.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zol::parser {

struct OptionsAttribute {
    std::string name;
    std::string value;
};

// One element: its name, its text (the last non-empty text met while it was open), its
// attributes in document order and its children in document order.
struct OptionsElement {
    std::string name;
    std::string text;
    std::vector<OptionsAttribute> attributes;
    std::vector<OptionsElement> children;

    // First element of that name below this one, depth first (each child, then its
    // descendants, before the next child); names compared without regard to ASCII case.
    const OptionsElement* FindDescendant(std::string_view element_name) const noexcept;
    // First direct child of that name, without regard to ASCII case.
    const OptionsElement* FindChild(std::string_view element_name) const noexcept;
    // Value of the first attribute of exactly that name.
    std::optional<std::string_view> Attribute(std::string_view attribute_name) const noexcept;
};

// Nesting deeper than this is not read: the text is cut there (see OptionsDocument::truncated).
inline constexpr std::size_t kMaxOptionsDepth = 256;

struct OptionsDocument {
    // Named "root"; the document's elements are its children.
    OptionsElement root;
    // True when reading stopped early: an unterminated tag or a nesting deeper than
    // kMaxOptionsDepth. Everything before that point is in the tree.
    bool truncated = false;
};

// Reads a text into a tree. Never throws on bad input; what cannot be read is left out.
OptionsDocument ReadOptionsText(std::string_view text);

// Typed getters. Each looks at `element` itself when its own name matches `name`, otherwise at
// the first descendant of that name, and returns `fallback` when there is none.

// The element's text.
std::string OptionsTextValue(const OptionsElement& element, std::string_view name,
                             std::string_view fallback);
// The element's text as a 32-bit integer: optional sign and decimal digits, or "$" and up to
// eight hexadecimal digits (taken as the 32-bit pattern). Anything else gives `fallback`.
std::int32_t OptionsIntegerValue(const OptionsElement& element, std::string_view name,
                                 std::int32_t fallback);
// A check box: with text, true exactly when the text is "1"; without text, the attribute "check"
// (a check state) decides: 2 is true, 0, 1, 3 and 5 are false, anything else keeps `fallback`.
bool OptionsBooleanValue(const OptionsElement& element, std::string_view name, bool fallback);
// The title of an entry: its attribute "caption", or when that is empty `name` + " #" +
// `position` (the third untitled request is "Request #3").
std::string OptionsCaption(const OptionsElement& entry, std::string_view name, int position);

// Reads a whole text as an integer by the rule of OptionsIntegerValue.
std::optional<std::int32_t> ParseOptionsInteger(std::string_view text) noexcept;

// Position of the ">" that ends the tag starting at `from`, skipping quoted parts; npos when the
// tag never ends. The reader's rule, shared with tools that scan the same text.
std::size_t FindTagEnd(std::string_view text, std::size_t from) noexcept;

}  // namespace zol::parser
