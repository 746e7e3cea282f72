// The file system security walk (ScanFileSystemSecurity) over a tree of files on the host
// file system, against `getfattr -R -n user.ntsim.sd` reading the same descriptors.
//   bench_file_walk_bench [files=100000] [directory=/tmp] [rounds=3] [preset=nt4-workstation] [depth=0]
// The tree: 100 folders of files/100 files each on the machine's C: drive, each with its
// descriptor in the user.ntsim.sd attribute, one in ten naming an account of the old
// machine SID. Each round walks all drives once (old SID to new, the next round back
// again, its write-ahead record of the changed files kept as in a job) and runs getfattr
// once, in turns first; the median ratio is reported, and the same for the processor time
// each takes (user and system), which a busy machine disturbs less. Memory: the
// heap the walk still holds when it ends, per changed file (the restore's list is the
// record on the disk, so this stays near nothing).
// With depth > 0 the tree is a profile-like one of that many folder levels, four folders a
// level, the files spread over the deepest folders: every folder gives an account of the
// old machine an entry of its own that folders and files below inherit, as a user's folders
// do, and the files hold only inherited entries. On Windows 2000 and XP (preset w2k-member,
// xp-standalone) each folder the walk writes makes the security API recompute everything
// below it; after the last round every descriptor is checked against what its folder's
// lists give it.
#include <dirent.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>
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
#include "core/sid_text.h"
#include "ntsim/machine/machine.h"
#include "ntsim/kernel/process.h"
#include "ntsim/files/security.h"
#include "ntsim/security/access.h"
#include "ntsim/security/sd.h"
#include "replace/file_walk.h"
#include "bench_stats.h"

