// main() of a program that runs inside a simulated machine: the machine, account
// and session come from the environment that "ntsim run" (or the simulated
// CreateProcessA and service control manager) sets; then WinMain runs as on Windows.
#include <sched.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "ntsim/kernel/process.h"
#include "ntsim/kernel/processes.h"
#include "nt/win32.h"

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, int nShowCmd);

namespace {

// The simulated machine has one processor, like the NT 4 machines it stands for: the
// program's threads share the processor the process started on (the least busy one
// when it started). A message sent to another thread then switches to the receiver on
// that processor, as NT hands over to it, instead of waking an idle processor, which
// on a virtual machine costs more than the message itself (3 times the job's time).
void UseOneProcessor() {
    int cpu = sched_getcpu();
    if (cpu < 0) return;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    sched_setaffinity(0, sizeof one, &one);
}

}  // namespace

int main(int argc, char** argv) {
    const char* dir = getenv("NTSIM_MACHINE");
    if (!dir || !*dir) {
        fprintf(stderr, "%s runs inside a simulated NT machine: start it with 'ntsim run DIR -- WINPATH'\n", argv[0]);
        return 2;
    }
    const char* user = getenv("NTSIM_USER");
    const char* service = getenv("NTSIM_SERVICE");
    UseOneProcessor();
    std::string error;
    if (!ntsim::ProcessAttach(dir, user ? user : "", service && *service == '1', &error)) {
        fprintf(stderr, "ntsim: %s\n", error.c_str());
        return 2;
    }
    // The Windows command line: as the starting process gave it (CreateProcessA, the
    // service control manager), or the image path (quoted) and the arguments as given.
    const char* image = getenv("NTSIM_IMAGE");
    const char* given = getenv("NTSIM_COMMAND_LINE");
    std::string commandLine, args;
    if (given && *given) {
        commandLine = given;
        args = ntsim::CommandLineArguments(commandLine);
    } else {
        for (int i = 1; i < argc; ++i) {
            if (!args.empty()) args += " ";
            std::string a = argv[i];
            args += a.find(' ') != std::string::npos ? "\"" + a + "\"" : a;
        }
        commandLine = std::string("\"") + (image ? image : argv[0]) + "\"" + (args.empty() ? "" : " " + args);
    }
    ntsim::CurrentProcess().imagePath = image ? image : "";
    ntsim::CurrentProcess().commandLine = commandLine;
    // While it runs, its program file is in use (it cannot be deleted).
    if (image && *image) ntsim::ProcessTableEnter(image, "/proc/self/exe");
    int rc = WinMain((HINSTANCE)1, nullptr, (LPSTR)args.c_str(), 1);
    ntsim::ProcessDetach();
    return rc;
}
