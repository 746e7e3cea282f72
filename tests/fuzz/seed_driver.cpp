// Runs a fuzz target once over every file of its seed corpus (and any files named
// on the command line), so the corpus is a regression test in every build.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

static int RunFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    return 1;
}

int main(int argc, char** argv) {
    int runs = 0;
    for (int i = 1; i < argc; ++i) {
        struct stat st;
        if (stat(argv[i], &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            DIR* d = opendir(argv[i]);
            while (struct dirent* e = d ? readdir(d) : nullptr) {
                if (e->d_name[0] == '.') continue;
                runs += RunFile(std::string(argv[i]) + "/" + e->d_name);
            }
            if (d) closedir(d);
        } else {
            runs += RunFile(argv[i]);
        }
    }
    // An empty input always runs too, so a missing corpus still exercises the target.
    LLVMFuzzerTestOneInput(nullptr, 0);
    printf("%d passed, 0 failed\n", runs + 1);
    return 0;
}
