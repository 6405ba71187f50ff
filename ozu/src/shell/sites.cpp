// Site stanzas: the site keys, method entries, hosts, principals and the
// site dump.
#include <ctype.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <string>

#include "ozu_drive.h"
#include "ozu_log.h"
#include "ozu_misc.h"
#include "ozu_util.h"
#include "ozurc.h"
#include "ozurc_internal.h"
#include "ozuvars.h"
#include "quor_api.h"

namespace {

enum SITECONN_OPTS {
  SOPT_AUTHMETHOD = 1, SOPT_COS, SOPT_CKSUM_ENABLED, SOPT_CKSUM_TYPE, SOPT_CREDFILE, SOPT_DRIVE,
  SOPT_DISABLE_GETS, SOPT_DISABLE_GETS_MSG, SOPT_DISABLE_PUTS, SOPT_DISABLE_PUTS_MSG,
  SOPT_FAMILYID, SOPT_FIREWALL, SOPT_HOST, SOPT_KEYTAB, SOPT_PORT, SOPT_PRINCIPAL,
  SOPT_SITE_AUTHMETHOD, SOPT_SITE_ID,
};

const char *fileKind(int resident) { return resident ? "QUOR-resident" : "local"; }

void replaceText(char **field, const char *value)
{
  char *copy = strdup(value);
  if (copy == nullptr) {
    fprintf(errFile, "*** %s: strdup error on '%s' (%s, line %d)\n", "siteConnectionOption",
            value, __FILE__, __LINE__);
    return;
  }
  free(*field);
  *field = copy;
}

int addAuthTypeEntry(site_connection_t *site, int isHomeDir, int method)
{
  authmethod_info_t **link = &site->authMethodList;
  for (authmethod_info_t *a = site->authMethodList; a; link = &a->next, a = a->next) {
    if (a->authMethodType != method)
      continue;
    if ((a->userOzurcFlag != 0) == (isHomeDir != 0)) {
      site->curAuthMethod = a;
      return 0;
    }
    if (a->userOzurcFlag == 0 && isHomeDir) {
      if (debug >= 1)
        fprintf(listF,
                "%s: replacing global ozurc auth entry for type %d with private .ozurc setting\n",
                "addAuthTypeEntry", method);
      // Principals may still point at it: unlink and empty it, keep it.
      *link = a->next;
      free(a->localFile);
      free(a->credFile);
      a->localFile = a->credFile = nullptr;
      a->next = site->retiredAuthMethods;
      site->retiredAuthMethods = a;
      site->curAuthMethod = nullptr;
      break;
    }
  }
  auto *e = static_cast<authmethod_info_t *>(calloc(1, sizeof(authmethod_info_t)));
  if (e == nullptr) {
    fprintf(errFile, "*** malloc problem in addAuthEntry ***\n");
    return -1;
  }
  e->userOzurcFlag = isHomeDir ? 1 : 0;
  e->authMethodType = method;
  e->next = site->authMethodList;
  site->authMethodList = e;
  site->curAuthMethod = e;
  return 0;
}

authmethod_info_t *fileEntry(site_connection_t *site, int isHomeDir, const char *who)
{
  if (site->authMethodList != nullptr)
    return site->authMethodList;
  auto *e = static_cast<authmethod_info_t *>(calloc(1, sizeof(authmethod_info_t)));
  if (e == nullptr) {
    fprintf(errFile, "*** %s: calloc failed! ***\n", who);
    return nullptr;
  }
  e->userOzurcFlag = isHomeDir ? 1 : 0;
  site->authMethodList = e;
  return e;
}

int addAuthLocalFileEntry(site_connection_t *site, int isHomeDir, const char *file)
{
  authmethod_info_t *e = fileEntry(site, isHomeDir, "addAuthLocalFileEntry");
  if (e == nullptr)
    return -1;
  char *copy = strdup(file);
  if (copy == nullptr) {
    fprintf(errFile, "*** addAuthLocalFileEntry: strdup failed! ***\n");
    return -1;
  }
  free(e->localFile);
  e->localFile = copy;
  return 0;
}

int addAuthCredFileEntry(site_connection_t *site, int isHomeDir, const char *file)
{
  authmethod_info_t *e = fileEntry(site, isHomeDir, "addAuthEntry");
  if (e == nullptr)
    return -1;
  char *copy = strdup(file);
  if (copy == nullptr) {
    fprintf(errFile, "*** addAuthEntry: strdup failed! ***\n");
    return -1;
  }
  free(e->credFile);
  e->credFile = copy;
  return 0;
}

int addHostName(site_connection_t *site, const char *host, int isHomeDir)
{
  if (isHomeDir && site->hostListCount > 0 && !site->hostList[0].userOzurcFlag) {
    if (debug >= 1)
      fprintf(listF,
              "%s: replacing host entries for site <%s> from global ozurc with user's .ozurc "
              "entries\n",
              "addHostName", site->siteName);
    for (int i = 0; i < site->hostListCount; ++i)
      free(site->hostList[i].theHost);
    site->hostListCount = 0;
  }
  for (int i = 0; i < site->hostListCount; ++i)
    if (strcmp(site->hostList[i].theHost, host) == 0)
      return 0;
  char *copy = strdup(host);
  if (copy == nullptr) {
    fprintf(errFile, "*** %s: strdup failed! ***\n", "addHostName");
    return -1;
  }
  auto *grown = static_cast<rc_host_info_t *>(
      realloc(site->hostList, sizeof(rc_host_info_t) * size_t(site->hostListCount + 1)));
  if (grown == nullptr) {
    free(copy);
    fprintf(errFile, "*** %s: realloc failed! ***\n", "addHostName");
    return -1;
  }
  rc_host_info_t &h = grown[site->hostListCount];
  memset(&h, 0, sizeof h);
  h.userOzurcFlag = h.userRcFile = isHomeDir ? 1 : 0;
  h.theHost = copy;
  site->hostList = grown;
  site->hostListCount++;
  return 0;
}

void freePrincipal(principal_info_t *p)
{
  for (principal_auth_info_t *a = p->authList; a;) {
    principal_auth_info_t *n = a->next;
    free(a);
    a = n;
  }
  free(p->loginName);
  free(p);
}

principal_info_t *addPrincipalName(site_connection_t *site, int isHomeDir, const char *name)
{
  if (isHomeDir && site->principalList != nullptr && !site->principalList->userOzurcFlag) {
    if (debug >= 1)
      fprintf(listF, "%s: removing principal entry(s) from global ozurc for site %s\n",
              "addPrincipalName", site->siteName);
    for (principal_info_t *p = site->principalList; p;) {
      principal_info_t *n = p->next;
      if (debug >= 2)
        fprintf(listF, "%s: removing principal entry for '%s' - %d auth entries\n",
                "addPrincipalName", p->loginName ? p->loginName : "unknown", p->authMethodCount);
      freePrincipal(p);
      p = n;
    }
    site->principalList = nullptr;
  }
  for (principal_info_t *p = site->principalList; p; p = p->next)
    if (p->loginName && strcmp(p->loginName, name) == 0)
      return p;
  auto *p = static_cast<principal_info_t *>(calloc(1, sizeof(principal_info_t)));
  if (p == nullptr) {
    fprintf(stderr, "*** malloc error in addPrincipalName\n");
    return nullptr;
  }
  p->loginName = strdup(name);
  if (p->loginName == nullptr) {
    free(p);
    fprintf(stderr, "*** strdup error in addPrincipalName\n");
    return nullptr;
  }
  p->userOzurcFlag = isHomeDir ? 1 : 0;
  p->next = site->principalList;
  site->principalList = p;
  return p;
}

principal_auth_info_t *addPrincipalAuthTypeEntry(site_connection_t *site, int,
                                                 principal_info_t *pr, int method)
{
  principal_auth_info_t **tail = &pr->authList;
  for (principal_auth_info_t *a = pr->authList; a; a = a->next) {
    if (a->authMethod && a->authMethod->authMethodType == method)
      return a;
    tail = &a->next;
  }
  authmethod_info_t *entry = site->authMethodList;
  while (entry && entry->authMethodType != method)
    entry = entry->next;
  if (entry == nullptr) {
    fprintf(errFile, "*** OZURC warning: reference to auth type %s for principal %s\n",
            ozu_AuthTypeToString(method), pr->loginName);
    fprintf(errFile, "   Missing auth method info (type,keytab file, ...) for this site\n");
    fprintf(errFile, "   (Auth info must precede the principal names in the ozurc file\n");
    return nullptr;
  }
  auto *a = static_cast<principal_auth_info_t *>(calloc(1, sizeof(principal_auth_info_t)));
  if (a == nullptr) {
    fprintf(errFile, "*** addPrincipalAuthTypeEntry: malloc error\n");
    return nullptr;
  }
  a->authMethod = entry;
  *tail = a;
  pr->authMethodCount++;
  return a;
}

void principalKey(site_connection_t *site, const char *value, int resident, int isHomeDir)
{
  const char *p = value;
  std::string name(1, *p++);
  while (*p && *p != ',' && *p != '#' && *p != ' ' && *p != '\t')
    name += *p++;
  while (*p == ' ' || *p == '\t')
    ++p;
  if (*p == ',')
    ++p;
  principal_info_t *pr = addPrincipalName(site, isHomeDir, name.c_str());
  if (pr == nullptr || *p == '\0' || *p == '#')
    return;
  std::string list = p;
  size_t start = 0;
  while (start <= list.size()) {
    size_t colon = list.find(':', start);
    std::string piece = list.substr(start, colon == std::string::npos ? std::string::npos
                                                                     : colon - start);
    start = colon == std::string::npos ? list.size() + 1 : colon + 1;
    size_t b = piece.find_first_not_of(" \t");
    if (b == std::string::npos || piece[b] == '#')
      break;
    piece = piece.substr(b);
    int code = ozu_ConvertAuthMethod(piece.c_str());
    if (code < 0) {
      fprintf(errFile, "*** Missing or unknown authentication method [%s], line %d in %s file %s\n",
              piece.c_str(), rcLineNumber, fileKind(resident), ozurcPath);
      break;
    }
    addPrincipalAuthTypeEntry(site, isHomeDir, pr, code);
  }
}

}  // namespace

