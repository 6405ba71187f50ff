// The session's connections: lookup, switch, open, close, list.
#include "ozu_connect.h"

#include <ctype.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "ozu_context.h"
#include "ozu_dispatch.h"
#include "ozu_drive.h"
#include "ozu_firewall.h"
#include "ozu_getopt.h"
#include "ozu_locks.h"
#include "ozu_log.h"
#include "ozu_login.h"
#include "ozu_misc.h"
#include "ozu_tokens.h"
#include "ozu_util.h"
#include "ozurc.h"
#include "ozuvars.h"
#include "quor_api.h"
#include "shell_commands.h"

ozu_context_t *ozu_LookupConnection(int theHandle)
{
  for (ozu_context_t *c = ozu_connectList; c; c = c->next)
    if (c->handle == theHandle)
      return c;
  return nullptr;
}

int ozu_SetCurConnection(int newHandle)
{
  ozu_LockSessContext();
  ozu_context_t *prev = sesskeyset.curContext;
  if (prev != nullptr && prev->handle == newHandle) {
    ozu_UnlockSessContext();
    return 0;
  }
  ozu_context_t *ctx = ozu_LookupConnection(newHandle);
  if (ctx == nullptr) {
    fprintf(listF, "*** %d: Specified connection not established ***\n", newHandle);
    ozu_UnlockSessContext();
    return -1;
  }
  ozu_context_t *prevActive = keyset->curContext;
  sesskeyset.curContext = ctx;
  keyset->curContext = ctx;
  int rc = quorex_SetCurConnection(newHandle, nullptr);
  if (rc < 0) {
    fprintf(listF, "*** Error %d switching to QELAPI connection %d\n", rc, newHandle);
    sesskeyset.curContext = prev;
    keyset->curContext = prevActive;
    ozu_UnlockSessContext();
    return -1;
  }
  if (debug >= 2)
    fprintf(listF, "/debug/ozu_SetCurConnection: cur. handle switched to %d\n", newHandle);
  ozu_UnlockSessContext();
  return 0;
}

int ozu_SwitchBack(int startHandle)
{
  ozu_context_t *cur = sesskeyset.curContext;
  if (startHandle < 0 || cur == nullptr || cur->handle == startHandle)
    return 0;
  if (ozu_SetCurConnection(startHandle) < 0) {
    fprintf(errFile, "*** Unable to switch back to previous connection! \n");
    return -1;
  }
  return 0;
}

int ozu_CloseConnection(int theHandle)
{
  ozu_LockSessContext();
  ozu_context_t *prev = nullptr;
  ozu_context_t *c = ozu_connectList;
  while (c && c->handle != theHandle) {
    prev = c;
    c = c->next;
  }
  if (c == nullptr) {
    fprintf(listF, "*** %d: No such connection ***\n", theHandle);
    ozu_UnlockSessContext();
    return 0;
  }
  if (prev == nullptr && c->next == nullptr) {
    fprintf(listF, "*** Cannot use <close> for the only open connection.\n");
    fprintf(listF, "    Use <exit> (or one of its aliases) to terminate OZU\n");
    ozu_UnlockSessContext();
    return 0;
  }
  if (prev)
    prev->next = c->next;
  else
    ozu_connectList = c->next;
  // Closing another connection leaves the current one current; closing
  // the current one hands over to its neighbour.
  bool wasCurrent = sesskeyset.curContext == c;
  ozu_context_t *next = wasCurrent ? (prev ? prev : ozu_connectList) : sesskeyset.curContext;
  if (debug >= 1 && wasCurrent)
    fprintf(listF, "/ozu_CloseConnection/ setting new connection handle to %d\n", next->handle);
  if (wasCurrent)
    sesskeyset.curContext = nullptr;  // gone; the switch below must not see it
  if (keyset->curContext == c)
    keyset->curContext = nullptr;
  ozu_UnlockSessContext();
  if (wasCurrent && ozu_SetCurConnection(next->handle) < 0)
    sesskeyset.curContext = next;  // the shell never stays without one
  if (keyset->curContext == nullptr)
    keyset->curContext = next;
  int rc = quorex_CloseConnection(theHandle);
  if (rc < 0)
    fprintf(errFile, "*** Error %d returned from quorex_CloseConnection for connection %d\n", rc,
            theHandle);
  ozu_FreeContext(c);
  return 0;
}

