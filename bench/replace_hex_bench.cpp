// ReplaceHexInFile over a large file in the page cache, against `cat FILE > /dev/null`
// on the same file in the same run; and its peak memory, for two file sizes.
//   bench_replace_hex_bench [MiB=1024] [rounds=7]
// Each round times cat once and the scan once, in turns; prints the medians of both, their
// throughput, the median of the rounds' ratios (cat's time over the scan's: 1.00 is cat's
// speed), the load average before and after, the same ratio of processor time (user and
// system, to which waiting for a processor on a busy machine adds nothing), and the peak
// resident memory of a process that only attaches to the machine and of one that also runs
// the scan.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/job_settings.h"
#include "core/output.h"
#include "ntsim/machine/machine.h"
#include "ntsim/kernel/process.h"
#include "replace/byte_replace.h"
#include "bench_stats.h"

namespace {

const char* kOldHex = "0515000000010000000200000003000000";
const char* kNewHex = "05150000009A0000009B0000009C000000";

// A file of the given size with one SID every 1 MiB, its other bytes either
// hive-like (half zeros, UTF-16 letters, 0xFF fill, small numbers, some noise)
// or uniformly random.
void MakeFile(const std::string& host, size_t mib, bool hiveLike) {
    std::vector<uint8_t> block(1 << 20);
    std::mt19937 rng(1);
    for (size_t i = 0; i < block.size(); ++i) {
        uint32_t r = rng(), kind = r % 10, v = r >> 8;
        if (!hiveLike)
            block[i] = (uint8_t)v;
        else
            block[i] = kind < 5 ? 0 : kind < 7 ? (uint8_t)('a' + v % 26) : kind < 8 ? 0xFF : kind < 9 ? (uint8_t)(1 + v % 31) : (uint8_t)v;
    }
    uint8_t sid[17] = {0x05, 0x15, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0};
    memcpy(&block[(1 << 20) - 4000], sid, sizeof sid);
    FILE* f = ::fopen(host.c_str(), "wb");
    for (size_t i = 0; i < mib; ++i) fwrite(block.data(), 1, block.size(), f);
    fclose(f);
}

// Runs work in a child process attached to the machine; returns its seconds and peak RSS (KiB).
double CpuSeconds(const struct rusage& usage) {
    return (double)usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + (double)usage.ru_stime.tv_sec +
           usage.ru_stime.tv_usec / 1e6;
}

// Runs work in a child process attached to the machine; returns its seconds, the processor
// seconds it took (user and system) and the peak RSS (KiB).
template <class F>
void InChild(const std::string& machine, F work, double* seconds, double* cpu, long* maxRssKib) {
    pid_t pid = fork();
    if (pid == 0) {
        std::string err;
        if (!ntsim::ProcessAttach(machine, "Administrator", false, &err)) _exit(2);
        logStream = nullptr;
        struct rusage before, after;
        getrusage(RUSAGE_SELF, &before);
        double t0 = Now();
        int ok = work();
        double t1 = Now();
        getrusage(RUSAGE_SELF, &after);
        FILE* out = ::fopen((machine + "/.bench_time").c_str(), "w");
        fprintf(out, "%.6f %.6f\n", t1 - t0, CpuSeconds(after) - CpuSeconds(before));
        fclose(out);
        ntsim::ProcessDetach();
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    struct rusage usage;
    wait4(pid, &status, 0, &usage);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "child failed (status %d)\n", status);
        exit(1);
    }
    *maxRssKib = usage.ru_maxrss;
    FILE* in = ::fopen((machine + "/.bench_time").c_str(), "r");
    if (fscanf(in, "%lf %lf", seconds, cpu) != 2) *seconds = *cpu = 0;
    fclose(in);
}

