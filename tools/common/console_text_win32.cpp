// WriteText on Windows: UTF-16 to a console, bytes to anything else.
#include <io.h>
#include <windows.h>

#include <algorithm>

#include "common/text_encoding.h"
#include "platform/utf.h"

namespace zol::tools {

void WriteText(std::FILE* stream, std::string_view utf8) {
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    DWORD mode = 0;
    if (handle == INVALID_HANDLE_VALUE || GetConsoleMode(handle, &mode) == 0) {
        std::fwrite(utf8.data(), 1, utf8.size(), stream);
        return;
    }
    // What the stream still holds goes first, so lines keep their order.
    std::fflush(stream);
    const std::u16string wide = platform::Utf8ToUtf16(utf8);
    const auto* at = reinterpret_cast<const wchar_t*>(wide.data());
    std::size_t left = wide.size();
    while (left > 0) {
        // The console takes a limited amount per call; a short write goes on from where it ended.
        const auto chunk = static_cast<DWORD>(std::min<std::size_t>(left, 8192));
        DWORD written = 0;
        if (!WriteConsoleW(handle, at, chunk, &written, nullptr) || written == 0) return;
        at += written;
        left -= written;
    }
}

}  // namespace zol::tools
