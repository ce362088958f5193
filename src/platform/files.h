#pragma once
// Whole-file access for small settings files, with UTF-8 file names on every platform, and the
// user's decimal separator for numbers written into them.

#include <cstdint>
#include <string>

namespace zol::platform {

enum class FileReadStatus : std::uint8_t {
    kRead,
    kMissing,     // neither the file nor its folder exists
    kUnreadable,  // it exists but cannot be read now: held open by another program without read
                  // sharing, no permission, a folder of that name, a read error
};
struct FileContents {
    FileReadStatus status = FileReadStatus::kMissing;
    std::string bytes;  // the whole file when `status` is kRead
};
// Reads the whole file. A settings file that exists but cannot be read must not be taken for an
// empty one: rewriting it would drop everything other programs keep in it.
FileContents ReadWholeFile(const std::string& file_name);
// Replaces the file's contents with `bytes` (creating it) atomically: the bytes go to a new file
// in the same folder, which then takes the file's place. On failure the file is as it was (and
// the new file is removed); a reader never sees it empty or half written. False on failure.
bool WriteWholeFile(const std::string& file_name, const std::string& bytes);
// The absolute form of a file name (the current folder put in front of a relative one); the
// name itself when that cannot be worked out.
std::string FullFileName(const std::string& file_name);
// True when the file exists (UTF-8 name).
bool SettingsFileExists(const std::string& file_name);
// The decimal separator of the user's number format.
char LocaleDecimalSeparator();

}  // namespace zol::platform
