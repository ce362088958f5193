#pragma once
// The string holder `TzolStrHolder`: a component that owns one string list, kept in the module's
// stored form under the extra properties InternalVer and StrData. StrData's first item is the
// KeyString; every further item is one line, written as lower-case hex of its UTF-8 bytes XORed
// with the key's UTF-8 bytes (InternalVer 2). Older stored forms (InternalVer 0 or 1) are read too.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "zolShared/Public/Common/component.h"

namespace zol::common {

enum class TDuplicates : std::uint8_t { dupIgnore, dupAccept, dupError };

// The holder's two extra stored properties, each absent or present.
struct StrHolderStoredForm {
    std::optional<std::int32_t> InternalVer;
    std::optional<std::vector<std::string>> StrData;
};

// Line <-> stored item of StrData for each stored version; never fail. Texts are UTF-8.
std::string EncodeHolderLine(std::string_view line, std::string_view key);  // version 2
std::string DecodeHolderLine(std::string_view item, std::string_view key, std::int32_t version);

class TzolStrHolder : public Component {
   public:
    explicit TzolStrHolder(Component* owner = nullptr, std::string name = {});

    static constexpr std::int32_t kInternalVersion = 2;

    // --- Published properties ----------------------------------------------------------------
    std::size_t Capacity() const noexcept { return lines_.capacity(); }
    void SetCapacity(std::size_t capacity);
    TDuplicates Duplicates() const noexcept { return duplicates_; }
    void SetDuplicates(TDuplicates duplicates) noexcept { duplicates_ = duplicates; }
    const std::string& KeyString() const noexcept { return key_; }
    void SetKeyString(std::string key) { key_ = std::move(key); }
    bool Sorted() const noexcept { return sorted_; }
    void SetSorted(bool sorted);
    const std::vector<std::string>& Strings() const noexcept { return lines_; }
    void SetStrings(std::vector<std::string> lines);
    // Fired before and after every change of the list, except while the holder is loaded.
    std::function<void(TzolStrHolder&)> OnChanging;
    std::function<void(TzolStrHolder&)> OnChange;

    // --- The list ----------------------------------------------------------------------------
    std::size_t Count() const noexcept { return lines_.size(); }
    // Adds a line (at its sorted place when Sorted). In a sorted list an existing line is
    // ignored (dupIgnore), added (dupAccept) or refused with an exception (dupError). Returns
    // the line's index.
    std::size_t Add(std::string line);
    void Clear();
    // The lines joined with CR LF after each.
    std::string Text() const;
    // Replaces the list with the lines of `text` (CR LF, LF or CR).
    void SetText(std::string_view text);

    // --- Stored form -------------------------------------------------------------------------
    StrHolderStoredForm WriteStoredForm() const;
    void ReadStoredForm(const StrHolderStoredForm& form);

   private:
    void Changing();
    void Changed();
    std::optional<std::size_t> Find(std::string_view line, std::size_t& insert_at) const;

    std::vector<std::string> lines_;
    std::string key_;
    TDuplicates duplicates_ = TDuplicates::dupIgnore;
    bool sorted_ = false;
    bool loading_ = false;
};

}  // namespace zol::common
