// Stanza files: parsing, error codes with their lines, release, key and host lookup.
#include <gtest/gtest.h>

#include <malloc.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "quorcfgx_stanza.h"

namespace {

// A directory of fixture files, made with mkdtemp and removed with its files.
class tempDir {
public:
  tempDir()
  {
    const char *base = getenv("TMPDIR");
    std::string tmpl = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/stanza_test.XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) != nullptr)
      path_ = buf.data();
  }
  ~tempDir()
  {
    for (const std::string &f : files_)
      unlink(f.c_str());
    if (!path_.empty())
      rmdir(path_.c_str());
  }
  tempDir(const tempDir &) = delete;
  tempDir &operator=(const tempDir &) = delete;

  const std::string &path() const { return path_; }

  std::string write(const std::string &name, const std::string &content)
  {
    std::string p = path_ + "/" + name;
    FILE *fp = fopen(p.c_str(), "wb");
    if (fp == nullptr)
      return std::string();
    size_t n = fwrite(content.data(), 1, content.size(), fp);
    fclose(fp);
    files_.push_back(p);
    return n == content.size() ? p : std::string();
  }

private:
  std::string path_;
  std::vector<std::string> files_;
};

// One line per tree: flag "K@line", simple "K=[value]@line",
// compound "K@line{...}". Broken invariants show up as "!" marks.
std::string dump(const quor_cfg_stanza_t *e)
{
  std::string out;
  for (; e != nullptr; e = e->next) {
    if (!out.empty())
      out += ", ";
    out += e->KeyString != nullptr ? e->KeyString : "(null)";
    if (e->type == CFG_SIMPLE_TYPE)
      out += std::string("=[") + (e->KeyValue != nullptr ? e->KeyValue : "(null)") + "]";
    out += "@" + std::to_string(e->LineNum);
    if (e->type == CFG_COMPOUND_TYPE) {
      size_t n = 0;
      for (const quor_cfg_stanza_t *c = e->substanzaList; c != nullptr; c = c->next)
        ++n;
      out += "{" + dump(e->substanzaList) + "}";
      if (n != e->substanzaCount)
        out += "!count";
    } else if (e->substanzaList != nullptr || e->substanzaCount != 0) {
      out += "!list";
    }
    if (e->type != CFG_SIMPLE_TYPE && e->KeyValue != nullptr)
      out += "!value";
    if (e->type < CFG_FLAG_TYPE || e->type > CFG_COMPOUND_TYPE)
      out += "!type";
    if (e->level != 0 || e->Flags32 != 0 || e->FileName != nullptr || e->Val64 != 0)
      out += "!reserved";
  }
  return out;
}

struct parseResult {
  int rc;
  int err;
  int line;
  std::string tree;
};

parseResult parseText(const std::string &content)
{
  tempDir dir;
  parseResult r{-99, -99, -99, "(no file)"};
  std::string path = dir.write("QUOR.conf", content);
  if (path.empty())
    return r;
  quor_cfg_stanza_t *head = nullptr;
  r.rc = quor_CfgParse(path.c_str(), &head, &r.err, &r.line);
  r.tree = dump(head);
  quor_CfgFree(head);
  return r;
}

struct parseCase {
  const char *name;
  std::string content;
  std::string tree;
};

void PrintTo(const parseCase &c, std::ostream *os)
{
  *os << c.name;
}

class StanzaParse : public testing::TestWithParam<parseCase> {};

TEST_P(StanzaParse, BuildsTree)
{
  const parseCase &c = GetParam();
  parseResult r = parseText(c.content);
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.err, 0);
  EXPECT_EQ(r.tree, c.tree);
}

