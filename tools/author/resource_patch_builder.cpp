#include "tools/author/resource_patch_builder.h"

#include <zlib.h>

#include <cstdio>
#include <filesystem>
#include <limits>
#include <memory>
#include <string_view>
#include <system_error>
#include <vector>

#include "patcher/resdb/binary_stream.h"
#include "patcher/resdb/block_database.h"
#include "patcher/resdb/resource_patch_format.h"
#include "platform/fs/path.h"

namespace qx::author {

namespace fmt = ResourcePatchFormat;

namespace {

std::string KeyText(const ResourceKey& key) {
  return "(" + std::to_string(key.Type) + ", " + std::to_string(key.Instance) + ")";
}

// One database walked in key order; an empty path walks nothing.
class Walk_c {
 public:
  bool Open(const std::string& path, std::string* error) {
    if (path.empty()) {
      m_bAtEnd = true;
      return true;
    }
    m_database = std::make_unique<BlockDatabase_t>(true);
    if (m_database->Open(path.c_str(), true) != 0) {
      *error = "cannot open the resource database " + path;
      return false;
    }
    m_path = path;
    m_cursor = std::make_unique<BlockDatabaseCursor>(*m_database);
    return Next(error);
  }
  // Moves to the next record; at the end AtEnd() becomes true.
  bool Next(std::string* error) {
    if (!m_cursor) {
      m_bAtEnd = true;
      return true;
    }
    const int rc = m_cursor->Next(&m_key.Type, &m_key.Instance, &m_nSize, &m_pData);
    if (rc == 101) {
      m_bAtEnd = true;
      return true;
    }
    if (rc != 0) {
      *error = "cannot read " + m_path + " after key " + KeyText(m_key) + " (code " + std::to_string(rc) + ")";
      return false;
    }
    return true;
  }
  bool AtEnd() const { return m_bAtEnd; }
  const ResourceKey& Key() const { return m_key; }
  std::string_view Blob() const { return {reinterpret_cast<const char*>(m_pData), m_nSize}; }

 private:
  std::unique_ptr<BlockDatabase_t> m_database;
  std::unique_ptr<BlockDatabaseCursor> m_cursor;
  std::string m_path;
  ResourceKey m_key;
  std::uint32_t m_nSize = 0;
  const std::uint8_t* m_pData = nullptr;
  bool m_bAtEnd = false;
};

bool Deflate(std::string_view data, int level, std::string& out, std::string* error) {
  uLongf length = compressBound(static_cast<uLong>(data.size()));
  out.resize(length);
  const int rc = compress2(reinterpret_cast<Bytef*>(out.data()), &length, reinterpret_cast<const Bytef*>(data.data()),
                           static_cast<uLong>(data.size()), level);
  if (rc != Z_OK) {
    *error = "zlib compress2 failed with " + std::to_string(rc);
    return false;
  }
  out.resize(length);
  return true;
}

bool FitsWord(std::size_t size) { return size <= std::numeric_limits<std::uint32_t>::max(); }

class Builder_c {
 public:
  Builder_c(const ResourcePatchOptions_t& options, ResourcePatchStats_t& stats, std::string* error)
      : m_options(options), m_stats(stats), m_error(error) {}

  bool Build(const std::string& oldDatabase, const std::string& newDatabase, const std::string& patchPath) {
    Walk_c oldSide, newSide;
    if (!oldSide.Open(oldDatabase, m_error) || !newSide.Open(newDatabase, m_error)) return false;
    const std::string spoolPath = patchPath + ".stores";
    const std::string partPath = patchPath + ".part";
    bool ok;
    {
      BinaryStream spool(spoolPath, BinaryStream::MODE_CREATE);
      if (spool.State() != 0) {
        *m_error = "cannot create " + spoolPath;
        return false;
      }
      ok = Merge(oldSide, newSide, spool);
      if (ok && spool.State() != 0) {
        *m_error = "cannot write " + spoolPath;
        ok = false;
      }
    }
    ok = ok && Assemble(spoolPath, partPath);
    std::error_code ec;
    std::filesystem::remove(fs::ResolvePath(spoolPath), ec);
    if (ok) {
      std::filesystem::rename(fs::ResolvePath(partPath), fs::ResolvePath(patchPath), ec);
      if (ec) {
        *m_error = "cannot rename " + partPath + " to " + patchPath + ": " + ec.message();
        ok = false;
      }
    }
    if (!ok) std::filesystem::remove(fs::ResolvePath(partPath), ec);
    return ok;
  }

