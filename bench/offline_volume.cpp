// Lays out the offline job's test volume (tests/e2e/xp_volume.h: a Windows XP system volume
// of real hives and documents whose descriptors name its accounts) for bench/offline.
//   bench_offline_volume ROOT SCRATCH DOCUMENTS ntfs|plain
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "e2e/xp_volume.h"

int main(int argc, char** argv) {
    if (argc != 5) {
        fprintf(stderr, "usage: bench_offline_volume ROOT SCRATCH DOCUMENTS ntfs|plain\n");
        return 2;
    }
    std::string error;
    if (!e2e::MakeXpVolume(argv[1], argv[2], atoi(argv[3]), strcmp(argv[4], "ntfs") == 0, &error)) {
        fprintf(stderr, "bench_offline_volume: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
