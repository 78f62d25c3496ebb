/* The database-like process of the cluster demo: one per node, joining a
 * group the way a database instance would and saying what it sees. Its
 * private data names its node and pid, so every member can tell the others
 * apart by node. It polls often, so a reconfiguration shows within a blink
 * of velkd delivering it. When the group is aborted it stops its work, as
 * an instance that lost its place in the cluster must, and asks to join
 * again every half second until the cluster lets it, as a restarted
 * instance would; SIGTERM makes it leave and exit.
 *   db_instance GROUP
 */
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "skgxn.h"

static volatile sig_atomic_t stopRequested = 0;
static void onSignal(int sig) {
  (void)sig;
  stopRequested = 1;
}

/* One line: "members now (2): #0 node1 pid 12, #1 node2 pid 34 (me)". */
static void printMembers(skgxn_group* grp, uint32_t self, const char* selfData,
                         const uint8_t bitmap[16]) {
  char line[2048];
  size_t used = 0;
  int count = 0;
  for (uint32_t n = 0; n < 128; n++) {
    if (!(bitmap[n / 8] & (1u << (n % 8)))) continue;
    char data[128] = "";
    uint32_t len = 0;
    skgxn_result err;
    if (n == self) {
      snprintf(data, sizeof data, "%s (me)", selfData);
    } else if (skgxnprdata(&err, grp, n, data, sizeof data - 1, &len, NULL, 0)) {
      data[len] = '\0';
    } else {
      snprintf(data, sizeof data, "no data");
    }
    int w = snprintf(line + used, sizeof line - used, "%s#%u %s", count ? ", " : "", n, data);
    if (w < 0 || (size_t)w >= sizeof line - used) break;
    used += (size_t)w;
    count++;
  }
  printf("members now (%d): %s\n", count, line);
  fflush(stdout);
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: db_instance GROUP\n");
    return 2;
  }
  const char* group = argv[1];
  skgxn_result err;
  skgxn_context ctx;
  skgxn_group grp;
  memset(&ctx, 0, sizeof ctx);
  memset(&grp, 0, sizeof grp);
  signal(SIGTERM, onSignal);
  signal(SIGINT, onSignal);
  setvbuf(stdout, NULL, _IOLBF, 0);

  if (!skgxncin(&err, &ctx, NULL, NULL, NULL, 0)) {
    printf("cannot create a context (error %u)\n", (unsigned)err.code);
    return 1;
  }
  uint32_t local = 0, len = 0;
  char node[257] = "?";
  if (skgxnqcnum(&err, &ctx, &local, NULL, 0) &&
      skgxnqname(&err, &ctx, local, node, sizeof node - 1, &len, NULL, 0))
    node[len < sizeof node ? len : sizeof node - 1] = '\0';
  char data[96];
  int dataLen = snprintf(data, sizeof data, "%s pid %d", node, (int)getpid());
  uint8_t bitmap[16];
  skgxn_memmap map = {bitmap};
  int refusedBefore = 0;
  while (!stopRequested) {
    uint32_t self = (uint32_t)-1; /* any free number */
    if (!skgxnreg(&err, &ctx, group, &self, data, (uint32_t)dataLen, NULL, 0, &grp, NULL, 0)) {
      /* Said once: a node without quorum refuses every join until it is back. */
      if (!refusedBefore && err.code == SKGXN_EUNAVAIL)
        printf("join refused (EUNAVAIL: no quorum here now); trying again every half second\n");
      else if (!refusedBefore)
        printf("join refused (error %u); trying again every half second\n", (unsigned)err.code);
      refusedBefore = 1;
      usleep(500000);
      continue;
    }
    refusedBefore = 0;
    printf("joined %s as member #%u, private data \"%s\"\n", group, self, data);
    int aborted = 0;
    while (!stopRequested && !aborted) {
      int event = skgxnpstat(&err, &grp, &map, 0, NULL, 0);
      if (event == skgxngeRCFG) {
        printMembers(&grp, self, data, bitmap);
      } else if (event == skgxngeABT) {
        printf(
            "ABORT: this node lost its place in the cluster (no quorum); the instance stops "
            "its work\n");
        aborted = 1;
      } else if (event != skgxngeNUL) {
        printf("event %d\n", event);
      } else {
        usleep(10000);
      }
    }
    if (skgxndrg(&err, &grp, NULL, 0) && !aborted) printf("left %s\n", group);
    memset(&grp, 0, sizeof grp);
  }
  skgxncdel(&err, &ctx, NULL, 0);
  return 0;
}
