// Codecs of the storage object records: handles, attributes and their
// placement on the storage levels, stat and directory entries, classes of
// service, filesets, accounts, statistics, name conversions and the stage
// callback records. Each encodes, decodes and releases (xdr_free) with the
// same routine and returns 1 or 0. Decoders refuse counts that would overrun
// an in-memory array (more than QUOR_MAX_LEVEL_VVS volumes on a level).
#ifndef XDR_OBJECTS_H
#define XDR_OBJECTS_H

#include "qel_xdr.h"
#include "quor_types.h"

bool_t qel_xdr_ns_ObjHandle_t(XDR* xdrs, ns_ObjHandle_t* objp);
bool_t qel_xdr_bfs_bitfile_obj_handle_t(XDR* xdrs, bfs_bitfile_obj_handle_t* objp);
bool_t qel_xdr_quor_TrashRecord_t(XDR* xdrs, quor_TrashRecord_t* objp);
bool_t qel_xdr_quor_Attrs_t(XDR* xdrs, quor_Attrs_t* objp);
bool_t qel_xdr_quor_fileattr_t(XDR* xdrs, quor_fileattr_t* objp);

bool_t qel_xdr_pv_list_element_t(XDR* xdrs, pv_list_element_t* objp);
// Count, then the elements; decoding allocates List_val (null when empty).
bool_t qel_xdr_pv_list_t(XDR* xdrs, pv_list_t* objp);
// PVList goes through its pointer: encoding needs it set; decoding allocates
// the list header only for a non-empty list and leaves PVList null otherwise.
bool_t qel_xdr_bf_vv_attrib_t(XDR* xdrs, bf_vv_attrib_t* objp);
// Releasing frees the lists of the first NumberOfVVs entries (at most ten).
bool_t qel_xdr_bf_sc_attrib_t(XDR* xdrs, bf_sc_attrib_t* objp);
bool_t qel_xdr_quor_xfileattr_t(XDR* xdrs, quor_xfileattr_t* objp);

// The mode goes as the plain in-memory word.
bool_t qel_xdr_quor_stat_t(XDR* xdrs, quor_stat_t* objp);
bool_t qel_xdr_ns_DirEntry_t(XDR* xdrs, ns_DirEntry_t* objp);
bool_t qel_xdr_quor_dirent_t(XDR* xdrs, quor_dirent_t* objp);

bool_t qel_xdr_quor_hash_type_t(XDR* xdrs, quor_hash_type_t* objp);
bool_t qel_xdr_quor_cos_md_t(XDR* xdrs, quor_cos_md_t* objp);
bool_t qel_xdr_quor_cos_hints_t(XDR* xdrs, quor_cos_hints_t* objp);
bool_t qel_xdr_quor_cos_priorities_t(XDR* xdrs, quor_cos_priorities_t* objp);

bool_t qel_xdr_ns_FilesetAttrs_t(XDR* xdrs, ns_FilesetAttrs_t* objp);
bool_t qel_xdr_quor_junction_ent_t(XDR* xdrs, quor_junction_ent_t* objp);
bool_t qel_xdr_quor_global_fsent_t(XDR* xdrs, quor_global_fsent_t* objp);

bool_t qel_xdr_acct_list_t(XDR* xdrs, acct_list_t* objp);
bool_t qel_xdr_subsys_stats_t(XDR* xdrs, subsys_stats_t* objp);
bool_t qel_xdr_namespec_type_t(XDR* xdrs, namespec_type_t* objp);
bool_t qel_xdr_api_namespec_t(XDR* xdrs, api_namespec_t* objp);

bool_t qel_xdr_bfs_callback_addr_t(XDR* xdrs, bfs_callback_addr_t* objp);
// 60 bytes on the wire; read bare (no message header) from the callback socket.
#define QEL_BFS_CALLBACK_RET_MSG_SIZE 60
bool_t qel_xdr_bfs_callback_ret_msg_t(XDR* xdrs, bfs_callback_ret_msg_t* objp);

#endif
