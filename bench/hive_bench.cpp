// Hive file speed and size: our load and save of a hive of real shape (see hive_shape.h;
// 400,000 keys and 1,600,000 values) against hivexml reading the same file, and the
// memory a loaded hive takes against its file size.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "hive_shape.h"
#include "ntsim/registry/hive.h"
#include "ntsim/registry/regf.h"

namespace {

double Now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// A field of /proc/self/status in KiB.
long StatusKb(const char* field) {
    FILE* f = fopen("/proc/self/status", "r");
    if (!f) return -1;
    char line[256];
    long kb = -1;
    size_t n = strlen(field);
    while (fgets(line, sizeof line, f))
        if (strncmp(line, field, n) == 0 && line[n] == ':') kb = atol(line + n + 1);
    fclose(f);
    return kb;
}

// Keys and values of a tree, to check that a load brought everything back.
size_t CountItems(const ntsim::HiveKey& root) {
    size_t n = 0;
    std::vector<const ntsim::HiveKey*> stack{&root};
    while (!stack.empty()) {
        const ntsim::HiveKey* k = stack.back();
        stack.pop_back();
        n += 1 + k->values.size();
        for (const auto& sub : k->subkeys) stack.push_back(sub.get());
    }
    return n;
}

// Loads the file in a fresh process and prints the peak memory the load added.
int LoadOnly(const char* path) {
    long before = StatusKb("VmRSS");
    ntsim::Hive hive;
    double t = Now();
    uint32_t err = ntsim::RegfLoadFile(path, &hive);
    t = Now() - t;
    long peak = StatusKb("VmHWM");
    long after = StatusKb("VmRSS");
    printf("%u %ld %ld %.3f\n", err, peak - before, after - before, t);
    return err == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && strcmp(argv[1], "--load-only") == 0) return LoadOnly(argv[2]);
    std::string dir = argc > 1 ? argv[1] : "/tmp";
    std::string file = dir + "/bench_hive", saved = dir + "/bench_hive_saved";

    double t = Now();
    bench::HiveShape shape;
    ntsim::Hive hive = bench::MakeShapedHive(shape, nullptr);
    if (ntsim::RegfSaveFile(hive, file) != 0) {
        fprintf(stderr, "cannot write %s\n", file.c_str());
        return 1;
    }
    struct stat st;
    stat(file.c_str(), &st);
    double fileMiB = st.st_size / 1048576.0;
    printf("generated %s: %.1f MiB, %zu keys and values, in %.2f s\n", file.c_str(), fileMiB, CountItems(*hive.root), Now() - t);

    // Best of three for each, so a busy machine disturbs the ratios less.
    double load = 1e9, save = 1e9, xml = 1e9, serialise = 1e9;
    for (int round = 0; round < 3; ++round) {
        ntsim::Hive loaded;
        t = Now();
        uint32_t err = ntsim::RegfLoadFile(file, &loaded);
        load = std::min(load, Now() - t);
        if (err) {
            fprintf(stderr, "load failed: %u\n", err);
            return 1;
        }
        if (CountItems(*loaded.root) != CountItems(*hive.root)) {
            fprintf(stderr, "the load lost keys or values\n");
            return 1;
        }
        t = Now();
        err = ntsim::RegfSaveFile(loaded, saved);
        save = std::min(save, Now() - t);
        if (err) {
            fprintf(stderr, "save failed: %u\n", err);
            return 1;
        }
        std::vector<uint8_t> image;
        t = Now();
        ntsim::RegfWrite(loaded, &image);
        serialise = std::min(serialise, Now() - t);
        struct stat savedStat;
        if (stat(saved.c_str(), &savedStat) != 0 || savedStat.st_size != st.st_size || image.size() != (size_t)st.st_size) {
            fprintf(stderr, "the saved hive differs in size from the original\n");
            return 1;
        }
        t = Now();
        int rc = system(("hivexml " + file + " > /dev/null").c_str());
        xml = std::min(xml, Now() - t);
        if (rc != 0) {
            fprintf(stderr, "hivexml failed on our file\n");
            return 1;
        }
    }

    // Memory: the load alone, in a fresh process of this program.
    std::string cmd = "/proc/self/exe";
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        self[n] = 0;
        cmd = self;
    }
    FILE* p = popen(("'" + cmd + "' --load-only '" + file + "'").c_str(), "r");
    unsigned err = 1;
    long peakKb = 0, keptKb = 0;
    double childLoad = 0;
    if (!p || fscanf(p, "%u %ld %ld %lf", &err, &peakKb, &keptKb, &childLoad) != 4 || err != 0) {
        fprintf(stderr, "the load-only run failed\n");
        return 1;
    }
    pclose(p);

    printf("our load (RegfLoadFile):    %.3f s\n", load);
    printf("our save (RegfSaveFile):    %.3f s\n", save);
    printf("  of which RegfWrite:       %.3f s (the rest is writing and fsync)\n", serialise);
    printf("hivexml FILE > /dev/null:   %.3f s\n", xml);
    printf("loaded hive: peak %.1f MiB, kept %.1f MiB, file %.1f MiB\n", peakKb / 1024.0, keptKb / 1024.0, fileMiB);
    printf("ratio load/hivexml:   %.3f (target <= 0.25)\n", load / xml);
    printf("ratio save/hivexml:   %.3f (target <= 1.0)\n", save / xml);
    printf("ratio memory/file:    %.2f (peak; target <= 3)\n", peakKb / 1024.0 / fileMiB);
    unlink(saved.c_str());
    return 0;
}