const ozurc_option siteconn_options[] = {
    {"authmethod", 1, SOPT_AUTHMETHOD, 12},
    {"cksum_enabled", 1, SOPT_CKSUM_ENABLED, 15},
    {"cksum_type", 1, SOPT_CKSUM_TYPE, 15},
    {"cos", 1, SOPT_COS, 15},
    {"credfile", 1, SOPT_CREDFILE, 12},
    {"drive", 1, SOPT_DRIVE, 12},
    {"disable_gets", 1, SOPT_DISABLE_GETS, 12},
    {"disable_puts", 1, SOPT_DISABLE_PUTS, 12},
    {"family_id", 1, SOPT_FAMILYID, 12},
    {"firewall", 1, SOPT_FIREWALL, 12},
    {"host", 1, SOPT_HOST, 12},
    {"keytab", 1, SOPT_KEYTAB, 12},
    {"port", 1, SOPT_PORT, 12},
    {"principal", 1, SOPT_PRINCIPAL, 12},
    {"read_disable_msg", 1, SOPT_DISABLE_GETS_MSG, 12},
    {"site_authmethod", 1, SOPT_SITE_AUTHMETHOD, 12},
    {"site_id", 1, SOPT_SITE_ID, 12},
    {"write_disable_msg", 1, SOPT_DISABLE_PUTS_MSG, 12},
    {nullptr, 0, 0, 0},
};

