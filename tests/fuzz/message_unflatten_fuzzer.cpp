// Untrusted bytes as a flat message (and as a flat variant): unflattening must
// refuse what is not valid, and whatever it accepts must be safe to look into,
// flatten again and copy.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "patcher/layout/variant.h"
#include "patcher/resdb/message.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Refused buffers are reported on standard output; keep the fuzzer's output readable.
  if (!std::freopen("/dev/null", "w", stdout)) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Message m;
  if (m.Unflatten(data, size) == 0) {
    if (m.FlattenedSize() > size) std::abort();
    for (int i = 0; i < m.CountNames(); ++i) {
      std::string name;
      std::int32_t type = 0, count = 0;
      if (m.GetFieldInfo(i, &name, &type, &count) != 0) std::abort();
      std::int32_t infoType = 0, infoCount = 0;
      if (m.GetInfo(name, &infoType, &infoCount) != 0) std::abort();
      for (std::int32_t index = 0; index < count && index < 64; ++index) {
        const void* item = nullptr;
        std::uint32_t itemSize = 0;
        if (m.FindData(name, type, index, &item, &itemSize) == 0 && itemSize > 0) {
          volatile std::uint8_t sink = static_cast<const std::uint8_t*>(item)[itemSize - 1];
          (void)sink;
        }
      }
    }
    std::vector<std::uint8_t> again(m.FlattenedSize());
    if (m.Flatten(again.data(), again.size()) != 0) std::abort();
    Message copy(m);
    Message back;
    if (back.Unflatten(again.data(), again.size()) != 0) std::abort();
    if (back.CountNames() != m.CountNames() || copy.FlattenedSize() != m.FlattenedSize()) std::abort();
    Message nested;
    if (nested.AddMessage("m", m) != 0) std::abort();
  }

  Variant v;
  if (v.Unflatten(data, size)) {
    std::vector<std::uint8_t> again(v.FlattenedSize());
    if (v.Flatten(again.data(), again.size()) != 0) std::abort();
    Message inner;
    v.AsMessage(inner);
    VariantToString(v);
  }
  return 0;
}