const parseCase kParseCases[] = {
    {"EqualsOnNextLine", "Port\n= 5\n", "Port=[5]@1"},
    {"BraceAfterComment", "Hosts =\n# the hosts\n{\n}\n", "Hosts@1{}"},
    {"SemicolonCutsEntryLine", "Size = 10 ; note\n", "Size=[10]@1"},
    {"LaterValueLineKeepsSemicolon", "Size =\n10 ; note\n", "Size=[10 ; note]@1"},
    {"HashInsideValue", "Name = a # b\n", "Name=[a # b]@1"},
    {"HashInsideKey", "a#b = 1\nGamma # kept\n", "a#b=[1]@1, Gamma # kept@2"},
    {"BlanksTrimmedInnerKept", "  Network Options \t= {\n\tDefault Send Size =  64KB  \n}\n",
     "Network Options@1{Default Send Size=[64KB]@2}"},
    {"FlagsAndComments", "# head\n; also\n\n   \nAlpha\n  Beta   ; trailing\n\t# indented\nGamma\n",
     "Alpha@5, Beta@6, Gamma@8"},
    {"Nested", "A = {\n  B = {\n    C\n    D = 4\n  }\n  E = 5\n}\nF = 6\n",
     "A@1{B@2{C@3, D=[4]@4}, E=[5]@6}, F=[6]@8"},
    {"TextAfterBraces", "A = { B\n} C = 2\nD = {} E\n", "A@1{B@1}, C=[2]@2, D@3{}, E@3"},
    {"EqualsAndBraceOnLaterLines", "K\n\n# c\n=\n\n{\nX\n}\n", "K@1{X@7}"},
    {"ValueHoldsEqualsAndBraces", "K = a = b {c}\n", "K=[a = b {c}]@1"},
    {"BraceAfterValueIsValue", "A = {\nB = 1 }\n}\n", "A@1{B=[1 }]@2}"},
    {"BraceAsLaterValue", "A = {\nB =\n}\n}\n", "A@1{B=[}]@2}"},
    {"HashWhereValueBegins", "K = #x\nval\n", "K=[val]@1"},
    {"BraceInCommentIgnored", "A = {\nB ; {\n}\n", "A@1{B@2}"},
    {"FlagThenEntry", "Port\nOther = 1\n", "Port@1, Other=[1]@2"},
    {"KeyLeftAtEndIsFlag", "K =\n", "K@1"},
    {"NoFinalNewline", "K = 5", "K=[5]@1"},
    {"NoQuotingOrEscapes", "\"My Key\" = \"a b\" \\\n", "\"My Key\"=[\"a b\" \\]@1"},
    {"BraceInKeyBeforeEquals", "a{ = 1\n", "a{=[1]@1"},
    {"CarriageReturns", "Port = 5\r\nX\r\n", "Port=[5]@1, X@2"},
    {"NulEndsLineText", std::string("A\0B = 1\nC\n", 10), "A@1, C@2"},
};
INSTANTIATE_TEST_SUITE_P(StanzaParseCases, StanzaParse, testing::ValuesIn(kParseCases),
                         [](const testing::TestParamInfo<parseCase> &i) { return std::string(i.param.name); });

struct errorCase {
  const char *name;
  std::string content;
  int err;
  int line;
};

void PrintTo(const errorCase &c, std::ostream *os)
{
  *os << c.name;
}

class StanzaErrors : public testing::TestWithParam<errorCase> {};

TEST_P(StanzaErrors, ReportsCodeAndLine)
{
  const errorCase &c = GetParam();
  parseResult r = parseText(c.content);
  EXPECT_EQ(r.rc, -1);
  EXPECT_EQ(r.err, c.err);
  EXPECT_EQ(r.line, c.line);
}

