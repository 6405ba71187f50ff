// Request loop and dispatch table of gwsim. One thread runs each
// connection, so replies leave in request order unless the shuffle rule
// holds them back and lets them go in a random order.
#include "dispatch.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>

#include <algorithm>
#include <random>

#include "auth.h"
#include "data_io.h"
#include "extensions.h"
#include "copy_remote.h"
#include "auth_pam.h"
#include "auth_keytab.h"
#include "dataconn.h"
#include "faults.h"
#include "files.h"
#include "framing.h"
#include "identity.h"
#include "journal.h"
#include "lfx.h"
#include "reply.h"
#include "namespace.h"
#include "session.h"
#include "relay.h"
#include "queries.h"
#include "retry.h"
#include "services.h"
#include "stage.h"
#include "store.h"
#include "su.h"
#include "xio.h"

#define GW_ERR_PROTOCOL (-5000)

#define ROW(cat, fn, codec, rec, handler) \
  { cat, fn, (xdrproc_t)(codec), sizeof(rec), handler, nullptr }
#define ROW_NOTE(cat, fn, codec, rec, handler, note) \
  { cat, fn, (xdrproc_t)(codec), sizeof(rec), handler, note }
#define ROW_NOBODY(cat, fn, handler) \
  { cat, fn, nullptr, 0, handler, nullptr }