namespace {

int ttyDecided = -1;

// One question on the terminal: the answer from its first non-blank
// character, empty at the end of input, null without a terminal.
const char *getParameter(const char *prompt)
{
  static char answer[1025];
  if (ttyDecided < 0)
    ttyDecided = ttyIn != nullptr && isatty(fileno(ttyIn)) ? 1 : 0;
  if (!ttyDecided)
    return nullptr;
  answer[0] = '\0';
  if (feof(ttyIn))
    return answer;
  fprintf(ttyOut, "%s: ", prompt);
  fflush(ttyOut);
  if (fgets(answer, sizeof answer, ttyIn) == nullptr)
    answer[0] = '\0';
  size_t n = strlen(answer);
  while (n > 0 && (answer[n - 1] == '\n' || answer[n - 1] == '\r'))
    answer[--n] = '\0';
  const char *p = answer;
  while (*p == ' ' || *p == '\t')
    ++p;
  return p;
}

void openUsage(void)
{
  fprintf(listF,
          "Usage:       open (or connect) \n             [-A auth_method]\n             [-a "
          "account ID | account Name\n             [-c credentials cache filename] (kerberos)\n  "
          "           [-d driveletter:] (note \":\" is optional)\n             [-g "
          "gid|groupName]\n             [-h remote host name or IP address]\n             [-k "
          "password-file (or keytab-file) ]\n             [-l principal]\n             [-p "
          "portnumber] (default: %d) \n             [-q ]\n             [-s sitename \n",
          1217);
  fprintf(listF, " Note: list of sitenames defined in the the ozurc or ~/.ozurc file can       be "
                 "obtained by using the \"lssite\" command\n");
}

void closeUsage(void)
{
  fputs("*** usage: close [connectionID|drive: ...]\n  connection ID : numeric connection id\n  "
        "drive:        : logical drive prefix, including colon \":\" character\n\n  (use "
        "showc[onnections] for list of current open connections)\n  If no connections are "
        "specified, the current connection is \n  closed. It is an error to attempt to close "
        "the last active connection\n\n",
        listF);
}

bool allDigits(const char *s)
{
  if (*s == '\0')
    return false;
  for (; *s; ++s)
    if (!isdigit(static_cast<unsigned char>(*s)))
      return false;
  return true;
}

int letterForm(const char *w)
{
  if (!isalpha(static_cast<unsigned char>(w[0])))
    return 0;
  if (w[1] == '\0' || (w[1] == ':' && w[2] == '\0'))
    return toupper(static_cast<unsigned char>(w[0]));
  return 0;
}

bool letterInUse(int d)
{
  char key[2] = {char(d), 0};
  return ozu_LookupContextByDrive(key) != nullptr;
}

struct openArgs {
  int method = 0;
  std::vector<int> methodList;
  std::string account, group, credFile, host, keyFile, principal, site, service;
  bool haveAccount = false, haveGroup = false, haveCred = false, haveHost = false,
       haveKey = false, havePrincipal = false, haveSite = false, haveService = false;
  int drive = 0;
  int port = 0;
  bool quiet = false;
};

// Everything after the options: 1 when the connection is open and current.
int openConnection(openArgs &a)
{
  site_connection_t *stanza = nullptr;
  if (a.haveSite) {
    stanza = ozu_RcLookupSiteByName(a.site.c_str());
    if (stanza == nullptr)
      fprintf(errFile, "*** Cannot locate site entry for '%s'\n", a.site.c_str());
    else if (debug >= 1)
      fprintf(listF, "/debug/found site entry for %s\n", stanza->siteName);
    if (stanza && a.drive && stanza->drive != a.drive && !a.quiet)
      fprintf(listF, "*** Warning: drive letter '%c' doesn't match drive letter '%c' for site entry %s\n",
              a.drive, stanza->drive ? stanza->drive : ' ', stanza->siteName);
  }
  if (stanza == nullptr && a.drive) {
    stanza = ozu_RcLookupSiteByDrive(a.drive);
    if (stanza && debug >= 1)
      fprintf(listF, "/debug/found remote site info for drive %c - site=%s\n", a.drive,
              stanza->siteName);
  }
  if (stanza == nullptr && a.haveHost) {
    int n = 0;
    site_connection_t **hits = ozu_RcLookupSiteByHost(a.host.c_str(), &n);
    if (n == 1) {
      stanza = hits[0];
    } else if (n > 1) {
      fprintf(listF, "*** Warning: more than one site entry has a host named '%s'\n", a.host.c_str());
      fprintf(listF, "    Please use a domain name, site name, or drive letter \n");
      fprintf(listF, "    if you want OZU to automatically fill in connection parameters\n");
    }
    free(hits);
  }
  bool methodIsList = !a.methodList.empty();
  if (stanza != nullptr) {
    if (!a.drive && stanza->drive) {
      a.drive = stanza->drive;
      if (letterInUse(a.drive)) {
        fprintf(listF, "*** Warning: drive letter '%c:' from ozurc setting for site '%s' is already in-use\n",
                a.drive, stanza->siteName);
        a.drive = ozu_AssignDriveLetter();
        if (a.drive == 0) {
          fprintf(listF, "*** Unable to assign any drive letter for this connection.\n");
          return 0;
        }
        fprintf(listF, "*** Drive letter '%c:' was assigned for this connection\n", a.drive);
      }
    }
    if (a.port == 0 && stanza->port != 0) {
      a.port = stanza->port;
      if (debug >= 2)
        fprintf(listF, "/debug/using port %d\n", a.port);
    }
    if (!a.havePrincipal && stanza->principalList) {
      char *p = ozu_ExpandPrincipal(stanza->principalList->loginName, nullptr);
      if (p) {
        a.principal = p;
        a.havePrincipal = true;
        if (debug >= 2)
          fprintf(listF, "/debug/using principal %s,expanded to %s\n",
                  stanza->principalList->loginName, p);
        free(p);
      }
    }
    if (a.method == 0 && a.havePrincipal) {
      principal_auth_info_t *pa =
          ozu_RcLookupAMethodForPrincipal(stanza, a.principal.c_str(), 0);
      if (pa && pa->authMethod)
        a.method = pa->authMethod->authMethodType;
    }
    if (a.method == 0 && stanza->defaultAuthMethodCount > 0) {
      a.methodList.assign(stanza->defaultAuthMethod,
                          stanza->defaultAuthMethod + stanza->defaultAuthMethodCount);
      a.method = a.methodList[0];
      methodIsList = true;
    }
    if (a.method != 0) {
      authmethod_info_t *entry = ozu_RcLookupAuthMethodByType(stanza, a.method);
      if (entry) {
        if (!a.haveKey && entry->localFile) {
          a.keyFile = entry->localFile;
          a.haveKey = true;
        }
        if (!a.haveCred && entry->credFile) {
          a.credFile = entry->credFile;
          a.haveCred = true;
        }
      }
    }
    if (!a.haveHost && stanza->hostListCount > 0) {
      int privateCount = 0, privateInx = -1;
      for (int i = 0; i < stanza->hostListCount; ++i)
        if (stanza->hostList[i].userRcFile) {
          ++privateCount;
          privateInx = i;
        }
      int inx;
      if (privateCount == 1) {
        inx = privateInx;
      } else if (stanza->hostListCount == 1) {
        inx = 0;
      } else {
        inx = int(time(nullptr) % stanza->hostListCount);
        while (privateCount > 0 && !stanza->hostList[inx].userRcFile)
          inx = (inx + 1) % stanza->hostListCount;
      }
      stanza->hostSelectInx = inx;
      a.host = stanza->hostList[inx].theHost;
      a.haveHost = true;
    }
    if (getenv("QUOR_USE_NETRC_FILE"))
      quorex_SetNetrcLabel(stanza->siteName, 2);
  }
  if (a.method == 0 && globalDefs.defaultAuthMethodCount > 0) {
    a.methodList.assign(globalDefs.defaultAuthMethod,
                        globalDefs.defaultAuthMethod + globalDefs.defaultAuthMethodCount);
    a.method = a.methodList[0];
    methodIsList = true;
  }
  if (!a.havePrincipal && ozurcPrincipal) {
    a.principal = ozurcPrincipal;
    a.havePrincipal = true;
  }
  while (a.method == 0) {
    const char *ans = getParameter("Authentication method [combo]");
    if (ans == nullptr || *ans == '\0') {
      a.method = 16;
      break;
    }
    int m = ozu_ConvertAuthMethod(ans);
    if (m < 0)
      fprintf(listF, "*** Bad authentication method - [%s] - try again\n", ans);
    else
      a.method = m;
  }
  if (a.method == 16 && a.haveKey && ozu_SetPasswordFromFile(a.keyFile.c_str()) < 0)
    fprintf(listF, "*** Unable to set password from file %s\n", a.keyFile.c_str());
  if (a.method == 64) {
    interrupted = 0;
    while (!a.haveKey) {
      if (interrupted)
        return 0;
      const char *ans = getParameter("Keytab file (or template filename): ");
      // No terminal, or its input ended: nobody can name the keytab, and
      // asking again would never end.
      if (ans == nullptr || (*ans == '\0' && feof(ttyIn)))
        return 0;
      if (*ans) {
        a.keyFile = ans;
        a.haveKey = true;
      }
    }
    char *expanded = ozu_ExpandKeytabPath(a.keyFile.c_str(), nullptr, nullptr);
    if (expanded == nullptr) {
      fprintf(errFile, "*** OZU: KEYTAB auth method - error expanding template string: [%s]\n",
              a.keyFile.c_str());
      return 0;
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
      return 0;
    }
    free(expanded);
  }
  if (!a.haveHost) {
    const char *ans = getParameter("Remote host name or IP");
    if (ans == nullptr || *ans == '\0') {
      fprintf(listF, "[NULL hostname - command ignored]\n");
      return 0;
    }
    a.host = ans;
    a.haveHost = true;
    if (getenv("QUOR_USE_NETRC_FILE"))
      quorex_SetNetrcLabel(a.host.c_str(), 1);
  }
  if (a.port == 0) {
    char prompt[64];
    snprintf(prompt, sizeof prompt, "Remote qelapi server port number (%d)", 1217);
    const char *ans = getParameter(prompt);
    long v = ans && *ans ? strtol(ans, nullptr, 10) : 0;
    a.port = v > 0 && v <= 65535 ? int(v) : 1217;
  }
  if (!a.havePrincipal) {
    const char *ans = getParameter("Remote login name");
    if (ans == nullptr || *ans == '\0') {
      fprintf(listF, "[NULL principal name - command ignored]\n");
      return 0;
    }
    a.principal = ans;
    a.havePrincipal = true;
  }
  if (a.drive) {
    ozu_VerifyDriveLetter(a.drive, stanza ? stanza->siteName : nullptr, a.host.c_str(), a.port);
  } else {
    a.drive = ozu_AssignDriveLetter();
    if (a.drive == 0) {
      fprintf(listF, "*** Unable to assign a logical drive letter - too many open connections(?)\n");
      return 0;
    }
  }

  auto *ctx = static_cast<ozu_context_t *>(calloc(1, sizeof(ozu_context_t)));
  if (ctx == nullptr) {
    fprintf(listF, "*** malloc problem getting new context entry\n");
    return 0;
  }
  ctx->siteEntry = stanza;
  ctx->cosNamedCount = -1;
  ctx->cosEntryCount = -1;
  if (debug >= 2)
    fprintf(listF, "/debug/setting up connection to %s, port=%d\n", a.host.c_str(), a.port);
  int handle = -1;
  int rc = quorex_SetupConnection(a.host.c_str(), "quor_qelapi", a.port, 0, 0, &handle);
  if (rc < 0) {
    fprintf(listF, "*** quorex_SetupConnect failed. Result=%d\n", rc);
    free(ctx);
    return 0;
  }
  if (debug >= 2)
    fprintf(listF, "/debug/Connection info set up for %s\n", a.host.c_str());
  ctx->handle = handle;
  if (methodIsList) {
    quor_SetAuthMethodList(int(a.methodList.size()), a.methodList.data());
  } else {
    if (debug >= 2)
      fprintf(listF, "/debug/setting authentication method to %d\n", a.method);
    quor_SetAuthType(a.method);
  }
  if (debug >= 2)
    fprintf(listF, "/debug/setting login name to %s, no password\n", a.principal.c_str());
  quor_SetCombo(a.principal.c_str(), nullptr);
  if (a.haveService) {
    const char *cur = getenv("KRB_SERVICE");
    if (cur == nullptr || a.service != cur)
      setenv("KRB_SERVICE", a.service.c_str(), 1);
  }
  if (a.method == 8 && a.haveCred) {
    char *expanded = ozu_ExpandKeytabPath(a.credFile.c_str(), nullptr, nullptr);
    if (expanded) {
      const char *cur = getenv("KRB5CCNAME");
      if (cur == nullptr || strcmp(cur, expanded) != 0) {
        setenv("KRB5CCNAME", expanded, 1);
        if (debug >= 1)
          fprintf(listF, "/debug/setting KRB5CCNAME to %s\n", expanded);
      }
      std::string dir = expanded + 5;
      size_t slash = dir.rfind('/');
      dir = slash == std::string::npos ? "." : dir.substr(0, slash);
      struct stat st;
      if (stat(dir.c_str(), &st) != 0)
        fprintf(errFile, "*** Warning: unable to stat kerberos creds file directory: %s\n",
                dir.c_str());
      free(expanded);
    }
  }
  if (debug >= 1)
    fprintf(listF, "/debug/opening connection to %s\n", a.host.c_str());
  rc = quorex_OpenConnection(handle);
  if (rc < 0) {
    fprintf(listF, "*** quorex_OpenConnection failed - result=%d\n", rc);
    free(ctx);
    return 0;
  }
  if (debug >= 1)
    fprintf(listF, "Successfully logged in to %s\n", a.host.c_str());
  quorex_GetConnectionInfo(handle, &ctx->quor_name, nullptr, &ctx->quor_service, &ctx->port,
                           &ctx->minPort, &ctx->maxPort, nullptr);
  int fw = stanza ? stanza->firewallMode : globalDefs.firewallMode;
  ozu_SetFirewallOptions(ctx, fw, fw ? 3 : 1, 1);
  ctx->xconnector = 1;
  ctx->driveLetter = char(a.drive);
  ozu_context_t **tail = &ozu_connectList;
  while (*tail)
    tail = &(*tail)->next;
  *tail = ctx;
  if (debug >= 1)
    fprintf(listF, "/debug/setting active connection to drive %c: handle= %d\n", a.drive, handle);
  ozu_context_t *previous = sesskeyset.curContext;
  ozu_context_t *previousActive = keyset->curContext;
  auto undo = [&] {
    // The record is freed: it must not stay current anywhere.
    *tail = nullptr;
    for (ozu_context_t **l = &ozu_connectList; *l; l = &(*l)->next)
      if (*l == ctx) {
        *l = ctx->next;
        break;
      }
    sesskeyset.curContext = previous;
    keyset->curContext = previousActive;
    if (previous)
      quorex_SetCurConnection(previous->handle, nullptr);
    quorex_CloseConnection(handle);
    ozu_FreeContext(ctx);
  };
  rc = quorex_SetCurConnection(handle, nullptr);
  if (rc < 0) {
    fprintf(listF, "*** quorex_SetCurConnection failed - result =%d\n", rc);
    undo();
    return 0;
  }
  sesskeyset.curContext = ctx;
  keyset->curContext = ctx;
  if (quor_Openlog("ozu", 0x60000) < 0)
    fprintf(errFile, "*** warning: error opening logging for new connection\n");
  ctx->dcreateMode = mode_t(globalDefs.dir_create_mode);
  ctx->fcreateMode = mode_t(globalDefs.file_create_mode);
  struct passwd *pw = quor_GetPwent();
  if (pw == nullptr) {
    fprintf(listF, "*** Error getting login info for new connection\n");
    undo();
    return 0;
  }
  std::string pwName = pw->pw_name ? pw->pw_name : "";
  std::string pwDir = pw->pw_dir ? pw->pw_dir : "";
  int pwUid = int(pw->pw_uid), pwGid = int(pw->pw_gid);
  if (debug >= 2)
    fprintf(listF,
            "/debug/ got login info for new connection:\n   Principal:    %-s\n   uid:          "
            "%-d\n   gid:          %-d\n   misc info:    %-s\n   home directory: %-s\n   login "
            "shell:    %-s\n\n",
            pwName.c_str(), pwUid, pwGid, pw->pw_gecos ? pw->pw_gecos : "", pwDir.c_str(),
            pw->pw_shell ? pw->pw_shell : "");
  if (a.haveAccount) {
    acct_rec_t acct = 0;
    if (allDigits(a.account.c_str())) {
      acct = acct_rec_t(strtoul(a.account.c_str(), nullptr, 10));
    } else {
      int arc = quor_AcctNameToCode(a.account.c_str(), nullptr, &acct);
      if (arc < 0) {
        fprintf(errFile, "WARNING: Error %d looking up account ID for account name '%s', user %s uid %d\n",
                arc, a.account.c_str(), pwName.c_str(), pwUid);
        acct = 0;
      }
    }
    if (acct != 0) {
      int src = quor_SetAcct(acct);
      if (src < 0)
        fprintf(errFile, "WARNING: Error %d setting account ID to '%d' for user %s uid %d\n", src,
                int(acct), pwName.c_str(), pwUid);
      else if (debug >= 1)
        fprintf(stderr, "/debug/set startup account ID to %d\n", int(acct));
    }
  }
  if (a.haveGroup) {
    long gid = lookupGid(a.group.c_str());
    if (gid < 0) {
      fprintf(errFile, "WARNING: Error %d looking up Group ID for Group Name '%s', user %s uid %d\n",
              int(gid), a.group.c_str(), pwName.c_str(), pwUid);
      gid = 0;
    }
    if (gid != 0) {
      int grc = quor_SetGID(uint32_t(gid));
      if (grc < 0) {
        fprintf(errFile, "WARNING: Error %d setting current Group ID to '%d' for user %s uid %d\n",
                grc, int(gid), pwName.c_str(), pwUid);
      } else {
        pwGid = int(gid);
        if (debug >= 1)
          fprintf(stderr, "/debug/set startup Group ID to %d\n", int(gid));
      }
    }
  }
  acct_rec_t def = 0, cur = 0;
  if (quor_GetAcct(&def, &cur) < 0)
    fprintf(errFile, "*** Error getting default account from registry info for uid %d\n", pwUid);
  ctx->curLogin.defaultAcctId = def;
  ctx->curLogin.acctId = cur;
  ctx->curLogin.uid = pwUid;
  ctx->curLogin.gid = pwGid;
  ctx->curLogin.principal = strdup(a.principal.c_str());
  ctx->curLogin.homeDir = strdup(pwDir.c_str());
  ctx->wd[0] = strdup(pwDir.c_str());
  ctx->relflag[0] = ctx->wd[0] ? 1 : 0;
  quorex_GetSiteInfo(&ctx->siteInfo);
  if (debug >= 2)
    fprintf(listF, "/debug/got site info for new connection. QUOR level=%d,patch flags=0x%8.8x\n",
            int(ctx->siteInfo.quor_level), ctx->siteInfo.quor_patch_flags);
  ctx->defaultFamilyID = stanza ? stanza->defaultFamilyID : globalDefs.defaultFamilyID;
  ctx->cksumEnabled = stanza ? stanza->cksumEnabled : globalDefs.cksumEnabled;
  ctx->cksumHashType = stanza ? stanza->cksumHashType : globalDefs.cksumHashType;
  ctx->rootUid = int(ctx->siteInfo.rootUid);
  sesskeyset.copies =
      ctx->siteInfo.app_copies != 0 ? int(ctx->siteInfo.app_copies) : globalDefs.defaultCopies;
  sesskeyset.cos = int(ctx->siteInfo.startupCOS);
  sesskeyset.autocosFlag = ctx->siteInfo.startupCOS == 0 ? 1 : 0;
  int mask;
  const char *source;
  if (globalDefs.umask >= 0) {
    mask = globalDefs.umask & 0777;
    source = "globalDefs";
  } else if (ctx->siteInfo.umask != 0) {
    mask = int(ctx->siteInfo.umask & 0777);
    source = "server-side setting";
  } else {
    mode_t m = umask(0);
    umask(m);
    mask = int(m & 0777);
    source = "local umask";
  }
  if (debug >= 1)
    fprintf(listF, "/debug/setting umask from %s = 0%3.3o\n", source, unsigned(mask));
  ctx->umask = mask;
  quor_Umask(mode_t(mask));
  ozu_GetContextMaxXfers(ctx);
  if (!a.quiet)
    ozu_PrintMOTD();
  return 1;
}

}  // namespace

