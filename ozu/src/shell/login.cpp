// The start-up log-in set-up and the name caches.
#include "ozu_login.h"

#include <ctype.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include <string>

#include "ozu_context.h"
#include "ozu_log.h"
#include "ozu_misc.h"
#include "ozurc.h"
#include "ozuvars.h"
#include "quor_api.h"

extern int ozu_gatewayLogOpen;

void init_fatal_error(const char *msg)
{
  fprintf(errFile, "%s\n", msg);
  exit(71);
}

void init_malloc_error(const char *txt)
{
  char msg[512];
  snprintf(msg, sizeof msg, "*** OZU - fatal memory allocation error: %s\n", txt);
  init_fatal_error(msg);
}

void gatewayShutdown(void) {}

int ozu_GetLoginGroups(int32_t **group_list)
{
  int n = quor_GetGroupList(group_list);
  if (n < 0)
    fprintf(errFile, "** Error %d getting group list **\n", n);
  return n;
}

namespace {

bool usedRcDefaults = false, usedSiteDefaults = false;

void setServerEnv(const char *who)
{
  std::string entry = std::string("QUOR_SERVER_HOST=") + ozu_server_host;
  if (ozu_server_port >= 1)
    entry += "/" + std::to_string(ozu_server_port);
  char *fresh = strdup(entry.c_str());
  if (fresh == nullptr || putenv(fresh) != 0) {
    free(fresh);
    fprintf(errFile, "*** %s: cannot expand environment for %s\n", who, "QUOR_SERVER_HOST");
    return;
  }
  // putenv keeps the string; the previous one is no longer referenced.
  free(ozuServerEnv);
  ozuServerEnv = fresh;
  if (debug >= 1)
    fprintf(errFile, "/debug/changed env.var. %s to %s\n", "QUOR_SERVER_HOST", fresh + 17);
}

void chooseHost(site_connection_t *site)
{
  int inx = ozu_RcChooseHost(site);
  free(ozu_server_host);
  ozu_server_host = strdup(site->hostList[inx].theHost);
}

}  // namespace

