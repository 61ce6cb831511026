#include "patcher/resdb/bounded_uncompress.h"

#include <zlib.h>

#include <algorithm>
#include <limits>
#include <new>

int BoundedUncompress(const std::uint8_t* a_pSource, std::size_t a_nSourceLength, std::uint32_t a_nCapacity,
                      std::vector<std::uint8_t>& a_rOut) {
  a_rOut.clear();
  constexpr std::size_t kChunkLimit = std::numeric_limits<uInt>::max();
  // With no room at all one byte of scratch shows whether the data holds
  // anything (as uncompress does for a zero-length destination).
  const bool noRoom = a_nCapacity == 0;
  const std::size_t capacity = noRoom ? 1 : a_nCapacity;

  z_stream stream{};
  int err = inflateInit(&stream);
  if (err != Z_OK) return err;

  std::size_t inputLeft = a_nSourceLength;
  stream.next_in = const_cast<Bytef*>(reinterpret_cast<const Bytef*>(a_pSource));
  stream.avail_in = 0;
  std::size_t given = 0;  // output room handed to zlib so far
  try {
    // A first guess that fits most data; the buffer doubles from there.
    std::size_t guess = std::max<std::size_t>(a_nSourceLength * 4, 64 * 1024);
    a_rOut.resize(std::min(capacity, guess));
    stream.next_out = a_rOut.data();
    stream.avail_out = 0;
    do {
      if (stream.avail_out == 0 && given < capacity) {
        if (given == a_rOut.size()) {
          a_rOut.resize(std::min(capacity, a_rOut.size() * 2));
        }
        const std::size_t room = std::min(a_rOut.size() - given, kChunkLimit);
        stream.next_out = a_rOut.data() + given;
        stream.avail_out = static_cast<uInt>(room);
        given += room;
      }
      if (stream.avail_in == 0 && inputLeft > 0) {
        const std::size_t chunk = std::min(inputLeft, kChunkLimit);
        stream.avail_in = static_cast<uInt>(chunk);
        inputLeft -= chunk;
      }
      err = inflate(&stream, Z_NO_FLUSH);
    } while (err == Z_OK);
  } catch (const std::bad_alloc&) {
    err = Z_MEM_ERROR;
  }
  const std::size_t produced = stream.total_out;
  const bool roomLeft = given < capacity || stream.avail_out > 0;
  inflateEnd(&stream);
  a_rOut.resize(std::min(produced, a_rOut.size()));
  if (noRoom) {
    if (produced > 0 && err == Z_BUF_ERROR) return Z_DATA_ERROR;
    a_rOut.clear();
  }
  if (err == Z_STREAM_END) return Z_OK;
  if (err == Z_NEED_DICT) return Z_DATA_ERROR;
  if (err == Z_BUF_ERROR && roomLeft) return Z_DATA_ERROR;
  return err;
}
