#pragma once
// A lock shared by every process of the machine under one name: INI settings files are read and
// rewritten whole, so two processes storing into the same file must take turns. On Windows it is
// a named mutex; the native stand-in locks a file of that name in the temporary folder.

#include <cstdint>
#include <memory>
#include <string>

namespace zol::platform {

class NamedMutex {
   public:
    virtual ~NamedMutex() = default;
    // Waits at most `timeout_ms` for the lock; false when it was not obtained. A lock whose
    // holder died without releasing it counts as obtained.
    virtual bool Lock(std::uint32_t timeout_ms) = 0;
    virtual void Unlock() = 0;
};

// `name` consists of "0"-"9", "a"-"z" and "_" only. Nothing when the lock cannot be made.
std::unique_ptr<NamedMutex> CreateNamedMutex(const std::string& name);

}  // namespace zol::platform