static const gw_dispatch_entry_t dispatch_table[] = {
    ROW(QEL_CAT_CONNECT, QEL_FN_CONN_SiteInfo, qel_xdr_api_site_info_req_t, api_site_info_req_t,
        gw_HandleSiteInfo),
    ROW(QEL_CAT_AUTH, QEL_FN_AUTH_ExchgSecParams, qel_xdr_api_exchg_sec_params_req_t,
        api_exchg_sec_params_req_t, gw_HandleSecParams),
    ROW_NOBODY(QEL_CAT_AUTH, QEL_FN_AUTH_GetDHParams, gw_HandleDHParams),
    ROW(QEL_CAT_AUTH, QEL_FN_AUTH_ExchgPubkey, qel_xdr_api_exchg_pubkey_req_t,
        api_exchg_pubkey_req_t, gw_HandlePubkey),
    ROW_NOTE(QEL_CAT_AUTH, QEL_FN_AUTH_LoginCombo, qel_xdr_api_login_combo_t, api_login_combo_t,
             gw_HandleLoginCombo, gw_NoteLoginCombo),
    ROW(QEL_CAT_AUTH, QEL_FN_AUTH_LoginReconnect, qel_xdr_login_reconnect_t,
        api_login_reconnect_t, gw_HandleLoginReconnect),
    ROW_NOTE(QEL_CAT_AUTH, QEL_FN_AUTH_LoginKeytab, qel_xdr_api_login_keytab_t,
             api_login_keytab_t, gw_HandleLoginKeytab, gw_NoteLoginKeytab),
    ROW_NOTE(QEL_CAT_AUTH, QEL_FN_AUTH_SuInit, qel_xdr_ozugw_su_init_req_t, ozugw_su_init_req_t,
             gw_HandleSuInit, gw_NoteSuInit),
    ROW_NOTE(QEL_CAT_AUTH, QEL_FN_AUTH_SudoInit, qel_xdr_ozugw_sudo_init_req_t,
             ozugw_sudo_init_req_t, gw_HandleSudoInit, gw_NoteSudoInit),
    ROW_NOTE(QEL_CAT_AUTH, QEL_FN_AUTH_SudoCmdEnd, qel_xdr_ozugw_sudo_cmd_end_req_t,
             ozugw_sudo_cmd_end_req_t, gw_HandleSudoCmdEnd, gw_NoteSudoCmdEnd),
    ROW(QEL_CAT_AUTH, QEL_FN_AUTH_LoginPam, qel_xdr_api_login_pam_t, api_login_pam_t,
        gw_HandleLoginPam),
    ROW(QEL_CAT_AUTH, QEL_FN_AUTH_ChallengeRsp, qel_xdr_api_auth_challenge_rsp_req_t,
        api_auth_challenge_rsp_req_t, gw_HandleChallengeRsp),
    ROW_NOBODY(QEL_CAT_CORE, QEL_FN_CORE_GetUniqueRequestID, gw_HandleUniqueRequestID),
    ROW(QEL_CAT_LOOKUP, QEL_FN_LOOKUP_LookupHomeDir, qel_xdr_api_lookup_homedir_req_t,
        api_lookup_homedir_req_t, gw_HandleLookupHomeDir),
    // ---- queries and extensions ----
    ROW(QEL_CAT_CONNECT, QEL_FN_CONN_GetMotd, qel_xdr_api_motd_req_t, api_motd_req_t,
        gw_HandleGetMotd),
    ROW_NOTE(QEL_CAT_EXT, QEL_FN_EXT_SelectCOS, qel_xdr_api_selectcos_req_t, api_selectcos_req_t,
             gw_HandleSelectCOS, gw_NoteSelectCOS),
    ROW_NOTE(QEL_CAT_EXT, QEL_FN_EXT_GetCOSList, qel_xdr_api_get_coslist_req_t,
             api_get_coslist_req_t, gw_HandleGetCOSList, gw_NoteGetCOSList),
    ROW_NOBODY(QEL_CAT_EXT, QEL_FN_EXT_GetNamedCOSLists, gw_HandleNamedCOSLists),
    ROW_NOTE(QEL_CAT_EXT, QEL_FN_EXT_GetNamedCOSInfo, qel_xdr_api_named_cos_info_req_t,
             api_named_cos_info_req_t, gw_HandleNamedCOSInfo, gw_NoteNamedCOSInfo),
    ROW_NOBODY(QEL_CAT_EXT, QEL_FN_EXT_ConfGetXferConcurrency, gw_HandleXferConcurrency),
    ROW_NOTE(QEL_CAT_EXT, QEL_FN_EXT_CopyRemoteFile, qel_xdr_api_copy_remote_req_t,
             api_copy_remote_req_t, gw_HandleCopyRemote, gw_NoteCopyRemote),
    ROW_NOTE(QEL_CAT_EXT, QEL_FN_EXT_QueryCopy, qel_xdr_api_query_copy_req_t,
             api_query_copy_req_t, gw_HandleQueryCopy, gw_NoteQueryCopy),
    ROW_NOTE(QEL_CAT_EXT, QEL_FN_EXT_CancelCopy, qel_xdr_api_cancel_copy_req_t,
             api_cancel_copy_req_t, gw_HandleCancelCopy, gw_NoteCancelCopy),
    ROW_NOTE(QEL_CAT_EXT, QEL_FN_EXT_CopyACL, qel_xdr_api_copy_acl_req_t, api_copy_acl_req_t,
             gw_HandleCopyACL, gw_NoteCopyACL),
    ROW_NOTE(QEL_CAT_CORE, QEL_FN_CORE_FileSetCOS, qel_xdr_api_quor_FileSetCOS_req_t,
             api_quor_FileSetCOS_req_t, gw_HandleFileSetCOS, gw_NoteFileSetCOS),
    ROW_NOTE(QEL_CAT_CORE, QEL_FN_CORE_FilesetGetAttrs, qel_xdr_api_quor_FilesetGetAttrs_req_t,
             api_quor_FilesetGetAttrs_req_t, gw_HandleFilesetGetAttrs, gw_NoteFilesetGetAttrs),
    ROW_NOTE(QEL_CAT_CORE, QEL_FN_CORE_FilesetListAll, qel_xdr_api_quor_FilesetListAll_req_t,
             api_quor_FilesetListAll_req_t, gw_HandleFilesetListAll, gw_NoteFilesetListAll),
    ROW_NOTE(QEL_CAT_CORE, QEL_FN_CORE_GetJunctions, qel_xdr_api_quor_GetJunctions_req_t,
             api_quor_GetJunctions_req_t, gw_HandleGetJunctions, gw_NoteGetJunctions),
    ROW_NOTE(QEL_CAT_CORE, QEL_FN_CORE_GetSubsysStats, qel_xdr_api_quor_GetSubsysStats_req_t,
             api_quor_GetSubsysStats_req_t, gw_HandleGetSubsysStats, gw_NoteGetSubsysStats),
    ROW_NOTE(QEL_CAT_FDIGEST, QEL_FN_FDIGEST_GetCksum, qel_xdr_api_fdigest_get_req_t,
             api_fdigest_get_req_t, gw_HandleFdigestGet, gw_NoteFdigestGet),
    ROW_NOTE(QEL_CAT_FDIGEST, QEL_FN_FDIGEST_SetCksum, qel_xdr_api_fdigest_set_req_t,
             api_fdigest_set_req_t, gw_HandleFdigestSet, gw_NoteFdigestSet),
    ROW_NOTE(QEL_CAT_UDA, QEL_FN_UDA_SetExpiration, qel_xdr_api_uda_set_expiration_req_t,
             api_uda_set_expiration_req_t, gw_HandleUdaSetExpiration, gw_NoteUdaSetExpiration),
    // ---- open files, stage, purge and migrate ----
    ROW_NOTE(QEL_CAT_CORE, QEL_FN_CORE_Create, qel_xdr_api_quor_Create_req_t,
             api_quor_Create_req_t, gw_HandleCreate, gw_NoteCreate),
    ROW_NOTE(QEL_CAT_CORE, QEL_FN_CORE_Open, qel_xdr_api_quor_Open_req_t, api_quor_Open_req_t,
             gw_HandleOpenAny, gw_NoteOpen),
    ROW_NOTE(QEL_CAT_CORE, QEL_FN_CORE_OpenX, qel_xdr_api_quor_OpenX_req_t, api_quor_OpenX_req_t,
             gw_HandleOpenX, gw_NoteOpenX),
    ROW_NOTE(QEL_CAT_CORE, QEL_FN_CORE_ReadX, qel_xdr_api_quor_ReadX_req_t, api_quor_ReadX_req_t,
             gw_HandleReadX, gw_NoteXio),
    ROW_NOTE(QEL_CAT_CORE, QEL_FN_CORE_WriteX, qel_xdr_api_quor_WriteX_req_t,
             api_quor_WriteX_req_t, gw_HandleWriteX, gw_NoteXio),
    ROW_NOTE(QEL_CAT_CORE, QEL_FN_CORE_Close, qel_xdr_api_quor_Close_req_t, api_quor_Close_req_t,
             gw_HandleClose, gw_NoteFildes),
    ROW_NOTE(QEL_CAT_CORE, QEL_FN_CORE_Fstat, qel_xdr_api_quor_Fstat_req_t, api_quor_Fstat_req_t,
             gw_HandleFstat, gw_NoteFildes),
    ROW_NOTE(QEL_CAT_CORE, QEL_FN_CORE_CopyFile, qel_xdr_api_quor_CopyFile_req_t,
             api_quor_CopyFile_req_t, gw_HandleCopyFile, gw_NoteCopyFile),
    ROW_NOTE(QEL_CAT_CORE, QEL_FN_CORE_Purge, qel_xdr_api_quor_Purge_req_t, api_quor_Purge_req_t,
             gw_HandlePurge, gw_NotePurge),
    ROW_NOTE(QEL_CAT_CORE, QEL_FN_CORE_Migrate, qel_xdr_api_quor_Migrate_req_t,
             api_quor_Migrate_req_t, gw_HandleMigrate, gw_NoteMigrate),
    ROW_NOTE(QEL_CAT_CORE, QEL_FN_CORE_Stage, qel_xdr_api_quor_Stage_req_t, api_quor_Stage_req_t,
             gw_HandleStage, gw_NoteFildes),
    ROW_NOTE(QEL_CAT_CORE, QEL_FN_CORE_SetCOSByHints, qel_xdr_api_quor_SetCOSByHints_req_t,
             api_quor_SetCOSByHints_req_t, gw_HandleSetCOSByHints, gw_NoteFildes),
    ROW_NOTE(QEL_CAT_CORE, QEL_FN_CORE_StageCallBack, qel_xdr_api_quor_StageCallBack_req_t,
             api_quor_StageCallBack_req_t, gw_HandleStageCallBack, gw_NoteStageCallBack),
    ROW(QEL_CAT_CORE, QEL_FN_CORE_GetAsyncStatus, qel_xdr_api_quor_GetAsyncStatus_req_t,
        api_quor_GetAsyncStatus_req_t, gw_HandleGetAsyncStatus),
    // file data through movers, file offsets (data_io.h)
    ROW_NOTE(QEL_CAT_CORE, QEL_FN_CORE_ReadList, qel_xdr_api_quor_ReadList_req_t,
             api_quor_ReadList_req_t, gw_HandleReadList, gw_NoteList),
    ROW_NOTE(QEL_CAT_CORE, QEL_FN_CORE_WriteList, qel_xdr_quor_WriteList_req_t,
             api_quor_WriteList_req_t, gw_HandleWriteList, gw_NoteList),
    ROW_NOTE(QEL_CAT_CORE, QEL_FN_CORE_Lseek, qel_xdr_api_quor_Lseek_req_t, api_quor_Lseek_req_t,
             gw_HandleLseek, gw_NoteFildes),
    ROW_NOTE(QEL_CAT_CORE, QEL_FN_CORE_SetFileOffset, qel_xdr_api_quor_SetFileOffset_req_t,
             api_quor_SetFileOffset_req_t, gw_HandleSetFileOffset, gw_NoteFildes),
    // command relay, gateway log, identity (relay.h, identity.h)
    ROW_NOTE(QEL_CAT_CLI, QEL_FN_CLI_SendCommand, qel_xdr_ozugw_cli_command_t,
             ozugw_cli_command_t, gw_HandleCliCommand, gw_NoteCliCommand),
    ROW_NOTE(QEL_CAT_CLI, QEL_FN_CLI_SetWindowSize, qel_xdr_ozugw_cli_window_size_req_t,
             ozugw_cli_window_size_req_t, gw_HandleCliWindowSize, gw_NoteCliWindowSize),
    ROW_NOTE(QEL_CAT_CLI, QEL_FN_CLI_SendInterrupt, qel_xdr_ozugw_cli_interrupt_req_t,
             ozugw_cli_interrupt_req_t, gw_HandleCliInterrupt, gw_NoteCliInterrupt),
    ROW(QEL_CAT_LOG, QEL_FN_LOG_Openlog, qel_xdr_api_openlog_t, api_openlog_t, gw_HandleOpenlog),
    ROW(QEL_CAT_LOG, QEL_FN_LOG_Logmsg, qel_xdr_api_log_message_t, api_log_message_t,
        gw_HandleLogmsg),
    ROW(QEL_CAT_LOG, QEL_FN_LOG_Closelog, qel_xdr_api_closelog_t, api_closelog_t,
        gw_HandleCloselog),
    ROW_NOTE(QEL_CAT_CORE, QEL_FN_CORE_AcctCodeToName, qel_xdr_api_quor_AcctCodeToName_req_t,
             api_quor_AcctCodeToName_req_t, gw_HandleAcctCodeToName, gw_NoteAcctCode),
    ROW_NOTE(QEL_CAT_CORE, QEL_FN_CORE_AcctNameToCode, qel_xdr_api_quor_AcctNameToCode_req_t,
             api_quor_AcctNameToCode_req_t, gw_HandleAcctNameToCode, gw_NoteAcctName),
    ROW(QEL_CAT_CORE, QEL_FN_CORE_Chacct, qel_xdr_api_quor_Chacct_req_t, api_quor_Chacct_req_t,
        gw_HandleChacct),
    ROW_NOBODY(QEL_CAT_CORE, QEL_FN_CORE_GetAcct, gw_HandleGetAcct),
    ROW_NOBODY(QEL_CAT_CORE, QEL_FN_CORE_GetAcctName, gw_HandleGetAcctName),
    ROW_NOBODY(QEL_CAT_CORE, QEL_FN_CORE_GetAcctList, gw_HandleGetAcctList),
    ROW_NOTE(QEL_CAT_CORE, QEL_FN_CORE_SetAcct, qel_xdr_api_quor_SetAcct_req_t,
             api_quor_SetAcct_req_t, gw_HandleSetAcct, gw_NoteSetAcct),
    ROW_NOTE(QEL_CAT_CORE, QEL_FN_CORE_SetAcctByName, qel_xdr_api_quor_SetAcctByName_req_t,
             api_quor_SetAcctByName_req_t, gw_HandleSetAcctByName, gw_NoteSetAcct),
    ROW_NOTE(QEL_CAT_CORE, QEL_FN_CORE_SetGID, qel_xdr_api_quor_SetGID_req_t,
             api_quor_SetGID_req_t, gw_HandleSetGID, gw_NoteSetGID),
    ROW_NOTE(QEL_CAT_CORE, QEL_FN_CORE_ConvertIdsToNames, qel_xdr_api_quor_ConvertIdsToNames_req_t,
             api_quor_ConvertIdsToNames_req_t, gw_HandleConvertIdsToNames, gw_NoteConvert),
    ROW_NOTE(QEL_CAT_CORE, QEL_FN_CORE_ConvertNamesToIds, qel_xdr_api_quor_ConvertNamesToIds_req_t,
             api_quor_ConvertNamesToIds_req_t, gw_HandleConvertNamesToIds, gw_NoteConvert),
    ROW_NOTE(QEL_CAT_LOOKUP, QEL_FN_LOOKUP_GetPwent, qel_xdr_api_getpwent_req_t,
             api_getpwent_req_t, gw_HandleGetPwent, gw_NoteGetPwent),
    ROW_NOBODY(QEL_CAT_LOOKUP, QEL_FN_LOOKUP_GetGroupList, gw_HandleGetGroupList),
    // ---- namespace ----
    ROW_NOTE(QEL_CAT_CORE, QEL_FN_CORE_Stat, qel_xdr_api_quor_Stat_req_t, api_quor_Stat_req_t,
             gw_HandleStat, gw_NoteNsPath),
    ROW_NOTE(QEL_CAT_CORE, QEL_FN_CORE_Lstat, qel_xdr_api_quor_Lstat_req_t, api_quor_Lstat_req_t,
             gw_HandleLstat, gw_NoteNsPath),
    ROW_NOTE(QEL_CAT_CORE, QEL_FN_CORE_GetListAttrs, qel_xdr_api_quor_GetListAttrs_req_t,
             api_quor_GetListAttrs_req_t, gw_HandleGetListAttrs, gw_NoteNsPath),
    ROW_NOTE(QEL_CAT_CORE, QEL_FN_CORE_FileGetAttributes, qel_xdr_api_quor_FileGetAttributes_req_t,
             api_quor_FileGetAttributes_req_t, gw_HandleFileGetAttributes, gw_NoteNsPath),
    ROW_NOTE(QEL_CAT_CORE, QEL_FN_CORE_FileGetXAttributes,
             qel_xdr_api_quor_FileGetXAttributes_req_t, api_quor_FileGetXAttributes_req_t,
             gw_HandleFileGetXAttributes, gw_NoteNsPath),
    ROW_NOTE(QEL_CAT_CORE, QEL_FN_CORE_FileSetAttributes, qel_xdr_api_quor_FileSetAttributes_req_t,
             api_quor_FileSetAttributes_req_t, gw_HandleFileSetAttributes, gw_NoteNsPath),
    ROW_NOTE(QEL_CAT_CORE, QEL_FN_CORE_Chdir, qel_xdr_api_quor_Chdir_req_t, api_quor_Chdir_req_t,
             gw_HandleChdir, gw_NoteNsPath),
    ROW_NOBODY(QEL_CAT_CORE, QEL_FN_CORE_Getcwd, gw_HandleGetcwd),
    ROW_NOTE(QEL_CAT_CORE, QEL_FN_CORE_Mkdir, qel_xdr_api_quor_Mkdir_req_t, api_quor_Mkdir_req_t,
             gw_HandleMkdir, gw_NoteNsPath),
    ROW_NOTE(QEL_CAT_CORE, QEL_FN_CORE_Rmdir, qel_xdr_api_quor_Rmdir_req_t, api_quor_Rmdir_req_t,
             gw_HandleRmdir, gw_NoteNsPath),
    ROW_NOTE(QEL_CAT_CORE, QEL_FN_CORE_Link, qel_xdr_api_quor_Link_req_t, api_quor_Link_req_t,
             gw_HandleLink, gw_NoteNsPath),
    ROW_NOTE(QEL_CAT_CORE, QEL_FN_CORE_Symlink, qel_xdr_api_quor_Symlink_req_t,
             api_quor_Symlink_req_t, gw_HandleSymlink, gw_NoteNsPath),
    ROW_NOTE(QEL_CAT_CORE, QEL_FN_CORE_Readlink, qel_xdr_api_quor_Readlink_req_t,
             api_quor_Readlink_req_t, gw_HandleReadlink, gw_NoteNsPath),
    ROW_NOTE(QEL_CAT_CORE, QEL_FN_CORE_Rename, qel_xdr_api_quor_Rename_req_t,
             api_quor_Rename_req_t, gw_HandleRename, gw_NoteNsPath),
    ROW_NOTE(QEL_CAT_CORE, QEL_FN_CORE_Unlink, qel_xdr_api_quor_Unlink_req_t,
             api_quor_Unlink_req_t, gw_HandleUnlink, gw_NoteNsPath),
    ROW_NOTE(QEL_CAT_CORE, QEL_FN_CORE_Utime, qel_xdr_api_quor_Utime_req_t, api_quor_Utime_req_t,
             gw_HandleUtime, gw_NoteNsPath),
    ROW_NOTE(QEL_CAT_CORE, QEL_FN_CORE_Chmod, qel_xdr_api_quor_Chmod_req_t, api_quor_Chmod_req_t,
             gw_HandleChmod, gw_NoteNsPath),
    ROW_NOTE(QEL_CAT_CORE, QEL_FN_CORE_Chown, qel_xdr_api_quor_Chown_req_t, api_quor_Chown_req_t,
             gw_HandleChown, gw_NoteNsPath),
    ROW(QEL_CAT_CORE, QEL_FN_CORE_Umask, qel_xdr_api_quor_Umask_req_t, api_quor_Umask_req_t,
        gw_HandleUmask),
    ROW_NOTE(QEL_CAT_CORE, QEL_FN_CORE_Opendir, qel_xdr_api_quor_Opendir_req_t,
             api_quor_Opendir_req_t, gw_HandleOpendir, gw_NoteNsPath),
    ROW(QEL_CAT_CORE, QEL_FN_CORE_Readdir, qel_xdr_api_quor_Readdir_req_t, api_quor_Readdir_req_t,
        gw_HandleReaddir),
    ROW(QEL_CAT_CORE, QEL_FN_CORE_ReadAttrs, qel_xdr_api_quor_ReadAttrs_req_t,
        api_quor_ReadAttrs_req_t, gw_HandleReadAttrs),
    ROW(QEL_CAT_CORE, QEL_FN_CORE_Closedir, qel_xdr_api_quor_Closedir_req_t,
        api_quor_Closedir_req_t, gw_HandleClosedir),
    ROW_NOBODY(QEL_CAT_CORE, QEL_FN_CORE_GetConfiguration, gw_HandleGetConfiguration),
    ROW_NOTE(QEL_CAT_CORE, QEL_FN_CORE_SetConfiguration, qel_xdr_api_quor_SetConfiguration_req_t,
             api_quor_SetConfiguration_req_t, gw_HandleSetConfiguration, gw_NoteSetConfig),
    // ---- lfx: the gateway host's own file system (lfx.h) ----
    ROW_NOTE(QEL_CAT_LFX, QEL_FN_LFX_Init, qel_xdr_ozugw_lfx_xfer_init_req_t,
             ozugw_lfx_xfer_init_req_t, gw_HandleLfxInit, gw_NoteLfxInit),
    ROW_NOBODY(QEL_CAT_LFX, QEL_FN_LFX_CleanSockPool, gw_HandleLfxCleanSockPool),
    ROW_NOTE(QEL_CAT_LFX, QEL_FN_LFX_Chmod, qel_xdr_api_lfx_Chmod_req_t, api_lfx_Chmod_req_t,
             gw_HandleLfxChmod, gw_NoteLfx),
    ROW_NOTE(QEL_CAT_LFX, QEL_FN_LFX_Chown, qel_xdr_api_lfx_Chown_req_t, api_lfx_Chown_req_t,
             gw_HandleLfxChown, gw_NoteLfx),
    ROW_NOBODY(QEL_CAT_LFX, QEL_FN_LFX_Getcwd, gw_HandleLfxGetcwd),
    ROW_NOTE(QEL_CAT_LFX, QEL_FN_LFX_Lstat, qel_xdr_lfx_Lstat_req_t, api_lfx_Lstat_req_t,
             gw_HandleLfxLstat, gw_NoteLfx),
    ROW_NOTE(QEL_CAT_LFX, QEL_FN_LFX_Stat, qel_xdr_lfx_Stat_req_t, api_lfx_Stat_req_t,
             gw_HandleLfxStat, gw_NoteLfx),
    ROW_NOTE(QEL_CAT_LFX, QEL_FN_LFX_Opendir, qel_xdr_api_lfx_Opendir_req_t,
             api_lfx_Opendir_req_t, gw_HandleLfxOpendir, gw_NoteLfx),
    ROW_NOTE(QEL_CAT_LFX, QEL_FN_LFX_Closedir, qel_xdr_api_lfx_Closedir_req_t,
             api_lfx_Closedir_req_t, gw_HandleLfxClosedir, gw_NoteLfx),
    ROW_NOTE(QEL_CAT_LFX, QEL_FN_LFX_Mkdir, qel_xdr_api_lfx_Mkdir_req_t, api_lfx_Mkdir_req_t,
             gw_HandleLfxMkdir, gw_NoteLfx),
    ROW_NOTE(QEL_CAT_LFX, QEL_FN_LFX_Readattrs, qel_xdr_lfx_ReadAttrs_req_t,
             api_lfx_ReadAttrs_req_t, gw_HandleLfxReadattrs, gw_NoteLfx),
    ROW_NOTE(QEL_CAT_LFX, QEL_FN_LFX_Readlink, qel_xdr_lfx_Readlink_req_t,
             api_lfx_Readlink_req_t, gw_HandleLfxReadlink, gw_NoteLfx),
    ROW_NOTE(QEL_CAT_LFX, QEL_FN_LFX_Rename, qel_xdr_lfx_Rename_req_t, api_lfx_Rename_req_t,
             gw_HandleLfxRename, gw_NoteLfx),
    ROW_NOTE(QEL_CAT_LFX, QEL_FN_LFX_Rewinddir, qel_xdr_lfx_Rewinddir_req_t,
             api_lfx_Rewinddir_req_t, gw_HandleLfxRewinddir, gw_NoteLfx),
    ROW_NOTE(QEL_CAT_LFX, QEL_FN_LFX_Symlink, qel_xdr_lfx_Symlink_req_t, api_lfx_Symlink_req_t,
             gw_HandleLfxSymlink, gw_NoteLfx),
    ROW_NOTE(QEL_CAT_LFX, QEL_FN_LFX_Unlink, qel_xdr_lfx_Unlink_req_t, api_lfx_Unlink_req_t,
             gw_HandleLfxUnlink, gw_NoteLfx),
};

