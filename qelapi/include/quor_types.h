// Base types shared by the client library, its codecs and both programs,
// and the records the storage API calls take and return. C and C++.
#ifndef QUOR_TYPES_H
#define QUOR_TYPES_H

#include <pthread.h>
#include <stdint.h>
#include <sys/types.h>

#include "quor_net.h"

// An enumeration that travels as a signed 32-bit word. Its base type is
// fixed where the language allows it (C++, C23), so that any word a peer
// sends is a value of the type; in C11 it is an int-sized enum.
#if defined(__cplusplus) || (defined(__STDC_VERSION__) && __STDC_VERSION__ >= 202311L)
#define QUOR_ENUM_INT32 : int32_t
#else
#define QUOR_ENUM_INT32
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef uint64_t u_signed64;
typedef uint32_t unsigned32;
typedef int32_t signed32;
typedef uint16_t unsigned16;
typedef uint8_t byte;
typedef uint32_t acct_rec_t;
typedef uint32_t quor_srvr_id_t;
typedef uint32_t quor_id_t;
typedef uint32_t timestamp_sec_t;
typedef uint16_t quor_distributionkey_t;

// 16 bytes in memory, in field order.
typedef struct quor_uuid {
  uint32_t time_low;
  uint16_t time_mid;
  uint16_t time_hi_and_version;
  uint8_t clock_seq_hi_and_reserved;
  uint8_t clock_seq_low;
  uint8_t node[6];
} quor_uuid_t;

// A request id names one transfer to the data movers.
typedef quor_uuid_t quor_reqid_t;

#define QUOROID_LEN 19
// 19 big-endian bytes: system id, object type, server id, clock, clock sequence.
typedef struct quoroid_s {
  uint8_t Bytes[QUOROID_LEN];
} quoroid_t;

// The object type byte of a quoroid_t; 1 to 9 are valid in an id.
typedef enum QUOR_ENUM_INT32 {
  quor_obj_type_invalid = 0,
  quor_obj_type_namespace = 1,
  quor_obj_type_junction = 2,
  quor_obj_type_volume_disk = 3,
  quor_obj_type_volume_tape = 4,
  quor_obj_type_segment_disk = 5,
  quor_obj_type_segment_tape = 6,
  quor_obj_type_bitfile = 7,
  quor_obj_type_unused0 = 8,
  quor_obj_type_session_handle = 9,
  quor_obj_type_max = 10,
} quor_obj_type_t;

// ---- Storage object records ----
// Plain records in the order the gateway sends them unless a record says
// otherwise. Character arrays named as bounded strings hold at most their
// size minus one characters.

typedef u_signed64 quor_fileattrbits_t;   // which attributes a set call changes
typedef quor_fileattrbits_t quor_AttrBits_t;  // the same mask under its other name
typedef u_signed64 ns_FilesetAttrBits_t;  // which fileset attributes to fetch

typedef struct ns_ObjHandle {
  u_signed64 ObjId;
  unsigned16 ObjNsHash;
  u_signed64 FileId;
  unsigned16 FileNsHash;
  byte Type;
  byte Flags;
  u_signed64 Generation;
  unsigned32 CoreServerId;
} ns_ObjHandle_t;

typedef struct bfs_bitfile_obj_handle {
  quoroid_t BfId;
  unsigned16 BfHash;
  unsigned32 ValidHash;
} bfs_bitfile_obj_handle_t;

#define QUOR_TRASH_PATH_LEN 2048
#define QUOR_OBJ_NAME_LEN 256

typedef struct quor_TrashRecord {
  u_signed64 ParentId;
  unsigned16 ParentNsHash;
  ns_ObjHandle_t Handle;
  unsigned32 UID;
  unsigned32 RealmId;
  timestamp_sec_t TimeDeleted;
  timestamp_sec_t TimeCreated;
  timestamp_sec_t TimeLastRead;
  timestamp_sec_t TimeModified;
  u_signed64 LengthAtDeleteTime;
  quoroid_t BitfileId;
  unsigned16 BitfileHash;
  char Path[QUOR_TRASH_PATH_LEN];
  char Name[QUOR_OBJ_NAME_LEN];
} quor_TrashRecord_t;

