/* A stranger in the daemons' process group: joins it and multicasts
 * damaged messages (garbage, a truncated header, another protocol version,
 * a body shorter than its length), for the cluster tests to check that each
 * daemon logs and ignores them. */
#include <corosync/cpg.h>
#include <stdio.h>
#include <string.h>
#include <sys/uio.h>

int main(void) {
  static const unsigned char garbage[] = "not a daemon's message";
  static const unsigned char truncated[] = {0x56, 0x4b, 0x4c};
  static const unsigned char otherVersion[] = {0x56, 0x4b, 0x4c, 0x44, 0, 9, 0, 2, 0, 0, 0, 0};
  static const unsigned char shortBody[] = {0x56, 0x4b, 0x4c, 0x44, 0, 1, 0, 2, 0, 0, 0, 9, 1};
  const struct iovec messages[] = {{(void*)garbage, sizeof garbage},
                                   {(void*)truncated, sizeof truncated},
                                   {(void*)otherVersion, sizeof otherVersion},
                                   {(void*)shortBody, sizeof shortBody}};
  cpg_callbacks_t callbacks;
  memset(&callbacks, 0, sizeof callbacks);
  cpg_handle_t handle;
  struct cpg_name name;
  name.length = 5;
  memcpy(name.value, "velkd", 5);
  if (cpg_initialize(&handle, &callbacks) != CS_OK || cpg_join(handle, &name) != CS_OK) {
    fprintf(stderr, "rogue_peer: cannot join the group\n");
    return 1;
  }
  for (size_t i = 0; i < sizeof messages / sizeof messages[0]; i++) {
    cs_error_t rc;
    while ((rc = cpg_mcast_joined(handle, CPG_TYPE_AGREED, &messages[i], 1)) == CS_ERR_TRY_AGAIN) {
    }
    if (rc != CS_OK) return 1;
  }
  cpg_leave(handle, &name);
  cpg_finalize(handle);
  return 0;
}
