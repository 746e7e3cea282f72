// The durable state of the files a program changes, for a power loss that takes what was
// never flushed (see durability.h).
#include "ntsim/files/durability.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <mutex>
#include <vector>

#include "ntsim/kernel/faults.h"
#include "ntsim/kernel/threads.h"

namespace ntsim {

namespace {

struct DurableData {
    bool existed = false;
    std::string data;
};

struct UndoneRename {
    std::string from, to;
    bool replaced = false;   // the rename replaced a file at to
    std::string replacedData;
};

ntsim::SimMutex g_mutex;
std::map<std::string, DurableData> g_kept;  // host path -> its durable data
std::vector<UndoneRename> g_renames;

bool ReadWhole(const std::string& path, std::string* data) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return false;
    char buffer[65536];
    size_t n;
    data->clear();
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) data->append(buffer, n);
    fclose(f);
    return true;
}

void WriteWhole(const std::string& path, const std::string& data) {
    if (FILE* f = fopen(path.c_str(), "wb")) {
        if (!data.empty()) fwrite(data.data(), 1, data.size(), f);
        fclose(f);
    }
}

bool Exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

bool DurabilityTracked() { return faultLosesUnflushed.load(std::memory_order_relaxed); }

void DurableBeforeWrite(const std::string& hostPath) {
    if (!DurabilityTracked()) return;
    std::lock_guard<ntsim::SimMutex> lock(g_mutex);
    if (g_kept.count(hostPath)) return;
    DurableData kept;
    kept.existed = ReadWhole(hostPath, &kept.data);
    g_kept.emplace(hostPath, std::move(kept));
}

void DurableFlushed(const std::string& hostPath) {
    std::lock_guard<ntsim::SimMutex> lock(g_mutex);
    g_kept.erase(hostPath);
}

ReplacedFile DurableBeforeRename(const std::string& toHost) {
    ReplacedFile replaced;
    if (DurabilityTracked()) replaced.existed = ReadWhole(toHost, &replaced.data);
    return replaced;
}

void DurableRenamed(const std::string& fromHost, const std::string& toHost, bool writeThrough,
                    const ReplacedFile& replaced) {
    if (!DurabilityTracked()) return;
    std::lock_guard<ntsim::SimMutex> lock(g_mutex);
    auto it = g_kept.find(fromHost);
    if (it != g_kept.end()) {
        DurableData kept = std::move(it->second);
        g_kept.erase(it);
        g_kept[toHost] = std::move(kept);
    } else {
        g_kept.erase(toHost);  // the file now at toHost is the one whose data was durable
    }
    if (!writeThrough) g_renames.push_back({fromHost, toHost, replaced.existed, replaced.data});
}

void DurablePowerLoss() {
    std::lock_guard<ntsim::SimMutex> lock(g_mutex);
    for (const auto& [path, kept] : g_kept)
        if (Exists(path)) WriteWhole(path, kept.existed ? kept.data : std::string());
    for (auto it = g_renames.rbegin(); it != g_renames.rend(); ++it) {
        if (!Exists(it->to)) continue;
        if (rename(it->to.c_str(), it->from.c_str()) != 0) continue;
        if (it->replaced) WriteWhole(it->to, it->replacedData);
    }
    g_kept.clear();
    g_renames.clear();
}

void DurableForget() {
    std::lock_guard<ntsim::SimMutex> lock(g_mutex);
    g_kept.clear();
    g_renames.clear();
}

// A kill rule's power cut takes what was not committed; clearing the rules forgets the record.
static const bool g_powerLossHooksSet = FaultSetPowerLossHook(kLoseUnflushedFiles, DurablePowerLoss) &&
                                        FaultSetPowerLossHook(kForgetUnflushedFiles, DurableForget);

}  // namespace ntsim
