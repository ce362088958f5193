// Native stand-in of the named cross-process lock: an exclusive flock() on a file of that name in
// the temporary folder. Every acquisition opens the file anew, so two threads of one process
// exclude each other just like two processes do; a dead holder's lock goes with its descriptor.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <filesystem>
#include <thread>

#include "platform/named_mutex.h"

namespace zol::platform {

namespace {

class FileLockMutex : public NamedMutex {
   public:
    explicit FileLockMutex(std::string path) : path_(std::move(path)) {}
    ~FileLockMutex() override { Unlock(); }

    bool Lock(std::uint32_t timeout_ms) override {
        if (fd_ >= 0) return true;
        const int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0) return false;
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
                fd_ = fd;
                return true;
            }
            if (errno != EWOULDBLOCK && errno != EINTR) break;
            if (std::chrono::steady_clock::now() >= deadline) break;
            // flock has no timed wait; a short pause between attempts keeps the wait bounded.
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ::close(fd);
        return false;
    }

    void Unlock() override {
        if (fd_ < 0) return;
        ::flock(fd_, LOCK_UN);
        ::close(fd_);
        fd_ = -1;
    }

   private:
    std::string path_;
    int fd_ = -1;
};

}  // namespace

std::unique_ptr<NamedMutex> CreateNamedMutex(const std::string& name) {
    // A name the file system cannot hold is refused here, as the system refuses a mutex name
    // that is too long, rather than failing at every Lock.
    const std::string file_name = "zol-lock-" + name;
    if (file_name.size() > NAME_MAX) return nullptr;
    std::error_code ec;
    auto folder = std::filesystem::temp_directory_path(ec);
    if (ec) folder = "/tmp";
    return std::make_unique<FileLockMutex>((folder / file_name).string());
}

}  // namespace zol::platform
