#pragma once
// The base of the protocol clients: a plain object with one 32-bit value set at construction.
// Its further operations are hooks of a multi-client host interface that nothing here calls.

#include <cstdint>

namespace zol::plugins {

class TzolPluginMulti {
   public:
    explicit TzolPluginMulti(std::int32_t value = 0) noexcept : value_(value) {}
    virtual ~TzolPluginMulti() = default;
    TzolPluginMulti(const TzolPluginMulti&) = delete;
    TzolPluginMulti& operator=(const TzolPluginMulti&) = delete;

    std::int32_t Value() const noexcept { return value_; }

   private:
    std::int32_t value_;
};

}  // namespace zol::plugins
