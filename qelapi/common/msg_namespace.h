// Core storage API messages of the namespace (category QEL_CAT_CORE):
// directories, links, names, attributes, filesets and junctions. One request
// and one reply record per call, each with its codec; calls whose request or
// reply has no body have no record for it. Paths are XDR strings of at most
// QEL_NS_PATH_MAX bytes. Replies that decode into the caller's memory (Stat,
// Lstat, ReadAttrs) are set up by the caller before decoding, and releasing
// them never frees that memory.
#ifndef MSG_NAMESPACE_H
#define MSG_NAMESPACE_H

#include "qel_xdr.h"
#include "quor_api_msgdefs.h"
#include "quor_types.h"
#include "xdr_objects.h"

#define QEL_FN_CORE_Chdir 0x0302
#define QEL_FN_CORE_Chmod 0x0304
#define QEL_FN_CORE_Chown 0x0305
#define QEL_FN_CORE_Closedir 0x0309
#define QEL_FN_CORE_ConvertIdsToNames 0x030A
#define QEL_FN_CORE_ConvertNamesToIds 0x030B
#define QEL_FN_CORE_FileGetAttributes 0x0602
#define QEL_FN_CORE_FileGetXAttributes 0x0603
#define QEL_FN_CORE_FileSetAttributes 0x0604
#define QEL_FN_CORE_FilesetGetAttrs 0x0607
#define QEL_FN_CORE_FilesetListAll 0x0608
#define QEL_FN_CORE_Getcwd 0x0707
#define QEL_FN_CORE_GetJunctions 0x0708
#define QEL_FN_CORE_GetListAttrs 0x0709
#define QEL_FN_CORE_Link 0x0C00
#define QEL_FN_CORE_Lstat 0x0C04
#define QEL_FN_CORE_Mkdir 0x0D01
#define QEL_FN_CORE_Opendir 0x0F02
#define QEL_FN_CORE_ReadAttrs 0x1201
#define QEL_FN_CORE_Readdir 0x1203
#define QEL_FN_CORE_Readlink 0x1205
#define QEL_FN_CORE_Rename 0x1208
#define QEL_FN_CORE_Rmdir 0x120B
#define QEL_FN_CORE_Stat 0x1309
#define QEL_FN_CORE_Symlink 0x130C
#define QEL_FN_CORE_Umask 0x1500
#define QEL_FN_CORE_Utime 0x1501
#define QEL_FN_CORE_Unlink 0x1502

#define QEL_NS_PATH_MAX 1024

// Requests that carry one path.
typedef struct api_quor_ns_path_req {
  char* Path;
} api_quor_ns_path_req_t;
typedef api_quor_ns_path_req_t api_quor_Chdir_req_t;
typedef api_quor_ns_path_req_t api_quor_FileGetAttributes_req_t;
typedef api_quor_ns_path_req_t api_quor_GetListAttrs_req_t;
typedef api_quor_ns_path_req_t api_quor_Lstat_req_t;
typedef api_quor_ns_path_req_t api_quor_Readlink_req_t;
typedef api_quor_ns_path_req_t api_quor_Rmdir_req_t;
typedef api_quor_ns_path_req_t api_quor_Stat_req_t;
typedef api_quor_ns_path_req_t api_quor_Unlink_req_t;

typedef struct api_quor_Chmod_req {
  char* Path;
  mode_t Mode;
} api_quor_Chmod_req_t;
typedef api_quor_Chmod_req_t api_quor_Mkdir_req_t;

typedef struct api_quor_Chown_req {
  char* Path;
  uid_t Owner;
  gid_t Group;
} api_quor_Chown_req_t;

typedef struct api_quor_Closedir_req {
  int32_t Dirdes;
} api_quor_Closedir_req_t;

