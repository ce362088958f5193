#include "zolShared/Public/Common/zolThreadLists.h"

#include <algorithm>
#include <cstring>
#include <limits>
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
    std::size_t total = 0;
    for (const auto& line : lines_) total += line.text.size() + 2;
    std::string text;
    text.reserve(total);
    for (const auto& line : lines_) text.append(line.text).append("\r\n");
    return text;
}

std::int32_t TLogDataList::Take(char* buffer, std::int32_t buffer_size, std::int32_t& length) {
    // The lines go straight into the host's buffer: the host asks first with a small buffer for
    // the length, then again, and a text built for each call would be a block of the log's whole
    // size, grown piece by piece, made and freed twice per collection for as long as the
    // plug-in runs.
    std::unique_lock<platform::SharedMutex> guard(lock_);
    if (!lines_.empty()) Unfold(lines_.back());
    std::size_t total = 0;
    for (const auto& line : lines_) total += line.text.size() + 2;
    constexpr auto kMost = static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());
    length = static_cast<std::int32_t>(std::min(total, kMost));
    if (buffer_size == 0) {
        lines_.clear();
        return 0;
    }
    if (buffer_size < 0 || buffer == nullptr || total == 0 || total > kMost ||
        static_cast<std::size_t>(buffer_size) < total) {
        return 0;
    }
    char* out = buffer;
    for (const auto& line : lines_) {
        std::memcpy(out, line.text.data(), line.text.size());
        out += line.text.size();
        *out++ = '\r';
        *out++ = '\n';
    }
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
