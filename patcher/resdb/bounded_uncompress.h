// Inflating zlib data whose inflated size is announced by a file that may be
// damaged.
//
// BoundedUncompress answers as zlib's uncompress does for a destination of
// `a_nCapacity` bytes: Z_OK with the number of bytes that came back (which may
// be fewer than the capacity), Z_BUF_ERROR when the data inflates to more than
// the capacity, Z_DATA_ERROR when the data is damaged or ends too soon,
// Z_MEM_ERROR when memory runs out. Unlike uncompress it does not allocate the
// announced capacity up front: the destination grows as output arrives (from a
// guess based on the input's size, doubling, never beyond the capacity), so a
// damaged size word costs no more memory than the data really inflates to.
//
// Thread-safe; no state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// `a_rOut` receives the inflated bytes (its size is the length that came back;
// on a failure it holds what was inflated so far).
int BoundedUncompress(const std::uint8_t* a_pSource, std::size_t a_nSourceLength, std::uint32_t a_nCapacity,
                      std::vector<std::uint8_t>& a_rOut);