// Both conversions, both directions: NumEntries names or ids. Decoding
// allocates Specs (null when NumEntries is 0); a negative count is refused.
typedef struct api_quor_ns_namespecs {
  int32_t NumEntries;
  api_namespec_t* Specs;
} api_quor_ns_namespecs_t;
typedef api_quor_ns_namespecs_t api_quor_ConvertIdsToNames_req_t;
typedef api_quor_ns_namespecs_t api_quor_ConvertIdsToNames_rply_t;
typedef api_quor_ns_namespecs_t api_quor_ConvertNamesToIds_req_t;
typedef api_quor_ns_namespecs_t api_quor_ConvertNamesToIds_rply_t;

typedef struct api_quor_ns_fileattr_rply {
  quor_fileattr_t AttrOut;
} api_quor_ns_fileattr_rply_t;
typedef api_quor_ns_fileattr_rply_t api_quor_FileGetAttributes_rply_t;
typedef api_quor_ns_fileattr_rply_t api_quor_FileSetAttributes_rply_t;

typedef struct api_quor_FileGetXAttributes_req {
  char* Path;
  unsigned32 Flags;
  unsigned32 StorageLevel;
} api_quor_FileGetXAttributes_req_t;

// Releasing frees the volume lists of every level.
typedef struct api_quor_FileGetXAttributes_rply {
  quor_xfileattr_t AttrOut;
} api_quor_FileGetXAttributes_rply_t;

typedef struct api_quor_FileSetAttributes_req {
  char* Path;
  quor_fileattrbits_t SelFlags;
  quor_fileattr_t AttrIn;
} api_quor_FileSetAttributes_req_t;

// Each value goes only when its use flag is non-zero; FilesetAttrBits always.
typedef struct api_quor_FilesetGetAttrs_req {
  int32_t useName;
  int32_t useID;
  int32_t useHandle;
  int32_t useSrvrID;
  char Name[QUOR_FILESET_NAME_LEN];
  u_signed64 FilesetId;
  ns_ObjHandle_t FilesetHandle;
  quor_srvr_id_t CoreServerID;
  ns_FilesetAttrBits_t FilesetAttrBits;
} api_quor_FilesetGetAttrs_req_t;

typedef struct api_quor_FilesetGetAttrs_rply {
  ns_FilesetAttrs_t FilesetAttrs;
} api_quor_FilesetGetAttrs_rply_t;

typedef struct api_quor_FilesetListAll_req {
  u_signed64 OffsetIn;
  unsigned32 Entries;
} api_quor_FilesetListAll_req_t;

// Decoding allocates FSentPtr (null when entryCount is 0).
typedef struct api_quor_FilesetListAll_rply {
  unsigned32 entryCount;
  u_signed64 OffsetOut;
  unsigned32 End;
  quor_global_fsent_t* FSentPtr;
} api_quor_FilesetListAll_rply_t;

// Decoding allocates Buf when it is null.
typedef struct api_quor_Getcwd_rply {
  char* Buf;
} api_quor_Getcwd_rply_t;

typedef struct api_quor_GetJunctions_req {
  unsigned32 SubsystemID;
  u_signed64 OffsetIn;
  unsigned32 Entries;
} api_quor_GetJunctions_req_t;

// Decoding allocates JentPtr (null when entryCount is 0).
typedef struct api_quor_GetJunctions_rply {
  unsigned32 entryCount;
  u_signed64 OffsetOut;
  unsigned32 End;
  quor_junction_ent_t* JentPtr;
} api_quor_GetJunctions_rply_t;

typedef struct api_quor_GetListAttrs_rply {
  quor_Attrs_t AttrOut;
} api_quor_GetListAttrs_rply_t;

typedef struct api_quor_Link_req {
  char* Existing;
  char* New;
} api_quor_Link_req_t;

// The caller points StatBuf at its own record before decoding.
typedef struct api_quor_ns_stat_rply {
  quor_stat_t* StatBuf;
} api_quor_ns_stat_rply_t;
typedef api_quor_ns_stat_rply_t api_quor_Stat_rply_t;
typedef api_quor_ns_stat_rply_t api_quor_Lstat_rply_t;

typedef struct api_quor_Opendir_req {
  char* DirName;
} api_quor_Opendir_req_t;

