#include "patcher/integrity/file_digest.h"

#define CRYPTOPP_ENABLE_NAMESPACE_WEAK 1
#include <cryptopp/md5.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>

#include "patcher/integrity/checksum_list_format.h"
#include "patcher/resources/resource.h"
#include "patcher/resources/resources.h"
#include "platform/format.h"
#include "platform/fs/file_ops.h"
#include "platform/fs/path.h"
#include "platform/fs/stdio_file.h"
#include "platform/ui/app.h"
#include "platform/ui/message_box.h"
#include "platform/ui/window.h"

namespace {

// Large reads keep the digest at the speed of the disk; the block size has no
// effect on the result.
constexpr std::size_t kReadBlock = 1 << 20;

}  // namespace

bool ComputeFileMD5(const char* a_pzPath, unsigned char* a_digest) {
  const int fd = ::open(qx::fs::ResolvePath(a_pzPath).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    std::printf("%s can't be opened\n", a_pzPath);
    std::fflush(stdout);
    return false;
  }
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  std::unique_ptr<unsigned char[]> block(new unsigned char[kReadBlock]);
  CryptoPP::Weak::MD5 md5;
  bool complete = false;
  for (;;) {
    const ssize_t got = ::read(fd, block.get(), kReadBlock);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) break;  // a folder, an I/O error: no digest of part of a file
    if (got == 0) {
      complete = true;
      break;
    }
    md5.Update(block.get(), static_cast<std::size_t>(got));
  }
  ::close(fd);
  if (!complete) return false;
  md5.Final(a_digest);
  return true;
}

std::string DigestText(const unsigned char* a_digest) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(2 * kDigestBytes);
  for (int i = 0; i < kDigestBytes; ++i) {
    text += kDigits[a_digest[i] >> 4];
    text += kDigits[a_digest[i] & 0x0f];
  }
  return text;
}

bool CheckFileDigests(const char* a_pzListPath) {
  CStdioFile list;
  if (!list.Open(a_pzListPath, CFile::modeRead | CFile::shareDenyWrite | CFile::typeText)) {
    AfxMessageBox(std::string("Fatal error! Couldn't open ") + a_pzListPath, MB_OK);
    return false;
  }
  CWnd* window = AfxGetMainWnd();
  std::string line, name, expected;
  for (;;) {
    bool more = false;
    try {
      more = list.ReadString(line);
    } catch (const CFileException&) {
      // A list that cannot be read to its end cannot vouch for anything.
      AfxMessageBox(std::string("Fatal error! Couldn't open ") + a_pzListPath, MB_OK);
      return false;
    }
    if (!more) break;
    const ChecksumLine_t kind = SplitChecksumLine(line, name, expected);
    if (kind == ChecksumLine_t::kNothing) continue;
    if (kind == ChecksumLine_t::kNoColon) {
      AfxMessageBox(std::string("Error in checksum file ") + a_pzListPath, MB_OK);
      return false;
    }
    const std::string path = "Patches\\" + name;
    if (window != nullptr) {
      window->SetDlgItemText(IDC_STATUS, "Checksumming file \"" + path + "\", please wait...");
      window->SendMessage(WM_PATCHER_SETRANGE, 0, 10);
      window->SetTimer(TIMER_ACTIVITY, TIMER_ACTIVITY_MS);
    }
    unsigned char digest[kDigestBytes];
    const bool computed = ComputeFileMD5(path.c_str(), digest);
    if (window != nullptr) window->KillTimer(TIMER_ACTIVITY);
    if (computed && DigestText(digest) == expected) continue;

    const std::string text = FormatString(qx::patcher::LoadPatcherString(IDS_CHECKSUM_MISMATCH).c_str(), path.c_str(),
                                          qx::patcher::LoadPatcherString(IDS_CONTACT_SUPPORT).c_str());
    AfxMessageBox(text, MB_OK);
    ::DeleteFileA(path.c_str());
    return false;
  }
  list.Abort();  // read only: nothing to flush
  return true;
}
