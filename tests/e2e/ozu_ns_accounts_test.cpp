// ozu's own annotate, newacct and chacct end to end against gwsim: the
// comments and accounts the store holds afterwards, what is printed and
// the exit codes.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "gwsim_config.h"
#include "gwsim_fixture.h"
#include "journal_text.h"
#include "ozu_run.h"

namespace {

std::string afterBanner(const std::string &out)
{
  size_t at = out.find("Username: ");
  if (at == std::string::npos)
    return out;
  size_t nl = out.find('\n', at);
  return nl == std::string::npos ? "" : out.substr(0, at) + out.substr(nl + 1);
}

GwsimConfig accountsConfig(int style)
{
  GwsimConfig c = aliceConfig();
  c.user("alice").set("Accounts", "0 5 12");
  c.account("general", 0).account("research", 5).account("staff", 12);
  if (style)
    c.server().set("accounting_style", style);
  c.dir("/m").set("Uid", 1001).set("Mode", "0755");
  c.dir("/m/d").set("Uid", 1001);
  c.file("/m/d/f").set("Uid", 1001).set("Data", "f");
  c.file("/m/d/already").set("Uid", 1001).set("Data", "a").set("Account", 5);
  c.dir("/m/d/s").set("Uid", 1001);
  c.file("/m/d/s/g").set("Uid", 1001).set("Data", "g");
  c.file("/m/f").set("Uid", 1001).set("Data", "f");
  c.file("/m/g").set("Uid", 1001).set("Data", "g");
  return c;
}

struct NsAccounts : public ::testing::Test {
  void start(GwsimConfig c)
  {
    gw.reset(new GwsimFixture(c.text()));
    ASSERT_TRUE(gw->running()) << gw->stderrText();
    ozuHome(*gw);
  }
  OzuResult run(const std::string &commands)
  {
    OzuResult r = runOzu(*gw, ozuArgs(*gw, {commands}), "", {"TZ=UTC"});
    r.out = afterBanner(r.out + r.err);
    return r;
  }
  std::string comment(const std::string &p) { return objectColumn(*gw, "comment", p); }
  std::string account(const std::string &p) { return objectColumn(*gw, "account", p); }
  std::unique_ptr<GwsimFixture> gw;
};

TEST_F(NsAccounts, AnnotateTexts)
{
  start(accountsConfig(0));
  std::string long300(300, 'z');
  const struct {
    std::string command;
    int status;
    const char *output;
    const char *path;
    std::string want;
  } cases[] = {
      {"annotate -A 'tape copy\\tkept' /m/f", 0, "", "/m/f", "tape copy\tkept"},
      {"annotate -A 'a\\qb' /m/f", 0, "", "/m/f", "a\\qb"},
      {"annotate -A " + long300 + " /m/f", 0, "", "/m/f", std::string(254, 'z')},
      {"annotate -A '' /m/f", 0, "", "/m/f", ""},
      {"annotate -A x -e /m/f", 64, "Cannot specify both -A and -e options", "/m/f", ""},
      {"annotate -d -f -A x /m/f", 64, "Cannot specify both -d and -f options", "/m/f", ""},
      // The previous annotation of the session goes on the next path.
      {"annotate -A hello /m/g; annotate /m/f", 0, "", "/m/f", "hello"},
      // Before any annotation there is nothing to reuse: no silent erase.
      {"annotate /m/g", 64, "no annotation given", "/m/g", "hello"},
      {"annotate -R -d -A dirs /m/d", 0, "", "/m/d/s", "dirs"},
  };
  for (const auto &k : cases) {
    OzuResult r = run(k.command);
    EXPECT_EQ(r.status, k.status) << k.command << "\n" << r.out;
    EXPECT_NE(r.out.find(k.output), std::string::npos) << k.command << "\n" << r.out;
    EXPECT_EQ(comment(k.path), k.want) << k.command;
  }
  EXPECT_EQ(comment("/m/d"), "dirs");
  EXPECT_EQ(comment("/m/d/f"), "") << "-d leaves files alone";
  EXPECT_EQ(comment("/m/d/s/g"), "");
}

TEST_F(NsAccounts, NewacctAndChacct)
{
  start(accountsConfig(0));
  const struct {
    const char *command;
    int status;
    const char *output;
  } cases[] = {
      {"newacct", 0, "Current account is: 0(general)\n\n   00000000[general]\n   00000005[research]\n"
                     "   00000012[staff]\n"},
      {"newacct 12x", 0, "Current account ID is now 12(staff)\n"},
      {"newacct staff", 0, "Current account ID is now 12(staff)\n"},
      {"newacct x5", 64, "newacct"},
      {"newacct 99", 64, "newacct"},
      {"chacct nosuch /m/f", 64,
       "*** ozu_ChacctCommand: Unable to lookup account ID for account name 'nosuch'"},
      {"chacct 5", 64, "missing object"},
  };
  for (const auto &k : cases) {
    OzuResult r = run(k.command);
    EXPECT_EQ(r.status, k.status) << k.command << "\n" << r.out;
    EXPECT_NE(r.out.find(k.output), std::string::npos) << k.command << "\n" << r.out;
  }
  OzuResult r = run("chacct -R 5 /m/d; chacct research /m/g");
  EXPECT_EQ(r.status, 0) << r.out;
  for (const char *p : {"/m/d", "/m/d/f", "/m/d/already", "/m/d/s", "/m/d/s/g", "/m/g"})
    EXPECT_EQ(account(p), "5") << p;
  EXPECT_EQ(account("/m/f"), "0");
  // The entry already in 5 is passed over: one chacct per other object.
  EXPECT_EQ(countLines(gw->journalLines(), "path=/m/d/already", "fn=0x"), 0)
      << "no chacct request names it";
}

TEST_F(NsAccounts, StyleOneSiteRefusesBoth)
{
  start(accountsConfig(1));
  OzuResult r = run("newacct 5; chacct 5 /m/f");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out,
            "This site does not use site accounting; the `newacct' command is unavailable\n"
            "This site does not use site accounting; the `chacct' command is unavailable\n");
  EXPECT_EQ(account("/m/f"), "0");
}

}  // namespace