int ozu_OpenCommand(char *cc, int cclen)
{
  int argc = 0;
  char **argv = ozu_MakeArgv(cc + cclen, &argc);
  if (argc == 0) {
    openUsage();
    return 1;
  }
  openArgs a;
  bool stop = false;
  ozu_optind = 0;
  ozu_opterr = 0;
  int c;
  while (!stop && (c = ozu_Getopt(argc, argv, "A:a:c:d:g:h:l:p:k:qrs:S:", nullptr)) != -1) {
    if (debug >= 2)
      fprintf(listF, "/debug/ optc: %c ozu_optind: %d ozu_optopt: %c ozu_optarg: %s ozu_opterr: %d\n",
              c, ozu_optind, ozu_optopt, ozu_optarg ? ozu_optarg : "(null)", ozu_opterr);
    const char *v = ozu_optarg ? ozu_optarg : "";
    switch (c) {
      case 'A': {
        int m = ozu_ConvertAuthMethod(v);
        if (m < 0) {
          fprintf(listF, "*** Bad authentication method - [%s]\n", v);
          stop = true;
        } else if (!(quorex_GetAuthMethods() & m)) {
          fprintf(listF, "*** OZU was not built with this authmethod enabled  [%s]\n", v);
          fprintf(listF, " *** Following authentication methods are available on the client: %s\n",
                  quorex_AuthTypesToString(quorex_GetAuthMethods()));
          stop = true;
        } else {
          a.method = m;
        }
        break;
      }
      case 'a':
        if (a.haveAccount) {
          fprintf(listF, "*** multiple occurrences of -a option\n");
          stop = true;
        }
        a.account = v;
        a.haveAccount = true;
        break;
      case 'c': a.credFile = v; a.haveCred = true; break;
      case 'd': {
        int d = letterForm(v);
        if (d == 0) {
          fprintf(listF, "Bad drive letter: %s - must be a-z or A-Z,optionally followed by \":\"\n", v);
          stop = true;
        } else if (letterInUse(d)) {
          fprintf(listF, "Drive letter '%c' is already in-use. Please choose a different letter\n", d);
          fprintf(listF, "(Use the \"lsconn[ections]\" command to view the active drive list)\n");
          stop = true;
        } else {
          a.drive = d;
        }
        break;
      }
      case 'g':
        if (a.haveGroup) {
          fprintf(listF, "*** multiple occurrences of -g option\n");
          stop = true;
        }
        a.group = v;
        a.haveGroup = true;
        break;
      case 'h': a.host = v; a.haveHost = true; break;
      case 'k': a.keyFile = v; a.haveKey = true; break;
      case 'l': a.principal = v; a.havePrincipal = true; break;
      case 'p': {
        long p = strtol(v, nullptr, 10);
        a.port = p > 0 && p <= 65535 ? int(p) : 0;
        break;
      }
      case 'q': a.quiet = true; break;
      case 'r': break;
      case 's': a.site = v; a.haveSite = true; break;
      case 'S': a.service = v; a.haveService = true; break;
      default: fprintf(listF, "Unknown option ignored: %c\n", ozu_optopt); break;
    }
  }
  if (!stop && ozu_optind < argc)
    fprintf(errFile, "*** Extra arguments starting with %s ignored\n", argv[ozu_optind]);
  if (!stop)
    openConnection(a);
  ozu_FreeArgv(argv);
  return 1;
}

