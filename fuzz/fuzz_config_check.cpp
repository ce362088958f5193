// Fuzz target for the configuration check of the field tools. The first byte picks the catalogue;
// the rest, copied to its own allocation, is the options text. Besides crashes and sanitizer
// reports it fails when the check's own scan of element starts disagrees with the plug-in's
// reader (the lines of the findings would then be wrong) or when a finding is not one line.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/config_check.h"
#include "common/config_markup.h"
#include "parser/options_text.h"

namespace {

void PreOrder(const zol::parser::OptionsElement& element,
              std::vector<const zol::parser::OptionsElement*>& out) {
    out.push_back(&element);
    for (const auto& child : element.children) PreOrder(child, out);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const auto catalogue =
        (data[0] & 1) != 0 ? zol::kmp::KmpCatalogue::kElectricity : zol::kmp::KmpCatalogue::kHeat;
    auto copy = std::make_unique<char[]>(size - 1);
    for (std::size_t i = 1; i < size; ++i) copy[i - 1] = static_cast<char>(data[i]);
    const std::string_view text(copy.get(), size - 1);

    const auto document = zol::parser::ReadOptionsText(text);
    std::vector<const zol::parser::OptionsElement*> tree;
    for (const auto& child : document.root.children) PreOrder(child, tree);
    const auto scanned = zol::tools::ScanMarkup(text).elements;
    if (scanned.size() != tree.size()) std::abort();
    for (std::size_t i = 0; i < tree.size(); ++i) {
        if (scanned[i].name != tree[i]->name) std::abort();
        if (i > 0 && scanned[i].line < scanned[i - 1].line) std::abort();
    }

    for (const auto& finding : zol::tools::CheckOptionsText(text, catalogue)) {
        const std::string line = zol::tools::FindingLine(finding);
        if (line.find_first_of("\r\n") != std::string::npos) std::abort();
    }
    return 0;
}