#define QUOR_COMMENT_LEN 256

typedef struct quor_Attrs {
  acct_rec_t Account;
  bfs_bitfile_obj_handle_t BitfileObj;
  char Comment[QUOR_COMMENT_LEN];
  unsigned32 CompositePerms;
  unsigned32 COSId;
  u_signed64 DataLength;
  unsigned32 EntryCount;
  unsigned32 ExtendedACLs;
  unsigned32 FamilyId;
  ns_ObjHandle_t FilesetHandle;
  u_signed64 FilesetId;
  u_signed64 FilesetRootObjectId;
  unsigned32 FilesetStateFlags;
  unsigned32 FilesetType;
  unsigned32 GID;
  unsigned32 GroupPerms;
  unsigned32 LinkCount;
  unsigned32 ModePerms;
  unsigned32 OpenCount;
  unsigned32 OptionFlags;
  unsigned32 OtherPerms;
  unsigned32 ReadCount;
  unsigned32 RealmId;
  u_signed64 RegisterBitMap;
  unsigned32 SubSystemId;
  timestamp_sec_t TimeCreated;
  timestamp_sec_t TimeLastRead;
  timestamp_sec_t TimeLastWritten;
  timestamp_sec_t TimeModified;
  quor_TrashRecord_t TrashInfo;
  unsigned32 Type;
  unsigned32 UID;
  unsigned32 UserPerms;
  unsigned32 WriteCount;
} quor_Attrs_t;

typedef struct quor_fileattr {
  ns_ObjHandle_t ObjectHandle;
  quor_Attrs_t Attrs;
} quor_fileattr_t;

#define QUOR_PV_NAME_LEN 12

typedef struct pv_list_element {
  char Name[QUOR_PV_NAME_LEN];  // volume label, not terminated when 12 long
  unsigned32 Flags;
} pv_list_element_t;

typedef struct pv_list {
  unsigned32 List_len;
  pv_list_element_t* List_val;
} pv_list_t;

typedef struct bf_vv_attrib {
  quoroid_t VVID;
  signed32 RelPosition;
  u_signed64 RelPositionOffset;
  u_signed64 BytesOnVV;
  pv_list_t* PVList;  // allocated by the decoder; null when empty
} bf_vv_attrib_t;

#define QUOR_MAX_LEVEL_VVS 10  // volume entries one storage level holds
#define QUOR_MAX_LEVELS 5      // storage levels of a hierarchy

typedef struct bf_sc_attrib {
  bf_vv_attrib_t VVAttrib[QUOR_MAX_LEVEL_VVS];
  unsigned32 NumberOfVVs;
  u_signed64 BytesAtLevel;
  unsigned32 OptimumAccessSize;
  unsigned32 StripeWidth;
  u_signed64 StripeLength;
  unsigned32 Flags;
} bf_sc_attrib_t;

typedef struct quor_xfileattr {
  ns_ObjHandle_t ObjectHandle;
  quor_Attrs_t Attrs;
  bf_sc_attrib_t SCAttrib[QUOR_MAX_LEVELS];
} quor_xfileattr_t;

typedef struct quor_stat {
  unsigned32 st_dev;
  u_signed64 st_ino;
  unsigned16 st_nlink;
  unsigned16 st_flag;
  unsigned32 st_uid;
  unsigned32 st_gid;
  unsigned32 st_rdev;
  u_signed64 st_ssize;
  timestamp_sec_t quor_st_atime;
  timestamp_sec_t quor_st_mtime;
  timestamp_sec_t quor_st_ctime;
  timestamp_sec_t quor_st_birthtime;  // kept locally, never sent
  unsigned32 st_blksize;
  unsigned32 st_blocks;
  signed32 st_vfstype;
  unsigned32 st_vfs;
  unsigned32 st_type;
  unsigned32 st_gen;
  u_signed64 st_size;
  unsigned32 st_mode;  // the platform's mode word as it stands
} quor_stat_t;

