// The conformance harness: case registry, checks, todo_wine marks and the summary.
#include <cstring>
#include <vector>

#include "conformance/conformance.h"

#ifndef _WIN32
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "ntsim/machine/machine.h"
#include "ntsim/kernel/process.h"
#endif

const char* kConformanceRoot = "SOFTWARE\\TessivConformance";

namespace {
struct Case {
    const char* name;
    ConformanceFn fn;
};
std::vector<Case>& Cases() {
    static std::vector<Case> cases;
    return cases;
}
const char* g_currentCase = "";
int g_caseFailures = 0;
int g_todoDepth = 0;
int g_todoPasses = 0;
int g_todoFailures = 0;
int g_skips = 0;
}  // namespace

ConformanceRegistrar::ConformanceRegistrar(const char* name, ConformanceFn fn) { Cases().push_back(Case{name, fn}); }

bool RunningUnderWine(void) {
#ifdef _WIN32
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

int ConformanceOk(const char* file, int line, int condition, const char* format, ...) {
    if (g_todoDepth > 0 && RunningUnderWine()) {
        if (condition) {
            ++g_todoPasses;
            printf("%s:%d: [%s] todo_wine check now passes: remove the mark\n", file, line, g_currentCase);
        } else {
            ++g_todoFailures;
        }
        return condition;
    }
    if (!condition) {
        ++g_caseFailures;
        va_list ap;
        va_start(ap, format);
        printf("%s:%d: [%s] check failed: ", file, line, g_currentCase);
        vprintf(format, ap);
        printf("\n");
        va_end(ap);
    }
    return condition;
}

ConformanceTodo::ConformanceTodo(const char*) { ++g_todoDepth; }
ConformanceTodo::~ConformanceTodo() { --g_todoDepth; }
bool ConformanceTodo::once() { return passes_++ == 0; }

void ConformanceSkip(const char* format, ...) {
    ++g_skips;
    va_list ap;
    va_start(ap, format);
    printf("[%s] skipped: ", g_currentCase);
    vprintf(format, ap);
    printf("\n");
    va_end(ap);
}

int main(int argc, char** argv) {
#ifndef _WIN32
    // On Linux the cases run inside a fresh simulated machine, as its Administrator.
    char tmpl[] = "/tmp/conformance-machine-XXXXXX";
    if (!mkdtemp(tmpl)) return 2;
    std::string dir = std::string(tmpl) + "/m";
    std::string error;
    ntsim::MachineOptions options;
    // The Windows version the cases meet: a preset named in the environment, NT 4.0 by default.
    const char* preset = getenv("TESSIV_CONFORMANCE_PRESET");
    if (preset && *preset) options.preset = preset;
    if (!ntsim::MachineCreate(dir, options, &error) || !ntsim::ProcessAttach(dir, "Administrator", false, &error)) {
        printf("cannot make a machine: %s\n", error.c_str());
        return 2;
    }
#endif
    const char* only = argc > 1 ? argv[1] : nullptr;
    int passed = 0, failed = 0;
    for (const Case& c : Cases()) {
        if (only && strcmp(only, c.name) != 0) continue;
        g_currentCase = c.name;
        g_caseFailures = 0;
        int todoPassesBefore = g_todoPasses;
        c.fn();
        bool good = g_caseFailures == 0 && g_todoPasses == todoPassesBefore;
        printf("%s %s\n", good ? "ok  " : "FAIL", c.name);
        (good ? passed : failed)++;
    }
    printf("%s%d passed, %d failed%s\n", RunningUnderWine() ? "wine: " : "", passed, failed, "");
    if (g_skips) printf("(%d checks skipped, reasons above)\n", g_skips);
#ifndef _WIN32
    ntsim::ProcessDetach();
    std::string cleanup = std::string("rm -rf '") + tmpl + "'";
    if (system(cleanup.c_str()) != 0) printf("could not remove %s\n", tmpl);
#endif
    return failed ? 1 : 0;
}
