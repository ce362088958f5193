// Linux stand-ins: the system code page is Windows-1252, which is what the tests expect of a
// Western host; the other code pages are added where the translation engine needs them.
#include <pthread.h>
#include <sys/uio.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
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

// Bytes 0x80..0xFF of the Central European (1250) and Cyrillic (1251) code pages, for language
// files written in them; unassigned bytes map to the C1 control of the same number.
constexpr std::array<char16_t, 128> kCp1250High = {
    0x20AC, 0x0081, 0x201A, 0x0083, 0x201E, 0x2026, 0x2020, 0x2021, 0x0088, 0x2030, 0x0160, 0x2039,
    0x015A, 0x0164, 0x017D, 0x0179, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x0098, 0x2122, 0x0161, 0x203A, 0x015B, 0x0165, 0x017E, 0x017A, 0x00A0, 0x02C7, 0x02D8, 0x0141,
    0x00A4, 0x0104, 0x00A6, 0x00A7, 0x00A8, 0x00A9, 0x015E, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x017B,
    0x00B0, 0x00B1, 0x02DB, 0x0142, 0x00B4, 0x00B5, 0x00B6, 0x00B7, 0x00B8, 0x0105, 0x015F, 0x00BB,
    0x013D, 0x02DD, 0x013E, 0x017C, 0x0154, 0x00C1, 0x00C2, 0x0102, 0x00C4, 0x0139, 0x0106, 0x00C7,
    0x010C, 0x00C9, 0x0118, 0x00CB, 0x011A, 0x00CD, 0x00CE, 0x010E, 0x0110, 0x0143, 0x0147, 0x00D3,
    0x00D4, 0x0150, 0x00D6, 0x00D7, 0x0158, 0x016E, 0x00DA, 0x0170, 0x00DC, 0x00DD, 0x0162, 0x00DF,
    0x0155, 0x00E1, 0x00E2, 0x0103, 0x00E4, 0x013A, 0x0107, 0x00E7, 0x010D, 0x00E9, 0x0119, 0x00EB,
    0x011B, 0x00ED, 0x00EE, 0x010F, 0x0111, 0x0144, 0x0148, 0x00F3, 0x00F4, 0x0151, 0x00F6, 0x00F7,
    0x0159, 0x016F, 0x00FA, 0x0171, 0x00FC, 0x00FD, 0x0163, 0x02D9,
};
constexpr std::array<char16_t, 128> kCp1251High = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, 0x20AC, 0x2030, 0x0409, 0x2039,
    0x040A, 0x040C, 0x040B, 0x040F, 0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x0098, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, 0x00A0, 0x040E, 0x045E, 0x0408,
    0x00A4, 0x0490, 0x00A6, 0x00A7, 0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7, 0x0451, 0x2116, 0x0454, 0x00BB,
    0x0458, 0x0405, 0x0455, 0x0457, 0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F, 0x0420, 0x0421, 0x0422, 0x0423,
    0x0424, 0x0425, 0x0426, 0x0427, 0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437, 0x0438, 0x0439, 0x043A, 0x043B,
    0x043C, 0x043D, 0x043E, 0x043F, 0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,
};

std::u16string HighTableToUtf16(const std::array<char16_t, 128>& high, std::string_view bytes) {
    std::u16string out;
    out.reserve(bytes.size());
    for (char c : bytes) {
        auto b = static_cast<unsigned char>(c);
        out.push_back(b < 0x80 ? static_cast<char16_t>(b) : high[b - 0x80]);
    }
    return out;
}

std::string Utf16ToHighTable(const std::array<char16_t, 128>& high, std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char16_t u : text) {
        char c = '?';
        if (u < 0x80) {
            c = static_cast<char>(u);
        } else {
            for (std::size_t i = 0; i < high.size(); ++i) {
                if (high[i] == u) {
                    c = static_cast<char>(0x80 + i);
                    break;
                }
            }
        }
        out.push_back(c);
    }
    return out;
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
        case 1250:
            return HighTableToUtf16(kCp1250High, bytes);
        case 1251:
            return HighTableToUtf16(kCp1251High, bytes);
        case 65001:
            return Utf8ToUtf16(bytes);
        case 1200:
        case 1201:
            return Utf16FromBytes(bytes, code_page == 1201);
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
        case 1250:
            return Utf16ToHighTable(kCp1250High, text);
        case 1251:
            return Utf16ToHighTable(kCp1251High, text);
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