typedef struct ns_DirEntry {
  char Name[QUOR_OBJ_NAME_LEN];
  ns_ObjHandle_t ObjHandle;
  u_signed64 ObjOffset;
  quor_Attrs_t Attrs;
} ns_DirEntry_t;

typedef struct quor_dirent {
  u_signed64 d_offset;
  ns_ObjHandle_t d_handle;
  unsigned16 d_reclen;
  unsigned16 d_namelen;
  char d_name[QUOR_OBJ_NAME_LEN];
} quor_dirent_t;

// Digest algorithms; the gateway sends the number as a signed word.
typedef enum QUOR_ENUM_INT32 {
  QUOR_HASH_NONE = 0,
  QUOR_HASH_SHA1 = 1,
  QUOR_HASH_SHA224 = 2,
  QUOR_HASH_SHA256 = 3,
  QUOR_HASH_SHA384 = 4,
  QUOR_HASH_SHA512 = 5,
  QUOR_HASH_MD5 = 6,
  QUOR_HASH_CRC32 = 7,
  QUOR_HASH_ADLER32 = 8,
  QUOR_HASH_ECMA319 = 9,
  QUOR_HASH_CRC32C = 10,
} quor_hash_type_t;

#define QUOR_COS_NAME_LEN 32

typedef struct quor_cos_md {
  unsigned32 COSId;
  unsigned32 HierId;
  char COSName[QUOR_COS_NAME_LEN];
  unsigned32 OptimumAccessSize;
  unsigned32 Flags;
  u_signed64 MinFileSize;
  u_signed64 MaxFileSize;
  unsigned32 AccessFrequency;
  unsigned32 TransferRate;
  unsigned32 AvgLatency;
  unsigned32 WriteOps;
  unsigned32 ReadOps;
  unsigned32 StageCode;
  unsigned32 AllocMethod;
  quor_hash_type_t FileHashType;
  unsigned32 MigrOrder;  // kept locally, never sent
} quor_cos_md_t;

typedef struct quor_cos_hints {
  unsigned32 COSId;
  char COSName[QUOR_COS_NAME_LEN];
  unsigned32 Flags;
  u_signed64 OptimumAccessSize;
  u_signed64 MinFileSize;
  u_signed64 MaxFileSize;
  unsigned32 AccessFrequency;
  unsigned32 TransferRate;
  unsigned32 AvgLatency;
  unsigned32 WriteOps;
  unsigned32 ReadOps;
  unsigned32 StageCode;
  unsigned32 StripeWidth;
  u_signed64 StripeLength;
  unsigned32 FamilyId;
} quor_cos_hints_t;

typedef struct quor_cos_priorities {
  unsigned32 COSIdPriority;
  unsigned32 COSNamePriority;
  unsigned32 OptimumAccessSizePriority;
  unsigned32 MinFileSizePriority;
  unsigned32 MaxFileSizePriority;
  unsigned32 AccessFrequencyPriority;
  unsigned32 TransferRatePriority;
  unsigned32 AvgLatencyPriority;
  unsigned32 WriteOpsPriority;
  unsigned32 ReadOpsPriority;
  unsigned32 StageCodePriority;
  unsigned32 StripeWidthPriority;
  unsigned32 StripeLengthPriority;
  unsigned32 FamilyIdPriority;
} quor_cos_priorities_t;

#define QUOR_FILESET_NAME_LEN 128
#define QUOR_FILESET_USERDATA_LEN 128
#define QUOR_JUNCTION_PATH_LEN 1024