 private:
  bool Merge(Walk_c& oldSide, Walk_c& newSide, BinaryStream& spool) {
    while (!oldSide.AtEnd() || !newSide.AtEnd()) {
      const bool oldOnly = newSide.AtEnd() || (!oldSide.AtEnd() && oldSide.Key() < newSide.Key());
      const bool newOnly = oldSide.AtEnd() || (!newSide.AtEnd() && newSide.Key() < oldSide.Key());
      if (oldOnly) {
        m_deletes.push_back(oldSide.Key());
        ++m_stats.deletes;
        if (!oldSide.Next(m_error)) return false;
      } else if (newOnly) {
        if (!Store(newSide.Key(), nullptr, newSide.Blob(), spool)) return false;
        if (!newSide.Next(m_error)) return false;
      } else {
        if (oldSide.Blob() == newSide.Blob()) {
          ++m_stats.unchanged;
        } else {
          const std::string_view oldBlob = oldSide.Blob();
          if (!Store(newSide.Key(), &oldBlob, newSide.Blob(), spool)) return false;
        }
        if (!oldSide.Next(m_error) || !newSide.Next(m_error)) return false;
      }
    }
    return true;
  }

  bool Store(const ResourceKey& key, const std::string_view* oldBlob, std::string_view blob, BinaryStream& spool) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(blob.data());
    const auto size = static_cast<std::uint32_t>(blob.size());
    if (fmt::IsTemplateRecord(key.Type, key.Instance, bytes, size)) {
      const std::uint32_t length = size - fmt::kTemplateRecordHeaderSize;
      const std::uint16_t header = fmt::TemplateHeaderWord(key.Type, length);
      std::uint8_t entry[fmt::kTemplateEntryHeaderSize] = {static_cast<std::uint8_t>(header & 0xff),
                                                           static_cast<std::uint8_t>(header >> 8)};
      fmt::StoreLittle32(entry + 2, key.Instance);
      m_templateData.append(reinterpret_cast<const char*>(entry), sizeof entry);
      m_templateData.append(blob.substr(fmt::kTemplateRecordHeaderSize));
      ++m_stats.templates;
      return true;
    }
    switch (fmt::ClassifyStoreEntry(m_options.version, key.Type, key.Instance, size)) {
      case fmt::StoreEntry_e::kTemplatePackage:
        *m_error = "record " + KeyText(key) +
                   " is not an item template; a resource patch can carry that key only as a template";
        return false;
      case fmt::StoreEntry_e::kBinaryPatch: {
        std::string patch;
        if (!rtpatch::BuildBlobPatch(oldBlob ? *oldBlob : std::string_view(), blob, patch, m_options.blobPatch,
                                     m_error)) {
          *m_error = "binary patch of record " + KeyText(key) + ": " + *m_error;
          return false;
        }
        if (!FitsWord(patch.size())) {
          *m_error = "binary patch of record " + KeyText(key) + " is too large";
          return false;
        }
        spool.WriteU32(key.Type).WriteU32(key.Instance).WriteU32(static_cast<std::uint32_t>(patch.size()));
        spool.Write(patch.data(), static_cast<std::uint32_t>(patch.size()));
        ++m_stats.binaryPatches;
        return true;
      }
      case fmt::StoreEntry_e::kCompressed: {
        std::string z;
        if (!Deflate(blob, m_options.level, z, m_error)) return false;
        spool.WriteU32(key.Type).WriteU32(key.Instance).WriteU32(size);
        spool.WriteU32(static_cast<std::uint32_t>(z.size())).Write(z.data(), static_cast<std::uint32_t>(z.size()));
        ++m_stats.compressed;
        return true;
      }
      case fmt::StoreEntry_e::kEmpty:
        spool.WriteU32(key.Type).WriteU32(key.Instance).WriteU32(0);
        ++m_stats.compressed;
        return true;
    }
    return false;
  }