const errorCase kErrorCases[] = {
    {"BraceWithoutEquals", "A = 1\nHosts {\nB = 2\n", QUOR_CFG_ERR_BRACE, 2},
    {"BraceWithoutEqualsInKey", "Hosts # {\n", QUOR_CFG_ERR_BRACE, 1},
    {"BraceAfterFlag", "Flag\n{\n", QUOR_CFG_ERR_BRACE, 2},
    {"BraceAfterFlagAndComment", "Flag\n# c\n  {\n", QUOR_CFG_ERR_BRACE, 3},
    {"BraceAfterFlagInBlock", "A = {\n B\n {\n}\n", QUOR_CFG_ERR_BRACE, 3},
    {"BraceOpeningEntry", "K = { {\n", QUOR_CFG_ERR_BRACE, 1},
    {"OneLineBlockNeverCloses", "A = { B = 1 }\n", QUOR_CFG_ERR_BRACE, 1},
    {"EndInsideBlock", "A = {\nB = 1\n\n", QUOR_CFG_ERR_BRACE, 3},
    {"EndInsideInnerBlock", "A = {\n B = {\n }\n", QUOR_CFG_ERR_BRACE, 3},
    {"CloseAtTopLevel", "}\n", QUOR_CFG_ERR_UNBALANCED, 1},
    {"CloseAfterValue", "A = 1\n\n}\n", QUOR_CFG_ERR_UNBALANCED, 3},
    {"CloseAfterFlag", "x\n}\n", QUOR_CFG_ERR_UNBALANCED, 2},
    {"CloseTwice", "A = {\n}\n}\n", QUOR_CFG_ERR_UNBALANCED, 3},
    {"CloseTwiceOnOneLine", "A = {\n} }\n", QUOR_CFG_ERR_UNBALANCED, 2},
};
INSTANTIATE_TEST_SUITE_P(StanzaErrorCases, StanzaErrors, testing::ValuesIn(kErrorCases),
                         [](const testing::TestParamInfo<errorCase> &i) { return std::string(i.param.name); });

// Levels 0 .. depth-1 of compounds, each on its own line, with innermost text.
std::string nestedText(int depth, const std::string &innermost)
{
  std::string s;
  for (int i = 0; i < depth; ++i)
    s += std::string(i, ' ') + "L" + std::to_string(i) + " = {\n";
  s += innermost + "\n";
  for (int i = depth - 1; i >= 0; --i)
    s += std::string(i, ' ') + "}\n";
  return s;
}

TEST(StanzaNesting, TenLevelsParseEleventhIsRefused)
{
  parseResult ok = parseText(nestedText(9, "L9 = x"));
  EXPECT_EQ(ok.rc, 0);
  EXPECT_EQ(ok.tree,
            "L0@1{L1@2{L2@3{L3@4{L4@5{L5@6{L6@7{L7@8{L8@9{L9=[x]@10}}}}}}}}}");

  parseResult deep = parseText(nestedText(9, "L9 = {\n}"));
  EXPECT_EQ(deep.rc, -1);
  EXPECT_EQ(deep.err, QUOR_CFG_ERR_DEPTH);
  EXPECT_EQ(deep.line, 10);
}

TEST(StanzaLongLines, SplitIntoPiecesCountedAsLines)
{
  const std::string k600(600, 'k');
  parseResult r = parseText(k600 + "\nNext\n");
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.tree, std::string(512, 'k') + "@1, " + std::string(88, 'k') + "@2, Next@3");
  EXPECT_EQ(r.line, 3);

  // The newline right after a full piece does not make an extra line.
  r = parseText(std::string(512, 'a') + "\nNext\n");
  EXPECT_EQ(r.tree, std::string(512, 'a') + "@1, Next@2");

  r = parseText(std::string(1030, 'b') + "\nZ\n");
  EXPECT_EQ(r.tree, std::string(512, 'b') + "@1, " + std::string(512, 'b') + "@2, " + std::string(6, 'b') +
                        "@3, Z@4");

  // A long value keeps its first piece; the rest is read as a new line.
  r = parseText("K = " + std::string(600, 'v') + "\n");
  EXPECT_EQ(r.tree, "K=[" + std::string(508, 'v') + "]@1, " + std::string(92, 'v') + "@2");
}

