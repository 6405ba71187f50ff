// Shared by the rc reader and the site-key handlers only.
#ifndef OZURC_INTERNAL_H
#define OZURC_INTERNAL_H

#include "ozurc.h"

extern const char *ozurcPath;  // the rc file being read, for messages
extern int rcLineNumber;       // physical lines read so far in it
extern const ozurc_option siteconn_options[];

// Applies one key of a stanza: -1 when this file may not set it, else 0.
int siteConnectionOption(site_connection_t *site, const ozurc_option *opt, const char *value,
                         int quorResident, int isHomeDir);

#endif
