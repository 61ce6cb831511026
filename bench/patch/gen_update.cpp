// Writes a synthetic game update for the patch benchmark: OUT/old and OUT/new,
// about 100 files and 100 MB, files up to 20 MB. The content imitates a game
// installation: executable-like code (skewed opcode bytes with embedded
// addresses), data tables, text, and incompressible packed assets. Between the
// two versions most files get small scattered edits, a few insertions and
// deletions; some stay equal; a few are removed and a few added.
// Deterministic: the same OUT holds the same bytes on every run.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

using Rng = std::mt19937_64;

std::string Code(Rng& rng, std::size_t size) {
  static const unsigned char kOps[] = {0x8b, 0x89, 0x48, 0xe8, 0xff, 0x83, 0x0f, 0x85, 0x74, 0xc3,
                                       0x55, 0x5d, 0x31, 0xc0, 0x01, 0x39, 0x75, 0xeb, 0x8d, 0x00};
  std::string out;
  out.reserve(size);
  std::geometric_distribution<int> op(0.18);
  std::vector<std::uint32_t> functions;
  for (int i = 0; i < 512; ++i) functions.push_back(static_cast<std::uint32_t>(rng() % (size + 1)));
  while (out.size() < size) {
    int k = op(rng) % static_cast<int>(sizeof kOps);
    out.push_back(static_cast<char>(kOps[k]));
    if (kOps[k] == 0xe8 || kOps[k] == 0x8d) {  // a call or an address: 4 bytes
      std::uint32_t target = functions[rng() % functions.size()] + 0x401000;
      for (int b = 0; b < 4; ++b) out.push_back(static_cast<char>(target >> (8 * b)));
    } else if (rng() % 3 == 0) {
      out.push_back(static_cast<char>(rng() % 64));
    }
    if (out.size() > 4096 && rng() % 40 == 0) {  // an inlined sequence seen before
      std::size_t from = rng() % (out.size() - 200);
      out.append(out, from, 20 + rng() % 120);
    }
  }
  out.resize(size);
  return out;
}

std::string Table(Rng& rng, std::size_t size) {
  std::string out;
  out.reserve(size);
  std::uint32_t id = 1000000;
  while (out.size() < size) {
    id += 1 + rng() % 3;
    std::uint32_t fields[6] = {id, static_cast<std::uint32_t>(rng() % 100), static_cast<std::uint32_t>(rng() % 5000),
                               static_cast<std::uint32_t>(rng() % 2), 0, static_cast<std::uint32_t>(rng() % 70000)};
    out.append(reinterpret_cast<const char*>(fields), sizeof fields);
  }
  out.resize(size);
  return out;
}

std::string Text(Rng& rng, std::size_t size) {
  static const char* kWords[] = {"the", "sword", "of", "quest", "reward", "item", "level", "player", "guild",
                                 "mission", "shield", "armor", "mana", "damage", "heal", "zone", "npc", "vendor"};
  std::string out;
  while (out.size() < size) {
    out += kWords[rng() % (sizeof kWords / sizeof *kWords)];
    out += rng() % 12 == 0 ? "\r\n" : " ";
  }
  out.resize(size);
  return out;
}

std::string Packed(Rng& rng, std::size_t size) {
  std::string out(size, '\0');
  for (char& c : out) c = static_cast<char>(rng());
  return out;
}

std::string Content(Rng& rng, int kind, std::size_t size) {
  switch (kind) {
    case 0: return Code(rng, size);
    case 1: return Table(rng, size);
    case 2: return Text(rng, size);
    default: return Packed(rng, size);
  }
}

// Small scattered edits, a few insertions and deletions.
std::string Edit(Rng& rng, std::string data, int kind) {
  const std::size_t edits = 4 + data.size() / (256 << 10);
  for (std::size_t i = 0; i < edits && !data.empty(); ++i) {
    std::size_t at = rng() % data.size();
    std::size_t run = 1 + rng() % 12;
    for (std::size_t j = at; j < std::min(data.size(), at + run); ++j) data[j] = static_cast<char>(rng());
  }
  const int shifts = 1 + static_cast<int>(data.size() / (4 << 20));
  for (int i = 0; i < shifts && data.size() > 8192; ++i) {
    std::size_t at = rng() % data.size();
    data.insert(at, Content(rng, kind, 64 + rng() % 8192));
    std::size_t cut = rng() % (data.size() - 4096);
    data.erase(cut, 16 + rng() % 2048);
  }
  return data;
}

void Write(const std::filesystem::path& path, const std::string& data) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUT\n", argv[0]);
    return 2;
  }
  const std::filesystem::path out = argv[1];
  Rng rng(20240601);
  const char* folders[] = {"", "bin/", "cd_image/data/", "cd_image/data/gui/", "cd_image/data/maps/",
                           "cd_image/data/sound/"};
  const std::size_t big[] = {20u << 20, 16u << 20, 12u << 20, 8u << 20};
  std::size_t total = 0;
  for (int i = 0; i < 100; ++i) {
    std::size_t size;
    if (i < 4) {
      size = big[i];
    } else {
      std::uniform_real_distribution<double> logSize(std::log(40e3), std::log(1.6e6));
      size = static_cast<std::size_t>(std::exp(logSize(rng)));
    }
    const int kind = i < 4 ? static_cast<int>(i % 2) : static_cast<int>(rng() % 4);
    static const char* kExt[] = {".dll", ".tbl", ".txt", ".pak"};
    const std::string name = std::string(folders[rng() % 6]) + "file" + std::to_string(i) + kExt[kind];
    const std::string old = Content(rng, kind, size);
    const int fate = static_cast<int>(rng() % 100);
    if (i % 30 == 10) {  // removed
      Write(out / "old" / name, old);
    } else if (i % 30 == 20) {  // added
      Write(out / "new" / name, old);
    } else if (fate < 25 && i >= 4) {  // unchanged
      Write(out / "old" / name, old);
      Write(out / "new" / name, old);
    } else {
      Write(out / "old" / name, old);
      Write(out / "new" / name, Edit(rng, old, kind));
    }
    total += size;
  }
  std::printf("%zu bytes in 100 files\n", total);
  return 0;
}
