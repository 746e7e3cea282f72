// Processes of the machine: launching installed host programs, their table, and
// ending them at shutdown.
#include "ntsim/kernel/processes.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "nt/win32.h"
#include "ntsim/kernel/paths.h"
#include "ntsim/kernel/process.h"

namespace ntsim {

namespace {

const char* const kTableFile = ".processes";

std::string TablePath(const std::string& machineDir) { return machineDir + "/" + kTableFile; }

// A process id that names a live process (a zombie has ended).
bool Alive(pid_t pid) {
    if (pid <= 0 || kill(pid, 0) != 0) return errno == EPERM;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return true;
    size_t close = line.rfind(')');
    return !(close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z');
}

// Read with plain calls: deleting a file asks for the table each time, and most machines
// have none (no program of theirs runs).
std::vector<RunningProcess> ReadTable(const std::string& machineDir) {
    std::vector<RunningProcess> out;
    int fd = open(TablePath(machineDir).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return out;
    std::string text;
    char chunk[4096];
    for (;;) {
        ssize_t got = read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        text.append(chunk, (size_t)got);
    }
    close(fd);
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        RunningProcess p;
        size_t a = line.find('\t'), b = a == std::string::npos ? a : line.find('\t', a + 1);
        if (b == std::string::npos) continue;
        p.pid = (pid_t)atol(line.substr(0, a).c_str());
        p.image = line.substr(a + 1, b - a - 1);
        p.hostPath = line.substr(b + 1);
        out.push_back(p);
    }
    return out;
}

void WriteTable(const std::string& machineDir, const std::vector<RunningProcess>& table) {
    std::string tmp = TablePath(machineDir) + ".new";
    {
        std::ofstream out(tmp, std::ios::trunc);
        for (const auto& p : table) out << p.pid << '\t' << p.image << '\t' << p.hostPath << '\n';
    }
    rename(tmp.c_str(), TablePath(machineDir).c_str());
}

std::string RealHostPath(const std::string& path) {
    char* real = realpath(path.c_str(), nullptr);
    if (!real) return path;
    std::string out = real;
    free(real);
    return out;
}

// The table changed under the machine's lock: this process's own lock when it is attached to
// that machine, else the lock file taken for the one change.
void EnterTable(const std::string& machineDir, const RunningProcess& entry) {
    auto change = [&] {
        std::vector<RunningProcess> kept;
        for (const auto& p : ReadTable(machineDir))
            if (p.pid != entry.pid && Alive(p.pid)) kept.push_back(p);
        kept.push_back(entry);
        WriteTable(machineDir, kept);
    };
    if (ProcessAttached() && RealHostPath(CurrentProcess().machineDir) == RealHostPath(machineDir)) {
        MachineLock lock;
        change();
        return;
    }
    int fd = open((machineDir + "/.machine.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) flock(fd, LOCK_EX);
    change();
    if (fd >= 0) close(fd);
}

void LeaveTable(const std::string& machineDir, pid_t pid) {
    MachineLock lock;
    auto table = ReadTable(machineDir);
    std::vector<RunningProcess> kept;
    for (const auto& p : table)
        if (p.pid != pid && Alive(p.pid)) kept.push_back(p);
    WriteTable(machineDir, kept);
}

}  // namespace

uint32_t ProgramHostPath(const std::string& windowsPath, std::string* hostPath) {
    std::string host;
    uint32_t err = MapWindowsPath(FullWindowsPath(windowsPath), &host);
    if (err != ERROR_SUCCESS) return err;
    struct stat st;
    if (stat(host.c_str(), &st) != 0) {
        size_t slash = host.find_last_of('/');
        struct stat dir;
        bool parent = slash != std::string::npos && stat(host.substr(0, slash).c_str(), &dir) == 0;
        return parent ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
    }
    if (S_ISDIR(st.st_mode)) return ERROR_ACCESS_DENIED;
    // A program is a host executable: an ELF file or a script, runnable by the host.
    char magic[4] = {0, 0, 0, 0};
    FILE* f = fopen(host.c_str(), "rb");
    size_t got = f ? fread(magic, 1, 4, f) : 0;
    if (f) fclose(f);
    bool program = (got == 4 && memcmp(magic, "\x7f" "ELF", 4) == 0) || (got >= 2 && magic[0] == '#' && magic[1] == '!');
    if (!program || !(st.st_mode & 0111)) return ERROR_BAD_EXE_FORMAT;
    *hostPath = host;
    return ERROR_SUCCESS;
}

uint32_t CommandLineProgram(const std::string& commandLine, std::string* image) {
    std::vector<std::string> candidates;
    if (!commandLine.empty() && commandLine[0] == '"') {
        size_t close = commandLine.find('"', 1);
        candidates.push_back(commandLine.substr(1, close == std::string::npos ? std::string::npos : close - 1));
    } else {
        for (size_t i = 0; i <= commandLine.size(); ++i)
            if (i == commandLine.size() || commandLine[i] == ' ' || commandLine[i] == '\t')
                if (i > 0) candidates.push_back(commandLine.substr(0, i));
    }
    uint32_t err = ERROR_FILE_NOT_FOUND;
    std::string host;
    for (const auto& c : candidates) {
        size_t slash = c.find_last_of('\\');
        bool hasExtension = c.find('.', slash == std::string::npos ? 0 : slash + 1) != std::string::npos;
        for (const std::string& name : hasExtension ? std::vector<std::string>{c} : std::vector<std::string>{c, c + ".exe"}) {
            err = ProgramHostPath(name, &host);
            if (err == ERROR_SUCCESS || err == ERROR_BAD_EXE_FORMAT) {
                *image = FullWindowsPath(name);
                return err;
            }
        }
    }
    return err;
}

uint32_t ProcessLaunch(const LaunchRequest& request, pid_t* pid) {
    std::string host;
    uint32_t err = ProgramHostPath(request.image, &host);
    if (err != ERROR_SUCCESS) return err;
    std::string image = FullWindowsPath(request.image);
    // Everything the child needs is prepared before fork: after it only exec is safe.
    std::vector<std::string> env = {"NTSIM_MACHINE=" + RealHostPath(request.machineDir), "NTSIM_USER=" + request.user,
                                    std::string("NTSIM_SERVICE=") + (request.service ? "1" : "0"),
                                    "NTSIM_SERVICE_NAME=" + request.serviceName, "NTSIM_IMAGE=" + image,
                                    "NTSIM_COMMAND_LINE=" + request.commandLine};
    std::vector<std::string> keep;
    for (char** e = environ; *e; ++e) {
        std::string v = *e;
        if (v.rfind("NTSIM_MACHINE=", 0) == 0 || v.rfind("NTSIM_USER=", 0) == 0 || v.rfind("NTSIM_SERVICE", 0) == 0 ||
            v.rfind("NTSIM_IMAGE=", 0) == 0 || v.rfind("NTSIM_COMMAND_LINE=", 0) == 0)
            continue;
        keep.push_back(v);
    }
    keep.insert(keep.end(), env.begin(), env.end());
    std::vector<char*> envp;
    for (auto& v : keep) envp.push_back(v.data());
    envp.push_back(nullptr);
    std::vector<char*> argv = {host.data(), nullptr};
    fflush(nullptr);
    pid_t child = fork();
    if (child < 0) return ERROR_NOT_ENOUGH_MEMORY;
    if (child == 0) {
        execve(host.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    // NT's process exists once the call returns: it is listed now, before it has run, so that
    // a parent that ends at once never leaves the machine with neither of them listed. The
    // child's own entry replaces this one.
    EnterTable(request.machineDir, RunningProcess{child, image, RealHostPath(host)});
    *pid = child;
    return ERROR_SUCCESS;
}

bool ProcessWaitExit(pid_t pid, uint32_t timeoutMs, uint32_t* exitCode) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int status = 0;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            if (exitCode) *exitCode = WIFEXITED(status) ? (uint32_t)WEXITSTATUS(status) : (uint32_t)-1;
            return true;
        }
        if (r < 0) {  // not our child (or already reaped): only its end can be seen
            if (!Alive(pid)) {
                if (exitCode) *exitCode = 0;
                return true;
            }
        }
        if (timeoutMs != INFINITE && std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void ProcessTableEnter(const std::string& image, const std::string& hostPath) {
    if (!ProcessAttached()) return;
    std::string dir = CurrentProcess().machineDir;
    pid_t me = getpid();
    {
        EnterTable(dir, RunningProcess{me, image, RealHostPath(hostPath)});
    }
    // Last of the exit hooks: the process's file stays in use until it has ended.
    AtProcessExit(1000, [dir, me] { LeaveTable(dir, me); });
}

std::vector<RunningProcess> ProcessTableList(const std::string& machineDir) {
    std::vector<RunningProcess> out;
    for (const auto& p : ReadTable(machineDir))
        if (Alive(p.pid)) out.push_back(p);
    return out;
}

bool ImageInUse(const std::string& hostPath) {
    if (!ProcessAttached()) return false;
    std::vector<RunningProcess> running = ProcessTableList(CurrentProcess().machineDir);
    if (running.empty()) return false;  // no image to compare: the path need not be resolved
    std::string real = RealHostPath(hostPath);
    for (const auto& p : running)
        if (p.pid != getpid() && p.hostPath == real) return true;
    return false;
}

int EndMachineProcesses(const std::string& machineDir, uint32_t graceMs) {
    auto others = [&] {
        std::vector<RunningProcess> out;
        for (const auto& p : ProcessTableList(machineDir))
            if (p.pid != getpid()) out.push_back(p);
        return out;
    };
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(graceMs);
    while (!others().empty() && std::chrono::steady_clock::now() < deadline) {
        for (const auto& p : others()) waitpid(p.pid, nullptr, WNOHANG);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    int killed = 0;
    for (const auto& p : others()) {
        if (kill(p.pid, SIGKILL) == 0) ++killed;
        waitpid(p.pid, nullptr, 0);
    }
    WriteTable(machineDir, {});
    return killed;
}

std::string CommandLineArguments(const std::string& commandLine) {
    // The program name ends at the closing quote when it starts with one, else at white space.
    size_t i = 0;
    if (!commandLine.empty() && commandLine[0] == '"') {
        size_t close = commandLine.find('"', 1);
        i = close == std::string::npos ? commandLine.size() : close + 1;
    } else {
        while (i < commandLine.size() && commandLine[i] != ' ' && commandLine[i] != '\t') ++i;
    }
    while (i < commandLine.size() && (commandLine[i] == ' ' || commandLine[i] == '\t')) ++i;
    return commandLine.substr(i);
}

}  // namespace ntsim