TEST(StanzaFiles, MissingFileDirectoryAndEmptyPath)
{
  tempDir dir;
  ASSERT_FALSE(dir.path().empty());
  quor_cfg_stanza_t sentinel{};
  quor_cfg_stanza_t *head = &sentinel;
  int err = 0;
  int line = 99;

  std::string missing = dir.path() + "/none.conf";
  EXPECT_EQ(quor_CfgParse(missing.c_str(), &head, &err, &line), -1);
  EXPECT_EQ(err, QUOR_CFG_ERR_OPEN);
  EXPECT_EQ(line, 0);
  EXPECT_EQ(head, &sentinel);

  err = 0;
  line = 99;
  EXPECT_EQ(quor_CfgParse(dir.path().c_str(), &head, &err, &line), -1);
  EXPECT_EQ(err, QUOR_CFG_ERR_OPEN);
  EXPECT_EQ(line, 0);

  err = 0;
  EXPECT_EQ(quor_CfgParse("", &head, &err, &line), -1);
  EXPECT_EQ(err, QUOR_CFG_ERR_OPEN);
  err = 0;
  EXPECT_EQ(quor_CfgParse(nullptr, &head, &err, &line), -1);
  EXPECT_EQ(err, QUOR_CFG_ERR_OPEN);
  EXPECT_EQ(head, &sentinel);
}

TEST(StanzaFiles, FailureLeavesHeadAsItWas)
{
  tempDir dir;
  std::string path = dir.write("bad.conf", "A = 1\nB = {\nC = 2\n");
  ASSERT_FALSE(path.empty());
  quor_cfg_stanza_t sentinel{};
  quor_cfg_stanza_t *head = &sentinel;
  int err = 0;
  int line = 0;
  EXPECT_EQ(quor_CfgParse(path.c_str(), &head, &err, &line), -1);
  EXPECT_EQ(err, QUOR_CFG_ERR_BRACE);
  EXPECT_EQ(line, 3);
  EXPECT_EQ(head, &sentinel);
}

TEST(StanzaFiles, EmptyAndCommentOnlyFilesHaveNoEntries)
{
  tempDir dir;
  for (const char *content : {"", "# one\n; two\n\n   \t\n"}) {
    std::string path = dir.write("f.conf", content);
    ASSERT_FALSE(path.empty());
    quor_cfg_stanza_t sentinel{};
    quor_cfg_stanza_t *head = &sentinel;
    int err = -1;
    int line = -1;
    EXPECT_EQ(quor_CfgParse(path.c_str(), &head, &err, &line), 0) << content;
    EXPECT_EQ(head, nullptr);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(line, *content == '\0' ? 0 : 4);
  }
}

TEST(StanzaFiles, NullOutputsRefused)
{
  tempDir dir;
  std::string path = dir.write("f.conf", "A\n");
  ASSERT_FALSE(path.empty());
  quor_cfg_stanza_t *head = nullptr;
  int err = 0;
  int line = 0;
  EXPECT_EQ(quor_CfgParse(path.c_str(), nullptr, &err, &line), -14);
  EXPECT_EQ(quor_CfgParse(path.c_str(), &head, nullptr, &line), -14);
  EXPECT_EQ(quor_CfgParse(path.c_str(), &head, &err, nullptr), -14);
  EXPECT_EQ(head, nullptr);
}

// Allocator that records what it hands out and fails one chosen call.
struct allocTrack {
  long failAt;
  long calls;
  std::set<void *> handed;
};

void *trackAlloc(void *ctx, size_t size)
{
  allocTrack *t = static_cast<allocTrack *>(ctx);
  if (t->calls++ == t->failAt)
    return nullptr;
  void *p = malloc(size);
  t->handed.insert(p);
  return p;
}

void collect(const quor_cfg_stanza_t *e, std::set<void *> &out)
{
  for (; e != nullptr; e = e->next) {
    out.insert(const_cast<quor_cfg_stanza_t *>(e));
    if (e->KeyString != nullptr)
      out.insert(e->KeyString);
    if (e->KeyValue != nullptr)
      out.insert(e->KeyValue);
    collect(e->substanzaList, out);
  }
}

const char kAllocText[] = "Top = 1\nFlag\nNet = {\n  Host = {\n    Send = 64KB\n    Quiet\n  }\n}\nLast = x\n";

