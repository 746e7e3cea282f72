// The transcript: every window shown, text set, box answered and key pressed, in
// order with the time since the process started its user interface.
#include <cstdio>
#include <mutex>

#include "ntsim/user/operator.h"
#include "ntsim/kernel/clock.h"
#include "ntsim/kernel/threads.h"

namespace ntsim {

namespace {

ntsim::SimMutex g_mutex;
std::vector<std::string> g_lines;
FILE* g_file = nullptr;
bool g_stderr = false;
uint64_t g_origin = 0;

}  // namespace

void TranscriptOpen(const std::string& path, bool toStderr) {
    std::lock_guard<ntsim::SimMutex> lock(g_mutex);
    if (g_file) fclose(g_file);
    g_file = nullptr;
    // Appended to: one transcript can follow a machine through several programs and boots.
    if (!path.empty()) {
        g_file = fopen(path.c_str(), "a");
        if (!g_file) fprintf(stderr, "ntsim: cannot write the transcript %s\n", path.c_str());
    }
    g_stderr = toStderr;
}

void TranscriptClear() {
    std::lock_guard<ntsim::SimMutex> lock(g_mutex);
    g_lines.clear();
    g_origin = SteadyMs();
}

std::vector<std::string> TranscriptLines() {
    std::lock_guard<ntsim::SimMutex> lock(g_mutex);
    return g_lines;
}

void TranscriptAdd(const std::string& line) {
    std::lock_guard<ntsim::SimMutex> lock(g_mutex);
    uint64_t now = SteadyMs();
    if (g_origin == 0) g_origin = now;
    g_lines.push_back(line);
    char stamp[32];
    snprintf(stamp, sizeof stamp, "[%8.3f] ", (double)(now - g_origin) / 1000.0);
    if (g_file) {
        fprintf(g_file, "%s%s\n", stamp, line.c_str());
        fflush(g_file);
    }
    if (g_stderr) fprintf(stderr, "%s%s\n", stamp, line.c_str());
}

}  // namespace ntsim
