#include "common/config_markup.h"

#include <algorithm>
#include <utility>

#include "parser/options_text.h"
#include "zolShared/Public/Common/component.h"

namespace zol::tools {

namespace {

// Offsets of line starts; a line ends at LF, CR LF or a lone CR.
class LineIndex {
   public:
    explicit LineIndex(std::string_view text) {
        starts_.push_back(0);
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '\n' ||
                (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n')))
                starts_.push_back(i + 1);
        }
    }
    // 1-based line of the character at `offset`.
    std::size_t LineOf(std::size_t offset) const {
        return static_cast<std::size_t>(std::upper_bound(starts_.begin(), starts_.end(), offset) -
                                        starts_.begin());
    }

   private:
    std::vector<std::size_t> starts_;
};

constexpr bool IsBlank(char c) noexcept { return static_cast<unsigned char>(c) <= ' '; }

// The name of a tag body: leading blanks skipped, then up to the next blank (the reader's rule).
std::string_view TagName(std::string_view tag) {
    std::size_t i = 0;
    while (i < tag.size() && IsBlank(tag[i])) ++i;
    const std::size_t start = i;
    while (i < tag.size() && !IsBlank(tag[i])) ++i;
    return tag.substr(start, i - start);
}

}  // namespace

// Walks the text as the reader does (same tokens, same depth limit, same places to stop) and
// records where each element starts. End tags are also matched by name, as XML would, to find
// the elements left open: the reader itself closes the innermost element whatever the name.
Markup ScanMarkup(std::string_view text) {
    Markup out;
    const LineIndex lines(text);
    std::vector<std::size_t> reader_open;  // the reader's open elements (its root not counted)
    std::vector<std::size_t> named_open;   // the same, matched by name
    constexpr std::string_view kCdataStart = "<![CDATA[";
    auto cut_off = [&](std::size_t at, std::string what) {
        out.problems.push_back({MarkupProblemKind::kCutOff,
                                lines.LineOf(at),
                                reader_open.empty() ? kNoElement : reader_open.back(),
                                {},
                                0,
                                std::move(what)});
    };
    std::size_t i = 0;
    while (i < text.size()) {
        const std::size_t lt = text.find('<', i);
        if (lt == std::string_view::npos) break;
        const std::string_view rest = text.substr(lt);
        if (rest.starts_with(kCdataStart)) {
            const std::size_t close = text.find("]]>", lt + kCdataStart.size());
            if (close == std::string_view::npos) {
                cut_off(lt, "the CDATA section that starts here never ends: the rest is its text");
                break;
            }
            i = close + 3;
            continue;
        }
        std::string_view close_mark;
        const char* kind = nullptr;
        if (rest.starts_with("<?")) {
            close_mark = "?>";
            kind = "declaration";
        } else if (rest.starts_with("<!--")) {
            close_mark = "-->";
            kind = "comment";
        }
        if (kind != nullptr) {
            const std::size_t close = text.find(close_mark, lt + 2);
            if (close == std::string_view::npos) {
                cut_off(lt, std::string("the ") + kind +
                                " that starts here never ends: the rest of the text is not read");
                break;
            }
            i = close + close_mark.size();
            continue;
        }
        const std::size_t gt = parser::FindTagEnd(text, lt + 1);
        if (gt == std::string_view::npos) {
            cut_off(lt, "the tag that starts here never ends: the rest of the text is not read");
            break;
        }
        std::string_view tag = text.substr(lt + 1, gt - lt - 1);
        i = gt + 1;
        if (tag.starts_with('!')) continue;
        if (tag.starts_with('/')) {
            const std::string_view name = TagName(tag.substr(1));
            if (!reader_open.empty()) reader_open.pop_back();
            std::size_t match = named_open.size();
            while (match > 0 &&
                   !common::SameTextAscii(out.elements[named_open[match - 1]].name, name)) {
                --match;
            }
            const std::size_t line = lines.LineOf(lt);
            if (match > 0) {
                for (std::size_t k = match; k < named_open.size(); ++k) {
                    out.problems.push_back({MarkupProblemKind::kNotClosedBefore,
                                            out.elements[named_open[k]].line,
                                            named_open[k],
                                            std::string(name),
                                            line,
                                            {}});
                }
                named_open.resize(match - 1);
            } else if (!named_open.empty()) {
                const std::size_t open = named_open.back();
                named_open.pop_back();
                out.problems.push_back(
                    {MarkupProblemKind::kMismatch, line, open, std::string(name), line, {}});
            } else {
                out.problems.push_back({MarkupProblemKind::kStrayClose,
                                        line,
                                        kNoElement,
                                        std::string(name),
                                        line,
                                        {}});
            }
            continue;
        }
        if (reader_open.size() + 1 > parser::kMaxOptionsDepth) {
            cut_off(lt, "elements nested deeper than " + std::to_string(parser::kMaxOptionsDepth) +
                            " levels: the rest of the text is not read");
            break;
        }
        const bool empty_element = tag.ends_with('/');
        if (empty_element) tag.remove_suffix(1);
        out.elements.push_back({std::string(TagName(tag)), lines.LineOf(lt)});
        if (!empty_element) {
            reader_open.push_back(out.elements.size() - 1);
            named_open.push_back(out.elements.size() - 1);
        }
    }
    for (const std::size_t open : named_open) {
        out.problems.push_back(
            {MarkupProblemKind::kNeverClosed, out.elements[open].line, open, {}, 0, {}});
    }
    return out;
}

}  // namespace zol::tools
