// Fuzz target for the reader of hive transaction logs: the first four bytes are the hive's
// sequence number, the rest a log of either format. Any input is answered without reading
// past it, and a log said to hold changes always says which.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ntsim/registry/regf_log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    uint32_t hiveSequence;
    memcpy(&hiveSequence, data, 4);
    // A copy of exactly the log's size, so that a read past it is caught by the sanitizers.
    std::vector<uint8_t> log(data + 4, data + size);
    std::string detail;
    bool pending = ntsim::HiveLogHoldsChanges(log.data(), log.size(), hiveSequence, &detail);
    if (pending != !detail.empty()) {
        fprintf(stderr, "regf log: a log said to hold changes must say which, and only then\n");
        abort();
    }
    return 0;
}
