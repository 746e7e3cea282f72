// The cost of a walk's line to the status window: a line per folder, file or key, from the
// worker, while the status window (dialog 146 with its own procedure) runs on its own thread.
//   bench_status_line_bench [rounds=5]
// Each round times for a second each, in turns: the lines as progress lines (ProgressLine, the walks' way:
// the window's timer shows the latest every 200 ms), the same lines with LogLine (each sent
// to the window, the worker waiting for its thread), and progress lines with no window.
// Prints the medians per line, the texts that reached the detail line per second, and the
// load average before and after.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/job_settings.h"
#include "core/output.h"
#include "ntsim/kernel/process.h"
#include "ntsim/machine/machine.h"
#include "service/service_run.h"
#include "wizard/resource.h"
#include "bench_stats.h"

namespace {

const UINT kStop = WM_APP + 1;
std::atomic<HWND> statusWindow{nullptr};
std::atomic<long> texts{0};  // texts that reached the detail line
WNDPROC detailProc = nullptr;

LRESULT CALLBACK CountingDetail(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_SETTEXT) ++texts;
    return CallWindowProcA(detailProc, window, message, wParam, lParam);
}

// The status window's thread: the dialog and a message loop as the service runs it.
DWORD WINAPI WindowThread(LPVOID) {
    HWND status = CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_STATUS), nullptr, StatusWindow, 0);
    if (!status) return 1;
    HWND detail = GetDlgItem(status, kDetailControl);
    detailProc = (WNDPROC)SetWindowLongPtrA(detail, GWLP_WNDPROC, (LONG_PTR)CountingDetail);
    statusWindow = status;
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        if (msg.message == kStop) break;
        DispatchMessageA(&msg);
    }
    DestroyWindow(status);
    return 0;
}

// Writes lines for a second at least, checking the clock every 1000 lines; the seconds a
// line took, and the texts the window got per second meanwhile.
double Lines(bool progress, double* perSecond) {
    char line[MAX_PATH + 32];
    long before = texts, count = 0;
    double t0 = Now(), seconds = 0;
    do {
        for (long i = count; i < count + 1000; ++i) {
            snprintf(line, sizeof line, "Scanning: C:\\data\\d%ld\\e%ld\\file%ld.dat", i / 1000, i / 10 % 100, i % 10);
            if (progress)
                ProgressLine(line, nullptr);
            else
                LogLine(line, nullptr);
        }
        count += 1000;
        seconds = Now() - t0;
    } while (seconds < 1.0);
    *perSecond = (double)(texts - before) / seconds;
    return seconds / (double)count;
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = argc > 1 ? atoi(argv[1]) : 5;
    if (rounds < 1) return 1;
    char tmpl[] = "/tmp/tessiv-bench-XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    std::string machine = std::string(tmpl) + "/m", err;
    if (!ntsim::MachineCreate(machine, ntsim::MachineOptions(), &err) ||
        !ntsim::ProcessAttach(machine, "Administrator", false, &err)) {
        fprintf(stderr, "%s\n", err.c_str());
        return 1;
    }
    CreateJobSettings();
    HANDLE ui = CreateThread(nullptr, 0, WindowThread, nullptr, 0, nullptr);
    while (!statusWindow && WaitForSingleObject(ui, 1) == WAIT_TIMEOUT) {
    }
    if (!statusWindow || detailControl != GetDlgItem(statusWindow, kDetailControl)) {
        fprintf(stderr, "the status window did not open\n");
        return 1;
    }
    HWND detail = detailControl;

    std::string loadBefore = LoadAverage();
    std::vector<double> progress, logLine, none, progressRate, logRate;
    for (int round = 0; round < rounds; ++round) {
        double rate = 0;
        detailControl = detail;
        progress.push_back(Lines(true, &rate));
        progressRate.push_back(rate);
        logLine.push_back(Lines(false, &rate));
        logRate.push_back(rate);
        detailControl = nullptr;
        none.push_back(Lines(true, &rate));
    }
    printf("%d rounds of a second each way (medians); load average %s before, %s after\n", rounds,
           loadBefore.c_str(), LoadAverage().c_str());
    printf("  progress lines, status window open: %.3f us a line, %.1f texts a second reached the window\n",
           Median(progress) * 1e6, Median(progressRate));
    printf("  LogLine, status window open:        %.3f us a line, %.1f texts a second reached the window\n",
           Median(logLine) * 1e6, Median(logRate));
    printf("  progress lines, no status window:   %.3f us a line\n", Median(none) * 1e6);

    PostMessageA(statusWindow, kStop, 0, 0);
    WaitForSingleObject(ui, 5000);
    DestroyJobSettings();
    ntsim::ProcessDetach();
    std::string cleanup = std::string("rm -rf '") + tmpl + "'";
    return system(cleanup.c_str()) == 0 ? 0 : 1;
}
