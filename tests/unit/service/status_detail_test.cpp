// The status window's detail line during a long walk: the worker's lines reach the window
// at a bounded rate, the line still moves while the walk runs, and the last text is right.
#include <gtest/gtest.h>
#include <sys/xattr.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "core/output.h"
#include "core/sid_text.h"
#include "replace/file_walk.h"
#include "replace/registry_replace.h"
#include "service/service_run.h"
#include "unit/engine/engine_fixture.h"
#include "unit/engine/stream_text.h"
#include "wizard/resource.h"

namespace {

double Seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Every text the detail control was given, with when, as the window's own thread saw it.
struct Shown {
    double at;
    std::string text;
};
std::vector<Shown> shown;
WNDPROC detailProc = nullptr;

LRESULT CALLBACK CountingDetail(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_SETTEXT) shown.push_back({Seconds(), lParam ? (const char*)lParam : ""});
    return CallWindowProcA(detailProc, window, message, wParam, lParam);
}

// Walks every drive again and again, old SID to new and back, for two seconds at least and
// an odd number of times: one long stage of a few hundred thousand lines, the drives left
// with the new SID.
DWORD WINAPI FileWalkWorker(LPVOID) {
    double start = Seconds();
    for (int walks = 1;; ++walks) {
        FreeChangedFiles();
        if (!ScanFileSystemSecurity()) return 0;
        if (walks % 2 == 1 && Seconds() - start >= 2.0) return 1;
        std::swap(jobSettings->originalSid, jobSettings->newSid);
    }
}

// The registry walk over SOFTWARE\Walk in the same way, the values' SID texts turned
// back and forth.
SidPairList registryPairs = {1, {"S-1-5-21-11-22-33"}, {"S-1-5-21-44-55-66"}};

DWORD WINAPI RegistryWalkWorker(LPVOID) {
    double start = Seconds();
    HKEY software;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_ALL_ACCESS, &software) != ERROR_SUCCESS) return 0;
    SidPairList pairs = registryPairs;
    for (int walks = 1;; ++walks) {
        if (SearchReplaceKey(software, "Walk", "MACHINE\\SOFTWARE\\Walk", &pairs) == -1) break;
        if (walks % 2 == 1 && Seconds() - start >= 1.5) {
            RegCloseKey(software);
            return 1;
        }
        std::swap(pairs.oldText[0], pairs.newText[0]);
    }
    RegCloseKey(software);
    return 0;
}

using Bytes = std::vector<uint8_t>;

Bytes Descriptor(const std::string& account) {
    std::vector<ntsim::AceEntry> aces(2);
    aces[0].flags = 3, aces[0].mask = 0x1F01FF, aces[0].sid = SidOf("S-1-5-32-544");
    aces[1].flags = 3, aces[1].mask = 0x1200A9, aces[1].sid = SidOf(account);
    Bytes owner = SidOf("S-1-5-32-544"), group = SidOf("S-1-5-18"), dacl = ntsim::AclBuild(aces);
    return ntsim::SdBuild(SE_DACL_PRESENT, owner.data(), group.data(), nullptr, dacl.data());
}

class StatusDetail : public EngineTest {
protected:
    FILE* log_ = nullptr;
    Sid sids_[2];

    void SetUp() override {
        EngineTest::SetUp();
        shown.clear();
    }
    void TearDown() override {
        FreeChangedFiles();
        logStream = nullptr;
        if (log_) fclose(log_);
        EngineTest::TearDown();
    }
    // Runs work on a worker thread behind the status window, the window's messages taken on
    // this thread as its dialog loop would; then a second longer than a few ticks more.
    // The seconds the worker took.
    double BehindTheStatusWindow(LPTHREAD_START_ROUTINE work, HWND* status) {
        *status = CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_STATUS), nullptr, StatusWindow, 0);
        EXPECT_NE(*status, nullptr);
        HWND detail = GetDlgItem(*status, kDetailControl);
        EXPECT_EQ(detailControl, detail);
        detailProc = (WNDPROC)SetWindowLongPtrA(detail, GWLP_WNDPROC, (LONG_PTR)CountingDetail);
        double start = Seconds();
        HANDLE worker = CreateThread(nullptr, 0, work, nullptr, 0, nullptr);
        EXPECT_NE(worker, nullptr);
        MSG msg;
        while (WaitForSingleObject(worker, 1) == WAIT_TIMEOUT)
            while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
        double took = Seconds() - start;
        DWORD code = 0;
        GetExitCodeThread(worker, &code);
        EXPECT_EQ(code, 1u);
        CloseHandle(worker);
        for (double until = Seconds() + 1.0; Seconds() < until; Sleep(5))
            while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
        return took;
    }
};

}  // namespace

