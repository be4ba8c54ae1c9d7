// Values of any real type as the engine reads them, and the way back.
//
// The engine reads unsigned integers of 8, 16 and 32 bits. Values of other
// types go in as order-preserving keys of their own width (a key's order is
// the value's order; every NaN is one quiet NaN above +inf; -0.0 lies just
// below 0.0), or as codes: the index of each value's key among the image's
// distinct keys, in order. Back-mapping writes 0 wherever the window was
// empty, so an empty window never reads as a value.
//
// Plain C++: no Python here.
#pragma once

#include <cstddef>
#include <cstdint>

namespace morvane::engine::values {

using Index = std::ptrdiff_t;

enum class Kind { Signed, Unsigned, Float };

constexpr int kMaxDims = 8;

// An array of `item`-byte elements, any strides (in bytes).
struct Strided {
    char *data = nullptr;
    int ndim = 0;
    int item = 1;
    Index shape[kMaxDims] = {};
    Index strides[kMaxDims] = {};

    Index size() const {
        Index n = 1;
        for (int d = 0; d < ndim; ++d) n *= shape[d];
        return n;
    }
    bool contiguous() const; // C order
};

bool same_shape(const Strided &a, const Strided &b);

// dst (unsigned, the values' width) = the keys of src.
void to_keys(Kind kind, const Strided &src, const Strided &dst);

// Whether the bits of these floats (float16 or float32), read as unsigned
// integers, are in the values' order and equal where the values' keys are:
// no value is negative (nor -0) or NaN, every one lies in [+0, +inf].
// Their keys are then their bits with the top bit set, and a rank of the
// bits is the bits of the rank.
bool bits_in_order(const Strided &floats);

// dst (the values' type) = the values of the keys src; where `counted` (a
// byte array of dst's shape, or null) holds 0, dst gets 0, and so does key
// 0 of floats (no value's key). src and dst may be the same array.
void from_keys(Kind kind, const Strided &src, const Strided &dst, const Strided *counted);

// The first n of sorted keys (contiguous, `item` bytes each) without
// repeats, in place (from the second entry on when `shift`: the buffer then
// holds at least one more than them); returns how many remain.
Index dedupe(void *keys, int item, Index n, bool shift);

// dst (unsigned codes, contiguous or not) = 1 + the index of each value's
// key among `distinct` (n sorted distinct keys of the values' width,
// holding every value's key): code 0 is left for empty windows. Returns
// false when a value's key is not among them or the codes are too narrow
// (dst is then partly written).
bool codes(Kind kind, const Strided &values, const void *distinct, Index n, const Strided &dst);

// The first n keys (contiguous, `item` bytes each) in ascending order, in
// place (through a scratch copy of them for the while).
void sort_keys(void *keys, int item, Index n);

// dst = table[codes] (table: n entries of dst's item size); 0 where
// `counted` holds 0. codes and dst may share memory when both are
// contiguous and start at the same address (codes no wider than dst's
// items): the codes are then read before their bytes are overwritten.
// Returns false when a code is not below n.
bool take(const void *table, Index n, const Strided &codes, const Strided &dst,
          const Strided *counted);

} // namespace morvane::engine::values
