// Copies between two connections. The local method moves the bytes
// through the shell: a reader on the source's connection, a writer on the
// sink's. Until the sink's gateway can take a list read's data itself, the
// server method goes the same way.
#include "copy_engine.h"

int xqcp_LM_Main(transfer_t *ctl) { return copy_ThroughShell(ctl, "xqcp_LM_read_quor_thread"); }

int xqcp_QEL_Main(transfer_t *ctl) { return xqcp_LM_Main(ctl); }