TEST(StanzaMemory, EveryAllocationIsReachableFromTheTree)
{
  tempDir dir;
  std::string path = dir.write("mem.conf", kAllocText);
  ASSERT_FALSE(path.empty());
  allocTrack track{-1, 0, {}};
  quor_cfg_stanza_t *head = nullptr;
  int err = 0;
  int line = 0;
  ASSERT_EQ(quorcfgx_CfgParseAlloc(path.c_str(), &head, &err, &line, trackAlloc, &track), 0);
  EXPECT_EQ(dump(head), "Top=[1]@1, Flag@2, Net@3{Host@4{Send=[64KB]@5, Quiet@6}}, Last=[x]@9");

  // quor_CfgFree walks exactly what is reachable, so nothing may lie outside it.
  std::set<void *> reachable;
  collect(head, reachable);
  EXPECT_EQ(reachable, track.handed);
  EXPECT_EQ(track.calls, 17);  // 7 entries, 7 keys, 3 values
  quor_CfgFree(head);
}

TEST(StanzaMemory, AllocationFailureAnywhereGives7002AndFreesPartialTree)
{
  tempDir dir;
  std::string path = dir.write("mem.conf", kAllocText);
  ASSERT_FALSE(path.empty());

  allocTrack full{-1, 0, {}};
  quor_cfg_stanza_t *head = nullptr;
  int err = 0;
  int line = 0;
  ASSERT_EQ(quorcfgx_CfgParseAlloc(path.c_str(), &head, &err, &line, trackAlloc, &full), 0);
  quor_CfgFree(head);
  ASSERT_GT(full.calls, 0);

  int lastLine = 0;
  for (long n = 0; n < full.calls; ++n) {
    allocTrack track{n, 0, {}};
    quor_cfg_stanza_t sentinel{};
    head = &sentinel;
    err = 0;
    line = 0;
    EXPECT_EQ(quorcfgx_CfgParseAlloc(path.c_str(), &head, &err, &line, trackAlloc, &track), -1) << n;
    EXPECT_EQ(err, QUOR_CFG_ERR_NOMEM) << n;
    EXPECT_EQ(head, &sentinel) << n;
    EXPECT_GE(line, lastLine) << n;  // later failures stop on the same or a later line
    EXPECT_GE(line, 1) << n;
    lastLine = line;
  }
  EXPECT_EQ(lastLine, 9);
}

// Builds a list of entries with the given keys, freed with quor_CfgFree.
quor_cfg_stanza_t *makeList(const std::vector<std::string> &keys)
{
  quor_cfg_stanza_t *head = nullptr;
  quor_cfg_stanza_t **link = &head;
  for (const std::string &k : keys) {
    quor_cfg_stanza_t *e = static_cast<quor_cfg_stanza_t *>(calloc(1, sizeof(quor_cfg_stanza_t)));
    e->KeyString = strdup(k.c_str());
    e->type = CFG_COMPOUND_TYPE;
    *link = e;
    link = &e->next;
  }
  return head;
}

int indexOf(const quor_cfg_stanza_t *head, const quor_cfg_stanza_t *e)
{
  if (e == nullptr)
    return -1;
  int i = 0;
  for (const quor_cfg_stanza_t *p = head; p != nullptr; p = p->next, ++i)
    if (p == e)
      return i;
  return -2;
}

// Bytes in use in the main arena. Freed chunks parked in the thread cache
// still count, so comparisons allow a small slack.
size_t bytesInUse()
{
  return mallinfo2().uordblks;
}

bool plainMalloc()
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return false;  // the sanitizer's allocator; LeakSanitizer checks instead
#else
  return true;
#endif
}

const size_t kSlack = 64 * 1024;

