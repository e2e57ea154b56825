// The order of an index's keys, for the tree check and for a rebuild: the
// byte order of their key-size bytes, reversed in a descending index; equal
// keys stand by ascending record number in either.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// Below 0 when key `a` stands before key `b`, 0 when they are equal, above
// 0 when it stands after.
inline int key_order(const std::uint8_t* a, const std::uint8_t* b, std::size_t width,
                     bool descending) {
    const int c = width == 0 ? 0 : std::memcmp(a, b, width);
    const int sign = (c > 0) - (c < 0);
    return descending ? -sign : sign;
}

// Whether the entry of key `a` and record `ra` stands before that of `b`
// and `rb`.
inline bool entry_before(const std::uint8_t* a, std::uint32_t ra, const std::uint8_t* b,
                         std::uint32_t rb, std::size_t width, bool descending) {
    const int c = key_order(a, b, width, descending);
    return c != 0 ? c < 0 : ra < rb;
}

// Where two keys first differ, `width` when they do not: the byte that
// decides their order.
inline std::size_t first_difference(const std::uint8_t* a, const std::uint8_t* b,
                                    std::size_t width) {
    std::size_t i = 0;
    while (i < width && a[i] == b[i]) ++i;
    return i;
}