#undef ROW
#undef ROW_NOTE
#undef ROW_NOBODY

static const gw_dispatch_entry_t* find_entry(uint16_t category, uint16_t function) {
  for (const gw_dispatch_entry_t& e : dispatch_table)
    if (e.category == category && e.function == function) return &e;
  return nullptr;
}

static int flush_held(gw_conn_t* conn) {
  std::shuffle(conn->held.begin(), conn->held.end(), conn->rng);
  int rc = 0;
  for (gw_pending_t& p : conn->held)
    if (rc == 0) rc = gw_SendReply(conn, &p);
  conn->held.clear();
  return rc;
}

// Sends or, while shuffling, holds the reply to hdr.
static int queue_reply(gw_conn_t* conn, const api_msghdr_t* req, gw_reply_t* reply,
                       const gw_reply_faults_t* faults) {
  gw_pending_t p;
  ozugw_BuildMsgHdr(&p.hdr, req->msgRequestID, reply->hasBody ? API_MSGF_BODY : 0,
                    uint32_t(time(nullptr)), 0, req->category, req->function, reply->errorcode);
  if (reply->hasBody) p.body.swap(reply->body);
  p.faults = *faults;
  if (conn->cfg->shuffleCount == 0) return gw_SendReplyBatched(conn, &p);
  conn->held.push_back(std::move(p));
  if (conn->held.size() >= conn->cfg->shuffleCount) return flush_held(conn);
  return 0;
}