int gatewaySetup(ozu_login_t *loginInfo)
{
  site_connection_t *site = nullptr;
  if (startup_site_name != nullptr) {
    site = ozu_RcLookupSiteByName(startup_site_name);
    if (site == nullptr)
      fprintf(errFile, "*** Cannot locate site entry for '%s'\n", startup_site_name);
    else if (debug >= 1)
      fprintf(listF, "/debug/found site entry for %s\n", startup_site_name);
  }
  loginSiteEntry = site;
  if (site != nullptr) {
    if (site->cksumEnabledSet)
      globalDefs.cksumEnabled = site->cksumEnabled;
    if (site->cksumHashTypeSet)
      globalDefs.cksumHashType = site->cksumHashType;
    if (site->drive)
      globalDefs.defaultDrive = site->drive;
    if (!altIdentity && site->principalList != nullptr) {
      char *p = ozu_ExpandPrincipal(site->principalList->loginName, nullptr);
      if (p != nullptr) {
        free(altPrincipal);
        altPrincipal = p;
        altIdentity++;
        if (debug >= 2)
          fprintf(errFile, "/debug/using principal %s,expanded to [%s]\n",
                  site->principalList->loginName, p);
      }
    }
    if (authTypeFlag == 0 && altPrincipal != nullptr) {
      principal_auth_info_t *pa = ozu_RcLookupAMethodForPrincipal(site, altPrincipal, 0);
      if (pa && pa->authMethod)
        authTypeFlag = pa->authMethod->authMethodType;
    }
    if (authTypeFlag == 0 && site->defaultAuthMethodCount > 0) {
      authTypeFlag = site->defaultAuthMethod[0];
      usedSiteDefaults = true;
    }
    if (authTypeFlag != 0) {
      authmethod_info_t *entry = ozu_RcLookupAuthMethodByType(site, authTypeFlag);
      if (entry != nullptr) {
        if (authTypeFlag == 16 && pwPathname == nullptr && entry->localFile)
          pwPathname = strdup(entry->localFile);
        if (authTypeFlag == 64 && keytabPath == nullptr && entry->localFile)
          keytabPath = strdup(entry->localFile);
        if (credCacheFile == nullptr && entry->credFile)
          credCacheFile = strdup(entry->credFile);
      }
    }
    if (ozu_server_host != nullptr && strchr(ozu_server_host, '.') == nullptr) {
      rc_host_info_t *h = ozu_RcLookupHost(site, ozu_server_host, nullptr);
      if (h != nullptr) {
        free(ozu_server_host);
        ozu_server_host = strdup(h->theHost);
        if (debug >= 2)
          fprintf(stderr, "/debug/found canonical hostname: %s\n", ozu_server_host);
      }
    }
    if (ozu_server_host == nullptr && site->hostListCount > 0)
      chooseHost(site);
    if (ozu_server_port < 1 && site->port > 0)
      ozu_server_port = site->port;
    if (ozu_server_host != nullptr)
      setServerEnv("gatewaySetup");
  }
  if (authTypeFlag == 0 && globalDefs.defaultAuthMethodCount > 0) {
    authTypeFlag = globalDefs.defaultAuthMethod[0];
    usedRcDefaults = true;
  }
  bool libraryDefault = false;
  if (authTypeFlag == 0) {
    authTypeFlag = quor_GetAuthType(nullptr);
    libraryDefault = true;
  }
  if (authTypeFlag == 8 && credCacheFile != nullptr) {
    char *expanded = ozu_ExpandKeytabPath(credCacheFile, nullptr, nullptr);
    if (expanded != nullptr) {
      const char *cur = getenv("KRB5CCNAME");
      const char *path = expanded + 5;
      if (cur == nullptr || strcmp(cur, path) != 0) {
        std::string entry = std::string("KRB5CCNAME=") + path;
        if (entry.size() > 4095)
          entry.resize(4095);
        char *env = strdup(entry.c_str());
        if (env == nullptr || putenv(env) != 0) {
          free(env);
          fprintf(stderr, "*** %s: malloc error setting KRB5CCNAME\n", "gatewaySetup");
        } else if (debug >= 1) {
          fprintf(errFile, "/debug/setting KRB5CCNAME to %s\n", path);
        }
      }
      std::string dir = path;
      size_t slash = dir.rfind('/');
      dir = slash == std::string::npos ? "." : dir.substr(0, slash);
      struct stat st;
      if (stat(dir.c_str(), &st) != 0)
        fprintf(errFile, "*** Warning: unable to stat kerberos creds file directory: %s\n",
                dir.c_str());
      free(expanded);
    }
  }
  if (!libraryDefault) {
    if (usedRcDefaults) {
      quor_SetAuthMethodList(globalDefs.defaultAuthMethodCount, globalDefs.defaultAuthMethod);
    } else if (usedSiteDefaults) {
      quor_SetAuthMethodList(site->defaultAuthMethodCount, site->defaultAuthMethod);
    } else if (quor_SetAuthType(authTypeFlag) < 0) {
      fprintf(errFile, "*** OZU: Specified authentication mechanism is unavailable\n");
      return -1;
    }
    if (debug >= 1)
      fprintf(errFile, "/debug/using alternate authentication method\n");
  }
  if (authTypeFlag == 64) {
    const char *tmpl = keytabPath ? keytabPath
                                  : (ozurcKeytabPath ? ozurcKeytabPath : getenv("QUOR_KEYTAB_PATH"));
    if (tmpl == nullptr) {
      fprintf(errFile,
              "*** OZU: KEYTAB auth method specified, but no keytab path/template was specified\n");
      return -1;
    }
    char *expanded = ozu_ExpandKeytabPath(tmpl, nullptr, nullptr);
    if (expanded == nullptr) {
      fprintf(errFile, "*** OZU: KEYTAB auth method - error expanding template string: [%s]\n", tmpl);
      return -1;
    }
    int rc = quor_SetKeytabInfo(nullptr, expanded + 5, 0);
    if (rc < 0) {
      fprintf(errFile, "*** OZU: (KEYTAB auth method) - ");
      if (rc == -1)
        fprintf(errFile, "keytab file has non-owner perms set: %s\n", expanded + 5);
      else if (rc == -2)
        fprintf(errFile, "keytab file missing or inaccessible: %s\n", expanded + 5);
      else
        fprintf(errFile, "error %d using keytab file %s\n", rc, expanded + 5);
      free(expanded);
      return -1;
    }
    free(expanded);
  } else if (pwPathname != nullptr) {
    ozu_SetPasswordFromFile(pwPathname);
  }
  if (altPrincipal != nullptr) {
    if (quor_SetCombo(altPrincipal, nullptr) < 0) {
      fprintf(errFile,
              "*** OZU: alternate login name invalid or not allowed for authentication method\n");
      return -1;
    }
    if (debug >= 1)
      fprintf(errFile, "/debug/using alternate login name [%s]\n", altPrincipal);
  } else if (ozurcPrincipal != nullptr) {
    if (quor_SetCombo(ozurcPrincipal, nullptr) < 0) {
      fprintf(errFile,
              "*** OZU:ozurc login name: %s - invalid or not allowed for authentication method\n",
              ozurcPrincipal);
      return -1;
    }
    if (debug >= 1)
      fprintf(errFile, "/debug/using alternate login name (from ozurc) [%s]\n", ozurcPrincipal);
  }
  int rc = quor_Openlog("ozu", 0x60000);
  if (rc < 0) {
    fprintf(errFile, "*** OZU: error opening logging\n");
    return rc;
  }
  ozu_gatewayLogOpen = 1;
  struct passwd *pw = quor_GetPwent();
  if (pw == nullptr) {
    fprintf(errFile, "*** OZU: fatal error getting password entry info.\n");
    return -1;
  }
  std::string name = pw->pw_name ? pw->pw_name : "";
  std::string home = pw->pw_dir ? pw->pw_dir : "";
  int uid = int(pw->pw_uid), gid = int(pw->pw_gid);
  if (debug >= 2)
    fprintf(errFile,
            "Got password entry info ok\n   Principal:    %-s\n   uid:          %-d\n   gid:       "
            "   %-d\n   misc info:    %-s\n   home directory: %-s\n   login shell:    %-s\n\n",
            name.c_str(), uid, gid, pw->pw_gecos ? pw->pw_gecos : "", home.c_str(),
            pw->pw_shell ? pw->pw_shell : "");
  if (acctName != nullptr) {
    acct_rec_t code = 0;
    int arc = quor_AcctNameToCode(acctName, nullptr, &code);
    if (arc < 0) {
      fprintf(errFile, "WARNING: Error %d looking up account ID for account name '%s', user %s uid %d\n",
              arc, acctName, name.c_str(), uid);
      acctId = 0;
    } else {
      acctId = long(code);
    }
  }
  if (acctId != 0) {
    int src = quor_SetAcct(acct_rec_t(acctId));
    if (src < 0)
      fprintf(errFile, "WARNING: Error %d setting account ID to '%d' for user %s uid %d\n", src,
              int(acctId), name.c_str(), uid);
    else if (debug >= 1)
      fprintf(stderr, "/debug/set startup account ID to %d\n", int(acctId));
  }
  if (cli_groupName != nullptr) {
    long g = lookupGid(cli_groupName);
    if (g < 0) {
      fprintf(errFile, "WARNING: Error %d looking up Group ID for Group Name '%s', user %s uid %d\n",
              int(g), cli_groupName, name.c_str(), uid);
      g = 0;
    }
    cli_groupID = g;
  }
  if (cli_groupID != 0) {
    int grc = quor_SetGID(uint32_t(cli_groupID));
    if (grc < 0) {
      fprintf(errFile, "WARNING: Error %d setting current Group ID to '%d' for user %s uid %d\n",
              grc, int(cli_groupID), name.c_str(), uid);
    } else {
      gid = int(cli_groupID);
      if (debug >= 1)
        fprintf(stderr, "/debug/set startup Group ID to %d\n", gid);
    }
  }
  acct_rec_t def = 0, cur = 0;
  if (quor_GetAcct(&def, &cur) < 0)
    fprintf(errFile, "*** Error getting default account from registry info for uid %d\n", uid);
  loginInfo->defaultAcctId = def;
  loginInfo->acctId = cur;
  loginInfo->ozuuname = strdup(name.c_str());
  if (loginInfo->ozuuname == nullptr)
    init_malloc_error("copying principal name");
  loginInfo->homeDir = strdup(home.c_str());
  if (loginInfo->homeDir == nullptr)
    init_malloc_error("copying home directory path");
  loginInfo->uid = uid;
  loginInfo->gid = gid;
  return 0;
}
