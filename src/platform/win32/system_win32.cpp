// Windows implementations of the small OS services: code pages through the Win32 converters,
// CharLowerBuff for the host's key lower-casing, CoCreateGuid, VirtualQuery for pointer probes
// and the version resource of the library file.
// <windows.h> must come before the OLE headers, so keep this order.
// clang-format off
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>
// clang-format on

#include <cstdio>
#include <vector>

#include "platform/probe_memo.h"
#include "platform/system.h"
#include "platform/utf.h"

namespace zol::platform {

namespace {

std::u16string MultiByteToUtf16(UINT code_page, std::string_view text, bool* ok) {
    *ok = true;
    if (text.empty()) return {};
    int n =
        MultiByteToWideChar(code_page, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (n <= 0) {
        *ok = false;
        return {};
    }
    std::u16string out(static_cast<std::size_t>(n), u'\0');
    MultiByteToWideChar(code_page, 0, text.data(), static_cast<int>(text.size()),
                        reinterpret_cast<wchar_t*>(out.data()), n);
    return out;
}

std::string Utf16ToMultiByte(UINT code_page, std::u16string_view text, bool* ok) {
    *ok = true;
    if (text.empty()) return {};
    const auto* wide = reinterpret_cast<const wchar_t*>(text.data());
    int n = WideCharToMultiByte(code_page, 0, wide, static_cast<int>(text.size()), nullptr, 0,
                                nullptr, nullptr);
    if (n <= 0) {
        *ok = false;
        return {};
    }
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(code_page, 0, wide, static_cast<int>(text.size()), out.data(), n, nullptr,
                        nullptr);
    return out;
}

// Every ANSI code page keeps 7-bit text as it is (a double-byte code page has no lead byte
// below 0x80 either), so such text needs no trip through the system's converters. Parameter
// names and keys are 7-bit and are converted for every item of every packet.
template <typename Char>
bool IsSevenBit(std::basic_string_view<Char> text) noexcept {
    for (Char c : text) {
        if (static_cast<std::uint32_t>(c) >= 0x80) return false;
    }
    return true;
}

}  // namespace

std::u16string AnsiToUtf16(std::string_view text) {
    if (IsSevenBit(text)) return std::u16string(text.begin(), text.end());
    bool ok = false;
    return MultiByteToUtf16(CP_ACP, text, &ok);
}

std::string Utf16ToAnsi(std::u16string_view text) {
    if (IsSevenBit(text)) {
        std::string out(text.size(), '\0');
        for (std::size_t i = 0; i < text.size(); ++i) out[i] = static_cast<char>(text[i]);
        return out;
    }
    bool ok = false;
    return Utf16ToMultiByte(CP_ACP, text, &ok);
}

std::optional<std::u16string> CodePageToUtf16(std::uint32_t code_page, std::string_view bytes) {
    if (code_page == 1200 || code_page == 1201) return Utf16FromBytes(bytes, code_page == 1201);
    if (code_page != 0 && !IsValidCodePage(code_page)) return std::nullopt;
    bool ok = false;
    auto out = MultiByteToUtf16(code_page, bytes, &ok);
    if (!ok) return std::nullopt;
    return out;
}

std::optional<std::string> Utf16ToCodePage(std::uint32_t code_page, std::u16string_view text) {
    if (code_page != 0 && !IsValidCodePage(code_page)) return std::nullopt;
    bool ok = false;
    auto out = Utf16ToMultiByte(code_page, text, &ok);
    if (!ok) return std::nullopt;
    return out;
}

std::string AnsiLowerCase(std::string_view text) {
    std::string out(text);
    if (IsSevenBit(text)) {
        // CharLowerBuff lower-cases 7-bit letters alike in every locale.
        for (char& c : out) {
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        }
        return out;
    }
    if (!out.empty()) CharLowerBuffA(out.data(), static_cast<DWORD>(out.size()));
    return out;
}

std::string NewGuidText() {
    GUID g{};
    if (FAILED(CoCreateGuid(&g))) return "{00000000-0000-0000-0000-000000000000}";
    char text[40];
    std::snprintf(text, sizeof text, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned long>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1],
                  g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

namespace {

constexpr DWORD kReadable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                            PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
constexpr DWORD kWritable =
    PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
constexpr DWORD kExecutable =
    PAGE_EXECUTE | PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;

// The region at `p` as the system describes it, from the thread's probe memo when it holds it.
bool RegionAt(const char* p, ProbeMemo::Region& region) noexcept {
    const auto address = reinterpret_cast<std::uintptr_t>(p);
    ProbeMemo* memo = ProbeMemo::Active();
    if (memo != nullptr) {
        if (const ProbeMemo::Region* known = memo->Find(address)) {
            region = *known;
            return true;
        }
    }
    MEMORY_BASIC_INFORMATION info{};
    if (VirtualQuery(p, &info, sizeof info) == 0) return false;
    region.begin = reinterpret_cast<std::uintptr_t>(info.BaseAddress);
    region.end = region.begin + info.RegionSize;
    region.state = info.State;
    region.protect = info.Protect;
    if (memo != nullptr) memo->Remember(region);
    return true;
}

// The committed region at `p` when its protection has one of `wanted`: [*begin, return value),
// else null.
const char* RegionWith(const char* p, DWORD wanted, const char** begin) noexcept {
    ProbeMemo::Region region;
    if (!RegionAt(p, region)) return nullptr;
    if (region.state != MEM_COMMIT) return nullptr;
    if ((region.protect & wanted) == 0 || (region.protect & (PAGE_GUARD | PAGE_NOACCESS)) != 0) {
        return nullptr;
    }
    *begin = reinterpret_cast<const char*>(region.begin);
    return reinterpret_cast<const char*>(region.end);
}

// The end of the committed region at `p` when its protection has one of `wanted`, else null.
const char* RegionEndWith(const char* p, DWORD wanted) noexcept {
    const char* begin = nullptr;
    return RegionWith(p, wanted, &begin);
}

const NT_TIB* ThreadBlock() noexcept {
// The compiler's intrinsic reads the thread block through the segment register, which its
// bounds check takes for an empty array.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
    return reinterpret_cast<const NT_TIB*>(NtCurrentTeb());
#pragma GCC diagnostic pop
}

// The end of the calling thread's committed stack, [StackLimit, StackBase) of its thread block,
// when `p` lies in it (it can be read and written); else null. Out arguments and VARIANTs handed
// in are mostly a caller's locals, and a probe of them then needs no region query (one costs
// microseconds under some systems).
const char* StackEndAt(const char* p) noexcept {
    const NT_TIB* tib = ThreadBlock();
    const auto* low = static_cast<const char*>(tib->StackLimit);
    const auto* high = static_cast<const char*>(tib->StackBase);
    return (low != nullptr && low < high && p >= low && p < high) ? high : nullptr;
}

// The end of the memory from `p` on that has one of `wanted`: the stack's end when `p` is on the
// caller's stack (readable and writable), else the end of its region.
const char* UsableEndWith(const char* p, DWORD wanted) noexcept {
    if ((wanted & PAGE_READWRITE) != 0) {
        if (const char* end = StackEndAt(p)) return end;
    }
    return RegionEndWith(p, wanted);
}

bool RangeHas(const void* address, std::size_t size, DWORD wanted) noexcept {
    if (address == nullptr) return false;
    const auto* p = static_cast<const char*>(address);
    if (size > static_cast<std::size_t>(UINTPTR_MAX - reinterpret_cast<std::uintptr_t>(p))) {
        return false;
    }
    const char* end = p + size;
    while (p < end) {
        p = UsableEndWith(p, wanted);
        if (p == nullptr) return false;
    }
    return true;
}

}  // namespace

bool IsReadableMemory(const void* address, std::size_t size) noexcept {
    return RangeHas(address, size, kReadable);
}

bool IsWritableMemory(const void* address, std::size_t size) noexcept {
    return RangeHas(address, size, kWritable);
}

std::optional<std::size_t> ReadableTextLength(const void* text, std::size_t char_size,
                                              std::size_t limit) noexcept {
    if (text == nullptr || char_size == 0) return std::nullopt;
    const auto* p = static_cast<const char*>(text);
    const char* readable_end = p;
    for (std::size_t n = 0; n < limit; ++n, p += char_size) {
        while (readable_end < p + char_size) {
            readable_end = UsableEndWith(readable_end, kReadable);
            if (readable_end == nullptr) return std::nullopt;
        }
        bool zero = true;
        for (std::size_t i = 0; i < char_size; ++i) zero = zero && p[i] == 0;
        if (zero) return n;
    }
    return std::nullopt;
}

bool IsPlausibleInterface(const void* object, std::size_t method_count) noexcept {
    if (!IsReadableMemory(object, sizeof(void*))) return false;
    void* const* table = *static_cast<void* const* const*>(object);
    if (!IsReadableMemory(table, method_count * sizeof(void*))) return false;
    // The methods of one object are nearly always in one code section: the region found for one
    // serves the next ones that fall inside it.
    const char* code_begin = nullptr;
    const char* code_end = nullptr;
    for (std::size_t i = 0; i < method_count; ++i) {
        const auto* method = static_cast<const char*>(table[i]);
        if (code_end != nullptr && method >= code_begin && method < code_end) continue;
        code_end = RegionWith(method, kExecutable, &code_begin);
        if (code_end == nullptr) return false;
    }
    return true;
}

std::uint32_t CurrentThreadId() noexcept { return GetCurrentThreadId(); }

std::string ThisModuleFileName() {
    HMODULE module = nullptr;
    static const int anchor = 0;
    GetModuleHandleExA(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCSTR>(&anchor), &module);
    char path[MAX_PATH * 2];
    DWORD n = GetModuleFileNameA(module, path, sizeof path);
    return std::string(path, n < sizeof path ? n : 0);
}

std::string HostProgramFolder() {
    char path[MAX_PATH * 2];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string full(path, n < sizeof path ? n : 0);
    auto slash = full.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : full.substr(0, slash + 1);
}

std::string FileVersionText(const std::string& file_name) {
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeA(file_name.c_str(), &handle);
    if (size == 0) return {};
    std::vector<char> data(size);
    if (!GetFileVersionInfoA(file_name.c_str(), 0, size, data.data())) return {};
    VS_FIXEDFILEINFO* info = nullptr;
    UINT len = 0;
    if (!VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&info), &len) ||
        info == nullptr || len < sizeof(VS_FIXEDFILEINFO)) {
        return {};
    }
    char text[64];
    std::snprintf(text, sizeof text, "%lu.%lu.%lu.%lu",
                  static_cast<unsigned long>(HIWORD(info->dwFileVersionMS)),
                  static_cast<unsigned long>(LOWORD(info->dwFileVersionMS)),
                  static_cast<unsigned long>(HIWORD(info->dwFileVersionLS)),
                  static_cast<unsigned long>(LOWORD(info->dwFileVersionLS)));
    return text;
}

bool FileExists(const std::string& file_name) {
    DWORD attributes = GetFileAttributesA(file_name.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

}  // namespace zol::platform

namespace zol::platform {

bool HostHasArgument(std::string_view argument) {
    int count = 0;
    LPWSTR* args = CommandLineToArgvW(GetCommandLineW(), &count);
    if (args == nullptr) return false;
    const std::u16string wanted = AnsiToUtf16(argument);
    bool found = false;
    for (int i = 1; i < count && !found; ++i) {
        found = std::u16string(reinterpret_cast<const char16_t*>(args[i])) == wanted;
    }
    LocalFree(args);
    return found;
}

std::string CommonAppDataFolder() {
    char path[MAX_PATH] = {};
    if (SUCCEEDED(SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, path))) {
        return std::string(path) + "\\";
    }
    return "C:\\ProgramData\\";
}

}  // namespace zol::platform