namespace {

// Processor seconds (user and system) of this process, or of its ended children.
double Cpu(int who) {
    struct rusage use;
    getrusage(who, &use);
    return (double)use.ru_utime.tv_sec + use.ru_utime.tv_usec / 1e6 + (double)use.ru_stime.tv_sec +
           use.ru_stime.tv_usec / 1e6;
}

const char* kOldSid = "S-1-5-21-1004336348-1177238915-682003330";
const char* kNewSid = "S-1-5-21-2000000001-2000000002-2000000003";

std::vector<uint8_t> SidOf(const std::string& text) {
    ntsim::SidBytes s;
    ntsim::SidFromText(text, &s);
    return s;
}

// Owner Administrators, group SYSTEM, a DACL of the usual inherited entries; with an
// account of the old machine when old is set.
std::vector<uint8_t> Descriptor(bool old) {
    std::vector<std::string> who = {"S-1-5-32-544", "S-1-5-18", "S-1-3-0", "S-1-5-32-545"};
    if (old) who.push_back(std::string(kOldSid) + "-1003");
    std::vector<ntsim::AceEntry> aces(who.size());
    for (size_t i = 0; i < who.size(); ++i) {
        aces[i].flags = INHERITED_ACE;
        aces[i].mask = i < 3 ? 0x1F01FF : 0x1200A9;
        aces[i].sid = SidOf(who[i]);
    }
    std::vector<uint8_t> owner = SidOf("S-1-5-32-544"), group = SidOf("S-1-5-18"), dacl = ntsim::AclBuild(aces);
    return ntsim::SdBuild(SE_DACL_PRESENT | SE_DACL_AUTO_INHERITED, owner.data(), group.data(), nullptr, dacl.data());
}

// A folder's or file's descriptor of the profile-like tree: an entry of its own for the
// old machine's account when own (a folder), the entries it inherits from the levels above.
std::vector<uint8_t> DeepDescriptor(int ownLevel, int level, bool folder) {
    // The top folder's list is protected: its own entry and the administrators'; each level
    // below adds its own entry before what it inherits, in its folder's order.
    std::vector<ntsim::AceEntry> aces;
    uint8_t inherited = (uint8_t)(INHERITED_ACE | (folder ? OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE : 0));
    if (ownLevel >= 0) {
        ntsim::AceEntry own;
        own.mask = 0x1301BF;
        own.sid = SidOf(std::string(kOldSid) + "-" + std::to_string(1000 + ownLevel));
        own.flags = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
        aces.push_back(own);
    }
    for (int up = level - 1; up >= 0; --up) {
        ntsim::AceEntry got;
        got.mask = 0x1301BF;
        got.sid = SidOf(std::string(kOldSid) + "-" + std::to_string(1000 + up));
        got.flags = inherited;
        aces.push_back(got);
    }
    ntsim::AceEntry base;
    base.mask = 0x1F01FF;
    base.sid = SidOf("S-1-5-32-544");
    base.flags = level == 0 ? (uint8_t)(OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE) : inherited;
    aces.push_back(base);
    uint16_t control = SE_DACL_PRESENT | SE_DACL_AUTO_INHERITED | (level == 0 ? SE_DACL_PROTECTED : 0);
    std::vector<uint8_t> owner = SidOf("S-1-5-32-544"), group = SidOf("S-1-5-18"), dacl = ntsim::AclBuild(aces);
    return ntsim::SdBuild(control, owner.data(), group.data(), nullptr, dacl.data());
}

bool MakeDeepFolder(const std::string& path, int level, int depth, long perLeaf, long* folders, long* files) {
    mkdir(path.c_str(), 0755);
    std::vector<uint8_t> sd = DeepDescriptor(level, level, true);
    setxattr(path.c_str(), "user.ntsim.sd", sd.data(), sd.size(), 0);
    ++*folders;
    if (level == depth) {
        std::vector<uint8_t> fileSd = DeepDescriptor(-1, level + 1, false);
        for (long i = 0; i < perLeaf; ++i) {
            std::string file = path + "/file" + std::to_string(i) + ".dat";
            FILE* f = ::NtsimFopen(file.c_str(), "wb");
            if (!f) return false;
            fputs("x", f);
            fclose(f);
            if (setxattr(file.c_str(), "user.ntsim.sd", fileSd.data(), fileSd.size(), 0) != 0) return false;
            ++*files;
        }
        return true;
    }
    for (int i = 0; i < 4; ++i)
        if (!MakeDeepFolder(path + "/d" + std::to_string(i), level + 1, depth, perLeaf, folders, files)) return false;
    return true;
}

// Every descriptor below path against what its folder's lists give it now; and the
// descriptors that still name the old machine.
void CheckDeep(const std::string& path, const std::vector<uint8_t>& parentSd, long* wrong, long* old, long* seen) {
    std::vector<uint8_t> sd(4096);
    ssize_t n = getxattr(path.c_str(), "user.ntsim.sd", sd.data(), sd.size());
    if (n <= 0) return;
    sd.resize((size_t)n);
    struct stat st;
    bool folder = stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    ++*seen;
    std::vector<uint8_t> expect = ntsim::AutoInheritDescriptor(parentSd.data(), parentSd.size(), sd.data(), sd.size(),
                                                               folder, ntsim::FileGenericMapping(),
                                                               DACL_SECURITY_INFORMATION);
    if (expect != sd) ++*wrong;
    ntsim::SidBytes oldSid = SidOf(kOldSid);
    if (std::search(sd.begin(), sd.end(), oldSid.begin() + 8, oldSid.end()) != sd.end()) ++*old;
    if (!folder) return;
    DIR* dir = opendir(path.c_str());
    if (!dir) return;
    while (struct dirent* e = readdir(dir))
        if (e->d_name[0] != '.') CheckDeep(path + "/" + e->d_name, sd, wrong, old, seen);
    closedir(dir);
}

bool MakeTree(const std::string& hostRoot, long files, long dirs, long* withOld) {
    std::vector<uint8_t> clean = Descriptor(false), old = Descriptor(true);
    std::string tree = hostRoot + "/tree";
    mkdir(tree.c_str(), 0755);
    setxattr(tree.c_str(), "user.ntsim.sd", clean.data(), clean.size(), 0);
    *withOld = 0;
    for (long d = 0; d < dirs; ++d) {
        std::string dir = tree + "/dir" + std::to_string(d);
        mkdir(dir.c_str(), 0755);
        setxattr(dir.c_str(), "user.ntsim.sd", clean.data(), clean.size(), 0);
        for (long i = 0; i < files / dirs; ++i) {
            std::string path = dir + "/file" + std::to_string(i) + ".dat";
            FILE* f = ::NtsimFopen(path.c_str(), "wb");
            if (!f) return false;
            fputs("x", f);
            fclose(f);
            bool holds = (d * (files / dirs) + i) % 10 == 0;
            const std::vector<uint8_t>& sd = holds ? old : clean;
            if (setxattr(path.c_str(), "user.ntsim.sd", sd.data(), sd.size(), 0) != 0) {
                fprintf(stderr, "cannot set user.ntsim.sd on %s (user attributes needed)\n", path.c_str());
                return false;
            }
            *withOld += holds;
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
    ntsim::MachineOptions options;
    if (argc > 4) options.preset = argv[4];
    int depth = argc > 5 ? atoi(argv[5]) : 0;
    std::string pattern = where + "/tessiv-bench-XXXXXX";
    std::vector<char> tmpl(pattern.begin(), pattern.end());
    tmpl.push_back(0);
    if (!mkdtemp(tmpl.data())) return 1;
    std::string top = tmpl.data(), machine = top + "/m", drive = machine + "/drives/c";
    std::string err;
    if (!ntsim::MachineCreate(machine, options, &err) ||
        !ntsim::ProcessAttach(machine, "", true, &err)) {
        fprintf(stderr, "%s\n", err.c_str());
        return 1;
    }
    long withOld = 0, folders = 0, made = 0;
    if (depth > 0) {
        long leaves = 1;
        for (int i = 0; i < depth; ++i) leaves *= 4;
        if (!MakeDeepFolder(drive + "/tree", 0, depth, files / leaves, &folders, &made)) return 1;
        printf("tree: %d levels below the top, %ld folders, %ld files\n", depth, folders, made);
        files = made;
        withOld = folders + made;
    } else if (!MakeTree(drive, files, dirs, &withOld)) {
        return 1;
    }

    serviceMode = TRUE;
    CreateJobSettings();
    Sid oldSid, newSid;
    SidFromText(kOldSid, &oldSid);
    SidFromText(kNewSid, &newSid);
    EnablePrivilege(SE_RESTORE_NAME, TRUE);
    EnablePrivilege(SE_BACKUP_NAME, TRUE);
    EnablePrivilege(SE_SECURITY_NAME, TRUE);
    // The walk keeps its write-ahead record in the job's work directory, as in a job; the
    // folder is on the drive the walk goes over, and the record is removed after each round.
    mkdir((drive + "/BENCHWORK").c_str(), 0755);
    snprintf(jobSettings->workDirectory, sizeof jobSettings->workDirectory, "C:\\BENCHWORK");
    const std::string recordHost = drive + "/BENCHWORK/" + kFileSecurityRecordName;
    std::string logPath = top + "/walk.log";
    logStream = ::NtsimFopen(logPath.c_str(), "w");

    std::vector<double> ratios, cpuRatios;
    double perChanged = 0;
    bool ok = true;
    for (int round = 0; round < rounds && ok; ++round) {
        jobSettings->originalSid = round % 2 ? &newSid : &oldSid;
        jobSettings->newSid = round % 2 ? &oldSid : &newSid;
        double walk = 0, attr = 0, walkCpu = 0, attrCpu = 0;
        for (int turn = 0; turn < 2; ++turn) {
            if ((turn == 0) == (round % 2 == 0)) {
                double t0 = Now(), c0 = Cpu(RUSAGE_CHILDREN);
                // Files without the attribute make getfattr complain and fail: its output is not wanted.
                int rc = system(("getfattr -R -n user.ntsim.sd '" + drive + "' > /dev/null 2>&1").c_str());
                (void)rc;
                attr = Now() - t0;
                attrCpu = Cpu(RUSAGE_CHILDREN) - c0;
            } else {
                size_t heap = mallinfo2().uordblks;
                double t0 = Now(), c0 = Cpu(RUSAGE_SELF);
                ok = ScanFileSystemSecurity() == 1;
                walk = Now() - t0;
                walkCpu = Cpu(RUSAGE_SELF) - c0;
                size_t kept = mallinfo2().uordblks - heap;
                // In the deep tree the security API may rewrite a file's inherited entries
                // before the walk comes to it: then the walk has nothing left to change there.
                if (depth == 0 && (long)changedFileCount != withOld) {
                    fprintf(stderr, "the walk changed %lu files, %ld hold the SID\n", (unsigned long)changedFileCount,
                            withOld);
                    ok = false;
                }
                if (changedFileCount) perChanged = (double)kept / changedFileCount;
            }
        }
        ratios.push_back(walk / attr);
        cpuRatios.push_back(walkCpu / attrCpu);
        printf("round %d: %ld files: getfattr %.3f s, ScanFileSystemSecurity %.3f s (%lu changed, %s), ratio %.2f\n",
               round + 1, files, attr, walk, (unsigned long)changedFileCount, ok ? "done" : "FAILED", walk / attr);
        printf("         processor time: getfattr %.3f s, ScanFileSystemSecurity %.3f s, ratio %.2f\n", attrCpu, walkCpu,
               walkCpu / attrCpu);
        FreeChangedFiles();
        unlink(recordHost.c_str());
    }
    if (depth > 0) {
        std::vector<uint8_t> top(4096);
        ssize_t n = getxattr(drive.c_str(), "user.ntsim.sd", top.data(), top.size());
        top.resize(n > 0 ? (size_t)n : 0);
        if (top.empty()) {
            bool secured;
            ntsim::FileRef ref;
            ntsim::FileResolve("C:\\", &ref);
            ntsim::FileDescriptor(ref, &top, &secured, true);
        }
        long wrong = 0, old = 0, seen = 0;
        CheckDeep(drive + "/tree", top, &wrong, &old, &seen);
        printf("after %d rounds: %ld descriptors, %ld not as their folder's lists give them, %ld naming the old "
               "machine SID\n",
               rounds, seen, wrong, old);
    }
    std::sort(ratios.begin(), ratios.end());
    std::sort(cpuRatios.begin(), cpuRatios.end());
    printf("memory kept per changed file: %.0f bytes\n", perChanged);
    if (ok) printf("median ratio of ScanFileSystemSecurity to getfattr -R: %.2f (target at most 1.2)\n", ratios[ratios.size() / 2]);
    if (ok) printf("median ratio of their processor times: %.2f\n", cpuRatios[cpuRatios.size() / 2]);
    fclose(logStream);
    logStream = nullptr;
    DestroyJobSettings();
    ntsim::ProcessDetach();
    std::string cleanup = "rm -rf '" + top + "'";
    return ok && system(cleanup.c_str()) == 0 ? 0 : 1;
}