// While replies are held: lets them go once no request arrives for the
// idle time. 0, or -1 when the connection is to be closed.
static int wait_for_request(gw_conn_t* conn) {
  // About to wait for the client: what it should see goes out first.
  if (gw_ReaderBuffered(conn->reader) < API_MSGHDR_WIRE_SIZE && gw_FlushReplies(conn) < 0)
    return -1;
  if (conn->held.empty()) return 0;
  if (gw_ReaderWait(conn->reader, int(conn->cfg->shuffleIdleMs)) == 0) return flush_held(conn);
  return 0;
}

static void journal_request(const gw_conn_t* conn, const api_msghdr_t* hdr, const char* extra) {
  gw_JournalLine("conn=%d cat=0x%04x fn=0x%04x id=%u flags=0x%08x%s%s", conn->num,
                 unsigned(hdr->category), unsigned(hdr->function), hdr->msgRequestID, hdr->msgFlags,
                 conn->note.c_str(), extra);
}

// The resolved path a path fault rule is matched against, when any rule
// names one and the request carries a path.
static const char* fault_path(const gw_conn_t* conn, const api_msghdr_t* hdr, const void* req,
                              std::string* out) {
  if (!gw_FaultsWantPath(conn->cfg)) return nullptr;
  const char* p = gw_RequestPath(hdr->category, hdr->function, req);
  if (!p || gw_SessionResolve(conn, p, 0, out) < 0) return p;
  return out->c_str();
}

