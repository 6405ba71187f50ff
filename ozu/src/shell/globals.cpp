// Definitions of the shell's process-wide state.
#include "ozu_context.h"
#include "ozurc.h"
#include "ozuvars.h"

FILE *errFile = stderr, *listF = stderr, *ttyOut = stderr, *ttyIn = nullptr, *altListF = nullptr;
int isatty0 = 0, isatty2 = 0;
int realuid = 0, realgid = 0, myProcessID = 0;
char *localHomeDir = nullptr;
long sysPageSize = 4096;
pthread_t thread_Main;

std::atomic<int> exitcode{0};
int finished = 0;

int quietFlag = 0, verboseFlag = 0, progressFlag = 1, echoFlag = 0, popenFlag = 0,
    overrideNologin = 0;
int suniqueFlag = 0, runiqueFlag = 0, promptFlag = 1, globFlag = 1, caseFlag = 0, cacheFlag = 0,
    bellFlag = 0;
int debug = 0;
int echoSave = 0;

char *ozu_server_host = nullptr;
int ozu_server_port = 0;
char *startup_site_name = nullptr;
char *ozuServerEnv = nullptr;
char *editorStyle = nullptr;
long clThreadStacksize = 0;
char *tcpHostName = nullptr;
quor_sockaddr_t tcpHostIP;

int authTypeFlag = 0;
char *altPrincipal = nullptr;
int altIdentity = 0;
char *keytabPath = nullptr, *credCacheFile = nullptr;
long acctId = 0;
char *acctName = nullptr;
long cli_groupID = 0;
char *cli_groupName = nullptr;
site_connection_t *loginSiteEntry = nullptr;

char cmdbuf[maxcmdbuflen];
int cbuflen = 0, startupCmdlen = 0;
char loccmdLine[maxcmdbuflen];
char cmdLine[maxcmdbuflen];
int curCommandNumber = 0;
const char *verb = "", *verbAbbreviation = "", *actionVerb = "";
int minus_opt = 0;

std::atomic<int> interrupted{0};
std::atomic<int> cli_InProgress{0};

int idleTimeout = 1800;
int editorEnabled = 0;

int outfileFlag = 0;
char *outfileName = nullptr;
FILE *fdOut = nullptr;
int logfileFlag = 0;
char *logfileName = nullptr;
FILE *fdLog = nullptr;
int infileFlag = 0;
char *infileName = nullptr;
FILE *fdIn = nullptr;
int infileLine = 0;

char *trashcanto = nullptr;
const char *defaulttrashcan = ".Trash";

ozu_context_t *ozu_connectList = nullptr;
ozu_context_t cmdContext;
Keyset syskeyset, sesskeyset, cmdkeyset;
Keyset *keyset = &sesskeyset;

global_defs_t globalDefs;
site_connection_t *siteList = nullptr;
int page_width = 100, page_length = 50;
char *ozurcPrincipal = nullptr, *ozurcKeytabPath = nullptr, *pwPathname = nullptr;