int siteConnectionOption(site_connection_t *site, const ozurc_option *opt, const char *value,
                         int quorResident, int isHomeDir)
{
  uint32_t bit = quorResident ? (isHomeDir ? RC_QUOR_PRIVATE : RC_QUOR_GLOBAL)
                              : (isHomeDir ? RC_LOCAL_PRIVATE : RC_LOCAL_GLOBAL);
  if (!(opt->locations & bit))
    return -1;
  const char *kind = fileKind(quorResident);
  switch (opt->enumVal) {
    case SOPT_AUTHMETHOD: {
      int code = ozu_ConvertAuthMethod(value);
      if (code < 0)
        fprintf(errFile,
                "*** Missing or unknown authentication method [%s], line %d in %s file %s\n",
                value, rcLineNumber, kind, ozurcPath);
      else
        addAuthTypeEntry(site, isHomeDir, code);
      break;
    }
    case SOPT_CKSUM_ENABLED:
      if (strcmp(value, "on") == 0 || strcmp(value, "off") == 0) {
        site->cksumEnabled = strcmp(value, "on") == 0;
        site->cksumEnabledSet = 1;
      } else {
        fprintf(errFile, "*** Missing or unknown <cksumEnabled> value [%s], line %d in %s file %s\n",
                value, rcLineNumber, kind, ozurcPath);
      }
      break;
    case SOPT_CKSUM_TYPE: {
      int t = ozu_ConvertCksumType(value);
      if (t < 0) {
        fprintf(errFile, "*** Missing or unknown <cksum_type> value [%s], line %d in %s file %s\n",
                value, rcLineNumber, kind, ozurcPath);
      } else {
        site->cksumHashType = t;
        site->cksumHashTypeSet = 1;
      }
      break;
    }
    case SOPT_COS: {
      if (strcasecmp(value, "auto") == 0) {
        site->startupCOS = 0;
        if (debug >= 1)
          fprintf(listF, "default COS set to 0 (auto)\n");
        break;
      }
      long v = strtol(value, nullptr, 10);
      if (isalpha(static_cast<unsigned char>(value[0])) || v < 0 || v > INT_MAX) {
        fprintf(errFile, "*** Warning: in %s file `%s' - bad <cos> parameter `%s'\n", kind,
                ozurcPath, value);
        break;
      }
      site->startupCOS = int(v);
      if (debug >= 1)
        fprintf(listF, "default COS set to %d\n", int(v));
      break;
    }
    case SOPT_CREDFILE: addAuthCredFileEntry(site, isHomeDir, value); break;
    case SOPT_KEYTAB: addAuthLocalFileEntry(site, isHomeDir, value); break;
    case SOPT_DRIVE: {
      int d = ozu_GetDriveLetter(value);
      if (d == 0 || value[2] != '\0') {
        fprintf(errFile, "*** Bad drive letter '%s', line %d in %s file %s\n", value,
                rcLineNumber, kind, ozurcPath);
        break;
      }
      if (site->drive != 0 && site->drive != d) {
        fprintf(errFile, "*** Multiple drive letters for site %s detected at line %d in %s file %s\n",
                site->siteName, rcLineNumber, kind, ozurcPath);
        fprintf(errFile, "   (the last one found (%s) will be used)\n", value);
      }
      site->drive = char(d);
      break;
    }
    case SOPT_DISABLE_GETS:
    case SOPT_DISABLE_PUTS: {
      int *field = opt->enumVal == SOPT_DISABLE_GETS ? &site->disableReads : &site->disableWrites;
      if (strcmp(value, "on") == 0)
        *field = 1;
      else if (strcmp(value, "off") == 0)
        *field = 0;
      else
        fprintf(errFile, "warning: illegal value '%s' for '%s' in ozurc file %s\n", value,
                opt->option, ozurcPath);
      break;
    }
    case SOPT_DISABLE_GETS_MSG: replaceText(&site->disableReadsMsg, value); break;
    case SOPT_DISABLE_PUTS_MSG: replaceText(&site->disableWritesMsg, value); break;
    case SOPT_FAMILYID: {
      long v = strtol(value, nullptr, 10);
      if (v < 0 || v > INT_MAX)
        fprintf(errFile, "*** Bad value '%s' for family_id, line %d in %s file %s\n", value,
                rcLineNumber, kind, ozurcPath);
      else
        site->defaultFamilyID = int(v);
      break;
    }
    case SOPT_FIREWALL:
      if (strcmp(value, "on") == 0)
        site->firewallMode = 1;
      else if (strcmp(value, "off") == 0)
        site->firewallMode = 0;
      else
        fprintf(errFile, "*** Bad value '%s' for firewall setting, line %d in %s file %s\n", value,
                rcLineNumber, kind, ozurcPath);
      break;
    case SOPT_HOST: {
      // Names separated by ','; an empty piece (a trailing comma) names no host.
      std::string list = value;
      size_t start = 0;
      while (start <= list.size()) {
        size_t comma = list.find(',', start);
        std::string piece = list.substr(start, comma == std::string::npos ? std::string::npos
                                                                         : comma - start);
        start = comma == std::string::npos ? list.size() + 1 : comma + 1;
        if (!piece.empty())
          addHostName(site, piece.c_str(), isHomeDir);
      }
      break;
    }
    case SOPT_PORT: {
      long v = strtol(value, nullptr, 10);
      site->port = v < 0 ? 0 : (v > 65535 ? 0 : int(v));
      break;
    }
    case SOPT_PRINCIPAL: principalKey(site, value, quorResident, isHomeDir); break;
    case SOPT_SITE_AUTHMETHOD: {
      int count = 0;
      int *list = nullptr;
      if (parseAuthMethodList(value, &count, &list) != 0) {
        fprintf(errFile,
                "*** ozu: missing or unknown authentication method [%s] in %s file %s, line %d\n",
                value, kind, ozurcPath, rcLineNumber);
        break;
      }
      if (site->defaultAuthMethodCount > 0 && debug >= 1)
        fprintf(listF, "Replacing site authmethod list with authmethod list from %s, line %d\n",
                ozurcPath, rcLineNumber);
      free(site->defaultAuthMethod);
      site->defaultAuthMethod = list;
      site->defaultAuthMethodCount = count;
      break;
    }
    case SOPT_SITE_ID: {
      long v = strtol(value, nullptr, 10);
      if (v <= 0 || v > long(UINT32_MAX)) {
        fprintf(errFile, "*** Invalid site ID (%s) detected at line %d in %s file %s\n", value,
                rcLineNumber, kind, ozurcPath);
        break;
      }
      if (site->siteID != 0) {
        fprintf(errFile, "*** Multiple site IDs detected at line %d in %s file %s\n", rcLineNumber,
                kind, ozurcPath);
        fprintf(errFile, "   (the last one found (%d) will be used)\n", int(v));
      }
      site->siteID = uint32_t(v);
      break;
    }
    default:
      break;
  }
  return 0;
}

