// Every gateway message: header, categories, and each family's records,
// codecs and function codes.
#ifndef OZUGW_MSGDEFS_H
#define OZUGW_MSGDEFS_H

#include "msg_cli.h"
#include "msg_conn.h"
#include "msg_ext.h"
#include "msg_files.h"
#include "msg_lfx.h"
#include "msg_namespace.h"
#include "ozugw_msghdr.h"
#include "quor_api_msgdefs.h"
#include "xdr_iod.h"
#include "xdr_objects.h"

#endif
