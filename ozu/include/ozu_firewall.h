// Firewall modes of connections and the class-of-service lookups.
#ifndef OZU_FIREWALL_H
#define OZU_FIREWALL_H

#include "msg_ext.h"

struct ozu_context;

void ozu_SetFirewallOptions(struct ozu_context *theContext, int onOff, int ioxferMode,
                            int connector);
// The COS entry of that id for the session's current connection, loading
// its list on first use; null when absent or not loadable.
cos_list_entry_t *ozu_cos_lookupID(int theCos);
int ozu_cos_access(const cos_list_entry_t *cos_entry);

#endif
