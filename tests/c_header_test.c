/* Compiles the public headers as C and calls the library through them, so
 * they keep to C linkage and C types. Run in the private mount namespace:
 * every call reads the command file. */
#include <stdio.h>

#include "skgxn.h"
#include "vemo.h"

int main(void) {
  skgxn_result err;
  vemo_nodeid_array_t nodes = {0, NULL};
  int size = skgxnqtsz(&err, SKGXN_TYPE_CONTEXT, NULL, 0);
  if (size != (int)sizeof(skgxn_context) || err.code != 0 || nodes.count != 0) {
    fprintf(stderr, "skgxnqtsz gave %d, code %u\n", size, (unsigned)err.code);
    return 1;
  }
  return 0;
}
