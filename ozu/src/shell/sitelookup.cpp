// Lookups over the site stanzas and the lssites command.
#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <string>

#include "ozu_cmdframe.h"
#include "ozu_connect.h"
#include "ozu_context.h"
#include "ozu_dispatch.h"
#include "ozu_drive.h"
#include "ozu_getopt.h"
#include "ozu_keyset.h"
#include "ozu_log.h"
#include "ozu_misc.h"
#include "ozu_tokens.h"
#include "ozu_util.h"
#include "ozurc.h"
#include "ozuvars.h"
#include "quor_api.h"
#include "shell_commands.h"

site_connection_t *ozu_RcLookupSiteByName(const char *theSite)
{
  if (theSite == nullptr)
    return nullptr;
  for (site_connection_t *s = siteList; s; s = s->next) {
    for (int i = 0; i < s->aliasCount; ++i) {
      if (strcasecmp(s->aliasNames[i], theSite) == 0) {
        s->siteName = s->aliasNames[i];
        return s;
      }
    }
  }
  return nullptr;
}

site_connection_t *ozu_RcLookupSiteByDrive(int drive)
{
  for (site_connection_t *s = siteList; s; s = s->next)
    if (s->drive != 0 && toupper(s->drive) == toupper(drive))
      return s;
  return nullptr;
}

rc_host_info_t *ozu_RcLookupHost(site_connection_t *theSite, const char *searchHost,
                                 int *entryOffset)
{
  if (entryOffset)
    *entryOffset = -1;
  if (theSite == nullptr || searchHost == nullptr)
    return nullptr;
  for (int i = 0; i < theSite->hostListCount; ++i) {
    const char *h = theSite->hostList[i].theHost;
    const char *dot = strchr(h, '.');
    if (strcmp(h, searchHost) == 0 ||
        (dot != nullptr && size_t(dot - h) == strlen(searchHost) &&
         strncmp(h, searchHost, size_t(dot - h)) == 0)) {
      if (entryOffset)
        *entryOffset = i;
      return &theSite->hostList[i];
    }
  }
  return nullptr;
}

site_connection_t **ozu_RcLookupSiteByHost(const char *searchHost, int *entryCount)
{
  site_connection_t **found = nullptr;
  int n = 0;
  for (site_connection_t *s = siteList; s; s = s->next) {
    if (ozu_RcLookupHost(s, searchHost, nullptr) == nullptr)
      continue;
    auto **grown = static_cast<site_connection_t **>(
        realloc(found, sizeof(site_connection_t *) * size_t(n + 1)));
    if (grown == nullptr) {
      ozu_MallocError(long(sizeof(site_connection_t *) * size_t(n + 1)),
                      "ozu_RcLookupSiteByHost", __FILE__, __LINE__);
      continue;
    }
    found = grown;
    found[n++] = s;
  }
  *entryCount = n;
  if (n == 0) {
    free(found);
    return nullptr;
  }
  return found;
}

authmethod_info_t *ozu_RcLookupAuthMethodByType(site_connection_t *theSite, int authMethod)
{
  if (theSite == nullptr)
    return nullptr;
  for (authmethod_info_t *a = theSite->curAuthMethod; a; a = a->next)
    if (a->authMethodType == authMethod)
      return a;
  return nullptr;
}

principal_auth_info_t *ozu_RcLookupAMethodForPrincipal(site_connection_t *theSite,
                                                       const char *thePrincipal, int offset)
{
  if (theSite == nullptr || thePrincipal == nullptr)
    return nullptr;
  for (principal_info_t *p = theSite->principalList; p; p = p->next) {
    char *expanded = ozu_ExpandPrincipal(p->loginName, nullptr);
    bool same = expanded != nullptr && strcmp(expanded, thePrincipal) == 0;
    free(expanded);
    if (!same)
      continue;
    if (offset < 0 || offset >= p->authMethodCount)
      return nullptr;
    principal_auth_info_t *a = p->authList;
    for (int i = 0; i < offset && a; ++i)
      a = a->next;
    return a;
  }
  return nullptr;
}

