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
#include "temp_dir.h"

namespace {

class RcFile : public ::testing::Test {
 protected:
  void SetUp() override
  {
    dir = make_temp_dir("ozu_rc");
    ASSERT_FALSE(dir.empty());
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

namespace {

TEST_F(RcFile, EveryGlobalKey)
{
  write("ozurc",
        "autobackup on\nautoschedule off\ncksum_enabled on\ncksum_type sha512\ncolumns 120\n"
        "copies 0\ncos 12\ndisable_gets on\ndisable_puts on\ndcreate_mode 0750\ndrive q:\n"
        "enable_expiration on\nexpire_cfg_path /e/cfg\nenable_san3p on\nenable_ta_io off\n"
        "enable_local_ta_io off\nenable_lfm_io off\nenable_sharedmem on\nfamily_id 4\n"
        "fcreate_mode 0640\nfirewall on\nhelpfile /h/help\nquorconf_path /q/QUOR.conf\n"
        "keytab /k/%U\nlines 40\nmax_readdir 77\nmax_smallfile_size 2m\nmax_xfer_threads 6\n"
        "nologin_path /n/nologin\npromptlen 99\npromptdirlen 33\nPS1 'a> '\nPS2 'b> '\n"
        "read_disable_msg 'no reads'\nwrite_disable_msg 'no writes'\nsite s1\nthread_ssize 512k\n"
        "umask 022\nauthmethod keytab:combo\nprincipal %U@REALM\npwfile /p/pw\n");
  write(".ozurc", "site s2\npwfile /p/private\ncos auto\n");
  ChildResult r = read([] {
    int f = 0;
    const global_defs_t &g = globalDefs;
    CHILD_EQ(f, g.enableAutoBackup, 1);
    CHILD_EQ(f, g.enableAutoScheduling, 0);
    CHILD_EQ(f, g.cksumEnabled, 1);
    CHILD_EQ(f, g.cksumHashType, 5);
    CHILD_EQ(f, page_width, 120);
    CHILD_EQ(f, g.defaultCopies, 0);
    CHILD_EQ(f, g.startupCOS, 0);
    CHILD_EQ(f, g.disableReads + g.disableWrites, 2);
    CHILD_EQ(f, g.dir_create_mode, 0750);
    CHILD_EQ(f, g.defaultDrive, 'Q');
    CHILD_EQ(f, g.enableFileExpiration, 1);
    CHILD_CHECK(f, g.expireCfgFile && strcmp(g.expireCfgFile, "/e/cfg") == 0);
    CHILD_EQ(f, g.enableSanIo, 1);
    CHILD_EQ(f, g.enableTAIo + g.enable_local_TA_xfer, 0);
    CHILD_EQ(f, g.enableLfmIo, 0);
    CHILD_EQ(f, g.enableSharedMem, 1);
    CHILD_EQ(f, g.defaultFamilyID, 4);
    CHILD_EQ(f, g.file_create_mode, 0640);
    CHILD_EQ(f, g.firewallMode, 1);
    CHILD_CHECK(f, strcmp(g.helpFile, "/h/help") == 0);
    CHILD_CHECK(f, g.quorConfPath && strcmp(g.quorConfPath, "/q/QUOR.conf") == 0);
    CHILD_CHECK(f, ozurcKeytabPath && strcmp(ozurcKeytabPath, "/k/%U") == 0);
    CHILD_EQ(f, page_length, 40);
    CHILD_EQ(f, g.maxReaddirEntries, 77);
    CHILD_EQ(f, g.maxSmallFileSize, 2097152);
    CHILD_EQ(f, g.maxXferThreads, 6);
    CHILD_CHECK(f, strcmp(g.noLoginPath, "/n/nologin") == 0);
    CHILD_EQ(f, g.promptLen, 99);
    CHILD_EQ(f, g.promptDirLen, 33);
    CHILD_CHECK(f, strcmp(g.PS1, "a> ") == 0 && strcmp(g.PS2, "b> ") == 0);
    CHILD_CHECK(f, strcmp(g.disableReadsMsg, "no reads") == 0);
    CHILD_CHECK(f, strcmp(g.disableWritesMsg, "no writes") == 0);
    CHILD_EQ(f, g.startupSiteCount, 2);
    CHILD_CHECK(f, g.startupSiteCount == 2 && g.startupSites[1].userRcFile == 1);
    CHILD_EQ(f, g.threadStackSize, 524288);
    CHILD_EQ(f, g.umask, 022);
    CHILD_EQ(f, g.defaultAuthMethodCount, 2);
    CHILD_CHECK(f, ozurcPrincipal && strstr(ozurcPrincipal, "@REALM") != nullptr &&
                       strstr(ozurcPrincipal, "%U") == nullptr);
    // Only the private file names the password file.
    CHILD_CHECK(f, pwPathname && strcmp(pwPathname, "/p/private") == 0);
    return f;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
}

TEST_F(RcFile, RefusedValuesKeepTheDefaults)
{
  write("ozurc",
        "copies 5\ncos -3\ncos x\ndcreate_mode 02000\nfcreate_mode 0778\numask 1000\n"
        "drive 7\nfamily_id -2\nthread_ssize 100k\ncolumns 20\npromptlen 5\ncksum_type crc\n"
        "autobackup yes\nauthmethod krb5\nmax_readdir 0\nlines\nkeytab\n"
        "enable_ta_io on\nquorconf_path /x\n");
  write(".ozurc", "enable_ta_io on\nquorconf_path /y\nnologin_path /z\n");
  ChildResult r = read([] {
    int f = 0;
    const global_defs_t &g = globalDefs;
    CHILD_EQ(f, g.defaultCopies, 0);
    CHILD_EQ(f, g.startupCOS, -1);
    CHILD_EQ(f, g.dir_create_mode, 0777);
    CHILD_EQ(f, g.file_create_mode, 0666);
    CHILD_EQ(f, g.umask, -1);
    CHILD_EQ(f, g.defaultDrive, 'A');
    CHILD_EQ(f, g.defaultFamilyID, 0);
    CHILD_EQ(f, g.threadStackSize, 1048576);
    CHILD_EQ(f, page_width, 50);
    CHILD_EQ(f, g.promptLen, 1024);
    CHILD_EQ(f, g.enableAutoBackup, 0);
    CHILD_EQ(f, g.defaultAuthMethodCount, 0);
    CHILD_EQ(f, g.maxReaddirEntries, 4000);
    CHILD_EQ(f, g.enableTAIo, 0);
    // The private file may not set it.
    CHILD_CHECK(f, g.quorConfPath && strcmp(g.quorConfPath, "/x") == 0);
    CHILD_CHECK(f, strcmp(g.noLoginPath, "/var/quor/etc/nologin") == 0);
    return f;
  });
  EXPECT_EQ(r.status, 0) << r.stderrText;
  for (const char *m : {"bad <copies> parameter `5'", "bad <cos> parameter `-3'",
                        "bad <cos> parameter `x'", "bad octal <dcreate_mode> parameter `02000'",
                        "bad octal <fcreate_mode> parameter `0778'",
                        "bad octal <umask> parameter `1000'", "illegal value '7' for 'drive'",
                        "illegal value '-2' for 'family_id'", "illegal value 'crc' for 'cksum_type'",
                        "illegal value 'yes' for 'autobackup'",
                        "missing or unknown authentication method [krb5]",
                        "line 16: 'lines' - missing value", "line 17: 'keytab' - missing value",
                        "Warning: OZU was built without Transfer Agent support."})
    EXPECT_NE(r.stderrText.find(m), std::string::npos) << m << "\n" << r.stderrText;
  EXPECT_EQ(r.stderrText.find("Transfer Agent support. (" + dir + "/ozurc"), std::string::npos)
      << "only the private file's on is noted";
}

}  // namespace