typedef struct ns_FilesetAttrs {
  u_signed64 RegisterBitMap;
  u_signed64 ChangedRegisterBitMap;
  unsigned32 ClassOfService;
  unsigned32 FamilyId;
  ns_ObjHandle_t FilesetHandle;
  u_signed64 FilesetId;
  char FilesetName[QUOR_FILESET_NAME_LEN];
  unsigned32 FilesetType;
  unsigned32 StateFlags;
  unsigned32 SubSystemId;
  char UserData[QUOR_FILESET_USERDATA_LEN];
  u_signed64 DirectoryCount;
  u_signed64 FileCount;
  u_signed64 HardLinkCount;
  u_signed64 JunctionCount;
  u_signed64 SymLinkCount;
} ns_FilesetAttrs_t;

typedef struct quor_junction_ent {
  ns_ObjHandle_t FilesetHandle;
  char JunctionPathName[QUOR_JUNCTION_PATH_LEN];
  ns_ObjHandle_t JunctionHandle;
} quor_junction_ent_t;

typedef struct quor_global_fsent {
  u_signed64 FilesetId;
  char FilesetName[QUOR_FILESET_NAME_LEN];
  unsigned32 CoreServerId;
} quor_global_fsent_t;

#define QUOR_ACCT_NAME_MAX 128  // longest account name

typedef struct acct_list {
  acct_rec_t accountId;
  char acctName[QUOR_ACCT_NAME_MAX + 1];
} acct_list_t;

typedef struct subsys_stats {
  unsigned32 StageCount;
  unsigned32 MigrationCount;
  unsigned32 PurgeCount;
  unsigned32 DeleteCount;
  timestamp_sec_t TimeLastReset;
  unsigned32 COSChangeThreadCount;
} subsys_stats_t;

typedef enum QUOR_ENUM_INT32 {
  NS_NAMESPEC_SKIP = 0,
  NS_NAMESPEC_REALM = 1,
  NS_NAMESPEC_USER = 2,
  NS_NAMESPEC_GROUP = 3,
} namespec_type_t;

#define QUOR_NAMESPEC_NAME_LEN 128
#define QUOR_NAMESPEC_REALM_LEN 256

typedef struct api_namespec {
  namespec_type_t Type;
  unsigned32 Id;
  unsigned32 RealmId;
  char Name[QUOR_NAMESPEC_NAME_LEN];
  char RealmName[QUOR_NAMESPEC_REALM_LEN];
} api_namespec_t;

// Where the storage service reports a finished stage; all zeros: no report.
typedef struct bfs_callback_addr {
  quor_sockaddr_t sockaddr;
  quor_reqid_t id;
} bfs_callback_addr_t;

// The report of a finished stage, read bare from the callback socket.
typedef struct bfs_callback_ret_msg {
  quor_reqid_t reqid;
  signed32 retcode;
  bfs_bitfile_obj_handle_t bfobj;
} bfs_callback_ret_msg_t;


// ---- Digests stored with a file ----

typedef uint32_t quor_file_hash_flags_t;
#define QUOR_FILE_HASH_DIGEST_VALID 1u
#define QUOR_FILE_HASH_SET_BY_USER 2u
#define QUOR_FILE_HASH_MIGRATE_VERIFIED 4u
#define QUOR_FILE_HASH_SKIP_VERIFICATION 8u
#define QUOR_FILE_HASH_GENERATED 16u
#define QUOR_FILE_HASH_DIGEST_ACTIVE 32u

#define QUOR_FILE_HASH_CREATOR_LEN 16
#define QUOR_FILE_HASH_BUFFER_LEN 64

typedef struct quor_file_hash_digest {
  quor_file_hash_flags_t Flags;
  char Creator[QUOR_FILE_HASH_CREATOR_LEN];
  timestamp_sec_t ModifyTime;
  quor_hash_type_t Type;
  unsigned char Buffer[QUOR_FILE_HASH_BUFFER_LEN];  // always sent whole
} quor_file_hash_digest_t;

typedef struct quor_file_hash_digest_list {
  uint32_t List_len;
  quor_file_hash_digest_t* List_val;
} quor_file_hash_digest_list_t;

// ---- Site information and the client-API configuration ----

