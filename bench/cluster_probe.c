/* A process on one node of the three-node bed for the cross-node benchmarks:
 * it joins a group through libskgxn2.so.1 ("skgxn") or Corosync's closed
 * process groups ("cpg") and stamps what it sees with CLOCK_MONOTONIC, which
 * every node of the bed shares, being namespaces of one machine.
 *   cluster_probe watch API GROUP TAG REPORT  joins GROUP, then writes
 *     "TAG COUNT NS" to REPORT (a FIFO) for every reconfiguration it sees,
 *     COUNT the members, and "TAG 0 NS" on abort (then exits); until killed.
 *   cluster_probe join API GROUP ROUNDS REPORT  ROUNDS times: joins, waits
 *     until REPORT's watcher reports two members, leaves, waits for one;
 *     prints each join's microseconds from just before the join call to the
 *     watcher's stamp.
 *   cluster_probe kill API GROUP ROUNDS REPORT  ROUNDS times: a child joins;
 *     once REPORT's watcher reports it, the child is SIGKILLed; prints the
 *     microseconds from just before kill() to the watcher's stamp of one member.
 *   cluster_probe link IFACE TAG REPORT  writes "TAG 1 NS" to REPORT once it
 *     listens, then "TAG 0 NS" when IFACE loses its carrier, and exits.
 *   cluster_probe now  prints CLOCK_MONOTONIC in nanoseconds. */
#include <corosync/cpg.h>
#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "skgxn.h"

/* How long a member set may take to show on the other node before the run
 * is called broken: far above any figure measured, short enough to fail a
 * run on a bed whose ring is gone. */
#define REPORT_WAIT_MS 10000
/* The client library has no descriptor to wait on, so a watcher polls; at
 * this interval a reconfiguration is seen at most this late, a small part of
 * the milliseconds measured, for a few per cent of a CPU. */
#define POLL_INTERVAL_NS 100000L

static int64_t nowNs(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

static void die(const char* what) {
  fprintf(stderr, "cluster_probe: %s\n", what);
  exit(1);
}

static void napNs(long ns) {
  struct timespec ts = {0, ns};
  nanosleep(&ts, NULL);
}

/* --- the two membership services behind one pair of calls -------------- */

static int useCpg;
static const char* groupName;
static skgxn_context ctx;
static skgxn_group grp;
static cpg_handle_t cpgHandle;
static int reportFd = -1;
static const char* watchTag;

static void reportAt(uint32_t count, int64_t stamp) {
  char line[128];
  int len = snprintf(line, sizeof line, "%s %u %" PRId64 "\n", watchTag, count, stamp);
  /* One write of less than PIPE_BUF bytes: lines of several watchers never mix. */
  if (write(reportFd, line, (size_t)len) != len) die("write to the report FIFO failed");
}

static void report(uint32_t count) { reportAt(count, nowNs()); }

static void onConfchg(cpg_handle_t handle, const struct cpg_name* name,
                      const struct cpg_address* members, size_t nMembers,
                      const struct cpg_address* left, size_t nLeft,
                      const struct cpg_address* joined, size_t nJoined) {
  (void)handle, (void)name, (void)members, (void)left, (void)nLeft, (void)joined, (void)nJoined;
  report((uint32_t)nMembers);
}

static cpg_callbacks_t cpgCallbacks = {NULL, onConfchg};

/* cpg_join answers TRY_AGAIN while Corosync synchronises, and velkd refuses
 * a join while its node is between memberships: both are retried. The
 * handle for Corosync is made before the caller's stamp, since a handle that
 * has left cannot join again and its cost (milliseconds) is no part of a
 * join. */
static void prepareJoin(void) {
  if (useCpg && cpg_initialize(&cpgHandle, &cpgCallbacks) != CS_OK) die("cpg_initialize failed");
}

static void joinGroup(void) {
  for (int tries = 0; tries < 2000; tries++) {
    if (useCpg) {
      struct cpg_name name;
      memset(&name, 0, sizeof name);
      name.length = (uint32_t)strlen(groupName);
      memcpy(name.value, groupName, name.length);
      cs_error_t rc = cpg_join(cpgHandle, &name);
      if (rc == CS_OK) return;
      if (rc != CS_ERR_TRY_AGAIN) die("cpg_join failed");
    } else {
      skgxn_result err;
      uint32_t number = (uint32_t)-1;
      if (skgxnreg(&err, &ctx, groupName, &number, "bench", 5, NULL, 0, &grp, NULL, 0)) return;
      if (err.code != SKGXN_EUNAVAIL) die("skgxnreg refused the join");
    }
    napNs(5000000L);
  }
  die("the join was refused for 10 s");
}

static void leaveGroup(void) {
  if (useCpg) {
    cpg_finalize(cpgHandle);
  } else {
    skgxn_result err;
    if (!skgxndrg(&err, &grp, NULL, 0)) die("skgxndrg failed");
  }
}

static uint32_t bitCount(const uint8_t* bitmap) {
  uint32_t count = 0;
  for (int i = 0; i < 16; i++) count += (uint32_t)__builtin_popcount(bitmap[i]);
  return count;
}

static int watch(void) {
  prepareJoin();
  joinGroup();
  if (useCpg) {
    int fd;
    if (cpg_fd_get(cpgHandle, &fd) != CS_OK) die("cpg_fd_get failed");
    for (;;) {
      struct pollfd p = {fd, POLLIN, 0};
      if (poll(&p, 1, -1) < 0 && errno != EINTR) die("poll failed");
      if (cpg_dispatch(cpgHandle, CS_DISPATCH_ALL) != CS_OK) die("lost Corosync");
    }
  }
  /* The poll's sleep should not be stretched by the kernel's default slack. */
  prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0);
  uint8_t bitmap[16];
  skgxn_memmap map = {bitmap};
  for (;;) {
    skgxn_result err;
    int event = skgxnpstat(&err, &grp, &map, 0, NULL, 0);
    if (event == skgxngeRCFG) report(bitCount(bitmap));
    if (event == skgxngeABT) {
      report(0);
      return 0;
    }
    if (event == skgxngeNUL) napNs(POLL_INTERVAL_NS);
  }
}

