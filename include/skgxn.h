/* Public interface of the node-monitor client library libskgxn2.so.1.
 * The 18 exported calls and the records the caller owns and passes in.
 * C linkage and C types only, so C and C++ callers include the same file.
 */
#ifndef INCLUDE_SKGXN_H_
#define INCLUDE_SKGXN_H_

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(SKGXN_BUILDING_LIBRARY)
#define SKGXN_EXPORT __attribute__((visibility("default")))
#else
#define SKGXN_EXPORT
#endif

/* Failure codes stored in skgxn_result.code. */
#define SKGXN_EUNK 1
#define SKGXN_EINIT 2
#define SKGXN_EPERM 3
#define SKGXN_EINVAL 4
#define SKGXN_EUNAVAIL 5
#define SKGXN_ESIZE 6
#define SKGXN_EEXIST 7
#define SKGXN_EINUSE 8

/* Event codes returned by skgxnpstat. */
#define skgxngeNUL 0
#define skgxngeRCFG 1
#define skgxngeSUS 2
#define skgxngeRES 4
#define skgxngeABT 8
#define skgxngeERR 16

/* Opaque types for skgxnqtsz. */
#define SKGXN_TYPE_CONTEXT 1
#define SKGXN_TYPE_GROUP_HANDLE 2
#define SKGXN_TYPE_SLAVE_HANDLE 3

/* Attributes for skgxnqat. */
#define SKGXN_ATTR_NODE_NAME_LEN 1
#define SKGXN_ATTR_MAX_MEMBERS 2
#define SKGXN_ATTR_MAX_CLUSTER 3

/* Per-context call-trace bits for skgxntrace: the exit line of the named
 * calls also goes to the caller's trace callback. */
#define SKGXN_CTX_TRACE_TRACE 0x10000u
#define SKGXN_CTX_TRACE_QUERY 0x20000u
#define SKGXN_CTX_TRACE_REG 0x80000u

/* Result record: cleared on entry to every call, filled on failure. */
typedef struct skgxn_result {
  uint32_t code;     /* 0, or a failure code 1 to 8 */
  char function[33]; /* name of the call that failed */
  char text2[13];    /* always empty */
  char text3[162];   /* always empty */
  uint32_t mark;     /* 99 once a failure was recorded */
} skgxn_result;

/* Context record: all zero before skgxncin and after skgxncdel. */
typedef struct skgxn_context {
  void* object;
  uint16_t check;
  uint8_t reserved[6];
} skgxn_context;

/* Group handle record: all zero before skgxnreg and after skgxndrg. */
typedef struct skgxn_group {
  void* state;
  uint16_t check;
  uint8_t reserved[6];
} skgxn_group;

/* Member map record: points at the caller's 16-byte member bitmap, member n
 * at bit n % 8 of byte n / 8. */
typedef struct skgxn_memmap {
  uint8_t* bitmap;
} skgxn_memmap;

/* Callbacks record: only the first member is ever called. */
typedef struct skgxn_callbacks {
  void (*trace)(void* cbctx, const char* fmt, ...);
} skgxn_callbacks;

typedef struct skgxn_version {
  int32_t major;
  int32_t minor;
} skgxn_version;

/* Context and library-level calls. */
SKGXN_EXPORT int skgxncin(skgxn_result* err, skgxn_context* ctx, skgxn_callbacks* callbacks,
                          void* cbctx, void* ext, uint32_t flags);
SKGXN_EXPORT int skgxncdel(skgxn_result* err, skgxn_context* ctx, void* ext, uint32_t flags);
SKGXN_EXPORT int skgxntrace(skgxn_result* err, skgxn_context* ctx, void* ext, uint32_t trace_flags);
SKGXN_EXPORT int skgxnever(skgxn_result* err, const skgxn_version* cvers, skgxn_version* overs,
                           char* vendstr, uint32_t vendsz, void* ext, uint32_t flags);
