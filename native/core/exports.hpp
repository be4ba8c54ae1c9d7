// The C-API table of a module: `_max` and `_min` in two widths, then one
// driver in eight element-type specializations, under the keys and
// signature strings of the client header.
#pragma once

#include "runtime/module.hpp"

#include <morvane/slidewin.h>

#include <cstdint>

namespace morvane::rank {

template <class T> T max_of(T a, T b) { return a > b ? a : b; }
template <class T> T min_of(T a, T b) { return a < b ? a : b; }

#define MORVANE_RANK_EXPORT(NAMES, INDEX, FUNCTION)                                                \
    rt::Export { NAMES[INDEX].key, rt::entry(&FUNCTION), NAMES[INDEX].signature }

#define MORVANE_RANK_DRIVER_EXPORT(NAMES, DRIVER, I, J, OUT, IN)                                   \
    MORVANE_RANK_EXPORT(NAMES, SLIDEWIN_DRIVER_FIRST + 2 * (I) + (J), (DRIVER<OUT, IN>))

// The 12 entries, in registration order.
#define MORVANE_RANK_EXPORTS(NAMES, DRIVER)                                                        \
    {                                                                                              \
        MORVANE_RANK_EXPORT(NAMES, SLIDEWIN_MAX_0, max_of<uint8_t>),                               \
            MORVANE_RANK_EXPORT(NAMES, SLIDEWIN_MAX_1, max_of<uint16_t>),                          \
            MORVANE_RANK_EXPORT(NAMES, SLIDEWIN_MIN_0, min_of<uint8_t>),                           \
            MORVANE_RANK_EXPORT(NAMES, SLIDEWIN_MIN_1, min_of<uint16_t>),                          \
            MORVANE_RANK_DRIVER_EXPORT(NAMES, DRIVER, 0, 0, uint8_t, uint8_t),                     \
            MORVANE_RANK_DRIVER_EXPORT(NAMES, DRIVER, 0, 1, uint8_t, uint16_t),                    \
            MORVANE_RANK_DRIVER_EXPORT(NAMES, DRIVER, 1, 0, uint16_t, uint8_t),                    \
            MORVANE_RANK_DRIVER_EXPORT(NAMES, DRIVER, 1, 1, uint16_t, uint16_t),                   \
            MORVANE_RANK_DRIVER_EXPORT(NAMES, DRIVER, 2, 0, float, uint8_t),                       \
            MORVANE_RANK_DRIVER_EXPORT(NAMES, DRIVER, 2, 1, float, uint16_t),                      \
            MORVANE_RANK_DRIVER_EXPORT(NAMES, DRIVER, 3, 0, double, uint8_t),                      \
            MORVANE_RANK_DRIVER_EXPORT(NAMES, DRIVER, 3, 1, double, uint16_t),                     \
    }

} // namespace morvane::rank
