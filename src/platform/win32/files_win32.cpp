// Whole-file access with wide-character file names, and the user's decimal separator.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/utf.h"

namespace zol::platform {

namespace {

std::wstring Wide(const std::string& utf8) {
    const std::u16string text = Utf8ToUtf16(utf8);
    return std::wstring(text.begin(), text.end());
}

}  // namespace

FileContents ReadWholeFile(const std::string& file_name) {
    FileContents contents;
    // Delete sharing lets another writer replace the file while it is read here.
    HANDLE file = CreateFileW(Wide(file_name).c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        contents.status = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                              ? FileReadStatus::kMissing
                              : FileReadStatus::kUnreadable;
        return contents;
    }
    contents.status = FileReadStatus::kRead;
    char buffer[16384];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, buffer, sizeof buffer, &got, nullptr)) {
            contents.status = FileReadStatus::kUnreadable;
            contents.bytes.clear();
            break;
        }
        if (got == 0) break;
        contents.bytes.append(buffer, got);
    }
    CloseHandle(file);
    return contents;
}

bool WriteWholeFile(const std::string& file_name, const std::string& bytes) {
    static std::atomic<unsigned> count{0};
    const std::wstring target = Wide(file_name);
    const std::wstring temporary = target + L"." + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                   std::to_wstring(++count) + L".tmp";
    HANDLE file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    std::size_t done = 0;
    bool ok = true;
    while (ok && done < bytes.size()) {
        DWORD wrote = 0;
        const auto chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1 << 20));
        ok = WriteFile(file, bytes.data() + done, chunk, &wrote, nullptr) != 0 && wrote > 0;
        done += wrote;
    }
    ok = FlushFileBuffers(file) != 0 && ok;
    ok = CloseHandle(file) != 0 && ok;
    // One rename: the file is either the old one or the new one, never a partial one.
    ok = ok && MoveFileExW(temporary.c_str(), target.c_str(),
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    if (!ok) DeleteFileW(temporary.c_str());
    return ok;
}

std::string FullFileName(const std::string& file_name) {
    const std::wstring wide = Wide(file_name);
    const DWORD needed = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (needed == 0) return file_name;
    std::vector<wchar_t> buffer(needed + 1);
    const DWORD got =
        GetFullPathNameW(wide.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
    if (got == 0 || got >= buffer.size()) return file_name;
    return Utf16ToUtf8(std::u16string(buffer.data(), buffer.data() + got));
}

bool SettingsFileExists(const std::string& file_name) {
    const DWORD attributes = GetFileAttributesW(Wide(file_name).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

char LocaleDecimalSeparator() {
    char text[8] = {};
    if (GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, text, sizeof text) > 1) return text[0];
    return '.';
}

}  // namespace zol::platform
