#pragma once
// The log store of an instance: lines of text guarded by a readers-writer lock, with repeated
// lines folded into one ("... x3") and a fixed capacity that drops the oldest lines first.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <shared_mutex>
#include <string>
#include <string_view>

#include "platform/shared_mutex.h"

namespace zol::common {

// A list of text lines guarded by a readers-writer lock.
class TThreadStringList {
   public:
    std::size_t Count() const;

   protected:
    struct Line {
        std::string text;
        std::uint32_t repeats = 0;  // further occurrences of the same text, folded into it
    };
    mutable platform::SharedMutex lock_;
    std::deque<Line> lines_;
};

class TLogDataList : public TThreadStringList {
   public:
    static constexpr std::size_t kCapacity = 51200;

    explicit TLogDataList(std::size_t capacity = kCapacity) : capacity_(capacity) {}

    // Adds a finished log line, folding it into the last line when the text is the same.
    void AddLine(std::string line);

    // The whole log as text, each line followed by CR LF; a folded last line carries its
    // " xN" suffix (written once, however often the text is taken).
    std::string Text();

    // GetLogEx's rules: reports the text's length in `length`. buffer_size 0 empties the log and
    // returns 0; a buffer of at least the length (with non-empty text) receives the text, the log
    // is emptied and the length returned; a smaller buffer gets nothing and the log is kept.
    std::int32_t Take(char* buffer, std::int32_t buffer_size, std::int32_t& length);

    void Clear();

    // Builds a log line: a leading character (severity + 1, bit 7 for a marked entry), the short
    // module name and ". " when there is one, then the text with CR and LF replaced by blanks.
    static std::string FormatLine(int severity, std::string_view module_name, std::string_view text,
                                  bool marked = false);

   private:
    static void Unfold(Line& line);
    std::size_t capacity_;
};

}  // namespace zol::common
