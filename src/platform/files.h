#pragma once
// Whole-file access for small settings files, with UTF-8 file names on every platform, and the
// user's decimal separator for numbers written into them.

#include <optional>
#include <string>

namespace zol::platform {

// The file's bytes; nothing when it does not exist or cannot be read.
std::optional<std::string> ReadWholeFile(const std::string& file_name);
// Replaces the file's contents with `bytes` (creating it); false on failure.
bool WriteWholeFile(const std::string& file_name, const std::string& bytes);
// The absolute form of a file name (the current folder put in front of a relative one); the
// name itself when that cannot be worked out.
std::string FullFileName(const std::string& file_name);
// True when the file exists (UTF-8 name).
bool SettingsFileExists(const std::string& file_name);
// The decimal separator of the user's number format.
char LocaleDecimalSeparator();

}  // namespace zol::platform