int ozu_ResolveIPAddress(rc_host_info_t *host)
{
  if (host->theIpAddress.hs_addrlen != 0 && host->theIpAddress.hs_addr.ss_family != 0)
    return 0;
  if (debug >= 2)
    fprintf(stderr, "/debug/ozu_RcResolveIPAddress: looking up IP address for %s\n",
            host->theHost);
  char err[256] = "";
  quor_sockaddr_t addr;
  quor_net_initaddr(&addr);
  int rc = quor_net_getaddrinfo(host->theHost, nullptr, 1, QUOR_IPPROTO_TCP, &addr, err, sizeof err);
  if (rc != 0) {
    fprintf(errFile, "*** %s:: error looking up IP address for '%s' Error=%d [%s]\n",
            "ozu_ResolveIPAddress", host->theHost, rc == -11 ? -errno : rc, err);
    return -1;
  }
  host->theIpAddress = addr;
  if (debug >= 2) {
    char text[128] = "";
    quor_net_getuniversaladdress(&addr, text, sizeof text, err, sizeof err);
    fprintf(stderr, "/debug/ IP address for %s set to %s\n", host->theHost, text);
  }
  return 0;
}

namespace {

void lssitesUsage(void)
{
  fputs("Usage: lssi[tes] [-a] [-c] [-h] [-m] [-p] [-s site[,site ...] [drive ...]\n"
        "  -a  :  list all info for sites\n"
        "  -c  :  list server host name and connection info \n"
        "  -h  :  list just server host info\n"
        "  -m  :  list authentication method(s) defined for this site\n"
        "  -p  :  list principal info for the site\n"
        "  -s  :  list info for the specified site(s). The parameter may\n"
        "         contain either a single site name, or  a comma-separated list\n"
        "         of sitenames. Sitenames are case sensitive.\n"
        "  drive  : optional space-separated list of drive letter(s) for which\n"
        "         the site info is to be displayed, e.g. \"a: z:\"\n"
        "\n"
        "  If no site or drive options are specified, info for all sites will be\n"
        "  displayed.\n"
        "\n"
        "  If both -c and -h are specified, only -c info will be displayed\n"
        "\n",
        listF);
}

std::string universal(const quor_sockaddr_t *a)
{
  char text[128] = "";
  char err[256];
  if (a->hs_addrlen > 0)
    quor_net_getuniversaladdress(a, text, sizeof text, err, sizeof err);
  return text;
}

void displaySiteInfo(site_connection_t *s, int bits)
{
  FILE *f = listF;
  fprintf(f, "Site, Logical Drive....%s, \"%c:\"\n", s->siteName ? s->siteName : "(null)",
          s->drive ? s->drive : '?');
  if (s->aliasCount > 1) {
    fprintf(f, "    Alias sitenames\n");
    for (int i = 0; i < s->aliasCount; ++i)
      if (s->aliasNames[i] != s->siteName)
        fprintf(f, "      %s\n", s->aliasNames[i]);
  }
  if (bits & 4)
    fprintf(f, "QUOR Site ID: %d\n", int(s->siteID));
  if (bits & 2) {
    fprintf(f, "QELAPI Server Hosts and Connection information\n");
    fprintf(f, "   port .................... %d\n", s->port);
    fprintf(f, "   netmask ................. %s\n", universal(&s->netmask).c_str());
    for (int i = 0; i < s->hostListCount; ++i) {
      ozu_ResolveIPAddress(&s->hostList[i]);
      fprintf(f, "   HostName ................ %s\n", s->hostList[i].theHost);
      fprintf(f, "   HostIP .................. %s\n", universal(&s->hostList[i].theIpAddress).c_str());
    }
  } else if (bits & 4) {
    fprintf(f, "QELAPI Server Hosts\n");
    for (int i = 0; i < s->hostListCount; ++i)
      fprintf(f, "      HostName: %s\n", s->hostList[i].theHost);
  }
  if (bits & 8) {
    std::string defaults;
    for (int i = 0; i < s->defaultAuthMethodCount; ++i) {
      if (i)
        defaults += ':';
      defaults += ozu_AuthTypeToString(s->defaultAuthMethod[i]);
    }
    fprintf(f, "Authentication methods: \n");
    fprintf(f, "   Site Default: %s\n", defaults.empty() ? "[none]" : defaults.c_str());
    for (authmethod_info_t *a = s->authMethodList; a; a = a->next) {
      fprintf(f, "   Type: ...................  %s\n", ozu_AuthTypeToString(a->authMethodType));
      fprintf(f, "   Auth-specific file ....... %s\n", a->localFile ? a->localFile : "(none)");
      fprintf(f, "   Credentials file ......... %s\n", a->credFile ? a->credFile : "(none)");
    }
  }
  if (bits & 16) {
    fprintf(f, "Principal Information\n");
    for (principal_info_t *p = s->principalList; p; p = p->next) {
      fprintf(f, "   Login Name ................ %s\n", p->loginName ? p->loginName : "none");
      fprintf(f, "   Auth method count ......... %d\n", p->authMethodCount);
      std::string types;
      for (principal_auth_info_t *a = p->authList; a; a = a->next) {
        if (!types.empty())
          types += ',';
        types += ozu_AuthTypeToString(a->authMethod ? a->authMethod->authMethodType : 0);
      }
      fprintf(f, "   Auth Method Types ......... %s\n", types.c_str());
    }
  }
}

}  // namespace

