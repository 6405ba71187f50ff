// Public calls of the client library that programs make directly. C and
// C++; the records they take are in quor_types.h and quor_iod_clnt.h.
#ifndef QUOR_API_H
#define QUOR_API_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "quor_iod_clnt.h"
#include "quor_net.h"
#include "quor_types.h"

#ifdef __cplusplus
extern "C" {
#endif

struct passwd;
struct utimbuf;

// ---- connections ----
int quorex_SetupConnection(const char* remoteServerHost, const char* remoteService,
                           int remotePort, int minPort, int maxPort, int* connectionHandle);
int quorex_OpenConnection(int theHandle);
int quorex_CloseConnection(int theHandle);
int quorex_CloseAllConnections(void);
int quorex_SetCurConnection(int theHandle, int* curHandle);
int quorex_GetCurConHandle(void);
int quorex_GetConnectionInfo(int theHandle, char** remoteServerHost, char** remoteAddr,
                             char** remoteService, int* remoteServerPort, int* minPort,
                             int* maxPort, int* remoteSocket);
// Asks the waits for a gateway reply of the threads that allowed it to
// give up once they have stayed silent for two seconds more (an
// interactive Ctrl-C against a gateway that no longer answers). A wait
// that gives up marks its connection broken, since the reply may still
// come and could not be told from the next one, and its call fails with
// -5000. Safe from any thread.
void quorex_InterruptWaits(void);
// Allows (on nonzero) or forbids the calling thread's waits to be ended by
// quorex_InterruptWaits; a thread starts forbidden, so that background
// work (stages, movers) never loses its connection to a Ctrl-C. Allowing
// also sets the mark from which interrupts count: one made after the call,
// even before a wait begins, ends that wait.
void quorex_WaitsInterruptible(int on);

// ---- request ids ----
quor_reqid_t quor_GetUniqueRequestID(void);
uint32_t quor_RequestIDtoU32(quor_reqid_t ReqId);
uint64_t quor_RequestIDtoU64(quor_reqid_t ReqId);
int quor_RequestIDCompare(const quor_reqid_t* lhs, const quor_reqid_t* rhs);
char* quor_RequestIDtoString(quor_reqid_t ReqId);

// ---- log-in methods and credentials ----
#define QUOR_AUTH_LOCAL 2
#define QUOR_AUTH_KERBEROS 8
#define QUOR_AUTH_COMBO 16
#define QUOR_AUTH_MUNGE 32
#define QUOR_AUTH_KEYTAB 64
#define QUOR_AUTH_IDENT 128
#define QUOR_AUTH_GSI 256
#define QUOR_AUTH_PAM 512
#define QUOR_AUTH_RECONNECT 0x8000

#define QUOR_CIPHER_GARBLE 1
#define QUOR_CIPHER_AES 2
#define QUOR_CIPHER_BLOWFISH 4
#define QUOR_CIPHER_3DES 8

// ---- log-in (methods, credentials, ciphers) ----
// Method list: quor_SetAuthType selects one method (16, 64, 512 or 0x8000;
// -22 otherwise); quor_SetAuthMethodList takes the supported methods of a
// list in order, warning on standard error about the others (0, or -22).
int quor_SetAuthType(int theAuthType);
int quor_SetAuthMethodList(int count, const int* theAuthList);
// The method at the log-in position: the first before a log-in, the one
// that logged in, or the last one tried when all failed; *authCount, when
// given, gets the list length.
int quor_GetAuthType(int* authCount);
// Stores copies of the principal and/or password; null leaves one as it
// was. 0 or -12.
int quor_SetCombo(const char* name, const char* password);
// The keytab for KEYTAB log-ins: a readable plain file (not a link) with no
// group or other permission bits. Nothing is stored unless every check
// passes; then a non-null principal replaces the stored one and the name,
// version and size are recorded. 0; -14 null name, -2 empty name, the
// negated errno when access or lstat fails, -9 not a plain file, -1 for
// group or other bits (with a message on standard error), -27 too large,
// -12 no memory.
int quor_SetKeytabInfo(const char* principal, const char* filename, int version);
// The methods and ciphers this client supports, as bit sets.
int quorex_GetAuthMethods(void);
int quorex_GetCipherTypes(void);
// Names of the set method bits, each followed by a blank, in a static
// buffer that the next call overwrites.
char* quorex_AuthTypesToString(int bitList);
// The user's .netrc ($HOME/.netrc, else ./.netrc): fills a null *aname or
// *apass with a copy (the caller frees it) from the entry for the gateway at
// saddrp; a name already in *aname passes over entries with another login.
// The entry is picked by the label, which is the gateway's name unless set
// before. 0 when the file was read or is missing, matched or not; -1 when it
// cannot be read, lets others read a password or an account, or is
// malformed (the reason is on standard error); minus the resolver's code
// when the gateway has no name; -14 for a null argument.
int quorex_ReadNetrc(const quor_sockaddr_t* saddrp, char** aname, char** apass);
// The label that picks the .netrc entry: label_type 1 for a host name, 2 for
// a site label (-22 otherwise). A null label changes nothing; -12 when the
// copy fails, which clears the label.
int quorex_SetNetrcLabel(const char* label, int label_type);

// ---- open files, stage, purge and migrate ----
// A client descriptor (0..249) names one open storage file; every call on
// it talks on the connection the file was opened on. Paths longer than 1024
// characters give -86 before anything is sent.
// quor_Open: the lowest free descriptor, or -14/-2 for a null/empty path,
// -24 when 250 files are open, the send's, receive's or gateway's failure.
// Hints may each be null. Access mode 3 asks for no access.
int quor_Open(const char* Path, int Oflag, mode_t Mode, const quor_cos_hints_t* HintsIn,
              const quor_cos_priorities_t* HintsPri, quor_cos_hints_t* HintsOut);
// Creates the file without opening it: 0 or a negative error; HintsOut is
// written only on 0.
int quor_Create(const char* Path, mode_t Mode, const quor_cos_hints_t* HintsIn,
                const quor_cos_priorities_t* HintsPri, quor_cos_hints_t* HintsOut);
// The gateway's answer, or -9 for a descriptor that is not open, -16 while
// another call holds the file. The descriptor is free once the request has
// been sent, also when the exchange then fails.
int quor_Close(int Fildes);

// ---- file data ----
// quor_Read / quor_Write move up to Nbyte bytes at the file's current offset
// through the storage service's movers, in as many transfer cycles as the
// gateway needs: the bytes moved (0 at the end of the file for a read), or a
// negative error. Only bytes that actually arrived (or were taken by the
// movers) and that the gateway confirms are counted; a gateway error after
// some bytes moved returns those bytes, and the next call the error. A reply
// that claims bytes that never came, or success with a failed Status, fails
// the call outright (the listen thread's error, -5, or the Status). -14 for
// a null buffer, 0 for Nbyte 0 (neither touches the file), -2 for a file that
// is not open or that another call holds. A read over a hole in the file
// fills it with zeros.
ssize_t quor_Read(int Fildes, void* Buf, size_t Nbyte);
ssize_t quor_Write(int Fildes, const void* Buf, size_t Nbyte);
// The direct data connection. quor_OpenX opens like quor_Open (access bits
// taken one by one: a read-only open sends none; XOpenFlags always gets bits
// 0 and 1) and connects to the data address the gateway answers (its own
// address when the answer's is all zeros), then waits for the gateway's
// control byte. The client descriptor; the gateway's negative code; the
// negated errno when the connection fails; -1 with errno set when the
// control byte does not come (ETIMEDOUT after the data timeout of 1500 s,
// ECONNRESET when the gateway closes first). The gateway's descriptor of a
// file that could not be finished is closed again.
int quor_OpenX(uint32_t XOpenFlags, const char* Path, int Oflag, mode_t Mode,
               const quor_cos_hints_t* HintsIn, const quor_cos_priorities_t* HintsPri,
               quor_cos_hints_t* HintsOut);
// Two phases on a descriptor from quor_OpenX (-9 for any other): XIOFlags
// with 0x80000000 sends the request for Nbyte bytes (the send's result; -16
// while a request is open); XIOFlags 0 moves up to the bytes still
// requested into or out of Buf (-14 null, -16 without a request). The last
// data phase of a request (the count reached, or fewer bytes than asked:
// *EofFlag set for a read) collects the gateway's reply, whose failure or
// negative code is then the result; otherwise the bytes moved. A failing
// data phase ends the request too. Nbyte 0 is 0 in either phase. One thread
// drives a file's phases; the file is not held between them.
int64_t quor_ReadX(uint32_t XIOFlags, int Fildes, void* Buf, uint64_t Nbyte, int* EofFlag);
int64_t quor_WriteX(uint32_t XIOFlags, int Fildes, const void* Buf, uint64_t Nbyte);
// The new offset, or a negative error (-1 for a failed start-up or exchange).
int64_t quor_Lseek(int Fildes, int64_t Offset, int Whence);
// Direction 0 or 1 (-22 else); 0 with *OffsetOut set, or a negative error.
int quor_SetFileOffset(int Fildes, uint64_t OffsetIn, int Whence, int Direction,
                       uint64_t* OffsetOut);
// One list read or list write with a caller-built descriptor, on the
// connection of the storage file it names; the reply header's code, with the
// I/O reply in *IOR (also for a negative code). Release its lists with
// free_quor_ior_mem. Checked before anything is sent: -14 a null argument or
// no client file (type 11); -22 a function other than 1 or 2, an empty list,
// or the client file among the sinks of a read or the sources of a write;
// -34 a list shorter than its count; -64 an address type other than 1, 9,
// 10, 11, 12; -16 a second client file; -9 a client file not open.
int quor_ReadList(quor_IOD_t* IOD, uint32_t Flags, quor_IOR_t* IOR);
int quor_WriteList(quor_IOD_t* IOD, uint32_t Flags, quor_IOR_t* IOR);
// Frees what the decoder allocated in an I/O reply (the request-specific
// reply and the reply lists); the record itself stays the caller's.
void free_quor_ior_mem(quor_IOR_t* IOR);
// The calls below hold the file for their exchange: -2 when it is not open
// or another call holds it, nothing sent.
// Buf is zeroed before the file is held.
int quor_Fstat(int Fildes, quor_stat_t* Buf);
// The gateway copies the source's data into the destination: -64 for files
// of two connections (nothing sent), -2 for the same descriptor twice.
int quor_CopyFile(int SrcFildes, int DestFildes);
// Offset and Length must be 0 (-22, tested before the null output, -14).
// The output is written only on 0.
int quor_Purge(int Fildes, uint64_t Offset, uint64_t Length, uint32_t StorageLevel,
               uint32_t Flags, uint64_t* RetBytesPurged);
int quor_Migrate(int Fildes, uint32_t SrcLevel, uint32_t Flags, uint64_t* RetBytesMigrated);
// Lets go of the file once the request is sent, before the answer comes.
int quor_Stage(int Fildes, uint64_t Offset, uint64_t Length, uint32_t StorageLevel,
               uint32_t Flags);
// A positive result is the new class; COSPtr (may be null) then receives its
// description.
int quor_SetCOSByHints(int Fildes, uint32_t Flags, const quor_cos_hints_t* HintsPtr,
                       const quor_cos_priorities_t* PrioPtr, quor_cos_md_t* COSPtr);
// Asks for a stage by path, reported later as one bare bfs_callback_ret_msg_t
// on CallBackPtr's address (null: all zeros, no report). ReqID and BitfileID
// are written only on 0.
int quor_StageCallBack(const char* Path, uint64_t Offset, uint64_t Length, uint32_t StorageLevel,
                       const bfs_callback_addr_t* CallBackPtr, uint32_t Flags, quor_reqid_t* ReqID,
                       bfs_bitfile_obj_handle_t* BitfileID);
// Status of an asynchronous stage; written only on 0. Status 0: the service
// knows no such request (any more).
int quor_GetAsyncStatus(quor_reqid_t CallBackId, const bfs_bitfile_obj_handle_t* BfId,
                        int32_t* Status);

// ---- command relay and gateway log ----
// Header code of a relay reply that leaves the command to the client.
#define OZUGW_CLI_NOT_HANDLED (-9000)
// Called once per relayed reply, on the calling thread, with the reply's
// flags, sync_type, text length and text; it owns (frees) the text. It must
// not make a storage call itself.
typedef int (*ozugw_cli_resp_func_t)(uint32_t* flags, uint32_t* sync_type, int32_t* reply_len,
                                     char** reply_msg);
// Relays CmdLen bytes of CommandData (flag 0x80000000 added when standard
// error is no terminal) and hands every reply, in order, to RespFunc until
// the one flagged 0x1 (a reply without a body counts as last, flags 1 and
// its header code as exit code); -9000 replies are not handed over (their
// text is freed). Result: the last reply's header code; *ResponseFlags and
// *RetExitCode from that reply. A failed send gives its error with flags 1;
// a failed receive its error as result and exit code, with flags 1. Null
// outputs are not written.
int ozugw_cli_SendCommand(uint32_t CmdFlags, int CmdLen, const char* CommandData,
                          ozugw_cli_resp_func_t RespFunc, int* RetExitCode,
                          uint32_t* ResponseFlags);
// Sends the interrupt notice and waits for nothing: 0, or the send's error.
// The shell forwards an interrupt as (1, 0).
int ozugw_cli_SendInterrupt(uint32_t Flags, int SigNumber);
// The terminal's size for the gateway's interpreter: the header code.
int ozugw_cli_SetWindowSize(int Rows, int Columns);
// Gateway log: -14 null, -2 empty, -86 for a subsystem name over 8 or a line
// over 2047 characters, nothing sent; else the header code.
int quor_Openlog(const char* subsys, uint32_t logOptions);
int quor_Logmsg(int priority, uint32_t logSelect, const char* msgText);
int quor_Closelog(uint32_t logSelect);

// ---- identity: accounts, groups, names, su and sudo ----
// Account names are at most 128 characters; a buffer for one holds 129
// bytes. Site may be null (site 0 is sent, none reported back).
// Outputs are written when the result is 0 or more.
int quor_AcctCodeToName(acct_rec_t AcctCode, quor_id_t* Site, char* AcctName);
// -86 for a name over 128 characters, nothing sent.
int quor_AcctNameToCode(const char* AcctName, quor_id_t* Site, acct_rec_t* AcctCode);
int quor_Chacct(const char* Path, acct_rec_t Account);
int quor_GetAcct(acct_rec_t* RetDefAcct, acct_rec_t* RetCurAcct);
// The caller frees *retAcctList (null when the count is 0).
int quorex_GetAcctList(int* retEntryCount, acct_list_t** retAcctList);
int quor_GetAcctName(char* AcctName);
int quor_SetAcct(acct_rec_t NewCurAcct);
// -14 null, -86 for a name of 128 characters or more, nothing sent.
int quor_SetAcctByName(const char* NewAcctName);
// The header code; a failed start-up gives -1, a failed send or receive its
// code, both also in errno.
int quor_SetGID(uint32_t NewCurGid);
// The gateway's items over the caller's NumEntries items (-14 null, -22 for
// a count below 1). 0 when all NumEntries came back; a positive count when
// the reply covered only that many (the rest keep what they held); -5000
// for a successful reply without items. Never more than NumEntries items
// are written.
int quor_ConvertIdsToNames(int32_t NumEntries, api_namespec_t* Specs);
int quor_ConvertNamesToIds(int32_t NumEntries, api_namespec_t* Specs);
// The session user's entry in a record of the library, valid until the next
// call; null with errno = the negative code on failure.
struct passwd* quor_GetPwent(void);
// The number of groups, *groupList the ids (the caller frees them); else
// the negative code.
int quor_GetGroupList(int32_t** groupList);
// The home directory (the caller frees it), or null with errno 14 (null
// name), 2 (empty name), -86 (over 128 characters) or the negative code.
char* quor_LookupHomeDir(const char* theName);
// su (sudoFlag 0) or sudo: 0 once the gateway agrees, answering its
// challenge for the run-as principal (su) or curPrincipal (sudo); a sudo
// marks the connection's sudo session. -14 for a null run-as principal (or
// current one, sudo), -86 for a run-as principal of 385 characters or more.
int quor_SuInit(uint32_t sudoFlag, uint32_t flags, const char* curPrincipal,
                const char* runasPrincipal, const char* theCmd);
// Ends a sudo command; sessEndFlag also ends the session (marked ended
// before the message goes out).
int quor_SudoCmdEnd(int sessEndFlag);

// ---- queries and extensions ----
// Arrays handed back (COS lists with their subsystem ids, list names, id
// lists, the motd text, the concurrency table, listen addresses, digest
// lists) belong to the caller. Outputs are written only on 0 unless said
// otherwise.
// Chooses a class for such a file (CosList null: from every class) and
// overwrites the hints and priorities with it (COSId 0: none fits).
int quorex_SelectCOS(const char* CosList, uint64_t FileSize, uid_t TheUID, gid_t TheGID,
                     uint32_t AccountID, int Copies, long SubsysId, quor_cos_hints_t* HintsIn,
                     quor_cos_priorities_t* HintsPri);
// Flags 1: each entry's availability bits for the ids given. CosID 0: all.
int quorex_GetCOSList(uint32_t Flags, int CosID, uid_t TheUID, gid_t TheGID, uint32_t AccountID,
                      int* RetCount, cos_list_entry_t** RetCosList);
int quorex_GetNamedCOSLists(uint32_t* RetCount, char*** NamedCosLists);
// -2 when the site has no such list.
int quorex_GetNamedCOSInfo(const char* ListName, cos_namelist_entry_t* RetListEntry);
// -3 without a current connection.
int quor_FileSetCOS(const char* Path, uint32_t COSId, uint32_t StreamId);
// Exactly one of Name, FilesetId and FilesetHandle selects the fileset (-22
// otherwise); a name of 128 characters or more gives -86, nothing sent.
int quor_FilesetGetAttributes(const char* Name, const u_signed64* FilesetId,
                              const ns_ObjHandle_t* FilesetHandle,
                              const quor_srvr_id_t* CoreServerID,
                              ns_FilesetAttrBits_t FilesetAttrBits,
                              ns_FilesetAttrs_t* FilesetAttrs);
// Paged listings: OffsetIn 0 first, then the previous OffsetOut; Entries is
// the capacity of the caller's array. The result is the number of entries
// copied, never more than Entries or than the reply carried.
// FilesetListAll sets End and OffsetOut only when it copies entries;
// GetJunctions also for an empty page.
int quor_FilesetListAll(u_signed64 OffsetIn, unsigned32 Entries, unsigned32* End,
                        u_signed64* OffsetOut, quor_global_fsent_t* FSentPtr);
int quor_GetJunctions(unsigned32 SubsystemID, u_signed64 OffsetIn, unsigned32 Entries,
                      unsigned32* End, u_signed64* OffsetOut, quor_junction_ent_t* JentPtr);
// StatsOut gets the reply (zeros when none came) once the request was sent.
int quor_GetSubSysStats(unsigned32 SubsystemID, subsys_stats_t* StatsOut);
// The current connection's site information, nothing sent; -2 without one.
int quorex_GetSiteInfo(quor_site_info_t* siteInfo);
// The message of the day, not terminated; length 0 and null when there is
// none, and on every failure.
int quorex_GetMotd(int localOnly, uint32_t* msgLen, char** msgText);
// 0 and null on every failure.
int quorex_ConfGetXferConcurrency(int* RetCount, xfer_size_to_count_t** RetTable);

// Copies between connections, sent on the current (sink) connection.
// *copyHandle 0 and *listenAddr null on every failure; -24 when sinkFd is
// not open, -86 for a remote path of 1024 characters or more. On 0,
// *listenCount is the number of addresses in *listenAddr (at most 64).
int quorex_CopyRemoteFile(uint32_t flags, uint32_t* listenCount, int sinkFd, uint64_t requestID,
                          uint64_t sinkOffset, uint64_t transferLength, const char* remotePath,
                          uint32_t* copyHandle, netaddress_t** listenAddr);
// The four outputs are written once the request was sent, zeros when no
// reply came; stateMsg (may be null) gets at most min(stateMsgSize, 100) - 1
// characters and a terminator.
int quorex_QueryCopy(uint32_t flags, uint32_t copyHandle, int stateMsgSize, int* errorResult,
                     int* xferState, uint32_t* stateInfo, uint64_t* bytesXferred, char* stateMsg);
int quorex_CancelCopy(uint32_t flags, uint32_t copyHandle);
// Digest and expiration paths: -14 null, -2 empty, -86 over 1024
// characters, nothing sent. *RetFlags and the list are cleared first.
int ozugw_FdigestGetCksum(uint32_t Flags, const char* Path, uint32_t* RetFlags,
                          quor_file_hash_digest_list_t* RetOzuFileDigest,
                          uint64_t* RetStripeLength);
int ozugw_FdigestSetCksum(uint32_t Flags, const char* Path,
                          const quor_file_hash_digest_list_t* OzuFileDigest,
                          uint64_t StripeLength);
int ozugw_UdaSetExpiration(const char* Path, uint64_t Expiration);
// Copies the ACL kinds of Flags (0x08, 0x10, 0x20) from SrcPath to SinkPath:
// -14 null, -2 empty, -86 for a path of 1024 characters or more.
int quorex_CopyACL(uint32_t Flags, const char* SrcPath, const char* SinkPath);

// ---- lfx: the gateway host's own file system ----
// Paths of 4096 characters or more give -86, nothing sent (-14 null, -2
// empty, except for Opendir, which sends an empty path). Results are the
// gateway's header code unless said otherwise.
struct stat64;
// Mode words of the lfx records: the seven file types and the twelve
// permission bits pass, every other bit is dropped.
uint32_t ozugw_LocalModeToInterchangeMode(uint32_t LocalMode);
uint32_t ozugw_InterchangeModeToLocalMode(uint32_t InterchangeMode);
// Sets mode (converted), links, owner, group, the three times' seconds and
// the size; leaves every other field alone. 0, or -14.
int ozugw_LfxStatToStat(const ozu_lfx_stat_t* LfxStat, struct stat64* Buf);
// Starts an lfx transfer. Filedes is a client descriptor of an open file
// (sent as the gateway's own descriptor, on that file's connection; -1 when
// it is not open, nothing sent) or negative for none (sent as it is).
// InitReply is zeroed, and filled on 0: its addressList and fileData are
// then the caller's to free (free(), or xdr_free of
// qel_xdr_ozu_xfer_init_reply_t inside the library).
int ozugw_LfxInit(int Filedes, const ozu_xfer_init_info_t* InitRequest,
                  ozu_xfer_init_reply_t* InitReply);
// Waits, sending nothing, for the completion of the transfer that the
// calling thread's last ozugw_LfxInit started. XferReply is filled on 0; on
// any failure (also a completion without a body, -5000) its xferStatus holds
// the negative result, so a lost completion never reads as success.
int ozugw_LfxGetXferReply(ozu_xfer_complete_t* XferReply);
// Lets the gateway close the data sockets it keeps for reuse.
int ozugw_LfxCleanSockPool(void);
int ozugw_lfxChmod(const char* Path, mode_t Mode);
// (uint32_t)-1 leaves owner or group as it is.
int ozugw_lfxChown(const char* Path, uint32_t Owner, uint32_t Group);
int ozugw_LfxMkdir(const char* Path, mode_t Mode);
// Buf is zeroed, then gets whatever stat record the reply carried.
int ozugw_LfxStat(const char* Path, struct stat64* Buf);
int ozugw_LfxLstat(const char* Path, struct stat64* Buf);
// The text's length; -86 when the text and its terminator do not fit.
int ozugw_LfxReadlink(const char* Path, char* Contents, size_t BufferSize);
// Creates the link Path holding Contents: contents first, as quor_Symlink
// and symlink(2) take them.
int ozugw_LfxSymlink(const char* Contents, const char* Path);
int ozugw_LfxRename(const char* Old, const char* New);
int ozugw_LfxUnlink(const char* Path);
// A gateway directory descriptor (0 or more).
int ozugw_LfxOpendir(const char* Path);
// Up to EntryCount entries into Buf, modes converted: the number written.
// *End is set once the request went out (0 when no reply came). -14 for a
// null Buf or End, -22 for a negative count.
int ozugw_LfxReadattrs(int Dirdes, int EntryCount, int* End, ozu_lfx_attrs_t* Buf);
int ozugw_LfxRewinddir(int Dirdes);
int ozugw_LfxClosedir(int Dirdes);
// -22 for Size 0, -14 for a null Buf, -34 when the text does not fit.
int ozugw_LfxGetcwd(char* Buf, size_t Size);

// ---- namespace ----
// One exchange each on the current connection; 0 (or the count, descriptor
// or length named) on success, else a negative code. Argument errors come
// before anything is sent: -14 null pointer, -2 empty path, -86 a path
// longer than 1024 characters.
// Buf is zeroed, then receives the object's (Stat: the link target's) record.
int quor_Stat(const char* Path, quor_stat_t* Buf);
int quor_Lstat(const char* Path, quor_stat_t* Buf);
// AttrOut is zeroed once sent and gets whatever the reply carried, also
// with a negative result.
int quor_GetListAttrs(const char* Path, quor_Attrs_t* AttrOut);
// Outputs are written only when the result is 0. FileGetXAttributes: the
// volume lists of AttrOut's levels are the caller's, released with
// quor_FreeXAttributes.
int quor_FileGetAttributes(const char* Path, quor_fileattr_t* AttrOut);
int quor_FileGetXAttributes(const char* Path, uint32_t Flags, uint32_t StorageLevel,
                            quor_xfileattr_t* AttrOut);
// Frees the volume lists of every level of Attrs and clears their pointers;
// null, or a record without lists, is left as it is.
void quor_FreeXAttributes(quor_xfileattr_t* Attrs);
// SelFlags picks the attributes of AttrIn to set; -3 without a connection.
int quor_FileSetAttributes(const char* Path, quor_fileattrbits_t SelFlags,
                           const quor_fileattr_t* AttrIn, quor_fileattr_t* AttrOut);
int quor_Chdir(const char* Path);
// -22 for Size 0, -34 when the directory and its terminator do not fit.
int quor_Getcwd(char* Buf, size_t Size);
// The previous mask, or a negative code when the call fails.
int quor_Umask(mode_t CMask);
int quor_Mkdir(const char* Path, mode_t Mode);
// -17 for a directory that is not empty.
int quor_Rmdir(const char* Path);
// A gateway directory descriptor (0 is one) for the three calls below.
int quor_Opendir(const char* DirName);
// One entry per call; an empty name once the directory is read.
int quor_Readdir(int Dirdes, quor_dirent_t* DirentOut);
// Up to BufferSize / sizeof(ns_DirEntry_t) entries from OffsetIn into
// DirentPtr: the number of entries written (never more than fit). *End and
// *OffsetOut (where the next call continues) are set on a result of 0 or
// more. -22 when BufferSize holds no whole entry.
int quor_ReadAttrs(int Dirdes, uint64_t OffsetIn, uint32_t BufferSize, uint32_t GetAttributes,
                   uint32_t* End, uint64_t* OffsetOut, ns_DirEntry_t* DirentPtr);
int quor_Closedir(int Dirdes);
int quor_Link(const char* Existing, const char* New);
int quor_Rename(const char* Old, const char* New);
// Creates the link Path holding Contents. The arguments come in the order
// every caller (and symlink(2)) uses: contents first, the new link second;
// the request carries the link path first.
int quor_Symlink(const char* Contents, const char* Path);
// The link text's length; -86 when the text and its terminator do not fit
// BufferSize.
int quor_Readlink(const char* Path, char* Contents, size_t BufferSize);
int quor_Unlink(const char* Path);
// -36 for a path of 1024 characters or more.
int quor_Utime(const char* Path, const struct utimbuf* Times);
int quor_Chmod(const char* Path, mode_t Mode);
// (uid_t)-1 or (gid_t)-1 leaves that one as it is.
int quor_Chown(const char* Path, uid_t Owner, gid_t Group);
// The gateway's client-API configuration. Get: -5000 without an API host
// name; on 0 the whole record with HostName set to this client's name
// (terminated, at most 63 characters). Set: -2 without a current
// connection, -86 for a text field without its terminator.
int quor_GetConfiguration(struct api_config* ConfigOut);
int quor_SetConfiguration(const struct api_config* ConfigIn);

// ---- storage object ids ----
// Pointers must be non-null (-14). SOIDs_AreEqual: 0 when the 19 bytes are
// equal, else the difference at the first differing byte (as memcmp).
// SOID_GetType: -34 with *Type 0 for a type byte outside 1 to 9.
// SOID_GetHash: the upper and lower halves of clock + sequence, XORed.
// SOID_ToString: a new 43-byte string (caller frees) of the form
// ssssssss-tt-vvvvvvvv-cccccccccccccccc-qqqq (lower-case hex); -12.
// SOID_FromString: reads that form (each field one hex digit up to its
// width, either case, hyphens between; text after the fifth is ignored);
// -14 and the id untouched unless all five fields convert.
int SOIDs_AreEqual(const quoroid_t* Soid1, const quoroid_t* Soid2);
int SOID_GetSystemID(const quoroid_t* Soid, quor_id_t* SystemID);
int SOID_GetServerID(const quoroid_t* Soid, quor_srvr_id_t* ServerID);
int SOID_GetType(const quoroid_t* Soid, quor_obj_type_t* Type);
int SOID_GetBinaryData(const quoroid_t* Soid, uint64_t* Data64P, uint16_t* Data16P);
int SOID_GetHash(const quoroid_t* Soid, uint32_t* HashP);
int SOID_ToString(const quoroid_t* SOIDP, char** StringPP);
int SOID_FromString(const char* StringP, quoroid_t* SOIDP);

#ifdef __cplusplus
}
#endif

#endif
