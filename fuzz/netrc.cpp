// The .netrc reader. The first byte chooses the query (label kind, a login
// name already known, the file's permissions); the rest is the file.
#include <stdlib.h>
#include <string.h>

#include "fuzz_support.h"
#include "quor_netrc.h"

namespace {

// A resolver without the network: "x" is canonically "x.example.org".
int canon(const char* host, char* out, size_t outlen) {
  if (strchr(host, '.') != nullptr) return -1;
  size_t n = strlen(host);
  if (n + sizeof ".example.org" > outlen) return -1;
  memcpy(out, host, n);
  memcpy(out + n, ".example.org", sizeof ".example.org");
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t how = data[0];
  fuzz_memfile file(data + 1, size - 1, (how & 4) ? 0644 : 0600);
  quor_netrc_query_t q;
  q.label = (how & 1) ? "archive" : "gw1";
  q.label_type = (how & 1) ? QUOR_NETRC_LABEL_SITE : QUOR_NETRC_LABEL_HOST;
  q.gateway = "gw1.example.org";
  q.local_domain = ".example.org";
  q.canon_name = canon;
  char* name = (how & 2) ? strdup("alice") : nullptr;
  char* pass = nullptr;
  char* acct = nullptr;
  quor_netrc_ResetMacrosForTest();
  int rc = quor_netrc_scan(file.path(), &q, &name, &pass, (how & 8) ? nullptr : &acct);
  FUZZ_CHECK(rc == 0 || rc == -1);
  if (how & 2) FUZZ_CHECK(name != nullptr && strcmp(name, "alice") == 0);
  int macros = quor_netrc_macro_count();
  FUZZ_CHECK(macros >= 0 && macros <= QUOR_NETRC_MACROS);
  size_t total = 0;
  for (int i = 0; i < macros; i++) {
    const char* mname = nullptr;
    const char* body = nullptr;
    size_t len = 0;
    FUZZ_CHECK(quor_netrc_macro(i, &mname, &body, &len) == 0);
    FUZZ_CHECK(strlen(mname) <= QUOR_NETRC_MACRO_NAME_MAX);
    total += len;
  }
  FUZZ_CHECK(total <= QUOR_NETRC_MACRO_BUF);
  free(name);
  free(pass);
  free(acct);
  return 0;
}
