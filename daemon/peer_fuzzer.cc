// Fuzz target over the decoder of messages between velkd instances: any
// bytes a rogue member of the daemons' group could multicast. A message that
// decodes must encode again to the very same bytes.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "daemon/peer_proto.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace skgxn;
  PeerMessage m;
  uint16_t version = 0;
  if (decodePeer(data, size, m, version) != ERR_NONE) return 0;
  std::vector<uint8_t> again;
  if (encodePeer(m, again) != ERR_NONE) abort();
  if (again.size() != size || !std::equal(again.begin(), again.end(), data)) abort();
  return 0;
}