// Requests served before a log-in: the connection's and the log-in's own,
// and two services that name no object. Everything else is refused with
// -13 until the client has logged in, as a gateway does.
static bool served_before_login(uint16_t category, uint16_t function) {
  if (category == QEL_CAT_CONNECT || category == QEL_CAT_AUTH) return true;
  return (category == QEL_CAT_CORE && function == QEL_FN_CORE_GetUniqueRequestID) ||
         (category == QEL_CAT_LOOKUP && function == QEL_FN_LOOKUP_LookupHomeDir);
}

// Reads, handles and answers one request. 0 to go on, -1 to close.
static int serve_one(gw_conn_t* conn) {
  api_msghdr_t hdr;
  int rc = 0;
  if (conn->hasPending) {
    hdr = conn->pending;
    conn->hasPending = 0;
  } else {
    if (wait_for_request(conn) < 0) return -1;
    rc = gw_ReadHeader(conn->reader, &hdr);
  }
  if (rc == 1) return -1;
  if (rc < 0) {
    gw_JournalLine("conn=%d short-header", conn->num);
    return -1;
  }
  conn->note.clear();
  if (memcmp(hdr.sanity, API_MSGH_SANITY, API_MSGH_SANITY_LEN) != 0) {
    gw_JournalLine("conn=%d garbage-header", conn->num);
    return -1;
  }
  bool hasBody = (hdr.msgFlags & API_MSGF_BODY) != 0;
  bool wantsReply = API_MSGF_EXPECTS_REPLY(hdr.msgFlags);
  const gw_dispatch_entry_t* e = find_entry(hdr.category, hdr.function);
  if (!e) {
    journal_request(conn, &hdr, " unknown");
    if (hasBody) return -1;
    if (!wantsReply) return 0;
    gw_reply_t reply{};
    reply.errorcode = GW_ERR_PROTOCOL;
    gw_reply_faults_t none{};
    return queue_reply(conn, &hdr, &reply, &none);
  }

  void* req = nullptr;
  if (e->reqCodec) {
    req = calloc(1, e->reqSize);
    if (!req) return -1;
    if (hasBody && !e->reqCodec(gw_ReaderXdr(conn->reader), req)) {
      journal_request(conn, &hdr, " bad-body");
      xdr_free(e->reqCodec, static_cast<char*>(req));
      free(req);
      return -1;
    }
  } else if (hasBody) {
    journal_request(conn, &hdr, " bad-body");
    return -1;
  }

  if (e->note && hasBody) e->note(&hdr, req, &conn->note);
  gw_reply_t reply{};
  gw_reply_faults_t faults{};
  int32_t forced = 0;
  std::string faultPath;
  bool errorRule =
      wantsReply && gw_FaultsForReply(conn->cfg, hdr.category, hdr.function, &forced, &faults,
                                      fault_path(conn, &hdr, req, &faultPath));
  if (errorRule) {
    reply.errorcode = forced;
    rc = 0;
  } else if (!conn->loggedIn && !served_before_login(hdr.category, hdr.function)) {
    reply.errorcode = -13;
    rc = 0;
  } else {
    conn->overfill = faults.overfill;
    gw_StoreFailWrites(faults.storeFail);
    rc = e->handler(conn, &hdr, req, &reply);
    gw_StoreFailWrites(0);
    if (rc == 0) gw_RetryAmendLogin(conn, &hdr, &faults, &reply);
  }
  if (req) {
    xdr_free(e->reqCodec, static_cast<char*>(req));
    free(req);
  }
  journal_request(conn, &hdr, errorRule ? " fault=error" : "");
  if (rc < 0) return -1;
  if (!wantsReply || rc > 0) return 0;
  return queue_reply(conn, &hdr, &reply, &faults);
}

