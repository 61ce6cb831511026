#include "patcher/resdb/item_template_patcher.h"

#include <zlib.h>

#include "patcher/resdb/block_database.h"
#include "patcher/resdb/bounded_uncompress.h"
#include "patcher/resdb/resource_patch_format.h"
#include "platform/ui/message_box.h"

namespace fmt = ResourcePatchFormat;

namespace {

constexpr const char* kCorruptText =
    "Template-data is corrupt, unable to patch.\nPlease download the patch again, sorry about that...";
constexpr const char* kWriteFailureText = "Failure writing item-templates. You should reinstall QX.";

ItemDataProgressProc s_pProgress = nullptr;
// Set after the first failure box; the box is shown once per process run.
bool s_bFailureReported = false;

}  // namespace

void SetItemDataProgressCallback(ItemDataProgressProc a_pCallback) { s_pProgress = a_pCallback; }

void ItemTemplatePatcher::ForgetReportedFailure() { s_bFailureReported = false; }

ItemTemplatePatcher::ItemTemplatePatcher(BlockDatabase_t& a_rDatabase)
    : m_rDatabase(a_rDatabase), m_stream(2048), m_record(fmt::kMaxTemplateRecordSize) {
  m_stream.ByteOrder(BinaryStream::Native);
}

void ItemTemplatePatcher::Load(const std::uint8_t* a_pPackage, std::uint32_t a_nSize) {
  m_stream.SetState(0);
  m_bAborted = false;
  std::vector<std::uint8_t> data;
  // A package too short for its size word holds no zlib data at all.
  int result = Z_DATA_ERROR;
  if (a_pPackage && a_nSize >= fmt::kPackageHeaderSize) {
    const std::uint32_t uncompressedSize = fmt::LoadLittle32(a_pPackage);
    result = BoundedUncompress(a_pPackage + fmt::kPackageHeaderSize, a_nSize - fmt::kPackageHeaderSize,
                               uncompressedSize, data);
  }
  if (result != Z_OK) {
    AfxMessageBox(kCorruptText, MB_OK);
    m_bAborted = true;
    return;
  }
  m_stream.Write(data.data(), static_cast<std::uint32_t>(data.size()));
  m_stream.SeekWrite(0);
}

void ItemTemplatePatcher::Store() {
  if (m_bAborted || m_stream.ReadPosition() >= m_stream.Size()) return;
  for (;;) {
    std::uint16_t header = 0;
    m_stream.ReadU16(&header).ReadU32(&m_nInstance);
    const std::uint32_t type = fmt::TemplateTypeOf(header);
    const std::uint32_t length = fmt::TemplateLengthOf(header);
    fmt::WriteTemplateRecordHeader(m_record.data(), type, m_nInstance);
    m_stream.Read(m_record.data() + fmt::kTemplateRecordHeaderSize, length);
    if (m_stream.State() != 0) {
      // The data ends inside an entry: a failed read does not move the read
      // position, so the loop would make no progress. What follows is lost.
      AfxMessageBox(kCorruptText, MB_OK);
      return;
    }
    if (m_rDatabase.Put(type, m_nInstance, fmt::kTemplateRecordHeaderSize + length, m_record.data()) != 0) {
      if (!s_bFailureReported) AfxMessageBox(kWriteFailureText, MB_OK);
      s_bFailureReported = true;
    }
    const std::uint32_t position = m_stream.ReadPosition();
    const std::uint32_t size = m_stream.Size();
    if (s_pProgress) s_pProgress(static_cast<float>(position) / static_cast<float>(size));
    if (position >= size) return;
  }
}
