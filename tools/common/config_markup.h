#pragma once
// The line each element of an options text starts on, and the elements left open or closed by an
// end tag of another name. The plug-in's reader keeps no positions and closes the innermost
// element at any end tag; this scan walks the text by the reader's own tokenising rules, so its
// n-th element is the reader's n-th in depth-first order, and matches end tags by name as XML
// does, to point at the mistake.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace zol::tools {

inline constexpr std::size_t kNoElement = static_cast<std::size_t>(-1);

// One element start, in document order.
struct ScannedElement {
    std::string name;
    std::size_t line = 0;  // 1-based; a line ends at LF, CR LF or a lone CR
};

enum class MarkupProblemKind {
    kNotClosedBefore,  // an element still open when an end tag closed one around it
    kNeverClosed,      // an element still open at the end of the text
    kMismatch,         // an end tag that closes an element of another name
    kStrayClose,       // an end tag with no element open
    kCutOff,           // the text ends inside a tag, comment, declaration or CDATA section
};

// `line` is where the problem shows: an open element's start, an end tag, or where the cut-off
// part starts.
struct MarkupProblem {
    MarkupProblemKind kind;
    std::size_t line;
    std::size_t element;     // the element concerned (index into Markup::elements) or kNoElement
    std::string close_name;  // the end tag's name (not closed before, mismatch, stray)
    std::size_t close_line;  // the end tag's line
    std::string what;        // cut off: what is cut off and what the reader does about it
};

struct Markup {
    std::vector<ScannedElement> elements;  // in the order the reader creates them
    std::vector<MarkupProblem> problems;
};

// Walks `text` as the options-text reader does (the same tokens, depth limit and places to stop).
Markup ScanMarkup(std::string_view text);

}  // namespace zol::tools