SKGXN_EXPORT int skgxnqtsz(skgxn_result* err, int32_t type, void* ext, uint32_t flags);
SKGXN_EXPORT int skgxnqat(skgxn_result* err, skgxn_context* ctx, int32_t attr, void* ext,
                          uint32_t flags);

/* Node queries. */
SKGXN_EXPORT int skgxnqcnum(skgxn_result* err, skgxn_context* ctx, uint32_t* nodenum, void* ext,
                            uint32_t flags);
SKGXN_EXPORT int skgxnqname(skgxn_result* err, skgxn_context* ctx, uint32_t node_num, char* name,
                            uint32_t bufsz, uint32_t* namel, void* ext, uint32_t flags);
SKGXN_EXPORT int skgxnqanum(skgxn_result* err, skgxn_context* ctx, const char* name,
                            uint32_t* node_num, void* ext, uint32_t flags);
SKGXN_EXPORT int skgxnqvnds(skgxn_result* err, skgxn_context* ctx, uint32_t* node_vect,
                            uint32_t vect_size, uint32_t* num_nodes, void* ext, uint32_t flags);

/* Group membership.
 *
 * Threads: a group handle is used by one thread at a time; the caller
 * serialises the calls on one handle. Calls on different handles may run at
 * the same time in different threads, each getting only its own answers.
 *
 * Signals: a call that waits for the membership daemon (skgxnreg,
 * skgxndrg, skgxnprdata, skgxnqgrp) goes on waiting when a signal handler
 * runs in its thread, as with SA_RESTART, and returns the daemon's answer to
 * its own request only. skgxnpstat never waits.
 *
 * fork(): group handles a child inherits are not the child's. As fork()
 * returns in the child, the library closes the child's copies of their
 * connections, so the parent's membership ends when the parent leaves or
 * dies, whatever the child does. In the child, skgxnpstat on such a handle
 * returns skgxngeABT and skgxnprdata fails, both with SKGXN_EINVAL;
 * skgxndrg succeeds and only frees the child's copy of the handle, without
 * telling the daemon. The child may join with handles of its own. Every
 * descriptor of the library is close-on-exec. */
SKGXN_EXPORT int skgxnreg(skgxn_result* err, skgxn_context* ctx, const char* pgroup,
                          uint32_t* memnum, const void* private_data, uint32_t prdatlen,
                          const void* public_data, uint32_t pbdatlen, skgxn_group* group_hdl,
                          void* ext, uint32_t flags);
SKGXN_EXPORT int skgxndrg(skgxn_result* err, skgxn_group* group_hdl, void* ext, uint32_t flags);
SKGXN_EXPORT int skgxnpstat(skgxn_result* err, skgxn_group* group_hdl, skgxn_memmap* memmap,
                            int32_t wait_time, void* ext, uint32_t flags);
SKGXN_EXPORT int skgxnprdata(skgxn_result* err, skgxn_group* group_hdl, uint32_t memno,
                             void* private_data, uint32_t bufsz, uint32_t* len, void* ext,
                             uint32_t flags);
SKGXN_EXPORT int skgxnqgrp(skgxn_result* err, skgxn_context* ctx, const char* pgroup,
                           skgxn_memmap* memmap, void* ext, uint32_t flags);

/* Deprecated: they record EUNAVAIL and return 0. */
SKGXN_EXPORT int skgxnpbdata(skgxn_result* err, skgxn_context* ctx, const char* pgroup,
                             uint32_t memno, void* public_data, uint32_t bufsz, uint32_t* len,
                             void* ext, uint32_t flags);
SKGXN_EXPORT int skgxnsrg(skgxn_result* err, skgxn_context* ctx, const char* pgroup,
                          uint32_t memnum, void* slvm_hdl, void* ext, uint32_t flags);
SKGXN_EXPORT int skgxnsdr(skgxn_result* err, void* slvm_hdl, void* ext, uint32_t flags);

#ifdef __cplusplus
}
#endif

#endif /* INCLUDE_SKGXN_H_ */
