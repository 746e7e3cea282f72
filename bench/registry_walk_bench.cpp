// The registry walk (SearchReplaceKey, run as the service) over a generated hive of real
// shape, against hivexml reading the same hive file, both in the same run.
//   bench_registry_walk_bench [keys=500000] [values=2000000] [directory=/tmp] [rounds=3] [sid-key-percent=1]
//                             [preset=nt4-workstation]
// SIDs stand in 1% of value names and of string data, and in sid-key-percent of the key
// names (each such key is renamed through a hive file). The hive is loaded into a
// simulated machine with RegLoadKeyA; each round walks it once (old SID to new, the next
// round back again) and runs hivexml once, in turns first; the median ratio is reported.
// The walk's own memory is its peak resident size above what the loaded registry took.
// Each key rename makes and deletes two files in the machine's work folder, and on ext4
// without a journal every file made steps over the inodes freed in the last seconds; a
// tmpfs directory such as /dev/shm measures the walk without the host disk's own costs.
// ntsim's flushes are synced to the host's disk only with NTSIM_HOST_SYNC=1 in the
// environment.
#include <malloc.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/job_settings.h"
#include "core/output.h"
#include "hive_shape.h"
#include "ntsim/machine/machine.h"
#include "ntsim/kernel/process.h"
#include "ntsim/registry/regf.h"
#include "ntsim/security/access.h"
#include "replace/registry_replace.h"
#include "bench_stats.h"

namespace {

long StatusKb(const char* field) {
    FILE* f = ::NtsimFopen("/proc/self/status", "r");
    if (!f) return -1;
    char line[256];
    long kb = -1;
    size_t n = strlen(field);
    while (fgets(line, sizeof line, f))
        if (strncmp(line, field, n) == 0 && line[n] == ':') kb = atol(line + n + 1);
    fclose(f);
    return kb;
}

// Starts a new peak: VmHWM is set back to the present resident size.
void ResetPeak() {
    FILE* f = ::NtsimFopen("/proc/self/clear_refs", "w");
    if (!f) return;
    fputs("5", f);
    fclose(f);
}

size_t CountLines(const std::string& path, const char* prefix) {
    FILE* f = ::NtsimFopen(path.c_str(), "r");
    if (!f) return 0;
    char line[4096];
    size_t n = 0, length = strlen(prefix);
    while (fgets(line, sizeof line, f))
        if (strncmp(line, prefix, length) == 0) ++n;
    fclose(f);
    return n;
}

// The host file system the machine lies on, which decides what making a file costs.
const char* FileSystemName(const std::string& path) {
    struct statfs fs;
    if (statfs(path.c_str(), &fs) != 0) return "unknown";
    switch ((unsigned long)fs.f_type) {
        case 0x01021994UL: return "tmpfs";
        case 0xEF53UL: return "ext2/3/4";
        case 0x58465342UL: return "xfs";
        case 0x9123683EUL: return "btrfs";
        case 0x794C7630UL: return "overlayfs";
    }
    return "other";
}

const char* kOldSid = "S-1-5-21-1004336348-1177238915-682003330";
const char* kNewSid = "S-1-5-21-2000000001-2000000002-2000000003";

}  // namespace

