#include "zolShared/Private/Plugins/zolPluginCustomCmd.h"

namespace zol::plugins {

void TzolPluginCustomCmdList::AddFromText(std::string_view text) {
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find_first_of("\r\n", start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        start = end + 1;
        if (line.empty()) continue;
        std::vector<std::string_view> fields;
        std::size_t from = 0;
        for (;;) {
            std::size_t bar = line.find('|', from);
            fields.push_back(line.substr(from, bar == std::string_view::npos ? bar : bar - from));
            if (bar == std::string_view::npos) break;
            from = bar + 1;
        }
        if (fields.size() < 5) continue;
        items_.push_back(TzolPluginCustomCmd{std::string(fields[0]), std::string(fields[1]),
                                             std::string(fields[2]), fields[3] == "1",
                                             fields[4] == "1"});
    }
}

std::string TzolPluginCustomCmdList::Text() const {
    std::string text;
    for (const auto& c : items_) {
        text.append(c.Command).append("|").append(c.Text1).append("|").append(c.Text2);
        text.append(c.Flag1 ? "|1" : "|0").append(c.Flag2 ? "|1" : "|0").append("\r\n");
    }
    return text;
}

}  // namespace zol::plugins
