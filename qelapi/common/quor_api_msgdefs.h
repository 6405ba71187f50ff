// Message categories of the gateway protocol. The family headers hold the
// records, codecs and function codes; ozugw_msgdefs.h gathers them.
#ifndef QUOR_API_MSGDEFS_H
#define QUOR_API_MSGDEFS_H

#define QEL_CAT_CONNECT 0x0100
#define QEL_CAT_AUTH 0x0200
#define QEL_CAT_CORE 0x0500
#define QEL_CAT_LOOKUP 0x0600
#define QEL_CAT_LOG 0x0700
#define QEL_CAT_EXT 0x0800
#define QEL_CAT_CLI 0x1500
#define QEL_CAT_LFX 0x1600
#define QEL_CAT_UDA 0x1700
#define QEL_CAT_FDIGEST 0x1800

#endif