TEST(StanzaFree, DeepAndLongTreesAndNull)
{
  quor_CfgFree(nullptr);

  // A nesting far beyond what the parser builds, and a long list beside it.
  const int kDepth = 100000;
  size_t before = bytesInUse();
  quor_cfg_stanza_t *root = makeList({"root"});
  quor_cfg_stanza_t *p = root;
  for (int i = 0; i < kDepth; ++i) {
    p->substanzaList = makeList({"d", "sibling"});
    p->substanzaCount = 2;
    p->substanzaList->KeyValue = strdup("v");
    p = p->substanzaList;
  }
  quor_cfg_stanza_t *tail = root;
  for (int i = 0; i < kDepth; ++i) {
    tail->next = makeList({"n"});
    tail = tail->next;
  }
  size_t built = bytesInUse();
  // On a small stack, so that freeing by recursion would overflow it.
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, 256 * 1024);
  pthread_t tid;
  ASSERT_EQ(pthread_create(
                &tid, &attr,
                [](void *arg) -> void * {
                  quor_CfgFree(static_cast<quor_cfg_stanza_t *>(arg));
                  return nullptr;
                },
                root),
            0);
  pthread_attr_destroy(&attr);
  pthread_join(tid, nullptr);
  size_t after = bytesInUse();
  if (plainMalloc()) {
    EXPECT_GT(built, before + 10 * kSlack);
    EXPECT_LT(after, before + kSlack);
  }
}

TEST(StanzaFree, ParsedTreeReleasesEverything)
{
  tempDir dir;
  std::string text;
  for (int i = 0; i < 3000; ++i)
    text += "Host" + std::to_string(i) + " = {\n  Send = 64KB\n  Nagle\n  Inner = {\n    Recv = 1m\n  }\n}\n";
  std::string path = dir.write("big.conf", text);
  ASSERT_FALSE(path.empty());
  quor_cfg_stanza_t *head = nullptr;
  int err = 0;
  int line = 0;
  size_t before = bytesInUse();
  ASSERT_EQ(quor_CfgParse(path.c_str(), &head, &err, &line), 0);
  size_t built = bytesInUse();
  quor_CfgFree(head);
  size_t after = bytesInUse();
  EXPECT_EQ(line, 3000 * 7);
  if (plainMalloc()) {
    EXPECT_GT(built, before + 3 * kSlack);
    EXPECT_LT(after, before + kSlack);
  }
}

TEST(StanzaFree, FailedParseReleasesPartialTree)
{
  tempDir dir;
  std::string text;
  for (int i = 0; i < 3000; ++i)
    text += "Host" + std::to_string(i) + " = {\n  Send = 64KB\n  Inner = {\n    Recv = 1m\n  }\n}\n";
  text += "}\n";
  std::string path = dir.write("bad.conf", text);
  ASSERT_FALSE(path.empty());
  quor_cfg_stanza_t *head = nullptr;
  int err = 0;
  int line = 0;
  size_t before = bytesInUse();
  EXPECT_EQ(quor_CfgParse(path.c_str(), &head, &err, &line), -1);
  size_t after = bytesInUse();
  EXPECT_EQ(err, QUOR_CFG_ERR_UNBALANCED);
  EXPECT_EQ(line, 3000 * 6 + 1);
  EXPECT_EQ(head, nullptr);
  if (plainMalloc()) {
    EXPECT_LT(after, before + kSlack);
  }
}

TEST(StanzaFindKey, ExactOrCaselessWithoutDescending)
{
  tempDir dir;
  std::string path = dir.write("k.conf", "Alpha\nbeta = 1\nBeta = {\n  inner\n}\nGamma = 2\n");
  ASSERT_FALSE(path.empty());
  quor_cfg_stanza_t *head = nullptr;
  int err = 0;
  int line = 0;
  ASSERT_EQ(quor_CfgParse(path.c_str(), &head, &err, &line), 0);

  EXPECT_EQ(indexOf(head, quor_CfgFindKey("Beta", head, 0)), 2);
  EXPECT_EQ(indexOf(head, quor_CfgFindKey("Beta", head, 1)), 1);
  EXPECT_EQ(indexOf(head, quor_CfgFindKey("BETA", head, 0)), -1);
  EXPECT_EQ(indexOf(head, quor_CfgFindKey("gamma", head, 1)), 3);
  EXPECT_EQ(quor_CfgFindKey("inner", head, 1), nullptr);
  EXPECT_EQ(quor_CfgFindKey("Alph", head, 1), nullptr);
  quor_cfg_stanza_t *beta = quor_CfgFindKey("Beta", head, 0);
  ASSERT_NE(beta, nullptr);
  EXPECT_EQ(quor_CfgFindKey("inner", beta->substanzaList, 0), beta->substanzaList);
  EXPECT_EQ(indexOf(head, quor_CfgFindKey("Beta", head->next->next, 1)), 2);  // starts where told
  EXPECT_EQ(quor_CfgFindKey(nullptr, head, 0), nullptr);
  EXPECT_EQ(quor_CfgFindKey("Alpha", nullptr, 0), nullptr);
  quor_CfgFree(head);
}