/* The moment a node is cut off is the moment its interface loses the
 * carrier, which the kernel announces to the node's own routing socket; the
 * command that cuts returns only some milliseconds later, tens on a busy
 * machine. */
static int watchLink(const char* iface) {
  unsigned index = if_nametoindex(iface);
  if (index == 0) die("no such interface");
  int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  struct sockaddr_nl addr;
  memset(&addr, 0, sizeof addr);
  addr.nl_family = AF_NETLINK;
  addr.nl_groups = RTMGRP_LINK;
  if (fd < 0 || bind(fd, (struct sockaddr*)&addr, sizeof addr) != 0) die("routing socket failed");
  report(1);
  char buf[8192];
  for (;;) {
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n < 0 && errno != EINTR && errno != ENOBUFS) die("recv on the routing socket failed");
    int64_t seen = nowNs();
    for (struct nlmsghdr* h = (struct nlmsghdr*)buf; n > 0 && NLMSG_OK(h, (size_t)n);
         h = NLMSG_NEXT(h, n)) {
      const struct ifinfomsg* info = NLMSG_DATA(h);
      if (h->nlmsg_type == RTM_NEWLINK && (unsigned)info->ifi_index == index &&
          !(info->ifi_flags & IFF_RUNNING)) {
        reportAt(0, seen);
        return 0;
      }
    }
  }
}

/* --- the side that acts and reads the watcher's reports ----------------- */

/* Reads the report lines, one byte at a time so that poll() sees what stdio
 * would have buffered, until one has COUNT members; returns its stamp. */
static int64_t awaitCount(uint32_t want) {
  char line[128];
  size_t len = 0;
  for (;;) {
    struct pollfd p = {reportFd, POLLIN, 0};
    if (poll(&p, 1, REPORT_WAIT_MS) != 1) die("the watcher reported no such member set in time");
    if (read(reportFd, &line[len], 1) != 1) die("read from the report FIFO failed");
    if (line[len] != '\n') {
      if (++len == sizeof line) die("overlong report line");
      continue;
    }
    line[len] = '\0';
    len = 0;
    unsigned count;
    int64_t stamp;
    if (sscanf(line, "%*s %u %" SCNd64, &count, &stamp) == 2 && count == want) return stamp;
  }
}

