// Patch notes from a real news page, from an unreachable one, and from the
// local "Patches\Changes.txt".
#include <gmock/gmock.h>

#include "tests/net/net_e2e_support.h"

namespace qx::test {
namespace {

using ::testing::HasSubstr;

class PatchNotesTest : public NetE2eTest {
 protected:
  std::string Notes(const std::string& a_sAddress, bool a_bLocal = false) {
    TestConnection_c conn;
    conn.SetTargetVersion("1.1");
    if (a_bLocal) conn.SetLocalMode(true);
    InWindow([&](CQuorvexPatcherDlg&) { conn.GetPatchNotes(a_sAddress); });
    return conn.GetNotesText();
  }
};

TEST_F(PatchNotesTest, TheMarkedPartOfTheNewsPageAsText) {
  m_site.Write("news/page.html",
               "<html><head><title>News</title></head><body>\r\n<!--QXMSG.begin -->\r\n<p>New <b>things</b>:</p>"
               "<ul>\r\n<li>one&nbsp;</li>\r\n<li>two</li></ul><!--QXMSG.end -->\r\n<p>footer</p></body></html>");
  EXPECT_EQ("\r\n\r\nNew things:\r\none\r\ntwo\r\n", Notes("http://127.0.0.1:" + std::to_string(Port()) + "/news/page.html"));
  const auto requests = m_server.GetRequests();
  ASSERT_EQ(1u, requests.size());
  EXPECT_EQ("GET /news/page.html HTTP/1.1\r\nHost: 127.0.0.1\r\nPragma: no-cache\r\nCache-Control: no-cache\r\n"
            "Connection: close\r\n\r\n",
            requests[0].raw);
}

TEST_F(PatchNotesTest, AnUnreachableSiteIsNamedInTheNotes) {
  struct Case_t {
    const char* address;
    const char* notes;
  } cases[] = {
      {"http://127.0.0.1:1/news/page.html",
       "The site '127.0.0.1' is not available at the moment.If the problem persists, please contact support:  "
       "support@quorvex-online.com"},
      {"about:blank",
       "The site '' is not available at the moment.If the problem persists, please contact support:  "
       "support@quorvex-online.com"},
  };
  for (const Case_t& c : cases) {
    SCOPED_TRACE(c.address);
    EXPECT_EQ(c.notes, Notes(c.address));
  }
  EXPECT_TRUE(Boxes().empty());
}

TEST_F(PatchNotesTest, LocalNotesComeFromChangesTxtAsTheyStand) {
  WriteSiteFile(m_install / "Patches/Changes.txt", "Fixes:\r\n<b>bold</b>  text\n\nend");
  EXPECT_EQ("Fixes:\r\n<b>bold</b>  text\r\n\r\nend\r\n", Notes("http://unused/", true));
  std::filesystem::remove(m_install / "Patches/Changes.txt");
  EXPECT_EQ("\r\nPatching version 1.0 to 1.1.\r\n\r\nPlease see http://www.quorvex-online.com for more information.\r\n",
            Notes("http://unused/", true));
  EXPECT_TRUE(m_server.GetRequests().empty());
}

}  // namespace
}  // namespace qx::test