typedef struct api_quor_ReadAttrs_req {
  int32_t Dirdes;
  u_signed64 OffsetIn;
  unsigned32 EntryCount;
  unsigned32 GetAttributes;
} api_quor_ReadAttrs_req_t;

// The caller points Dirent at its own array and sets DirentCapacity (not
// sent) to the EntryCount it asked for; entries a reply has beyond that are
// read past and dropped, never written past the array, and entryCount says
// how many the array got.
typedef struct api_quor_ReadAttrs_rply {
  unsigned32 entryCount;
  unsigned32 End;
  u_signed64 OffsetOut;
  ns_DirEntry_t* Dirent;
  unsigned32 DirentCapacity;
} api_quor_ReadAttrs_rply_t;

typedef struct api_quor_Readdir_req {
  int32_t DirDes;
} api_quor_Readdir_req_t;

typedef struct api_quor_Readdir_rply {
  quor_dirent_t DirentOut;
} api_quor_Readdir_rply_t;

// Decoding allocates Contents when it is null.
typedef struct api_quor_Readlink_rply {
  char* Contents;
} api_quor_Readlink_rply_t;

typedef struct api_quor_Rename_req {
  char* Old;
  char* New;
} api_quor_Rename_req_t;

typedef struct api_quor_Symlink_req {
  char* Path;      // the new link
  char* Contents;  // what it points to
} api_quor_Symlink_req_t;

typedef struct api_quor_Umask_req {
  mode_t CMask;
} api_quor_Umask_req_t;

typedef struct api_quor_Umask_rply {
  mode_t OMask;
} api_quor_Umask_rply_t;

typedef struct api_quor_Utime_req {
  char* Path;
  struct utimbuf Times;
} api_quor_Utime_req_t;

bool_t qel_xdr_api_quor_Chdir_req_t(XDR* xdrs, api_quor_Chdir_req_t* objp);
bool_t qel_xdr_api_quor_Chmod_req_t(XDR* xdrs, api_quor_Chmod_req_t* objp);
bool_t qel_xdr_api_quor_Chown_req_t(XDR* xdrs, api_quor_Chown_req_t* objp);
bool_t qel_xdr_api_quor_Closedir_req_t(XDR* xdrs, api_quor_Closedir_req_t* objp);
bool_t qel_xdr_api_quor_ConvertIdsToNames_req_t(XDR* xdrs, api_quor_ConvertIdsToNames_req_t* objp);
bool_t qel_xdr_api_quor_ConvertIdsToNames_rply_t(XDR* xdrs,
                                                 api_quor_ConvertIdsToNames_rply_t* objp);
bool_t qel_xdr_api_quor_ConvertNamesToIds_req_t(XDR* xdrs, api_quor_ConvertNamesToIds_req_t* objp);
bool_t qel_xdr_api_quor_ConvertNamesToIds_rply_t(XDR* xdrs,
                                                 api_quor_ConvertNamesToIds_rply_t* objp);
bool_t qel_xdr_api_quor_FileGetAttributes_req_t(XDR* xdrs, api_quor_FileGetAttributes_req_t* objp);
bool_t qel_xdr_api_quor_FileGetAttributes_rply_t(XDR* xdrs,
                                                 api_quor_FileGetAttributes_rply_t* objp);
bool_t qel_xdr_api_quor_FileGetXAttributes_req_t(XDR* xdrs,
                                                 api_quor_FileGetXAttributes_req_t* objp);
bool_t qel_xdr_api_quor_FileGetXAttributes_rply_t(XDR* xdrs,
                                                  api_quor_FileGetXAttributes_rply_t* objp);
bool_t qel_xdr_api_quor_FileSetAttributes_req_t(XDR* xdrs, api_quor_FileSetAttributes_req_t* objp);
bool_t qel_xdr_api_quor_FileSetAttributes_rply_t(XDR* xdrs,
                                                 api_quor_FileSetAttributes_rply_t* objp);
