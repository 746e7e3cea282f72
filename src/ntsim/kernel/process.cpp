// Process attach/detach, exit hooks and the machine lock.
#include "ntsim/kernel/process.h"

#include <fcntl.h>
#include <pthread.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "ntsim/kernel/faults.h"
#include "ntsim/kernel/threads.h"

namespace ntsim {

namespace {
Process* g_process = nullptr;
std::vector<std::pair<int, std::function<void()>>> g_exitHooks;
std::recursive_mutex g_lockMutex;
int g_lockDepth = 0;
int g_lockFd = -1;             // the lock file, open from the first lock to the detach
uint64_t g_lockAttach = 0;     // the attach it was opened for
bool g_atexitRegistered = false;

void LoadFaults(const Conf& conf) {
    for (const ConfSection* s : conf.All("fault")) {
        FaultRule r;
        r.function = s->Get("function", "*");
        r.error = (uint32_t)strtoul(s->Get("error", "0").c_str(), nullptr, 0);
        r.nth = strtol(s->Get("nth", "0").c_str(), nullptr, 0);
        r.pattern = s->Get("path", "");
        std::string action = s->Get("action", "fail");
        r.kill = action == "kill" || action == "kill-after-flush";
        r.flushFirst = action == "kill-after-flush";
        // "power-loss = unflushed": the cut also takes the data and renames not yet durable.
        r.loseUnflushed = s->Get("power-loss", "") == "unflushed";
        FaultAdd(r);
    }
}
}  // namespace

bool ProcessAttach(const std::string& dir, const std::string& user, bool service, std::string* error) {
    if (g_process) ProcessDetach();
    struct stat st;
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        *error = "no machine directory " + dir;
        return false;
    }
    auto* p = new Process;
    p->machineDir = dir;
    if (!ConfLoad(dir + "/machine.conf", &p->conf, error)) {
        delete p;
        return false;
    }
    p->service = service;
    if (!user.empty())
        p->user = user;
    else if (service)
        p->user = "SYSTEM";
    else {
        const ConfSection* session = p->conf.Find("session");
        p->user = session ? session->Get("user", "Administrator") : "Administrator";
    }
    // The environment a logon gives: system variables, then the machine's own.
    const ConfSection* machine = p->conf.Find("machine");
    std::string root = machine ? machine->Get("systemroot", "C:\\WINNT") : "C:\\WINNT";
    const ConfSection* session = p->conf.Find("session");
    std::string temp = session ? session->Get("temp", "C:\\TEMP") : "C:\\TEMP";
    p->environment = {{"SystemRoot", root},
                      {"windir", root},
                      {"SystemDrive", root.substr(0, 2)},
                      {"TEMP", temp},
                      {"TMP", temp},
                      {"COMPUTERNAME", machine ? machine->Get("name", "NTWKS01") : "NTWKS01"},
                      {"USERNAME", p->user},
                      {"USERPROFILE", root + "\\Profiles\\" + p->user},
                      {"OS", "Windows_NT"}};
    if (const ConfSection* env = p->conf.Find("environment"))
        for (const auto& kv : env->entries) {
            bool replaced = false;
            for (auto& e : p->environment)
                if (strcasecmp(e.first.c_str(), kv.first.c_str()) == 0) e.second = kv.second, replaced = true;
            if (!replaced) p->environment.push_back(kv);
        }
    static uint64_t attaches = 0;
    p->attachNumber = ++attaches;
    g_process = p;
    FaultClearAll();
    LoadFaults(p->conf);
    if (!g_atexitRegistered) {
        g_atexitRegistered = true;
        atexit([] { ProcessDetach(); });
    }
    return true;
}

void ProcessDetach() {
    if (!g_process) return;
    auto hooks = std::move(g_exitHooks);
    g_exitHooks.clear();
    std::stable_sort(hooks.begin(), hooks.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& h : hooks) h.second();
    {
        std::lock_guard<std::recursive_mutex> lock(g_lockMutex);
        if (g_lockFd >= 0 && g_lockDepth == 0) {
            close(g_lockFd);
            g_lockFd = -1;
        }
    }
    delete g_process;
    g_process = nullptr;
    FaultClearAll();
}

std::string ProcessGetEnv(const std::string& name, bool* found) {
    if (found) *found = false;
    if (!g_process) return "";
    for (const auto& e : g_process->environment)
        if (strcasecmp(e.first.c_str(), name.c_str()) == 0) {
            if (found) *found = true;
            return e.second;
        }
    return "";
}

void ProcessSetEnv(const std::string& name, const std::string& value) {
    if (!g_process) return;
    for (auto& e : g_process->environment)
        if (strcasecmp(e.first.c_str(), name.c_str()) == 0) {
            e.second = value;
            return;
        }
    g_process->environment.emplace_back(name, value);
}

bool ProcessAttached() { return g_process != nullptr; }

BootStepProcess::BootStepProcess(const std::string& machineDir) {
    if (ProcessAttached() && CurrentProcess().machineDir == machineDir) return;
    std::string error;
    ready_ = attachedHere_ = ProcessAttach(machineDir, "SYSTEM", true, &error);
}

BootStepProcess::~BootStepProcess() {
    if (attachedHere_) ProcessDetach();
}

Process& CurrentProcess() { return *g_process; }

std::string MachineFile(const std::string& relative) { return g_process->machineDir + "/" + relative; }

void AtProcessExit(int order, std::function<void()> hook) { g_exitHooks.emplace_back(order, std::move(hook)); }

// The lock is re-entrant within the process (threads queue on the mutex) and
// exclusive across processes through flock on the machine's lock file.
// A thread holding the lock is never parked by SuspendThread or TerminateThread:
// the abort's restore must be able to take it after the worker is stopped.
MachineLock::MachineLock() {
    ThreadEnterCritical();
    g_lockMutex.lock();
    if (g_lockDepth++ == 0 && g_process) {
        // The file stays open between locks (a key rename takes the lock several times). A
        // forked child closes its inherited copy: a lock is held by an open file, which
        // the two would share.
        static bool forkHandled = false;
        if (!forkHandled) {
            forkHandled = true;
            pthread_atfork(nullptr, nullptr, [] {
                if (g_lockFd >= 0) close(g_lockFd);
                g_lockFd = -1;
            });
        }
        if (g_lockFd >= 0 && g_lockAttach != g_process->attachNumber) {
            close(g_lockFd);
            g_lockFd = -1;
        }
        if (g_lockFd < 0) {
            g_lockFd = open((g_process->machineDir + "/.machine.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
            g_lockAttach = g_process->attachNumber;
        }
        if (g_lockFd >= 0) flock(g_lockFd, LOCK_EX);
        outer_ = true;
    }
    fd_ = g_lockFd;
}

MachineLock::~MachineLock() {
    if (--g_lockDepth == 0 && outer_ && g_lockFd >= 0) flock(g_lockFd, LOCK_UN);
    g_lockMutex.unlock();
    ThreadLeaveCritical();
}

}  // namespace ntsim
