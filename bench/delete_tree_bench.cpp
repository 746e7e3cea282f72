// DeleteDirectoryTree on a tree of files against `rm -rf` on an identical tree,
// both made in the same run.
//   bench_delete_tree_bench [files=100000] [directory=/tmp] [rounds=3]
// (a tmpfs directory such as /dev/shm measures the calls' own cost; a disk directory
// includes the file system's metadata writes, which both sides pay alike)
// The tree: 100 directories of files/100 files each, plus a few read-only and
// hidden ones; the simulated copy is made through the Win32 calls, so its files
// carry their security descriptors as the program's own files would. Each round makes
// both trees afresh and times the two deletions, in turns first; the median ratio is
// reported, as a shared machine's noise moves single rounds a good deal.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/output.h"
#include "ntsim/machine/machine.h"
#include "ntsim/kernel/process.h"
#include "replace/byte_replace.h"
#include "bench_stats.h"

namespace {

// The simulated tree below C:\tree and the plain one, with the same names and sizes.
bool MakeTrees(const std::string& plain, long files, long dirs) {
    mkdir(plain.c_str(), 0755);
    CreateDirectoryA("C:\\tree", nullptr);
    char path[MAX_PATH];
    for (long d = 0; d < dirs; ++d) {
        snprintf(path, sizeof path, "C:\\tree\\dir%03ld", d);
        CreateDirectoryA(path, nullptr);
        mkdir((plain + "/dir" + std::to_string(d)).c_str(), 0755);
        for (long i = 0; i < files / dirs; ++i) {
            snprintf(path, sizeof path, "C:\\tree\\dir%03ld\\file%05ld.dat", d, i);
            FILE* f = fopen(path, "wb");
            if (!f) {
                fprintf(stderr, "cannot create %s\n", path);
                return false;
            }
            fputs("x", f);
            fclose(f);
            if (i % 500 == 0) SetFileAttributesA(path, i % 1000 ? FILE_ATTRIBUTE_HIDDEN : FILE_ATTRIBUTE_READONLY);
            std::string host = plain + "/dir" + std::to_string(d) + "/file" + std::to_string(i) + ".dat";
            FILE* h = ::NtsimFopen(host.c_str(), "wb");  // a host path: an ordinary file
            fputs("x", h);
            fclose(h);
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    long files = argc > 1 ? atol(argv[1]) : 100000;
    const long dirs = 100;
    std::string where = argc > 2 ? argv[2] : "/tmp";
    int rounds = argc > 3 ? atoi(argv[3]) : 3;
    if (rounds < 1) rounds = 1;
    std::string pattern = where + "/tessiv-bench-XXXXXX";
    std::vector<char> tmpl(pattern.begin(), pattern.end());
    tmpl.push_back(0);
    if (!mkdtemp(tmpl.data())) return 1;
    std::string machine = std::string(tmpl.data()) + "/m";
    std::string plain = std::string(tmpl.data()) + "/plain";
    std::string err;
    if (!ntsim::MachineCreate(machine, ntsim::MachineOptions(), &err) ||
        !ntsim::ProcessAttach(machine, "Administrator", false, &err)) {
        fprintf(stderr, "%s\n", err.c_str());
        return 1;
    }
    std::vector<double> ratios;
    bool ok = true;
    for (int round = 0; round < rounds && ok; ++round) {
        if (!MakeTrees(plain, files, dirs)) return 1;
        sync();
        double rm = 0, ours = 0;
        for (int turn = 0; turn < 2; ++turn) {
            if ((turn == 0) == (round % 2 == 0)) {
                double t0 = Now();
                std::string command = "rm -rf '" + plain + "'";
                if (system(command.c_str()) != 0) return 1;
                rm = Now() - t0;
            } else {
                double t0 = Now();
                ok = DeleteDirectoryTree("C:\\tree") != 0;
                ours = Now() - t0;
            }
        }
        ratios.push_back(ours / rm);
        printf("round %d: %ld files: rm -rf %.3f s, DeleteDirectoryTree %.3f s (%s), ratio %.2f\n", round + 1, files, rm,
               ours, ok ? "deleted" : "FAILED", ours / rm);
    }
    std::sort(ratios.begin(), ratios.end());
    if (ok) printf("median ratio of DeleteDirectoryTree to rm -rf: %.2f (target at most 1.5)\n", ratios[ratios.size() / 2]);
    ntsim::ProcessDetach();
    std::string cleanup = std::string("rm -rf '") + tmpl.data() + "'";
    return ok && system(cleanup.c_str()) == 0 ? 0 : 1;
}