int ozu_CloseCommand(char *cc, int cclen)
{
  int argc = 0;
  char **argv = ozu_MakeArgv(cc + cclen, &argc);
  if (argc == 0) {
    if (keyset->curContext)
      ozu_CloseConnection(keyset->curContext->handle);
    return 1;
  }
  bool usageShown = false;
  for (int i = 0; i < argc; ++i) {
    char *w = argv[i];
    if (strcmp(w, "-?") == 0) {
      if (!usageShown)
        closeUsage();
      usageShown = true;
      continue;
    }
    if (w[0] == '-') {
      fprintf(errFile, "*** illegal option or connection ID: %s\n", w);
      closeUsage();
      break;
    }
    int plen = 0;
    char *rest = ozu_CheckDrivePrefix(w, &plen);
    if (rest != nullptr) {
      if (*rest)
        fprintf(errFile, "%s: warning - extra characters after drive prefix ignored [%s]\n", verb,
                rest);
      ozu_context_t *ctx = ozu_LookupContextByDrive(w);
      if (ctx == nullptr) {
        char msg[128];
        snprintf(msg, sizeof msg, "%c: Specified connection not established ***", w[0]);
        setExitResult(64, msg, 7);
        continue;
      }
      ozu_CloseConnection(ctx->handle);
      continue;
    }
    long id = ozu_IntOverflows(w) ? -1 : strtol(w, nullptr, 10);
    if (ozu_LookupConnection(int(id)) == nullptr) {
      char msg[128];
      snprintf(msg, sizeof msg, "*** %d: Specified connection not established ***", int(id));
      setExitResult(64, msg, 7);
      continue;
    }
    ozu_CloseConnection(int(id));
  }
  ozu_FreeArgv(argv);
  return 1;
}

