/* Cluster configuration library libvemo.so.1: the node table of the cluster.
 * C linkage. Memory that a call hands out belongs to the handle and stays
 * valid until vemo_cluster_close.
 */
#ifndef INCLUDE_VEMO_H_
#define INCLUDE_VEMO_H_

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(VEMO_BUILDING_LIBRARY)
#define VEMO_EXPORT __attribute__((visibility("default")))
#else
#define VEMO_EXPORT
#endif

/* Results. */
#define VEMO_OK 0
#define VEMO_OK_PARTIAL 7 /* also success */
#define VEMO_EINVAL 11    /* unknown name or number */
/* Failures of the Corosync engine ("engine corosync" in /etc/velk/cluster.conf). */
#define VEMO_ENOCOROSYNC 17        /* Corosync not running, or its client library missing */
#define VEMO_ECOROSYNC_REFUSED 18  /* Corosync does not permit this user (uidgid) */
#define VEMO_ECOROSYNC_LOST 19     /* Corosync stopped or restarted since the open */
#define VEMO_ECOROSYNC_NODELIST 20 /* Corosync's nodelist cannot be served */

/* Tags for vemo_cluster_get and their further arguments:
 *   "All_NodeIds"      vemo_nodeid_array_t **
 *   "NodeId_Local"     uint32_t *
 *   "NodeId_Nodename"  const char *, uint32_t *
 *   "Nodename_NodeId"  uint32_t, const char **
 */
#define VEMO_ALL_NODEIDS "All_NodeIds"
#define VEMO_NODEID_LOCAL "NodeId_Local"
#define VEMO_NODEID_NODENAME "NodeId_Nodename"
#define VEMO_NODENAME_NODEID "Nodename_NodeId"

typedef void* vemo_handle_t;
typedef struct vemo_nodeid_array {
  uint32_t count;
  uint32_t* ids;
} vemo_nodeid_array_t;

VEMO_EXPORT int vemo_cluster_open(vemo_handle_t* handle);
VEMO_EXPORT int vemo_cluster_get(vemo_handle_t handle, const char* tag, ...);
VEMO_EXPORT int vemo_cluster_close(vemo_handle_t handle);

#ifdef __cplusplus
}
#endif

#endif /* INCLUDE_VEMO_H_ */