int ozu_LsSiteCommand(char *cc, int cclen)
{
  ozu_cmd_t cmd(cc, cclen);
  int bits = 0;
  bool usagePrinted = false;
  std::string siteArg;
  int c;
  while ((c = ozu_CmdOption(&cmd, "achmps:?", nullptr)) != OZU_OPT_END) {
    if (debug >= 2)
      fprintf(listF, "/debug/ ozu_opttype: %d optc: %c ozu_optind: %d ozu_optarg: %s ozu_opterr: %d\n",
              ozu_opttype, c, ozu_optind, ozu_optarg ? ozu_optarg : "(null)", ozu_opterr);
    switch (c) {
      case 'a': bits |= 2 | 4 | 8 | 16; break;
      case 'c': bits |= 2; break;
      case 'h': bits |= 4; break;
      case 'm': bits |= 8; break;
      case 'p': bits |= 16; break;
      case 's':
        bits |= 32;
        if (ozu_optarg)
          siteArg = ozu_optarg;
        break;
      case '?':
        if (!usagePrinted)
          lssitesUsage();
        usagePrinted = true;
        break;
      default: fprintf(listF, "Unknown option ignored: %c\n", c); break;
    }
  }
  if (ozu_CmdKeywords(&cmd, OZU_KW_UNKNOWN_IS_NAME) < 0) {
    fflush(listF);
    return 1;
  }
  if ((bits & 32) || !cmd.names.empty()) {
    int failed = 0;
    size_t start = 0;
    while ((bits & 32) && start <= siteArg.size()) {
      size_t comma = siteArg.find(',', start);
      std::string name = siteArg.substr(start, comma == std::string::npos ? std::string::npos
                                                                         : comma - start);
      start = comma == std::string::npos ? siteArg.size() + 1 : comma + 1;
      if (name.empty())
        continue;
      site_connection_t *s = ozu_RcLookupSiteByName(name.c_str());
      if (s)
        displaySiteInfo(s, bits);
      else
        ++failed;
    }
    while (char *w = ozu_CmdNextName(&cmd)) {
      int letter = ozu_CmdDriveWord(w);
      if (letter == 0)
        continue;
      site_connection_t *s = ozu_RcLookupSiteByDrive(letter);
      if (s)
        displaySiteInfo(s, bits);
      else
        ++failed;
    }
    if (failed) {
      fprintf(listF, "(You might try using the \"lssites\" command\n");
      fprintf(listF, " to get a list of site names and associated drive letters\n");
    }
  } else {
    for (site_connection_t *s = siteList; s; s = s->next)
      displaySiteInfo(s, bits);
  }
  fflush(listF);
  return 1;
}
