/* Example program for the README's demo: a database process's view of the
 * node-monitor library. "info" negotiates the version and prints the limits
 * and the node table; "member" joins a group, polls it once a second and
 * reports what it sees, the way a database instance would.
 */
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "skgxn.h"

static const char* codeName(const skgxn_result* err) {
  static const char* names[] = {"",         "EUNK",  "EINIT",  "EPERM", "EINVAL",
                                "EUNAVAIL", "ESIZE", "EEXIST", "EINUSE"};
  return err->code <= 8 ? names[err->code] : "?";
}

static void say(const char* who, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
static void say(const char* who, const char* fmt, ...) {
  va_list ap;
  printf("[%s] ", who);
  va_start(ap, fmt);
  vprintf(fmt, ap);
  va_end(ap);
  printf("\n");
  fflush(stdout);
}

static void printMembers(char* out, size_t size, const uint8_t bitmap[16]) {
  size_t used = 0;
  out[0] = '\0';
  for (int n = 0; n < 128; n++) {
    if (bitmap[n / 8] & (1u << (n % 8))) {
      int w = snprintf(out + used, size - used, "%s%d", used ? " " : "", n);
      if (w < 0 || (size_t)w >= size - used) break;
      used += (size_t)w;
    }
  }
}

static int runInfo(void) {
  skgxn_result err;
  skgxn_context ctx;
  memset(&ctx, 0, sizeof ctx);
  skgxn_version mine = {2, 0}, lib = {0, 0};
  char vendor[64] = "";

  if (skgxnever(&err, &mine, &lib, vendor, sizeof vendor, NULL, 0))
    say("info", "interface version %d.%d, vendor \"%s\"", lib.major, lib.minor, vendor);
  else
    say("info", "version negotiation failed: %s", codeName(&err));

  say("info", "record sizes: context %d bytes, group handle %d bytes",
      skgxnqtsz(&err, SKGXN_TYPE_CONTEXT, NULL, 0),
      skgxnqtsz(&err, SKGXN_TYPE_GROUP_HANDLE, NULL, 0));

  if (!skgxncin(&err, &ctx, NULL, NULL, NULL, 0)) {
    say("info", "cannot create a context: %s", codeName(&err));
    return 1;
  }
  say("info", "limits: node name %d, group members %d, cluster size %d",
      skgxnqat(&err, &ctx, SKGXN_ATTR_NODE_NAME_LEN, NULL, 0),
      skgxnqat(&err, &ctx, SKGXN_ATTR_MAX_MEMBERS, NULL, 0),
      skgxnqat(&err, &ctx, SKGXN_ATTR_MAX_CLUSTER, NULL, 0));

  uint32_t local = 0, nodes[64], count = 0;
  if (skgxnqcnum(&err, &ctx, &local, NULL, 0))
    say("info", "this is node %u", local);
  else
    say("info", "local node number not available: %s", codeName(&err));
  if (skgxnqvnds(&err, &ctx, nodes, 64, &count, NULL, 0)) {
    for (uint32_t i = 0; i < count; i++) {
      char name[257];
      uint32_t len = 0;
      if (skgxnqname(&err, &ctx, nodes[i], name, sizeof name, &len, NULL, 0))
        say("info", "node %u: %s%s", nodes[i], name, nodes[i] == local ? " (local)" : "");
    }
  } else {
    say("info", "node table not available: %s", codeName(&err));
  }
  skgxncdel(&err, &ctx, NULL, 0);
  return 0;
}

static volatile sig_atomic_t stopRequested = 0;
static void onSignal(int sig) {
  (void)sig;
  stopRequested = 1;
}

/* member NAME SECONDS: join DBGRP with NAME as private data, poll every
 * second for SECONDS (0: until SIGTERM/SIGINT), then leave. */
static int runMember(const char* name, int seconds) {
  skgxn_result err;
  skgxn_context ctx;
  skgxn_group grp;
  memset(&ctx, 0, sizeof ctx);
  memset(&grp, 0, sizeof grp);
  signal(SIGTERM, onSignal);
  signal(SIGINT, onSignal);

  if (!skgxncin(&err, &ctx, NULL, NULL, NULL, 0)) return 1;
  uint32_t memnum = (uint32_t)-1; /* any free number */
  char data[96];
  int datalen = snprintf(data, sizeof data, "%s pid %d", name, (int)getpid());
  if (!skgxnreg(&err, &ctx, "DBGRP", &memnum, data, (uint32_t)datalen, NULL, 0, &grp, NULL, 0)) {
    say(name, "join refused: %s", codeName(&err));
    return 1;
  }
  say(name, "joined DBGRP as member %u", memnum);

  uint8_t bitmap[16];
  skgxn_memmap map = {bitmap};
  for (int tick = 0; !stopRequested && (seconds == 0 || tick < seconds); tick++) {
    int event = skgxnpstat(&err, &grp, &map, 0, NULL, 0);
    char members[512];
    printMembers(members, sizeof members, bitmap);
    if (event == skgxngeRCFG) {
      say(name, "reconfiguration: members <%s>", members);
      for (uint32_t n = 0; n < 128; n++) {
        if (n == memnum || !(bitmap[n / 8] & (1u << (n % 8)))) continue;
        char other[96];
        uint32_t len = 0;
        if (skgxnprdata(&err, &grp, n, other, sizeof other, &len, NULL, 0))
          say(name, "  member %u says \"%.*s\"", n, (int)len, other);
      }
    } else if (event == skgxngeABT) {
      say(name, "group aborted%s", err.code ? " (connection to velkd lost)" : "");
      break;
    } else if (event != skgxngeNUL) {
      say(name, "event %d, members <%s>", event, members);
    }
    sleep(1);
  }
  if (skgxndrg(&err, &grp, NULL, 0))
    say(name, "left DBGRP");
  else if (err.code == SKGXN_EUNAVAIL)
    say(name, "leave: EUNAVAIL (velkd is gone; deleting the context releases the group)");
  else
    say(name, "leave: %s", codeName(&err));
  skgxncdel(&err, &ctx, NULL, 0);
  return 0;
}

int main(int argc, char** argv) {
  if (argc >= 2 && strcmp(argv[1], "info") == 0) return runInfo();
  if (argc >= 4 && strcmp(argv[1], "member") == 0) return runMember(argv[2], atoi(argv[3]));
  fprintf(stderr,
          "usage: skgxn_demo info\n"
          "       skgxn_demo member NAME SECONDS   (SECONDS 0: until stopped)\n");
  return 2;
}