struct lookupCase {
  const char *name;
  std::vector<std::string> keys;
  std::string host;
  int index;  // -1: none
};

void PrintTo(const lookupCase &c, std::ostream *os)
{
  *os << c.name;
}

class StanzaLookup : public testing::TestWithParam<lookupCase> {};

TEST_P(StanzaLookup, FirstEntryWithMatchingWord)
{
  const lookupCase &c = GetParam();
  quor_cfg_stanza_t *list = makeList(c.keys);
  testing::internal::CaptureStderr();
  quor_cfg_stanza_t *found = quorcfgx_LookupHostName(list, c.host.c_str());
  std::string warnings = testing::internal::GetCapturedStderr();
  EXPECT_EQ(indexOf(list, found), c.index);
  EXPECT_EQ(warnings, "");
  quor_CfgFree(list);
}

const lookupCase kLookupCases[] = {
    {"DefaultFallsToItsOwnEntry", {"node*", "Default"}, "Default", 1},
    {"HostMatchesPattern", {"node*", "Default"}, "node12", 0},
    {"StarTakesDefaultToo", {"*", "Default"}, "Default", 0},
    {"StarTakesAnyHost", {"*", "Default"}, "node12", 0},
    {"SecondWordMatches", {"gw1 gw2\tmover[0-9]", "Default"}, "mover3", 0},
    {"MiddleWordMatches", {"gw1 gw2\tmover[0-9]", "Default"}, "gw2", 0},
    {"NoWordMatches", {"gw1 gw2\tmover[0-9]", "Default"}, "gw3", -1},
    {"EscapedBlankStaysInWord", {"my\\ host other"}, "my host", 0},
    {"EscapedBlankNotSplit", {"my\\ host other"}, "host", -1},
    {"WordAfterEscape", {"my\\ host other"}, "other", 0},
    {"BlanksAroundKey", {"  padded  "}, "padded", 0},
    {"Braces", {"node{1,2}.lan  node3.lan"}, "node2.lan", 0},
    {"CaseCounts", {"Node*"}, "node1", -1},
    {"NothingMatches", {"alpha", "beta"}, "gamma", -1},
    {"WholeNameOnly", {"node"}, "node1", -1},
};
INSTANTIATE_TEST_SUITE_P(StanzaLookupCases, StanzaLookup, testing::ValuesIn(kLookupCases),
                         [](const testing::TestParamInfo<lookupCase> &i) { return std::string(i.param.name); });

TEST(StanzaLookupWarnings, PatternErrorIsReportedAndLookupGoesOn)
{
  quor_cfg_stanza_t *list = makeList({"[abc node*"});
  testing::internal::CaptureStderr();
  quor_cfg_stanza_t *found = quorcfgx_LookupHostName(list, "node1");
  std::string warnings = testing::internal::GetCapturedStderr();
  EXPECT_EQ(found, list);
  EXPECT_EQ(warnings, "Warning: pattern error on string [[abc] in QUOR.conf file for KeyString=[[abc node*]\n");
  quor_CfgFree(list);
}