namespace {

// The permissions ("rwxp") of the mapping holding `address`, and its end, from /proc/self/maps.
bool MappingOf(const void* address, std::string& permissions, std::uintptr_t& end) {
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    std::FILE* maps = std::fopen("/proc/self/maps", "r");
    if (maps == nullptr) return false;
    char line[512];
    bool found = false;
    while (!found && std::fgets(line, sizeof line, maps) != nullptr) {
        unsigned long long from = 0, to = 0;
        char perms[8] = {};
        if (std::sscanf(line, "%llx-%llx %7s", &from, &to, perms) != 3) continue;
        if (at >= from && at < to) {
            permissions = perms;
            end = static_cast<std::uintptr_t>(to);
            found = true;
        }
    }
    std::fclose(maps);
    return found;
}

bool RangeHas(const void* address, std::size_t size, char permission, std::size_t index) {
    if (address == nullptr) return false;
    auto p = reinterpret_cast<std::uintptr_t>(address);
    if (size > UINTPTR_MAX - p) return false;
    const std::uintptr_t end = p + size;
    do {
        std::string perms;
        std::uintptr_t mapping_end = 0;
        if (!MappingOf(reinterpret_cast<const void*>(p), perms, mapping_end)) return false;
        if (perms.size() <= index || perms[index] != permission) return false;
        p = mapping_end;
    } while (p < end);
    return true;
}

}  // namespace

bool IsWritableMemory(const void* address, std::size_t size) noexcept {
    try {
        return RangeHas(address, size, 'w', 1);
    } catch (...) {
        return false;
    }
}

std::optional<std::size_t> ReadableTextLength(const void* text, std::size_t char_size,
                                              std::size_t limit) noexcept {
    if (text == nullptr || char_size == 0 || char_size > 8) return std::nullopt;
    const auto* p = static_cast<const char*>(text);
    for (std::size_t n = 0; n < limit; ++n, p += char_size) {
        char probe[8] = {};
        iovec local{probe, char_size};
        iovec remote{const_cast<char*>(p), char_size};
        if (process_vm_readv(getpid(), &local, 1, &remote, 1, 0) !=
            static_cast<ssize_t>(char_size)) {
            return std::nullopt;
        }
        bool zero = true;
        for (std::size_t i = 0; i < char_size; ++i) zero = zero && probe[i] == 0;
        if (zero) return n;
    }
    return std::nullopt;
}

bool IsPlausibleInterface(const void* object, std::size_t method_count) noexcept {
    try {
        if (!IsReadableMemory(object, sizeof(void*))) return false;
        void* const* table = nullptr;
        std::memcpy(&table, object, sizeof table);
        if (!IsReadableMemory(table, method_count * sizeof(void*))) return false;
        for (std::size_t i = 0; i < method_count; ++i) {
            void* entry = nullptr;
            std::memcpy(&entry, table + i, sizeof entry);
            if (!RangeHas(entry, 1, 'x', 2)) return false;
        }
        return true;
    } catch (...) {
        return false;
    }
}

namespace {

// The thread id is asked for on every lock of the receive buffer, and gettid is a system call,
// dear on machines where entering the kernel is slow. Each thread asks the kernel once and keeps
// the answer; a fork gives the child's thread a new id, so the child's first ask counts a new
// generation and every cached id of the old one is asked again.
std::atomic<unsigned> thread_id_generation{1};

struct CachedThreadId {
    unsigned generation = 0;
    std::uint32_t id = 0;
};
thread_local CachedThreadId cached_thread_id;

const int thread_id_fork_handler = pthread_atfork(
    nullptr, nullptr, [] { thread_id_generation.fetch_add(1, std::memory_order_relaxed); });

}  // namespace

std::uint32_t CurrentThreadId() noexcept {
    const unsigned generation = thread_id_generation.load(std::memory_order_relaxed);
    CachedThreadId& cached = cached_thread_id;
    if (cached.generation != generation) {
        cached.id = static_cast<std::uint32_t>(gettid());
        cached.generation = generation;
    }
    return cached.id;
}

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
