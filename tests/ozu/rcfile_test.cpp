// The rc file reader: logical lines, stanza headers and aliases, host
// lists, principals and method lists. Each case reads in a child process,
// since the site list lives for the whole run.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "client_process.h"
#include "ozurc.h"
#include "ozuvars.h"

namespace {

class RcFile : public ::testing::Test {
 protected:
  void SetUp() override
  {
    char tmpl[] = "/tmp/ozu_rc_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
  }
  void TearDown() override
  {
    unlink((dir + "/ozurc").c_str());
    unlink((dir + "/.ozurc").c_str());
    rmdir(dir.c_str());
  }
  void write(const std::string &name, const std::string &text)
  {
    FILE *f = fopen((dir + "/" + name).c_str(), "w");
    fputs(text.c_str(), f);
    fclose(f);
  }
  // Reads both files in a child and runs check there.
  ChildResult read(const std::function<int()> &check)
  {
    std::string d = dir;
    return runInChild([d, check] {
      setenv("QUOR_CFG_FILE_PATH", d.c_str(), 1);
      localHomeDir = strdup(d.c_str());
      errFile = listF = stderr;
      ozu_InitGlobals();
      ozu_ReadRcFile(0);
      return check();
    });
  }
  std::string dir;
};

site_connection_t *site(int n)
{
  site_connection_t *s = siteList;
  while (s && n-- > 0)
    s = s->next;
  return s;
}

TEST_F(RcFile, ContinuationLinesHostsAndAliases)
{
  write("ozurc",
        "a,b:\n"
        "  host h1.example, \\\n"
        "       h2 \\\n"  // an unquoted value ends at the blank
        "x,\n"
        "  host h3, \\\n"
        "# a comment ends the line\n"
        "  host ,h1.example,,\n"
        "c,b:\n"
        "  port 7\n");
  ChildResult r = read([] {
    int f = 0;
    site_connection_t *a = site(0);
    CHILD_CHECK(f, a != nullptr && site(1) == nullptr);
    if (!a)
      return f + 1;
    CHILD_EQ(f, a->aliasCount, 2);
    CHILD_EQ(f, a->hostListCount, 3);
    CHILD_CHECK(f, a->hostListCount == 3 && strcmp(a->hostList[0].theHost, "h1.example") == 0 &&
                       strcmp(a->hostList[1].theHost, "h2") == 0 &&
                       strcmp(a->hostList[2].theHost, "h3") == 0);
    CHILD_EQ(f, a->port, 0);
    int n = 0;
    ozu_RcLookupSiteByHost("h1", &n);
    CHILD_EQ(f, n, 1);
    CHILD_CHECK(f, ozu_RcLookupSiteByName("B") == a && strcmp(a->siteName, "b") == 0);
    return f;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  EXPECT_NE(r.stderrText.find("*** checkStanzaNames: alias stanza name 'b' at line 8 of local file"),
            std::string::npos)
      << r.stderrText;
}

TEST_F(RcFile, GlobalWithAliasesEndsTheFile)
{
  write("ozurc", "copies 2\nx,global:\ncopies 3\n");
  write(".ozurc", "copies 4\n");
  ChildResult r = read([] {
    int f = 0;
    CHILD_EQ(f, globalDefs.defaultCopies, 4);
    CHILD_CHECK(f, siteList == nullptr);
    return f;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  EXPECT_NE(r.stderrText.find(" <global> stanza line may not contain alias stanza names"),
            std::string::npos);
}

TEST_F(RcFile, PrincipalsMethodsAndPrivateOverrides)
{
  write("ozurc",
        "authmethod combo:keytab\n"
        "s:\n"
        "  authmethod keytab\n"
        "  keytab /k/%U.kt\n"
        "  authmethod combo\n"
        "  principal bob\n"
        "  principal alice,keytab:combo\n"
        "  site_authmethod keytab:bogus\n"
        "  drive h\n"
        "  host g1,g2\n");
  write(".ozurc", "s:\n  host p1, \\\n  p2\n  authmethod keytab\n  cos auto\n");
  ChildResult r = read([] {
    int f = 0;
    site_connection_t *s = site(0);
    if (!s)
      return 1;
    CHILD_CHECK(f, strcmp(s->principalList->loginName, "alice") == 0);
    CHILD_EQ(f, s->principalList->authMethodCount, 2);
    CHILD_EQ(f, s->defaultAuthMethodCount, 2);
    CHILD_EQ(f, s->drive, 0);
    CHILD_EQ(f, s->hostListCount, 2);
    CHILD_CHECK(f, strcmp(s->hostList[0].theHost, "p1") == 0 && s->hostList[0].userRcFile == 1);
    authmethod_info_t *k = ozu_RcLookupAuthMethodByType(s, 64);
    CHILD_CHECK(f, k != nullptr && k->userOzurcFlag == 1 && k->localFile == nullptr);
    CHILD_EQ(f, s->startupCOS, 0);
    return f;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  EXPECT_NE(r.stderrText.find("*** Bad drive letter 'h'"), std::string::npos);
  EXPECT_NE(r.stderrText.find("unrecognized authentication method: bogus"), std::string::npos);
}

}  // namespace
