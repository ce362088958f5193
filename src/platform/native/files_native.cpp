// Native whole-file access; file names are UTF-8 already. The decimal separator is "." unless a
// test sets another (see platform/native/files_native.h).
#include "platform/native/files_native.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>

namespace zol::platform {

namespace {

std::atomic<char> g_decimal_separator{'.'};
std::atomic<unsigned> g_temporary_count{0};

bool WriteAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t wrote = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) return false;
        done += static_cast<std::size_t>(wrote);
    }
    return true;
}

}  // namespace

FileContents ReadWholeFile(const std::string& file_name) {
    FileContents contents;
    const int fd = ::open(file_name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        contents.status = errno == ENOENT || errno == ENOTDIR ? FileReadStatus::kMissing
                                                              : FileReadStatus::kUnreadable;
        return contents;
    }
    contents.status = FileReadStatus::kRead;
    char buffer[16384];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            contents.status = FileReadStatus::kUnreadable;
            contents.bytes.clear();
            break;
        }
        if (got == 0) break;
        contents.bytes.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fd);
    return contents;
}

bool WriteWholeFile(const std::string& file_name, const std::string& bytes) {
    namespace fs = std::filesystem;
    std::error_code ec;
    // A link stays a link: its target is the file that is replaced.
    fs::path target = file_name;
    if (fs::is_symlink(target, ec)) {
        const fs::path resolved = fs::canonical(target, ec);
        if (!ec) target = resolved;
    }
    const fs::path temporary =
        target.parent_path() / (target.filename().string() + "." + std::to_string(::getpid()) +
                                "-" + std::to_string(++g_temporary_count) + ".tmp");
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    struct stat original {};
    bool ok = true;
    if (::stat(target.c_str(), &original) == 0) ok = ::fchmod(fd, original.st_mode & 07777) == 0;
    ok = ok && WriteAll(fd, bytes) && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(temporary.c_str(), target.c_str()) == 0;
    if (!ok) ::unlink(temporary.c_str());
    return ok;
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
