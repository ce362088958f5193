#include "zolShared/Public/Common/zolThreadLists.h"

#include <cstring>
#include <mutex>

namespace zol::common {

std::size_t TThreadStringList::Count() const {
    std::unique_lock<platform::SharedMutex> guard(lock_);
    return lines_.size();
}

void TLogDataList::Unfold(Line& line) {
    if (line.repeats == 0) return;
    line.text += " x" + std::to_string(line.repeats + 1);
    line.repeats = 0;
}

void TLogDataList::AddLine(std::string line) {
    std::unique_lock<platform::SharedMutex> guard(lock_);
    if (!lines_.empty() && lines_.back().text == line) {
        ++lines_.back().repeats;
    } else {
        if (!lines_.empty()) Unfold(lines_.back());
        lines_.push_back(Line{std::move(line), 0});
    }
    while (lines_.size() > capacity_) lines_.pop_front();
}

std::string TLogDataList::Text() {
    std::unique_lock<platform::SharedMutex> guard(lock_);
    if (!lines_.empty()) Unfold(lines_.back());
    std::string text;
    for (const auto& line : lines_) text.append(line.text).append("\r\n");
    return text;
}

std::int32_t TLogDataList::Take(char* buffer, std::int32_t buffer_size, std::int32_t& length) {
    std::unique_lock<platform::SharedMutex> guard(lock_);
    if (!lines_.empty()) Unfold(lines_.back());
    std::string text;
    for (const auto& line : lines_) text.append(line.text).append("\r\n");
    length = static_cast<std::int32_t>(text.size());
    if (buffer_size == 0) {
        lines_.clear();
        return 0;
    }
    if (buffer_size < 0 || buffer == nullptr || text.empty() || buffer_size < length) return 0;
    std::memcpy(buffer, text.data(), text.size());
    lines_.clear();
    return length;
}

void TLogDataList::Clear() {
    std::unique_lock<platform::SharedMutex> guard(lock_);
    lines_.clear();
}

std::string TLogDataList::FormatLine(int severity, std::string_view module_name,
                                     std::string_view text, bool marked) {
    std::string line;
    line.reserve(text.size() + module_name.size() + 3);
    auto lead = static_cast<unsigned char>((severity + 1) & 0x7F);
    if (marked) lead |= 0x80;
    line.push_back(static_cast<char>(lead));
    if (!module_name.empty()) line.append(module_name).append(". ");
    for (char c : text) line.push_back(c == '\r' || c == '\n' ? ' ' : c);
    return line;
}

}  // namespace zol::common
