#pragma once
// Custom commands a module declares for the host: stored and returned as text, one entry per
// line, five "|"-separated fields (Command, Text1, Text2, Flag1, Flag2), lines ending in CR LF.

#include <string>
#include <string_view>
#include <vector>

namespace zol::plugins {

struct TzolPluginCustomCmd {
    std::string Command;
    std::string Text1;
    std::string Text2;
    bool Flag1 = false;
    bool Flag2 = false;
};

class TzolPluginCustomCmdList {
   public:
    // Appends the entries of `text`; empty lines and lines with fewer than five fields are
    // skipped, and a flag is true only when its field is exactly "1".
    void AddFromText(std::string_view text);
    std::string Text() const;
    const std::vector<TzolPluginCustomCmd>& Items() const noexcept { return items_; }
    void Clear() { items_.clear(); }

   private:
    std::vector<TzolPluginCustomCmd> items_;
};

}  // namespace zol::plugins