// `cat FILE > /dev/null`: its seconds, and the processor seconds it took.
double CatSeconds(const std::string& host, double* cpu = nullptr) {
    double t0 = Now();
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        if (null < 0 || dup2(null, 1) < 0) _exit(2);
        execlp("cat", "cat", host.c_str(), (char*)nullptr);
        _exit(2);
    }
    int status = 0;
    struct rusage usage;
    wait4(pid, &status, 0, &usage);
    double seconds = Now() - t0;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) exit(1);
    if (cpu) *cpu = CpuSeconds(usage);
    return seconds;
}

}  // namespace

int main(int argc, char** argv) {
    size_t mib = argc > 1 ? (size_t)atol(argv[1]) : 1024;
    int rounds = argc > 2 ? atoi(argv[2]) : 7;
    if (rounds < 1) rounds = 1;
    char tmpl[] = "/tmp/tessiv-bench-XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    std::string machine = std::string(tmpl) + "/m";
    std::string err;
    if (!ntsim::MachineCreate(machine, ntsim::MachineOptions(), &err)) {
        fprintf(stderr, "%s\n", err.c_str());
        return 1;
    }
    long baseRss = 0;
    double ignored = 0;
    InChild(machine, [] { return 1; }, &ignored, &ignored, &baseRss);

    struct Run {
        size_t size;
        bool hiveLike;
    } runs[] = {{mib / 4, true}, {mib, true}, {mib, false}};
    for (const Run& r : runs) {
        size_t size = r.size;
        std::string host = machine + "/drives/c/big.dat";
        MakeFile(host, size, r.hiveLike);
        CatSeconds(host);  // brings the file into the page cache
        std::string loadBefore = LoadAverage();
        std::vector<double> cats, scans, ratios, cpuRatios;
        long rss = 0;
        for (int run = 0; run < rounds; ++run) {
            // Alternate the direction so that every run finds and writes the same number;
            // and which of the two goes first, so that neither always finds the cache warmer.
            bool forward = run % 2 == 0;
            double catCpu = 0, cpu = 0;
            double cat = forward ? CatSeconds(host, &catCpu) : 0;
            double seconds = 0;
            long peak = 0;
            InChild(machine,
                    [forward] {
                        return ReplaceHexInFile("C:\\big.dat", forward ? kOldHex : kNewHex,
                                                forward ? kNewHex : kOldHex) == 0;
                    },
                    &seconds, &cpu, &peak);
            if (!forward) cat = CatSeconds(host, &catCpu);
            cats.push_back(cat);
            scans.push_back(seconds);
            ratios.push_back(cat / seconds);
            cpuRatios.push_back(catCpu / cpu);
            if (peak > rss) rss = peak;
        }
        double cat = Median(cats), scan = Median(scans), mb = (double)size;
        printf("%s file %zu MiB, %d rounds: cat %.3f s (%.0f MiB/s), ReplaceHexInFile %.3f s (%.0f MiB/s), "
               "ratio %.2f of cat (rounds %.2f..%.2f); load average %s before, %s after\n",
               r.hiveLike ? "hive-like" : "random", size, rounds, cat, mb / cat, scan, mb / scan, Median(ratios),
               *std::min_element(ratios.begin(), ratios.end()), *std::max_element(ratios.begin(), ratios.end()),
               loadBefore.c_str(), LoadAverage().c_str());
        printf("  processor time (user and system) of cat over the scan's: %.2f (rounds %.2f..%.2f), less disturbed by "
               "other work on the machine\n",
               Median(cpuRatios), *std::min_element(cpuRatios.begin(), cpuRatios.end()),
               *std::max_element(cpuRatios.begin(), cpuRatios.end()));
        printf("  peak RSS: process attached only %ld KiB, with the scan %ld KiB (difference %ld KiB)\n", baseRss, rss,
               rss - baseRss);
        fflush(stdout);
        unlink(host.c_str());
    }
    std::string cleanup = std::string("rm -rf '") + tmpl + "'";
    return system(cleanup.c_str()) == 0 ? 0 : 1;
}