int main(int argc, char** argv) {
    bench::HiveShape shape;
    shape.keys = argc > 1 ? (size_t)atol(argv[1]) : 500000;
    shape.values = argc > 2 ? (size_t)atol(argv[2]) : 2000000;
    std::string where = argc > 3 ? argv[3] : "/tmp";
    int rounds = argc > 4 ? atoi(argv[4]) : 3;
    if (rounds < 1) rounds = 1;
    shape.sidKeyNames = argc > 5 ? atof(argv[5]) : 1.0;
    shape.sidValueNames = 1.0;
    shape.sidData = 1.0;
    shape.sid = kOldSid;

    std::string pattern = where + "/tessiv-bench-XXXXXX";
    std::vector<char> tmpl(pattern.begin(), pattern.end());
    tmpl.push_back(0);
    if (!mkdtemp(tmpl.data())) return 1;
    std::string top = tmpl.data(), machine = top + "/m";
    printf("machine folder %s on %s\n", top.c_str(), FileSystemName(top));
    std::string err;
    // On a Windows 2000 or XP preset the security API propagates what it writes; the service
    // may open every key of the shaped hive, so nothing is widened there.
    ntsim::MachineOptions options;
    if (argc > 6) options.preset = argv[6];
    if (!ntsim::MachineCreate(machine, options, &err)) {
        fprintf(stderr, "%s\n", err.c_str());
        return 1;
    }

    double t = Now();
    bench::HiveCounts counts;
    std::string file = machine + "/drives/c/BENCH", plainFile = top + "/BENCH.hivexml";
    {
        ntsim::Hive hive = bench::MakeShapedHive(shape, &counts);
        if (ntsim::RegfSaveFile(hive, file) != 0 || ntsim::RegfSaveFile(hive, plainFile) != 0) {
            fprintf(stderr, "cannot write the hive\n");
            return 1;
        }
    }
    struct stat st;
    stat(file.c_str(), &st);
    printf("generated %.1f MiB hive: %zu keys, %zu values (%zu above 16 KiB), %zu descriptors, SID in %zu key names, "
           "%zu value names, %zu string data; %.1f s\n",
           st.st_size / 1048576.0, counts.keys, counts.values, counts.bigValues, counts.descriptors, counts.sidKeys,
           counts.sidValueNames, counts.sidData, Now() - t);

    // The service: LocalSystem with its privileges enabled, as the service enables them.
    if (!ntsim::ProcessAttach(machine, "", true, &err)) {
        fprintf(stderr, "%s\n", err.c_str());
        return 1;
    }
    for (const std::string& p : ntsim::CurrentToken().held) ntsim::CurrentToken().enabled.insert(p);
    serviceMode = TRUE;
    CreateJobSettings();
    strcpy(jobSettings->userName, "SYSTEM");
    std::string logPath = top + "/walk.log";
    logStream = ::NtsimFopen(logPath.c_str(), "w");
    HKEY probe;
    RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &probe);  // the machine's own hives load here
    RegCloseKey(probe);

    size_t beforeLoad = mallinfo2().uordblks;
    t = Now();
    LONG loaded = RegLoadKeyA(HKEY_LOCAL_MACHINE, "BENCH", "C:\\BENCH");
    double load = Now() - t;
    if (loaded != ERROR_SUCCESS) {
        fprintf(stderr, "RegLoadKeyA failed: %ld\n", (long)loaded);
        return 1;
    }
    double registryMiB = (double)(mallinfo2().uordblks - beforeLoad) / 1048576.0;

    std::vector<double> ratios;
    double walkBest = 1e9, xmlBest = 1e9;
    long walkPeakKb = 0;
    bool ok = true;
    for (int round = 0; round < rounds && ok; ++round) {
        SidPairList pairs = {1, {round % 2 ? kNewSid : kOldSid}, {round % 2 ? kOldSid : kNewSid}};
        double walk = 0, xml = 0;
        for (int turn = 0; turn < 2; ++turn) {
            if ((turn == 0) == (round % 2 == 0)) {
                t = Now();
                int rc = system(("hivexml '" + plainFile + "' > /dev/null").c_str());
                xml = Now() - t;
                if (rc != 0) {
                    fprintf(stderr, "hivexml failed\n");
                    return 1;
                }
            } else {
                fflush(logStream);
                long before = StatusKb("VmRSS");
                ResetPeak();
                t = Now();
                int result = SearchReplaceKey(HKEY_LOCAL_MACHINE, "BENCH", "MACHINE\\BENCH", &pairs);
                walk = Now() - t;
                walkPeakKb = std::max(walkPeakKb, StatusKb("VmHWM") - before);
                ok = result == 0;
            }
        }
        fflush(logStream);
        ratios.push_back(walk / xml);
        walkBest = std::min(walkBest, walk);
        xmlBest = std::min(xmlBest, xml);
        printf("round %d: walk %.3f s (%s), hivexml %.3f s, ratio %.2f\n", round + 1, walk, ok ? "done" : "FAILED", xml,
               walk / xml);
    }
    // Every value with the SID in its data was rewritten in every round.
    size_t contents = CountLines(logPath, "Renaming value contents of:");
    size_t boxes = CountLines(logPath, "Error") + CountLines(logPath, "SR Error");
    if (contents != counts.sidData * (size_t)rounds || boxes) {
        fprintf(stderr, "the walk rewrote %zu values' data (expected %zu) and reported %zu errors; log %s\n", contents,
                counts.sidData * (size_t)rounds, boxes, logPath.c_str());
        ok = false;
    }
    std::sort(ratios.begin(), ratios.end());
    printf("hive load (RegLoadKeyA): %.3f s, loaded registry %.1f MiB of heap for a %.1f MiB file\n", load, registryMiB,
           st.st_size / 1048576.0);
    printf("best walk %.3f s, best hivexml %.3f s\n", walkBest, xmlBest);
    printf("walk memory beyond the loaded registry: %.1f MiB (target under 16)\n", walkPeakKb / 1024.0);
    printf("median ratio of the walk to hivexml: %.2f (target at most 1.0)\n", ratios[ratios.size() / 2]);

    fclose(logStream);
    logStream = nullptr;
    DestroyJobSettings();
    RegUnLoadKeyA(HKEY_LOCAL_MACHINE, "BENCH");
    ntsim::ProcessDetach();
    if (!ok) return 1;
    return system(("rm -rf '" + top + "'").c_str()) == 0 ? 0 : 1;
}
