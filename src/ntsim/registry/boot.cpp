// Boot-time hive replacement: the swaps that RegReplaceKeyA recorded.
#include "ntsim/registry/boot.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <vector>

#include "nt/win32.h"
#include "ntsim/kernel/faults.h"
#include "ntsim/kernel/host_sync.h"
#include "ntsim/kernel/process.h"

namespace ntsim {

namespace {

std::string Resolve(const std::string& machineDir, const std::string& recorded) {
    return (!recorded.empty() && recorded[0] == '/') ? recorded : machineDir + "/" + recorded;
}

uint32_t ErrnoError(int e) {
    switch (e) {
        case ENOENT: return ERROR_FILE_NOT_FOUND;
        case ENOTDIR: return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM: return ERROR_ACCESS_DENIED;
        default: return ERROR_GEN_FAILURE;
    }
}

uint32_t WriteRecord(const std::string& path, const std::vector<std::string>& lines) {
    if (lines.empty()) return unlink(path.c_str()) == 0 || errno == ENOENT ? ERROR_SUCCESS : ErrnoError(errno);
    std::string temp = path + ".tmp";
    FILE* f = fopen(temp.c_str(), "wb");
    if (!f) return ErrnoError(errno);
    for (const auto& line : lines) fprintf(f, "%s\n", line.c_str());
    fflush(f);
    HostSync(fileno(f));
    fclose(f);
    return rename(temp.c_str(), path.c_str()) == 0 ? ERROR_SUCCESS : ErrnoError(errno);
}

// Processes still attached to the machine look at their hive files again (see RefreshState).
void RaiseGeneration(const std::string& machineDir) {
    int fd = open((machineDir + "/.registry-generation").c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return;
    struct stat st;
    if (fstat(fd, &st) == 0 && st.st_size >= 8) {
        void* map = mmap(nullptr, 8, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (map != MAP_FAILED) {
            __atomic_add_fetch((uint64_t*)map, 1, __ATOMIC_RELEASE);
            munmap(map, 8);
        }
    }
    close(fd);
}

// A power loss can be injected before each rename of a swap (function "BootHiveSwap",
// path the live hive file): the boot process ends there, as the machine would.
void SwapStep(const std::string& live) {
    uint32_t error = 0;
    if (FaultArmed("BootHiveSwap")) FaultHit("BootHiveSwap", live, &error);
}

}  // namespace

uint32_t ApplyPendingHiveReplacements(const std::string& machineDir) {
    // Serialised with the machine's processes through the machine's lock file.
    int lockFd = open((machineDir + "/.machine.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    bool ownLock = lockFd >= 0 && !(ProcessAttached() && CurrentProcess().machineDir == machineDir);
    if (ownLock) flock(lockFd, LOCK_EX);
    std::unique_ptr<MachineLock> machineLock;
    if (!ownLock && ProcessAttached()) machineLock = std::make_unique<MachineLock>();
    std::string record = machineDir + "/" + kPendingHiveReplacements;
    std::vector<std::string> lines;
    {
        std::ifstream in(record);
        std::string line;
        while (std::getline(in, line))
            if (!line.empty()) lines.push_back(line);
    }
    uint32_t result = ERROR_SUCCESS;
    size_t done = 0;
    // Each swap is two renames, and the record is rewritten only at the end: a power loss at
    // any point leaves files from which the next boot can tell how far each swap got.
    for (; done < lines.size(); ++done) {
        std::stringstream fields(lines[done]);
        std::string live, replacement, old;
        if (!std::getline(fields, live, '\t') || !std::getline(fields, replacement, '\t') || !std::getline(fields, old)) continue;
        live = Resolve(machineDir, live);
        replacement = Resolve(machineDir, replacement);
        old = Resolve(machineDir, old);
        bool haveLive = access(live.c_str(), F_OK) == 0, haveOld = access(old.c_str(), F_OK) == 0;
        if (access(replacement.c_str(), F_OK) != 0) {
            if (haveLive && haveOld) continue;  // swapped by a boot that lost power before it rewrote the record
            result = ErrnoError(errno);
            break;
        }
        // The live file keeps its contents under the old name; the new file takes the live name.
        // A live file that is missing was moved aside by a boot cut off before the second rename.
        if (haveLive) {
            SwapStep(live);
            if (rename(live.c_str(), old.c_str()) != 0) {
                result = ErrnoError(errno);
                break;
            }
        }
        SwapStep(live);
        if (rename(replacement.c_str(), live.c_str()) != 0) {
            result = ErrnoError(errno);
            if (haveLive) rename(old.c_str(), live.c_str());  // put the live hive back
            break;
        }
    }
    if (done) RaiseGeneration(machineDir);
    std::vector<std::string> remaining(lines.begin() + (long)done, lines.end());
    uint32_t written = WriteRecord(record, remaining);
    if (result == ERROR_SUCCESS) result = written;
    if (lockFd >= 0) {
        if (ownLock) flock(lockFd, LOCK_UN);
        close(lockFd);
    }
    return result;
}

}  // namespace ntsim