void dumpSiteConnections(void)
{
  FILE *f = stderr;
  fprintf(f, " ---------------------------------\n");
  fprintf(f, "Site Connetion Table:\n");
  for (site_connection_t *s = siteList; s; s = s->next) {
    fprintf(f, "SiteName: %s\n", s->siteName ? s->siteName : "(null)");
    if (s->aliasCount > 1) {
      fprintf(f, "    Alias sitenames: \n");
      for (int i = 1; i < s->aliasCount; ++i)
        fprintf(f, "      %s\n", s->aliasNames[i]);
    }
    fprintf(f, "   siteID................... %d\n", int(s->siteID));
    fprintf(f, "   drive ................... %c\n", s->drive ? s->drive : ' ');
    fprintf(f, "    COS for this site ....... %d %s\n", s->startupCOS,
            s->startupCOS == 0 ? "(auto)" : "");
    fprintf(f, "   default family ID ....... %d\n", s->defaultFamilyID);
    fprintf(f, "   port .................... %d\n", s->port);
    char mask[128] = "";
    char err[256];
    if (s->netmask.hs_addrlen > 0)
      quor_net_getuniversaladdress(&s->netmask, mask, sizeof mask, err, sizeof err);
    fprintf(f, "   netmask ................. %s\n", mask);
    fprintf(f, "   server host count........ %d\n", s->hostListCount);
    fprintf(f, "   QELAPI Server Hosts\n");
    for (int i = 0; i < s->hostListCount; ++i)
      fprintf(f, "      HostName: %s\n", s->hostList[i].theHost);
    fprintf(f, "   host selection method .... %d\n", s->hostSelectMethod);
    fprintf(f, "   firewall Mode     ........ %s\n", s->firewallMode ? "on" : "off");
    fprintf(f, "   defaultAuthMethodCount.... %d\n", s->defaultAuthMethodCount);
    fprintf(f, "   defaultAuthMethod......... ");
    for (int i = 0; i < s->defaultAuthMethodCount; ++i)
      fprintf(f, "%s ", ozu_AuthTypeToString(s->defaultAuthMethod[i]));
    fprintf(f, "\n");
    fprintf(f, "   Enabled Authentication methods: \n");
    for (authmethod_info_t *a = s->authMethodList; a; a = a->next) {
      fprintf(f, "      Type: %s\n", ozu_AuthTypeToString(a->authMethodType));
      fprintf(f, "         Auth-specific file: %s\n", a->localFile ? a->localFile : "(none)");
      fprintf(f, "         Credentials file: %s\n", a->credFile ? a->credFile : "(none)");
    }
    fprintf(f, "  Principal Information\n");
    for (principal_info_t *p = s->principalList; p; p = p->next) {
      fprintf(f, "      Login Name: %s\n", p->loginName ? p->loginName : "none");
      fprintf(f, "      Auth method count: %d\n", p->authMethodCount);
      fprintf(f, "      -- Auth Method List --\n");
      for (principal_auth_info_t *a = p->authList; a; a = a->next)
        fprintf(f, "          Auth Type: %s\n",
                ozu_AuthTypeToString(a->authMethod ? a->authMethod->authMethodType : 0));
    }
  }
}