/* Lines left from an earlier run would be taken for this one's. */
static void drainReports(void) {
  char junk[512];
  int flags = fcntl(reportFd, F_GETFL);
  fcntl(reportFd, F_SETFL, flags | O_NONBLOCK);
  while (read(reportFd, junk, sizeof junk) > 0) {
  }
  fcntl(reportFd, F_SETFL, flags);
}

static void printSample(int64_t start, int64_t seen) {
  printf("%" PRId64 "\n", (seen - start) / 1000);
  fflush(stdout);
}

static int joinRounds(int rounds) {
  for (int i = 0; i < rounds; i++) {
    prepareJoin();
    int64_t start = nowNs();
    joinGroup();
    printSample(start, awaitCount(2));
    leaveGroup();
    awaitCount(1);
  }
  return 0;
}

static int killRounds(int rounds) {
  for (int i = 0; i < rounds; i++) {
    int ready[2];
    if (pipe(ready) != 0) die("pipe failed");
    pid_t child = fork();
    if (child < 0) die("fork failed");
    if (child == 0) {
      close(ready[0]);
      if (!useCpg) {
        skgxn_result err;
        if (!skgxncin(&err, &ctx, NULL, NULL, NULL, 0)) die("skgxncin failed");
      }
      prepareJoin();
      joinGroup();
      if (write(ready[1], "j", 1) != 1) _exit(1);
      for (;;) pause();
    }
    close(ready[1]);
    char byte;
    if (read(ready[0], &byte, 1) != 1) die("the member child died before it joined");
    close(ready[0]);
    awaitCount(2);
    int64_t start = nowNs();
    kill(child, SIGKILL);
    printSample(start, awaitCount(1));
    waitpid(child, NULL, 0);
  }
  return 0;
}

int main(int argc, char** argv) {
  if (argc == 2 && strcmp(argv[1], "now") == 0) {
    printf("%" PRId64 "\n", nowNs());
    return 0;
  }
  if (argc == 5 && strcmp(argv[1], "link") == 0) {
    watchTag = argv[3];
    reportFd = open(argv[4], O_RDWR | O_CLOEXEC);
    if (reportFd < 0) die("cannot open the report FIFO");
    return watchLink(argv[2]);
  }
  if (argc != 6 || (strcmp(argv[2], "skgxn") != 0 && strcmp(argv[2], "cpg") != 0)) {
    fprintf(stderr,
            "usage: cluster_probe watch skgxn|cpg GROUP TAG REPORT\n"
            "       cluster_probe join|kill skgxn|cpg GROUP ROUNDS REPORT\n"
            "       cluster_probe link IFACE TAG REPORT\n"
            "       cluster_probe now\n");
    return 2;
  }
  useCpg = strcmp(argv[2], "cpg") == 0;
  groupName = argv[3];
  /* Read-write, so that opening never waits for the other end and a
   * departed writer is no end of file. */
  reportFd = open(argv[5], O_RDWR | O_CLOEXEC);
  if (reportFd < 0) die("cannot open the report FIFO");
  /* The kill rounds' children join through a context of their own. */
  if (!useCpg && strcmp(argv[1], "kill") != 0) {
    skgxn_result err;
    if (!skgxncin(&err, &ctx, NULL, NULL, NULL, 0)) die("skgxncin failed");
  }
  if (strcmp(argv[1], "watch") == 0) {
    watchTag = argv[4];
    return watch();
  }
  drainReports();
  if (strcmp(argv[1], "join") == 0) return joinRounds(atoi(argv[4]));
  if (strcmp(argv[1], "kill") == 0) return killRounds(atoi(argv[4]));
  fprintf(stderr, "cluster_probe: unknown command %s\n", argv[1]);
  return 2;
}