// The gateway's site information, received when a connection opens; 34
// words on the wire.
typedef struct quor_site_info {
  uint32_t server_flags;
  uint32_t server_runmode;
  uint32_t sv_major;
  uint32_t sv_minor;
  uint32_t sv_patch;
  uint32_t sv_prot_major;
  uint32_t sv_prot_minor;
  uint32_t quor_level;
  uint32_t site_quor_flags;
  uint32_t quor_patch_flags;
  uint32_t auth_flags;
  uint32_t auth_crypto_card;
  uint32_t encryption_methods;
  uint32_t port_min;
  uint32_t port_max;
  uint32_t realm_id;
  uint32_t authz_flags;
  uint32_t authz_rsrved1;
  uint32_t authz_rsrved2;
  uint32_t accounting_style;
  uint32_t acct_validation_flag;
  int32_t max_bg_stages;
  uint32_t max_mbytes_per_iod;
  uint32_t app_copies;
  uint32_t rootUid;
  uint32_t umask;
  uint32_t max_bg_vvs;
  uint32_t bg_stage_flags;
  uint32_t startupCOS;
  uint32_t future5;
  uint32_t future6;
  uint32_t future7;
  uint32_t future8;
  uint32_t future9;
} quor_site_info_t;

typedef enum quor_authn_mech QUOR_ENUM_INT32 {
  quor_authn_mech_invalid = 0,
  quor_authn_mech_krb5 = 1,
  quor_authn_mech_unix = 2,
  quor_authn_mech_gsi = 3,
  quor_authn_mech_spkm = 4,
} quor_authn_mech_t;

typedef enum quor_rpc_prot_level QUOR_ENUM_INT32 {
  quor_rpc_prot_connect = 1,
  quor_rpc_prot_pkt = 2,
  quor_rpc_prot_pkt_integ = 3,
  quor_rpc_prot_pkt_privacy = 4,
} quor_rpc_prot_level_t;

#define API_CONFIG_DESCNAME_LEN 32
#define API_CONFIG_APPLICATION_LEN 256
#define API_CONFIG_DEBUGPATH_LEN 1024
#define API_CONFIG_HOSTNAME_LEN 64

// Application is kept locally and never sent.
typedef struct api_config {
  uint32_t Flags;
  int32_t DebugValue;
  int32_t TransferType;
  int32_t NumRetries;
  int32_t BusyDelay;
  int32_t BusyRetries;
  int32_t TotalDelay;
  int32_t LimitedRetries;
  int32_t MaxConnections;
  int32_t ReuseDataConnections;
  int32_t UsePortRange;
  int32_t RetryStageInp;
  int32_t DMAPWriteUpdates;
  quor_authn_mech_t AuthnMech;
  quor_rpc_prot_level_t RPCProtLevel;
  char DescName[API_CONFIG_DESCNAME_LEN];
  char Application[API_CONFIG_APPLICATION_LEN];
  char DebugPath[API_CONFIG_DEBUGPATH_LEN];
  char HostName[API_CONFIG_HOSTNAME_LEN];
  uint32_t XMLSize;
} api_config_t;

// ---- Classes of service and the transfer-concurrency table ----

typedef struct cos_list_entry {
  uint32_t flags;  // 0x1/0x2/0x4 unavailable to uid/gid/account, 0x8 never automatic
  quor_cos_md_t cos_entry;
  uint32_t copies;
  uint32_t media_type;
  uint32_t media_subtype;
  int32_t subsys_count;
  int64_t* subsys_id_list;  // subsys_count ids; the low 32 bits travel
} cos_list_entry_t;

typedef struct cos_namelist_entry {
  uint32_t count;
  uint32_t* cosEntries;
} cos_namelist_entry_t;

// One size class of the transfer-concurrency table. The members after
// max_size are the shell's queue state and are never sent.
typedef struct xfer_size_to_count {
  int32_t cfg_line_num;
  int32_t max_xfers;
  uint64_t min_size;
  uint64_t max_size;  // 0: no upper bound
  int32_t active_xfers;
  int32_t queued_xfers;
  struct sized_xfer_queue* xfers_head;
  struct sized_xfer_queue* xfers_tail;
  pthread_t dequeueThread;
} xfer_size_to_count_t;

