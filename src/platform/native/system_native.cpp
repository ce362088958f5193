// Linux stand-ins: the system code page is Windows-1252, which is what the tests expect of a
// Western host; the other code pages are added where the translation engine needs them.
#include <sys/uio.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>

#include "platform/system.h"
#include "platform/utf.h"

namespace zol::platform {

namespace {

// Windows-1252 bytes 0x80..0x9F; the five unassigned bytes map to the C1 controls, as Windows does.
constexpr std::array<char16_t, 32> kCp1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char16_t Cp1252ToUnicode(unsigned char c) {
    if (c >= 0x80 && c <= 0x9F) return kCp1252High[c - 0x80];
    return c;
}

char UnicodeToCp1252(char16_t u) {
    if (u < 0x80 || (u >= 0xA0 && u <= 0xFF)) return static_cast<char>(u);
    for (std::size_t i = 0; i < kCp1252High.size(); ++i) {
        if (kCp1252High[i] == u) return static_cast<char>(0x80 + i);
    }
    return '?';
}

}  // namespace

std::u16string AnsiToUtf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (char c : text) out.push_back(Cp1252ToUnicode(static_cast<unsigned char>(c)));
    return out;
}

std::string Utf16ToAnsi(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char16_t u : text) out.push_back(UnicodeToCp1252(u));
    return out;
}

std::optional<std::u16string> CodePageToUtf16(std::uint32_t code_page, std::string_view bytes) {
    switch (code_page) {
        case 0:  // the system code page
        case 1252:
            return AnsiToUtf16(bytes);
        case 28591: {
            std::u16string out;
            for (char c : bytes) out.push_back(static_cast<unsigned char>(c));
            return out;
        }
        case 65001:
            return Utf8ToUtf16(bytes);
        case 1200:
        case 1201: {
            std::u16string out;
            for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
                auto a = static_cast<unsigned char>(bytes[i]);
                auto b = static_cast<unsigned char>(bytes[i + 1]);
                out.push_back(
                    static_cast<char16_t>(code_page == 1200 ? (a | (b << 8)) : ((a << 8) | b)));
            }
            return out;
        }
        default:
            return std::nullopt;
    }
}

std::optional<std::string> Utf16ToCodePage(std::uint32_t code_page, std::u16string_view text) {
    switch (code_page) {
        case 0:
        case 1252:
            return Utf16ToAnsi(text);
        case 28591: {
            std::string out;
            for (char16_t u : text) out.push_back(u <= 0xFF ? static_cast<char>(u) : '?');
            return out;
        }
        case 65001:
            return Utf16ToUtf8(text);
        default:
            return std::nullopt;
    }
}

std::string AnsiLowerCase(std::string_view text) {
    std::string out(text);
    for (char& ch : out) {
        auto c = static_cast<unsigned char>(ch);
        if ((c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7)) {
            c = static_cast<unsigned char>(c + 0x20);
        } else if (c == 0x8A || c == 0x8C || c == 0x8E) {
            c = static_cast<unsigned char>(c + 0x10);
        } else if (c == 0x9F) {
            c = 0xFF;
        }
        ch = static_cast<char>(c);
    }
    return out;
}

std::string NewGuidText() {
    static thread_local std::mt19937_64 generator{std::random_device{}()};
    std::uint64_t a = generator();
    std::uint64_t b = generator();
    // Version 4, variant 1, like CoCreateGuid.
    a = (a & ~0xF000ull) | 0x4000ull;
    b = (b & ~(0xC0ull << 56)) | (0x80ull << 56);
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%04X-%012llX}",
                  static_cast<unsigned>(a >> 32), static_cast<unsigned>((a >> 16) & 0xFFFF),
                  static_cast<unsigned>(a & 0xFFFF), static_cast<unsigned>(b >> 48),
                  static_cast<unsigned long long>(b & 0xFFFFFFFFFFFFull));
    return text;
}

bool IsReadableMemory(const void* address, std::size_t size) noexcept {
    if (address == nullptr) return false;
    if (size == 0) return true;
    char probe[64];
    const auto* p = static_cast<const char*>(address);
    while (size > 0) {
        std::size_t n = size < sizeof probe ? size : sizeof probe;
        iovec local{probe, n};
        iovec remote{const_cast<char*>(p), n};
        if (process_vm_readv(getpid(), &local, 1, &remote, 1, 0) != static_cast<ssize_t>(n)) {
            return false;
        }
        p += n;
        size -= n;
    }
    return true;
}

std::uint32_t CurrentThreadId() noexcept { return static_cast<std::uint32_t>(gettid()); }

std::string ThisModuleFileName() {
    std::error_code ec;
    auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string("kmpparser") : path.string();
}

std::string HostProgramFolder() {
    auto path = std::filesystem::path(ThisModuleFileName()).parent_path().string();
    return path + "/";
}

std::string FileVersionText(const std::string&) { return {}; }

bool FileExists(const std::string& file_name) {
    std::error_code ec;
    return std::filesystem::is_regular_file(file_name, ec);
}

}  // namespace zol::platform

namespace zol::platform {

bool HostHasArgument(std::string_view argument) {
    std::FILE* file = std::fopen("/proc/self/cmdline", "rb");
    if (file == nullptr) return false;
    std::string all;
    char buffer[4096];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) all.append(buffer, n);
    std::fclose(file);
    std::size_t start = all.find('\0');  // skip the program name
    while (start != std::string::npos && start + 1 < all.size()) {
        std::size_t end = all.find('\0', start + 1);
        if (all.substr(start + 1, end - start - 1) == argument) return true;
        start = end;
    }
    return false;
}

std::string CommonAppDataFolder() {
    const char* data_home = std::getenv("XDG_DATA_HOME");
    if (data_home != nullptr && *data_home != '\0') return std::string(data_home) + "/";
    return "/var/tmp/";
}

}  // namespace zol::platform
