// Native whole-file access; file names are UTF-8 already. The decimal separator is "." unless a
// test sets another (see platform/native/files_native.h).
#include "platform/native/files_native.h"

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace zol::platform {

namespace {
std::atomic<char> g_decimal_separator{'.'};
}

std::optional<std::string> ReadWholeFile(const std::string& file_name) {
    std::ifstream in(file_name, std::ios::binary);
    if (!in) return std::nullopt;
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return std::nullopt;
    return bytes;
}

bool WriteWholeFile(const std::string& file_name, const std::string& bytes) {
    std::ofstream out(file_name, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.flush();
    return static_cast<bool>(out);
}

std::string FullFileName(const std::string& file_name) {
    std::error_code ec;
    auto full = std::filesystem::absolute(file_name, ec);
    return ec ? file_name : full.lexically_normal().string();
}

bool SettingsFileExists(const std::string& file_name) {
    std::error_code ec;
    return std::filesystem::is_regular_file(file_name, ec);
}

char LocaleDecimalSeparator() { return g_decimal_separator.load(); }

namespace native {
void SetDecimalSeparator(char separator) { g_decimal_separator = separator; }
}  // namespace native

}  // namespace zol::platform