// ---- lfx: files of the gateway host's own file system ----

#define OZU_LFX_PATH_SIZE 4097  // path arrays
#define OZU_LFX_PATH_MAX 4096   // wire bound with the NUL: at most 4095 characters
#define OZU_LFX_FILENAME_SIZE 256  // readattrs entry names
#define OZU_LFX_GETCWD_MAX 1024
#define OZU_CKSUM_SIZE 1024

// Flags of the transfer description and its answer that shape the wire form.
#define OZU_XFER_INIT_CKSUM 0x20u       // description: a checksum follows gid
#define OZU_XFER_REPLY_CKSUM 0x1u       // answer: a checksum follows addressCount
#define OZU_XFER_INLINE_DATA 0x80000000u  // the file's data follow the record

typedef struct ozu_cksum {
  uint32_t csumType;
  uint32_t csumLength;  // bytes of cksum in use, at most OZU_CKSUM_SIZE
  unsigned char cksum[OZU_CKSUM_SIZE];
} ozu_cksum_t;

// One data address; also a node of the shell's socket pool (next is not sent).
typedef struct ozu_sockaddr_info {
  struct ozu_sockaddr_info* next;
  uint8_t addressType;
  uint8_t preConnected;
  uint32_t poolID;
  int32_t socketFD;
  quor_sockaddr_t socketAddr;
} ozu_sockaddr_info_t;

typedef struct ozu_xfer_init_info {
  uint32_t flags;
  uint8_t xferOperation;
  char drive;
  char pathName[OZU_LFX_PATH_SIZE];
  int64_t fileSize;
  uint64_t srcOffset;
  uint64_t sinkOffset;
  uint64_t xferLength;
  uint32_t bufSize;
  uint32_t mode;  // plain word, not the portable layout
  uint32_t uid;
  uint32_t gid;
  ozu_cksum_t fileCksum;  // sent after gid when flags has OZU_XFER_INIT_CKSUM
  int32_t addressCount;
  ozu_sockaddr_info_t* addressList;  // addressCount elements
  uint32_t reserved1, reserved2, reserved3, reserved4, reserved5;
  uint32_t reserved6, reserved7, reserved8, reserved9, reserved10;
  char* fileData;  // xferLength bytes when flags has OZU_XFER_INLINE_DATA
} ozu_xfer_init_info_t;

typedef struct ozu_xfer_init_reply {
  uint32_t flags;
  uint32_t xferSerialNum;
  ozu_cksum_t fileCksum;  // sent after addressCount when flags has OZU_XFER_REPLY_CKSUM
  int32_t addressCount;
  ozu_sockaddr_info_t* addressList;
  int32_t xferStatus;
  uint64_t fileSize;
  uint32_t reserved1, reserved2, reserved3, reserved4, reserved5;
  char* fileData;  // fileSize bytes when flags has OZU_XFER_INLINE_DATA
} ozu_xfer_init_reply_t;

typedef struct ozu_xfer_complete {
  uint32_t flags;
  uint32_t xferSerialNum;
  int32_t xferStatus;
  uint64_t bytesXferred;
} ozu_xfer_complete_t;

// The gateway's stat; times travel as 32-bit seconds.
typedef struct ozu_lfx_stat {
  uint32_t hst_mode;  // interchange mode word
  uint32_t hst_nlink;
  uint32_t hst_uid;
  uint32_t hst_gid;
  int64_t hst_mtime;
  int64_t hst_atime;
  int64_t hst_ctime;
  uint64_t hst_size;
} ozu_lfx_stat_t;

typedef struct ozu_lfx_attrs {
  char Filename[OZU_LFX_FILENAME_SIZE];
  ozu_lfx_stat_t LfxAttrs;
} ozu_lfx_attrs_t;

#ifdef __cplusplus
}
#endif

#endif
