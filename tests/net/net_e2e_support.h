// Support for the end-to-end network tests: a patch server's folder laid out
// as a real one, an installation that trusts the test's key, and a fixture
// that runs InetConnection_c inside the real patcher window against the
// fault-injecting HTTP server.
//
// Site layout (below the site folder, served as the web root):
//   patchservers.txt                         the dimension's server list
//   <folder>/map                             a patch server's version map
//   <folder>/v<from>-v<to>/<STEM>.RTP|RES|CHK|SIG   one patch set
//   <folder>/Maintenance/<version>/<name>.gz        maintenance files
// The CHK list names the RTP and RES files with their MD5 digests and the
// SIG file holds its signature made with the test's private key; the
// installation's "cd_image\data\launcher\varnok.pub" holds the public key.
#pragma once

#include <gtest/gtest.h>
#include <zlib.h>

#define CRYPTOPP_ENABLE_NAMESPACE_WEAK 1
#include <cryptopp/md5.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "patcher/app/patcher_dlg_test_support.h"
#include "patcher/integrity/file_digest.h"
#include "patcher/integrity/integrity_test_support.h"
#include "patcher/layout/pref_archive.h"
#include "patcher/net/inet_connection.h"
#include "patcher/net/patch_set_format.h"
#include "patcher/net/run_state.h"
#include "patcher/net/transfer_progress.h"
#include "platform/ui/answers.h"
#include "platform/ui/renderer.h"
#include "platform/ui/transcript.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_installation.h"
#include "tools/httpd/http_server.h"