bool_t qel_xdr_api_quor_FilesetGetAttrs_req_t(XDR* xdrs, api_quor_FilesetGetAttrs_req_t* objp);
bool_t qel_xdr_api_quor_FilesetGetAttrs_rply_t(XDR* xdrs, api_quor_FilesetGetAttrs_rply_t* objp);
bool_t qel_xdr_api_quor_FilesetListAll_req_t(XDR* xdrs, api_quor_FilesetListAll_req_t* objp);
bool_t qel_xdr_api_quor_FilesetListAll_rply_t(XDR* xdrs, api_quor_FilesetListAll_rply_t* objp);
bool_t qel_xdr_api_quor_Getcwd_rply_t(XDR* xdrs, api_quor_Getcwd_rply_t* objp);
bool_t qel_xdr_api_quor_GetJunctions_req_t(XDR* xdrs, api_quor_GetJunctions_req_t* objp);
bool_t qel_xdr_api_quor_GetJunctions_rply_t(XDR* xdrs, api_quor_GetJunctions_rply_t* objp);
bool_t qel_xdr_api_quor_GetListAttrs_req_t(XDR* xdrs, api_quor_GetListAttrs_req_t* objp);
bool_t qel_xdr_api_quor_GetListAttrs_rply_t(XDR* xdrs, api_quor_GetListAttrs_rply_t* objp);
bool_t qel_xdr_api_quor_Link_req_t(XDR* xdrs, api_quor_Link_req_t* objp);
bool_t qel_xdr_api_quor_Lstat_req_t(XDR* xdrs, api_quor_Lstat_req_t* objp);
bool_t qel_xdr_api_quor_Lstat_rply_t(XDR* xdrs, api_quor_Lstat_rply_t* objp);
bool_t qel_xdr_api_quor_Mkdir_req_t(XDR* xdrs, api_quor_Mkdir_req_t* objp);
bool_t qel_xdr_api_quor_Opendir_req_t(XDR* xdrs, api_quor_Opendir_req_t* objp);
bool_t qel_xdr_api_quor_ReadAttrs_req_t(XDR* xdrs, api_quor_ReadAttrs_req_t* objp);
bool_t qel_xdr_api_quor_ReadAttrs_rply_t(XDR* xdrs, api_quor_ReadAttrs_rply_t* objp);
bool_t qel_xdr_api_quor_Readdir_req_t(XDR* xdrs, api_quor_Readdir_req_t* objp);
bool_t qel_xdr_api_quor_Readdir_rply_t(XDR* xdrs, api_quor_Readdir_rply_t* objp);
bool_t qel_xdr_api_quor_Readlink_req_t(XDR* xdrs, api_quor_Readlink_req_t* objp);
bool_t qel_xdr_api_quor_Readlink_rply_t(XDR* xdrs, api_quor_Readlink_rply_t* objp);
bool_t qel_xdr_api_quor_Rename_req_t(XDR* xdrs, api_quor_Rename_req_t* objp);
bool_t qel_xdr_api_quor_Rmdir_req_t(XDR* xdrs, api_quor_Rmdir_req_t* objp);
bool_t qel_xdr_api_quor_Stat_req_t(XDR* xdrs, api_quor_Stat_req_t* objp);
bool_t qel_xdr_api_quor_Stat_rply_t(XDR* xdrs, api_quor_Stat_rply_t* objp);
bool_t qel_xdr_api_quor_Symlink_req_t(XDR* xdrs, api_quor_Symlink_req_t* objp);
bool_t qel_xdr_api_quor_Umask_req_t(XDR* xdrs, api_quor_Umask_req_t* objp);
bool_t qel_xdr_api_quor_Umask_rply_t(XDR* xdrs, api_quor_Umask_rply_t* objp);
bool_t qel_xdr_api_quor_Utime_req_t(XDR* xdrs, api_quor_Utime_req_t* objp);
bool_t qel_xdr_api_quor_Unlink_req_t(XDR* xdrs, api_quor_Unlink_req_t* objp);

#endif
