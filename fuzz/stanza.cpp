// The stanza-file parser: the first byte makes the Nth allocation fail (0:
// none), the rest is the file. A parsed tree must keep its invariants; a
// failed parse must say why and leave nothing behind.
#include <stdlib.h>
#include <string.h>

#include "fuzz_support.h"
#include "quorcfgx_stanza.h"

namespace {

struct FailAt {
  unsigned n;
  unsigned calls;
};

void* failing_alloc(void* ctx, size_t size) {
  auto* f = static_cast<FailAt*>(ctx);
  if (++f->calls == f->n) return nullptr;
  return malloc(size);
}

// Walks the tree; returns the number of entries.
size_t check_tree(const quor_cfg_stanza_t* e, int depth) {
  FUZZ_CHECK(depth <= 10);
  size_t n = 0;
  for (; e != nullptr; e = e->next) {
    n++;
    FUZZ_CHECK(e->KeyString != nullptr);
    FUZZ_CHECK(e->LineNum >= 1);
    switch (e->type) {
      case CFG_FLAG_TYPE:
        FUZZ_CHECK(e->substanzaList == nullptr && e->substanzaCount == 0);
        break;
      case CFG_SIMPLE_TYPE:
        FUZZ_CHECK(e->KeyValue != nullptr);
        FUZZ_CHECK(e->substanzaList == nullptr && e->substanzaCount == 0);
        break;
      case CFG_COMPOUND_TYPE: {
        size_t count = 0;
        for (const quor_cfg_stanza_t* c = e->substanzaList; c != nullptr; c = c->next) count++;
        FUZZ_CHECK(count == e->substanzaCount);
        n += check_tree(e->substanzaList, depth + 1);
        break;
      }
      default:
        FUZZ_CHECK(!"unknown entry type");
    }
  }
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  FailAt fail = {data[0], 0};
  fuzz_memfile file(data + 1, size - 1);
  quor_cfg_stanza_t* sentinel = reinterpret_cast<quor_cfg_stanza_t*>(&fail);
  quor_cfg_stanza_t* head = sentinel;
  int perr = 1, line = -1;
  int rc = quorcfgx_CfgParseAlloc(file.path(), &head, &perr, &line, failing_alloc, &fail);
  if (rc != 0) {
    FUZZ_CHECK(rc == -1);
    FUZZ_CHECK(head == sentinel);
    FUZZ_CHECK(perr == QUOR_CFG_ERR_NOMEM || perr == QUOR_CFG_ERR_DEPTH ||
               perr == QUOR_CFG_ERR_BRACE || perr == QUOR_CFG_ERR_UNBALANCED);
    FUZZ_CHECK(perr != QUOR_CFG_ERR_NOMEM || fail.n != 0);
    FUZZ_CHECK(line >= 0);
    return 0;
  }
  FUZZ_CHECK(perr == 0);
  check_tree(head, 0);
  // The lookups the readers of QUOR.conf make.
  quor_CfgFindKey("Network Options", head, 1);
  quor_CfgFindKey("Restricted Addresses", head, 0);
  for (quor_cfg_stanza_t* e = head; e != nullptr; e = e->next)
    if (e->type == CFG_COMPOUND_TYPE) quorcfgx_LookupHostName(e->substanzaList, "gw1.example.org");
  quor_CfgFree(head);
  return 0;
}