namespace qx::test {

inline void WriteSiteFile(const std::string& a_sPath, const std::string& a_sContent) {
  std::filesystem::create_directories(std::filesystem::path(a_sPath).parent_path());
  WriteBytes(a_sPath, a_sContent);
}

inline std::string Md5Of(const std::string& a_sData) {
  unsigned char digest[kDigestBytes];
  CryptoPP::Weak::MD5().CalculateDigest(digest, reinterpret_cast<const CryptoPP::byte*>(a_sData.data()),
                                        a_sData.size());
  return DigestText(digest);
}

inline std::string GzipOf(const std::string& a_sData) {
  std::string out(compressBound(static_cast<uLong>(a_sData.size())) + 64, '\0');
  z_stream stream{};
  deflateInit2(&stream, Z_BEST_SPEED, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(a_sData.data()));
  stream.avail_in = static_cast<uInt>(a_sData.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  deflate(&stream, Z_FINISH);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

// The content of a patch set as it lies on the server.
struct PatchSetContent_t {
  std::string name, stem, rtp, res, chk, sig;
  std::string Of(const std::string& a_sExtension) const {
    if (a_sExtension == "RTP") return rtp;
    if (a_sExtension == "RES") return res;
    if (a_sExtension == "CHK") return chk;
    return sig;
  }
};

class PatchSite_c {
 public:
  explicit PatchSite_c(TestSigner_c& a_rSigner) : m_rSigner(a_rSigner) {}

  const std::string& Root() const { return m_dir.path().native(); }
  std::string operator/(const std::string& a_sName) const { return m_dir / a_sName; }

  void Write(const std::string& a_sName, const std::string& a_sContent) const { WriteSiteFile(m_dir / a_sName, a_sContent); }

  // A signed patch set from `a_sFrom` to `a_sTo` below `a_sFolder` ("" for the root).
  PatchSetContent_t AddPatch(const std::string& a_sFolder, const std::string& a_sFrom, const std::string& a_sTo,
                             std::size_t a_nSize = 5000) {
    PatchSetContent_t set;
    set.name = PatchName(a_sFrom, a_sTo);
    set.stem = PatchStem(set.name);
    for (std::size_t i = 0; i < a_nSize; ++i) {
      set.rtp += static_cast<char>('a' + (i * 7 + a_sTo.size()) % 26);
      set.res += static_cast<char>((i * 31 + 5) & 0xff);
    }
    set.chk = "# checksums of " + set.name + "\r\n" + set.stem + ".RTP:" + Md5Of(set.rtp) + "\r\n" + set.stem +
              ".RES:" + Md5Of(set.res) + "\r\n";
    set.sig = m_rSigner.SignHex(set.chk) + "\r\n";
    for (const char* extension : kPatchExtensions) Write(RemoteName(a_sFolder, set.name, extension), set.Of(extension));
    return set;
  }
  static std::string RemoteName(const std::string& a_sFolder, const std::string& a_sName, const std::string& a_sExtension) {
    return (a_sFolder.empty() ? std::string() : a_sFolder + "/") + a_sName + "/" + PatchStem(a_sName) + "." + a_sExtension;
  }

 private:
  TestSigner_c& m_rSigner;
  TempDir m_dir;
};

// The transcript's message boxes and status lines.
inline std::vector<ui::TranscriptEntry_t> Boxes() { return ui::CTranscript::Instance().Entries(ui::TranscriptKind::kMessageBox); }
inline std::vector<std::string> BoxTexts() {
  std::vector<std::string> texts;
  for (const auto& box : Boxes()) texts.push_back(box.text);
  return texts;
}
inline std::vector<std::string> StatusLines() {
  std::vector<std::string> lines;
  for (const auto& e : ui::CTranscript::Instance().Entries(ui::TranscriptKind::kStatus)) lines.push_back(e.text);
  return lines;
}

// Each test: a fresh installation that trusts the test's key and has
// "version.id" 1.0, a site folder served by the fault server, an empty
// transcript and answers list.
class NetE2eTest : public ::testing::Test {
 protected:
  static TestSigner_c& Signer() {
    static TestSigner_c signer;
    return signer;
  }
  // The installation is ready before the fixtures of derived tests (which
  // may read "version.id") are made.
  NetE2eTest() {
    std::filesystem::create_directories(m_install / "cd_image/data/launcher");
    WriteBytes(m_install / "cd_image/data/launcher/varnok.pub", Signer().PublicKeyHex() + "\r\n");
    WriteBytes(m_install / "version.id", "1.0\r\n");
  }
  void SetUp() override {
    ui::SetRenderer(nullptr);
    ui::CAnswerList::Instance().Clear();
    ui::CTranscript::Instance().Clear();
    SetQuitRequested(false);
    GetTransferProgress().abortRequested = false;
    ClearPreferences();
    std::string error;
    ASSERT_TRUE(m_server.Start(0, "127.0.0.1", &error)) << error;
  }
  void TearDown() override { ui::CAnswerList::Instance().Clear(); }

  void Answers(std::vector<std::string> a_answers) { ui::CAnswerList::Instance().Set(std::move(a_answers)); }
  int Port() const { return m_server.GetPort(); }

  // A good server of this site's fault server below `a_sFolder`.
  ServerInfo_t Server(const std::string& a_sFolder, int a_nPort = 0) const {
    return ServerInfo_t{"test", "127.0.0.1", a_sFolder, a_nPort ? a_nPort : Port()};
  }

  // Runs `a_fnBody` inside the patcher window (worker started, time-out 5 s).
  void InWindow(const std::function<void(CQuorvexPatcherDlg&)>& a_fnBody) { RunInPatcherWindow(a_fnBody); }

  std::vector<std::string> RequestTargets(const std::string& a_sMethod = std::string()) const {
    std::vector<std::string> targets;
    for (const auto& request : m_server.GetRequests()) {
      if (a_sMethod.empty() || request.method == a_sMethod) targets.push_back(request.method + " " + request.target);
    }
    return targets;
  }

  TestInstallation m_install;
  PatchSite_c m_site{Signer()};
  httpd::HttpServer_c m_server{m_site.Root()};
};

// InetConnection_c with its protected state open to the tests and the first
// dimension server fixed.
class TestConnection_c : public InetConnection_c {
 public:
  using InetConnection_c::m_goodServers;
  using InetConnection_c::m_route;
  using InetConnection_c::m_sTargetVersion;
  std::size_t m_nFirstDimensionServer = 0;

 protected:
  std::size_t ChooseFirstDimensionServer(std::size_t) override { return m_nFirstDimensionServer; }
};

}  // namespace qx::test