  bool Assemble(const std::string& spoolPath, const std::string& partPath) {
    std::string package;
    if (!m_templateData.empty()) {
      std::string z;
      if (!FitsWord(m_templateData.size()) || !Deflate(m_templateData, m_options.level, z, m_error)) {
        if (m_error->empty()) *m_error = "the item templates do not fit one package";
        return false;
      }
      std::uint8_t size[4];
      fmt::StoreLittle32(size, static_cast<std::uint32_t>(m_templateData.size()));
      package.assign(reinterpret_cast<const char*>(size), sizeof size);
      package += z;
      if (!FitsWord(package.size())) {
        *m_error = "the item templates do not fit one package";
        return false;
      }
    }
    const std::uint64_t stores = m_stats.compressed + m_stats.binaryPatches + (package.empty() ? 0 : 1);
    const std::uint64_t total = m_deletes.size() + stores;
    if (total > std::numeric_limits<std::uint32_t>::max()) {
      *m_error = "too many entries for one resource patch";
      return false;
    }
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> spoolFile(std::fopen(fs::ResolvePath(spoolPath).c_str(), "rb"),
                                                              &std::fclose);
    if (!spoolFile) {
      *m_error = "cannot read " + spoolPath;
      return false;
    }
    std::uint64_t written = 0;
    {
      BinaryStream out(partPath, BinaryStream::MODE_CREATE);
      out.WriteU32(m_options.version).WriteU32(static_cast<std::uint32_t>(total));
      out.WriteU32(static_cast<std::uint32_t>(m_deletes.size()));
      for (const ResourceKey& key : m_deletes) out.WriteU32(key.Type).WriteU32(key.Instance);
      out.WriteU32(static_cast<std::uint32_t>(stores));
      written = fmt::kFileHeaderSize + fmt::kDeleteEntrySize * m_deletes.size() + 4;
      std::vector<char> buffer(1 << 20);
      for (;;) {
        const std::size_t n = std::fread(buffer.data(), 1, buffer.size(), spoolFile.get());
        if (n == 0) break;
        out.Write(buffer.data(), static_cast<std::uint32_t>(n));
        written += n;
      }
      if (std::ferror(spoolFile.get())) {
        *m_error = "cannot read " + spoolPath;
        return false;
      }
      if (!package.empty()) {
        out.WriteU32(fmt::kTemplatePackageType).WriteU32(fmt::kTemplatePackageInstance);
        out.WriteU32(static_cast<std::uint32_t>(package.size())).Write(package.data(), static_cast<std::uint32_t>(package.size()));
        written += fmt::kStoreEntryHeaderSize + package.size();
      }
      if (out.State() != 0) {
        *m_error = "cannot write " + partPath;
        return false;
      }
    }
    // The stream reports no error of its closing: the file's size tells.
    std::error_code ec;
    const auto size = std::filesystem::file_size(fs::ResolvePath(partPath), ec);
    if (ec || size != written) {
      *m_error = "cannot write " + partPath;
      return false;
    }
    m_stats.size = written;
    return true;
  }

  const ResourcePatchOptions_t& m_options;
  ResourcePatchStats_t& m_stats;
  std::string* m_error;
  std::vector<ResourceKey> m_deletes;
  std::string m_templateData;
};

}  // namespace

bool BuildResourcePatch(const std::string& oldDatabase, const std::string& newDatabase, const std::string& patchPath,
                        const ResourcePatchOptions_t& options, ResourcePatchStats_t* stats, std::string* error) {
  std::string ignored;
  if (!error) error = &ignored;
  error->clear();
  if (!fmt::IsKnownVersion(options.version)) {
    *error = "unknown resource patch format " + std::to_string(options.version);
    return false;
  }
  if (options.level < 1 || options.level > 9) {
    *error = "zlib level " + std::to_string(options.level) + " is not 1..9";
    return false;
  }
  ResourcePatchStats_t local;
  Builder_c builder(options, local, error);
  const bool ok = builder.Build(oldDatabase, newDatabase, patchPath);
  if (ok && stats) *stats = local;
  return ok;
}

}  // namespace qx::author
