// A small Wine-style test harness for the Win32 subset. The same sources build
// for Linux (against the simulated machine) and for Windows (run under Wine), so
// it uses only the seam, no test library. ok() records a check; a check inside
// todo_wine("reason") is expected to fail under Wine and fails the run when it
// starts passing there, so the mark is removed once Wine is faithful.
#pragma once
#include <cstdarg>
#include <cstdio>

#include "nt/win32.h"

typedef void (*ConformanceFn)(void);

struct ConformanceRegistrar {
    ConformanceRegistrar(const char* name, ConformanceFn fn);
};

#define CONFORMANCE_TEST(name)                                      \
    static void conformance_##name(void);                           \
    static ConformanceRegistrar registrar_##name(#name, conformance_##name); \
    static void conformance_##name(void)

// Records one check; prints expected/actual through the message on failure.
int ConformanceOk(const char* file, int line, int condition, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
#define ok(cond, ...) ConformanceOk(__FILE__, __LINE__, (cond) ? 1 : 0, __VA_ARGS__)

// True when running under Wine (detected through ntdll's wine_get_version).
bool RunningUnderWine(void);

struct ConformanceTodo {
    explicit ConformanceTodo(const char* reason);
    ~ConformanceTodo();
    bool once();
    int passes_ = 0;
};
#define todo_wine(reason) for (ConformanceTodo todo_scope_(reason); todo_scope_.once();)

// A machine-specific skip with its reason (counted and printed, never silent).
void ConformanceSkip(const char* format, ...) __attribute__((format(printf, 1, 2)));
#define skip(...) ConformanceSkip(__VA_ARGS__)

// A scratch registry key for a case: HKEY_CURRENT_USER is not in the subset, so
// cases use HKEY_LOCAL_MACHINE\SOFTWARE\TessivConformance\<case name>.
extern const char* kConformanceRoot;
