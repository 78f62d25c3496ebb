/* A member for the cluster tests, using libskgxn2.so.1 as a database would.
 *   member_probe join GROUP MEMNO DATA: joins (MEMNO -1: any), prints
 *     "granted N" or "refused CODE", then one line per event ("rcfg 0,2",
 *     "abort CODE", "event 2" for others) with "data N TEXT" lines for the
 *     other members after each reconfiguration, until abort or SIGTERM (then
 *     it leaves). The abort's CODE is 0 when velkd sent it, not when the
 *     connection was lost.
 *   member_probe query GROUP: prints "members 0,2" or "failed CODE". */
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "skgxn.h"

static volatile sig_atomic_t stopRequested = 0;
static void onSignal(int sig) {
  (void)sig;
  stopRequested = 1;
}

static void printSet(const char* label, const uint8_t* bitmap) {
  printf("%s ", label);
  const char* sep = "";
  for (uint32_t n = 0; n < 128; n++) {
    if (bitmap[n / 8] & (1u << (n % 8))) {
      printf("%s%u", sep, n);
      sep = ",";
    }
  }
  printf("\n");
  fflush(stdout);
}

static int query(const char* group) {
  skgxn_result err;
  skgxn_context ctx;
  uint8_t bitmap[16] = {0};
  skgxn_memmap map = {bitmap};
  memset(&ctx, 0, sizeof ctx);
  if (!skgxncin(&err, &ctx, NULL, NULL, NULL, 0)) return 1;
  if (!skgxnqgrp(&err, &ctx, group, &map, NULL, 0)) {
    printf("failed %u\n", (unsigned)err.code);
    return 1;
  }
  printSet("members", bitmap);
  return 0;
}

static int join(const char* group, int memno, const char* data) {
  skgxn_result err;
  skgxn_context ctx;
  skgxn_group grp;
  memset(&ctx, 0, sizeof ctx);
  memset(&grp, 0, sizeof grp);
  signal(SIGTERM, onSignal);
  if (!skgxncin(&err, &ctx, NULL, NULL, NULL, 0)) return 1;
  uint32_t number = (uint32_t)memno;
  if (!skgxnreg(&err, &ctx, group, &number, data, (uint32_t)strlen(data), NULL, 0, &grp, NULL, 0)) {
    printf("refused %u\n", (unsigned)err.code);
    return 1;
  }
  printf("granted %u\n", number);
  fflush(stdout);
  uint8_t bitmap[16];
  skgxn_memmap map = {bitmap};
  while (!stopRequested) {
    int event = skgxnpstat(&err, &grp, &map, 0, NULL, 0);
    if (event == skgxngeABT) {
      printf("abort %u\n", (unsigned)err.code);
      fflush(stdout);
      return 0;
    }
    if (event == skgxngeRCFG) {
      printSet("rcfg", bitmap);
      for (uint32_t n = 0; n < 128; n++) {
        char other[97];
        uint32_t len = 0;
        if (n == number || !(bitmap[n / 8] & (1u << (n % 8)))) continue;
        if (skgxnprdata(&err, &grp, n, other, sizeof other - 1, &len, NULL, 0)) {
          printf("data %u %.*s\n", n, (int)len, other);
        }
      }
      fflush(stdout);
    } else if (event == skgxngeNUL) {
      usleep(10000);
    } else {
      printf("event %d\n", event);
      fflush(stdout);
    }
  }
  skgxndrg(&err, &grp, NULL, 0);
  return 0;
}

int main(int argc, char** argv) {
  if (argc == 5 && strcmp(argv[1], "join") == 0) return join(argv[2], atoi(argv[3]), argv[4]);
  if (argc == 3 && strcmp(argv[1], "query") == 0) return query(argv[2]);
  fprintf(stderr, "usage: member_probe join GROUP MEMNO DATA | query GROUP\n");
  return 2;
}
