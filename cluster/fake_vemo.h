// Control interface of the test double of libvemo.so.1 that cluster/ and api/
// tests load instead of the real library. Each test sets the node table and
// the results the double answers with, and reads what was asked of it.
#ifndef CLUSTER_FAKE_VEMO_H_
#define CLUSTER_FAKE_VEMO_H_

#include <cstdint>

// A get result: success, but a null pointer for the answer of "All_NodeIds"
// or "Nodename_NodeId".
#define FAKE_VEMO_NO_ANSWER (-1)

extern "C" {
// No nodes, local node 0, every call answering 0, all counters 0.
void fake_vemo_reset(void);
void fake_vemo_add_node(uint32_t number, const char* name);
void fake_vemo_set_local(uint32_t number);
// The result of the next gets of tag, or of the next opens for a null tag:
// 0 and 7 deliver the answer (11 for a name or number not in the table),
// other positive results are returned without one.
void fake_vemo_set_get_result(const char* tag, int result);
// Calls seen since the last reset; stale uses are gets and closes made with
// a handle that was not open at that moment.
int fake_vemo_open_calls(void);
int fake_vemo_get_calls(void);
int fake_vemo_stale_handle_uses(void);
}  // extern "C"

#endif  // CLUSTER_FAKE_VEMO_H_
