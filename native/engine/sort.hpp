// The plain method's per-pixel filling, for the pixels other methods leave
// to it (borders, masked windows).
#pragma once

#include "engine.hpp"

#include <memory>

namespace morvane::engine {

// Fills pixels of one task by gathering their windows. Make one per band
// (it allocates its buffers once) and call fill() for any run of pixels.
class SortFill {
public:
    explicit SortFill(const Task &t);
    ~SortFill();
    SortFill(const SortFill &) = delete;
    SortFill &operator=(const SortFill &) = delete;

    // Pixels (z, y, from) .. (z, y, to - 1).
    void fill(Index z, Index y, Index from, Index to);

private:
    struct Impl;
    const Task &t_;
    std::unique_ptr<Impl> impl_;
};

} // namespace morvane::engine
