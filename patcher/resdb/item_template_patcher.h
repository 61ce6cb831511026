// Item template patching: the package of key (1000020, 0) in a resource patch
// (layout in resource_patch_format.h) becomes one record per template.
//
// Load inflates the package into the patcher's memory stream; Store writes
// every template entry as the record (Type, Instance) with the 12-byte
// template header in front of the template bytes. Templates of bit 15 go to
// Type 1040005, the others to 1000020.
//
// The user is told through message boxes (OK, the application's title):
//  - "Template-data is corrupt, unable to patch.\nPlease download the patch
//    again, sorry about that..." when the package does not inflate, and when
//    the template data ends inside an entry (the entries before it are
//    stored, the rest of the package is given up);
//  - "Failure writing item-templates. You should reinstall QX." the first
//    time in the process that a template cannot be stored; a template that
//    cannot be stored is skipped and the rest go on.
// A package that fails affects only itself: later packages (of later
// resource patches in the same run) are stored in full.
//
// Progress: after every entry the function registered with
// SetItemDataProgressCallback (if any) receives read position / size of the
// template data.
//
// The patcher does not own the database; it must stay open while Store runs.
// One thread; PatchDatabase makes one patcher per package.
#pragma once

#include <cstdint>
#include <vector>

#include "patcher/resdb/binary_stream.h"

class BlockDatabase_t;

using ItemDataProgressProc = void (*)(float a_fFraction);
void SetItemDataProgressCallback(ItemDataProgressProc a_pCallback);

class ItemTemplatePatcher {
 public:
  explicit ItemTemplatePatcher(BlockDatabase_t& a_rDatabase);
  ItemTemplatePatcher(const ItemTemplatePatcher&) = delete;
  ItemTemplatePatcher& operator=(const ItemTemplatePatcher&) = delete;

  // The package's S bytes; afterwards the template data is in the stream with
  // the read position at its start (empty when the package is corrupt).
  void Load(const std::uint8_t* a_pPackage, std::uint32_t a_nSize);
  // Writes every entry of the loaded template data to the database.
  void Store();

  // The failure box is shown once per process; tests start afresh with this.
  static void ForgetReportedFailure();

 private:
  BlockDatabase_t& m_rDatabase;
  BinaryStream m_stream;
  std::uint32_t m_nInstance = 0;
  bool m_bAborted = false;
  std::vector<std::uint8_t> m_record;
};