void gw_ConnInit(gw_conn_t* conn, gw_config_t* cfg, int num, int fd) {
  conn->num = num;
  conn->fd = fd;
  conn->cfg = cfg;
  conn->umask = cfg->site.umask & 0777;
  std::random_device seed;
  conn->rng.seed(seed());
}

// What a connection leaves behind when it ends: its open files and
// directories, and the copies whose sink it held.
static void release_session(gw_conn_t* conn) {
  if (!conn->held.empty()) flush_held(conn);
  // Workers may still use the files: they stop first.
  gw_DataEnd(conn);
  gw_FlushReplies(conn);
  gw_FilesCloseAll(conn);
  conn->dirs.clear();
  gw_CopiesRelease(conn);
}

void gw_ServeConnection(gw_conn_t* conn) {
  api_server_state_rply_t st;
  gw_ServerState(conn->cfg, conn->num, &st);
  gw_JournalDefer(1);
  gw_JournalLine("conn=%d open%s", conn->num, st.quorDownFlag ? " down" : "");
  gw_reply_t first{};
  if (gw_ReplyWithBody(&first, (xdrproc_t)qel_xdr_api_server_state_rply_t, &st) == 0) {
    gw_pending_t p;
    ozugw_BuildMsgHdr(&p.hdr, 0, API_MSGF_BODY, uint32_t(time(nullptr)), 0, 0, 0, 0);
    p.body.swap(first.body);
    p.faults = gw_reply_faults_t{};
    if (gw_SendReply(conn, &p) == 0) {
      while (serve_one(conn) == 0) {
      }
    }
  }
  release_session(conn);
  // The client sees the end now; the descriptor itself is closed after the
  // thread is joined.
  shutdown(conn->fd, SHUT_RDWR);
  gw_JournalLine("conn=%d close", conn->num);
  gw_JournalDefer(0);
}

size_t gw_ServeBuffer(gw_conn_t* conn, const char* data, size_t len, std::vector<char>* out) {
  gw_reader_t* saved = conn->reader;
  std::vector<char>* savedSink = conn->sink;
  conn->reader = gw_ReaderCreateMem(data, len);
  if (!conn->reader) {
    conn->reader = saved;
    return 0;
  }
  conn->sink = out;
  size_t served = 0;
  while (serve_one(conn) == 0) served++;
  release_session(conn);
  conn->hasPending = 0;
  gw_ReaderFree(conn->reader);
  conn->reader = saved;
  conn->sink = savedSink;
  return served;
}
