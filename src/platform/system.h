#pragma once
// Small OS services the core needs: text in the system's 8-bit code page, locale-aware 8-bit
// lower-casing, GUIDs, a readability probe for pointers handed in by the host, thread ids and
// the library's own file and version. One implementation per OS under platform/<os>/.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zol::platform {

// System (ANSI) code page <-> UTF-16. Characters the code page lacks become '?'.
std::u16string AnsiToUtf16(std::string_view text);
std::string Utf16ToAnsi(std::u16string_view text);
// Text in a given Windows code page (1200/1201 are UTF-16 LE/BE, 65001 UTF-8); nothing when the
// code page is not available here.
std::optional<std::u16string> CodePageToUtf16(std::uint32_t code_page, std::string_view bytes);
std::optional<std::string> Utf16ToCodePage(std::uint32_t code_page, std::u16string_view text);
// The system's 8-bit lower-case mapping of each character, as the host uses for keys.
std::string AnsiLowerCase(std::string_view text);

// A fresh GUID in registry form: {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}, upper-case hex.
std::string NewGuidText();

// True when `size` bytes at `address` can be read without a fault. While a ProbeMemo runs on the
// thread, the probes answer from the regions it holds (see platform/probe_memo.h).
bool IsReadableMemory(const void* address, std::size_t size) noexcept;
// True when `size` bytes at `address` can be written without a fault.
bool IsWritableMemory(const void* address, std::size_t size) noexcept;
// The number of characters before the terminator of a zero-terminated text of `char_size`-byte
// characters (1 or 2), reading only memory that can be read; nothing when no terminator comes
// within `limit` characters or before memory that cannot be read.
std::optional<std::size_t> ReadableTextLength(const void* text, std::size_t char_size,
                                              std::size_t limit = SIZE_MAX) noexcept;
// True when `object` may be called as a COM-style interface: its first word points at a
// readable table of `method_count` entries, each the address of executable code. A probe for
// pointers handed in by the host; it cannot prove that the object is what it claims to be.
bool IsPlausibleInterface(const void* object, std::size_t method_count) noexcept;

std::uint32_t CurrentThreadId() noexcept;

// Full path of the file this code was loaded from (the plug-in DLL on Windows).
std::string ThisModuleFileName();
// The host program's own folder, with a trailing path separator.
std::string HostProgramFolder();
// "a.b.c.d" from the file's version resource; empty when it has none or cannot be read.
std::string FileVersionText(const std::string& file_name);
// True when the host program was started with exactly this command-line argument (compared
// case-sensitively; the program name itself is not an argument).
bool HostHasArgument(std::string_view argument);
// The machine's common application-data folder, with a trailing path separator.
std::string CommonAppDataFolder();
// True when the file exists.
bool FileExists(const std::string& file_name);

}  // namespace zol::platform
