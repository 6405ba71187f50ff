// The per-command copies of the keyset and the current context, and the
// release of a closed connection's context.
#include "ozu_context.h"

#include <stdlib.h>
#include <string.h>

#include "ozuvars.h"

namespace {

bool copiesMade = false;

char *dupOrNull(const char *s) { return s ? strdup(s) : nullptr; }

void freeCopyStrings(void)
{
  free(cmdkeyset.PS1);
  free(cmdkeyset.PS2);
  free(cmdContext.quor_name);
  free(cmdContext.quor_service);
  free(cmdContext.namedCosList);
  free(cmdContext.curLogin.principal);
  free(cmdContext.curLogin.homeDir);
  for (int i = 0; i < OZU_NWD; ++i)
    if (cmdContext.relflag[i])
      free(cmdContext.wd[i]);
}

}  // namespace

void ozu_MakeCommandCopies(void)
{
  if (copiesMade)
    freeCopyStrings();
  cmdkeyset = sesskeyset;
  cmdkeyset.PS1 = dupOrNull(sesskeyset.PS1);
  cmdkeyset.PS2 = dupOrNull(sesskeyset.PS2);
  const ozu_context_t *cur = sesskeyset.curContext;
  if (cur != nullptr) {
    cmdContext = *cur;
    // The copy owns these strings; the tables (COS lists, interfaces, size
    // classes) stay the connection's and the copy never frees them.
    cmdContext.quor_name = dupOrNull(cur->quor_name);
    cmdContext.quor_service = dupOrNull(cur->quor_service);
    cmdContext.namedCosList = dupOrNull(cur->namedCosList);
    cmdContext.curLogin.principal = dupOrNull(cur->curLogin.principal);
    cmdContext.curLogin.homeDir = dupOrNull(cur->curLogin.homeDir);
    for (int i = 0; i < OZU_NWD; ++i) {
      cmdContext.wd[i] = dupOrNull(cur->wd[i]);
      cmdContext.relflag[i] = cmdContext.wd[i] != nullptr ? 1 : 0;
    }
    cmdkeyset.curContext = &cmdContext;
  }
  copiesMade = true;
  keyset = &cmdkeyset;
}

void freeKeysetStrings(Keyset *kcmd)
{
  ozu_context_t *ctx = kcmd ? kcmd->curContext : nullptr;
  // Only the per-command copy is released here; a real connection that a
  // command switched to keeps its directories.
  if (ctx != &cmdContext)
    return;
  for (int i = 0; i < OZU_NWD; ++i) {
    if (ctx->relflag[i]) {
      free(ctx->wd[i]);
      ctx->wd[i] = nullptr;
      ctx->relflag[i] = 0;
    }
  }
}

void ozu_FreeContext(ozu_context_t *context)
{
  if (debug >= 1 && listF)
    fprintf(listF, "/debug/ozu_FreeContext called for entry @%p", static_cast<void *>(context));
  if (context == nullptr || context == &cmdContext)
    return;
  free(context->quor_name);
  free(context->quor_service);
  free(context->nwifAddrList);
  for (int i = 0; i < context->network_if_count && context->nwifNames; ++i)
    free(context->nwifNames[i]);
  free(context->nwifNames);
  free(context->namedCosList);
  for (int i = 0; i < context->cosNamedCount && context->cosNameLists; ++i)
    free(context->cosNameLists[i]);
  free(context->cosNameLists);
  context->cosNamedCount = 0;
  for (int i = 0; i < context->cosEntryCount && context->cosEntries; ++i)
    free(context->cosEntries[i].subsys_id_list);
  free(context->cosEntries);
  free(context->xferSizeTable);
  free(context->curLogin.principal);
  free(context->curLogin.homeDir);
  for (int i = 0; i < OZU_NWD; ++i)
    if (context->relflag[i])
      free(context->wd[i]);
  free(context);
}