TEST(StanzaLookupWarnings, BackslashEndingKeyIsAPatternError)
{
  quor_cfg_stanza_t *list = makeList({"host\\", "Default"});
  testing::internal::CaptureStderr();
  quor_cfg_stanza_t *found = quorcfgx_LookupHostName(list, "host");
  std::string warnings = testing::internal::GetCapturedStderr();
  EXPECT_EQ(found, nullptr);
  EXPECT_EQ(warnings, "Warning: pattern error on string [host\\] in QUOR.conf file for KeyString=[host\\]\n");
  quor_CfgFree(list);
}

TEST(StanzaLookupLimits, HostNameCutAt255)
{
  const std::string host(300, 'a');
  quor_cfg_stanza_t *exact = makeList({std::string(256, 'a'), std::string(255, 'a')});
  EXPECT_EQ(indexOf(exact, quorcfgx_LookupHostName(exact, host.c_str())), 1);
  quor_CfgFree(exact);
}

TEST(StanzaLookupLimits, OverlongWordNeverMatchesAndWarns)
{
  const std::string host(255, 'b');
  const std::string word256 = std::string(255, 'b') + "*";
  // Cut to 256 characters this word would become word256 and match.
  const std::string word259 = word256 + "zzz";

  quor_cfg_stanza_t *fits = makeList({word256});
  EXPECT_EQ(quorcfgx_LookupHostName(fits, host.c_str()), fits);
  quor_CfgFree(fits);

  quor_cfg_stanza_t *list = makeList({word259, word259 + " " + host});
  testing::internal::CaptureStderr();
  quor_cfg_stanza_t *found = quorcfgx_LookupHostName(list, host.c_str());
  std::string warnings = testing::internal::GetCapturedStderr();
  EXPECT_EQ(indexOf(list, found), 1);
  const std::string expect1 = "Warning: pattern error on string [" + word259 +
                              "] in QUOR.conf file for KeyString=[" + word259 + "]\n";
  const std::string expect2 = "Warning: pattern error on string [" + word259 +
                              "] in QUOR.conf file for KeyString=[" + word259 + " " + host + "]\n";
  EXPECT_EQ(warnings, expect1 + expect2);
  quor_CfgFree(list);
}

TEST(StanzaLookupLimits, NullArgumentsFindNothing)
{
  quor_cfg_stanza_t *list = makeList({"*"});
  EXPECT_EQ(quorcfgx_LookupHostName(list, nullptr), nullptr);
  EXPECT_EQ(quorcfgx_LookupHostName(nullptr, "host"), nullptr);
  quor_cfg_stanza_t *noKey = makeList({"x"});
  free(noKey->KeyString);
  noKey->KeyString = nullptr;
  noKey->next = list;
  EXPECT_EQ(quorcfgx_LookupHostName(noKey, "host"), list);
  quor_CfgFree(noKey);
}

TEST(StanzaLookupParsed, HostStanzasFromAFile)
{
  tempDir dir;
  std::string path = dir.write("QUOR.conf",
                               "Client Interfaces = {\n"
                               "  node[0-9]* gw\\ one = {\n"
                               "    eth0\n"
                               "  }\n"
                               "  Default = {\n"
                               "  }\n"
                               "}\n");
  ASSERT_FALSE(path.empty());
  quor_cfg_stanza_t *head = nullptr;
  int err = 0;
  int line = 0;
  ASSERT_EQ(quor_CfgParse(path.c_str(), &head, &err, &line), 0);
  quor_cfg_stanza_t *section = quor_CfgFindKey("Client Interfaces", head, 0);
  ASSERT_NE(section, nullptr);
  quor_cfg_stanza_t *hosts = section->substanzaList;
  EXPECT_EQ(indexOf(hosts, quorcfgx_LookupHostName(hosts, "node7")), 0);
  EXPECT_EQ(indexOf(hosts, quorcfgx_LookupHostName(hosts, "gw one")), 0);
  EXPECT_EQ(indexOf(hosts, quorcfgx_LookupHostName(hosts, "other")), -1);
  EXPECT_EQ(indexOf(hosts, quorcfgx_LookupHostName(hosts, "Default")), 1);
  quor_CfgFree(head);
}

}  // namespace