int ozu_SetConCommand(char *cc, int cclen)
{
  const char *tail = cc + cclen;
  while (*tail == ' ' || *tail == '\t')
    ++tail;
  char *end = nullptr;
  long id = strtol(tail, &end, 10);
  bool ok = end != tail && (*end == '\0' || *end == ' ' || *end == '\t') &&
            !ozu_IntOverflows(tail);
  if (!ok || ozu_SetCurConnection(int(id)) < 0) {
    char msg[4200];
    snprintf(msg, sizeof msg, "*** %s - invalid or inactive handle: %s", verb, tail);
    setExitResult(64, msg, 7);
  } else if (debug >= 2) {
    ozu_context_t *ctx = ozu_LookupConnection(int(id));
    fprintf(listF, "/debug/switch to context %d [host %s]\n", int(id),
            ctx && ctx->quor_name ? ctx->quor_name : "[no hostname]");
  }
  return 1;
}

int ozu_ShowConCommand(char *, int)
{
  FILE *f = listF;
  fprintf(f, "List of Currently Active Connections\n");
  fprintf(f, "Current default connection handle: %d\n",
          sesskeyset.curContext ? sesskeyset.curContext->handle : -1);
  fprintf(f, "       Han-    Remote          Remote                       HSM  Fire- I/O    Ctl   Data Port  Cmd\n");
  fprintf(f, "Drive  dle    IP Address       Hostname                    Level wall  Mode   Port   Min  Max Count\n");
  for (int i = 0; i < 97; ++i)
    fputc('-', f);
  fputc('\n', f);
  for (ozu_context_t *c = ozu_connectList; c; c = c->next) {
    char *addr = nullptr;
    if (quorex_GetConnectionInfo(c->handle, nullptr, &addr, nullptr, nullptr, nullptr, nullptr,
                                 nullptr) < 0) {
      fprintf(f, "*** Error getting connection info for handle %d [%s]\n", c->handle,
              c->quor_name ? c->quor_name : "");
      continue;
    }
    const char *mode = c->io_xfer_mode == 1   ? "normal"
                       : c->io_xfer_mode == 2 ? "rd/wr"
                       : c->io_xfer_mode == 3 ? "extended"
                                              : "(HUH?)";
    unsigned level = c->siteInfo.quor_level;
    fprintf(f, "%s%c: %3x %-15s %-32s  %c%.1d.%.1d.%.1d  %.3s %.8s %5d %5d %5d %d\n",
            c == sesskeyset.curContext ? "->" : "  ", c->driveLetter ? c->driveLetter : ' ',
            unsigned(c->handle), addr ? addr : "", c->quor_name ? c->quor_name : "",
            c->siteInfo.server_runmode == 1 ? 'H' : 'L', int(level / 100), int(level % 100 / 10),
            int(level % 10), c->firewallMode ? "on" : "off", mode, c->port, c->minPort, c->maxPort,
            c->commandCount);
    fprintf(f, "         HomeDir: %s\n", c->curLogin.homeDir ? c->curLogin.homeDir : "");
    fprintf(f, "         pwd0: %s\n", c->wd[0] ? c->wd[0] : "");
    fprintf(f, "         startup COS: %d\n", sesskeyset.cos);
    free(addr);
  }
  fflush(f);
  return 1;
}