// Thousands of folders, each with a file, one folder in ten naming an account of the old
// machine, walked for seconds: the walk writes a line for every entry, the window gets a
// few a second.
TEST_F(StatusDetail, AWalkOverThousandsOfFoldersMovesTheLineAFewTimesASecond) {
    Start();
    logStream = log_ = tmpfile();
    ASSERT_TRUE(SidFromText("S-1-5-21-11-22-33", &sids_[0]));
    ASSERT_TRUE(SidFromText("S-1-5-21-44-55-66", &sids_[1]));
    jobSettings->originalSid = &sids_[0], jobSettings->newSid = &sids_[1];
    ASSERT_TRUE(EnablePrivilege(SE_RESTORE_NAME, TRUE));
    const Bytes clean = Descriptor("S-1-5-32-545"), old = Descriptor("S-1-5-21-11-22-33-1001");
    std::string top = dir_ + "/drives/c/data";
    std::vector<std::string> oldOnes;
    for (int i = 0; i < 20; ++i)
        for (int j = 0; j < 100; ++j) {
            std::string folder = top + "/d" + std::to_string(i) + "/e" + std::to_string(j);
            std::filesystem::create_directories(folder);
            std::string file = folder + "/f.txt";
            std::ofstream(file) << "x";
            const Bytes& sd = j % 10 == 0 ? old : clean;
            ASSERT_EQ(setxattr(folder.c_str(), "user.ntsim.sd", sd.data(), sd.size(), 0), 0);
            ASSERT_EQ(setxattr(file.c_str(), "user.ntsim.sd", sd.data(), sd.size(), 0), 0);
            if (j % 10 == 0) oldOnes.push_back(file), oldOnes.push_back(folder);
        }

    HWND status = nullptr;
    double took = BehindTheStatusWindow(FileWalkWorker, &status);
    std::string log = StreamText(log_);

    // The walk did its work: every entry that named the old machine names the new one.
    for (const std::string& path : oldOnes) {
        Bytes sd(4096);
        sd.resize((size_t)std::max<ssize_t>(0, getxattr(path.c_str(), "user.ntsim.sd", sd.data(), sd.size())));
        EXPECT_EQ(sd, Descriptor("S-1-5-21-44-55-66-1001")) << path;
    }
    EXPECT_NE(log.find("SUCCESS: 400 security assignments replaced on drive C:\\\n"), std::string::npos) << log;

    // Of the walk's lines about its entries (thousands a walk), at most one every 200 ms
    // reaches the window, and the first; the lines about drives are shown at once.
    size_t during = 0;
    std::set<std::string> scanning;
    for (const Shown& s : shown)
        if (s.text.rfind("Scanning: ", 0) == 0) ++during, scanning.insert(s.text);
    EXPECT_LE(during, (size_t)(took / 0.2) + 2) << "the walk took " << took << " s";
    // The line moves while the walk runs: a new folder at least every half second.
    EXPECT_GE(scanning.size(), (size_t)(took / 0.5)) << "the walk took " << took << " s";
    EXPECT_GE(scanning.size(), 1u);
    // The last text is the walk's last line, not a folder held back from before it.
    ASSERT_FALSE(shown.empty());
    size_t lastLine = log.find_last_of('\n', log.size() - 2);
    std::string last = log.substr(lastLine + 1, log.size() - lastLine - 2);
    char text[1024] = "";
    GetWindowTextA(GetDlgItem(status, kDetailControl), text, sizeof text);
    EXPECT_EQ(std::string(text), last) << log;
    EXPECT_EQ(shown.back().text, last);
    DestroyWindow(status);
}

// Thousands of keys, one in ten with a value naming the old machine; verbose, so that the
// log holds every line the walk writes: the detail line ends on the walk's last one.
TEST_F(StatusDetail, ARegistryWalkOverThousandsOfKeysMovesTheLineAFewTimesASecond) {
    Start();
    logStream = log_ = tmpfile();
    verboseLog = 1;
    for (int i = 0; i < 40; ++i)
        for (int j = 0; j < 50; ++j) {
            std::string path = "SOFTWARE\\Walk\\k" + std::to_string(i) + "\\v" + std::to_string(j);
            HKEY key;
            ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                      nullptr),
                      0);
            if (j % 10 == 0) {
                const char* text = "S-1-5-21-11-22-33-1001";
                ASSERT_EQ(RegSetValueExA(key, "Owner", 0, REG_SZ, (const BYTE*)text, (DWORD)strlen(text) + 1), 0);
            }
            RegCloseKey(key);
        }

    HWND status = nullptr;
    double took = BehindTheStatusWindow(RegistryWalkWorker, &status);
    verboseLog = 0;
    std::string log = StreamText(log_);

    // The walk did its work: every value names the new machine.
    for (int i = 0; i < 40; ++i) {
        std::string path = "SOFTWARE\\Walk\\k" + std::to_string(i) + "\\v0";
        char data[64] = "";
        DWORD size = sizeof data;
        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key), 0) << path;
        EXPECT_EQ(RegQueryValueExA(key, "Owner", nullptr, nullptr, (BYTE*)data, &size), 0);
        RegCloseKey(key);
        EXPECT_STREQ(data, "S-1-5-21-44-55-66-1001") << path;
    }
    size_t during = 0;
    std::set<std::string> keys;
    for (const Shown& s : shown)
        if (s.text.rfind("MACHINE\\SOFTWARE\\Walk", 0) == 0) ++during, keys.insert(s.text);
    size_t lines = 0;
    for (char c : log) lines += c == '\n';
    EXPECT_GT(lines, 10 * during) << "the walk wrote few lines";
    EXPECT_LE(shown.size(), (size_t)(took / 0.2) + 2) << "the walk took " << took << " s";
    EXPECT_GE(keys.size(), (size_t)(took / 0.5)) << "the walk took " << took << " s";
    EXPECT_GE(keys.size(), 1u);
    size_t lastLine = log.find_last_of('\n', log.size() - 2);
    std::string last = log.substr(lastLine + 1, log.size() - lastLine - 2);
    char text[1024] = "";
    GetWindowTextA(GetDlgItem(status, kDetailControl), text, sizeof text);
    EXPECT_EQ(std::string(text), last);
    DestroyWindow(status);
}
