// Log and status output: formats and flushing, the status window's controls, the
// boxes and their style in the service, the log's fallback, CreatePathDirectories.
#include <gtest/gtest.h>

#include <filesystem>

#include "unit/engine/engine_fixture.h"

using Output = EngineTest;

namespace {
std::string Text(HWND window) {
    char text[256] = "";
    GetWindowTextA(window, text, sizeof text);
    return text;
}
}  // namespace

TEST_F(Output, LinesHeadingsAndErrorsInTheLogAndTheStatusWindow) {
    Start();
    // Nothing open: progress lines and headings go nowhere, an error still shows its box.
    LogLine("nowhere", nullptr);
    StatusLine("nowhere", nullptr);
    ReportError("Error: shown anyway", nullptr);
    EXPECT_EQ(Boxes(), std::vector<std::string>{Box("error icon", "Error: shown anyway")});

    HWND dialog = CreateWindowExA(0, "STATIC", "Status", 0, 0, 0, 100, 100, nullptr, nullptr, nullptr, nullptr);
    HWND heading = CreateWindowExA(0, "STATIC", "", WS_CHILD, 0, 0, 10, 10, dialog, (HMENU)1037, nullptr, nullptr);
    HWND detail = CreateWindowExA(0, "EDIT", "", WS_CHILD, 0, 0, 10, 10, dialog, (HMENU)1036, nullptr, nullptr);
    ASSERT_NE(heading, nullptr);
    ASSERT_NE(detail, nullptr);
    currentDialog = dialog;
    detailControl = detail;

    ASSERT_EQ(OpenLogFile(jobSettings->logFileName, "wt"), 1);
    std::string host = Host("tessiv.log");
    LogLine("   progress", logStream);
    EXPECT_EQ(Text(detail), "   progress");
    // Flushed at once: the file holds the line while the log is still open (a crash keeps it).
    EXPECT_EQ(HostFile(host), "   progress\r\n");
    StatusLine("Stage 1: Initializing", logStream);
    EXPECT_EQ(Text(heading), "Stage 1: Initializing");
    EXPECT_EQ(Text(detail), "   progress");
    EXPECT_EQ(HostFile(host), "   progress\r\n\r\nStage 1: Initializing\r\n");
    ReportError("Error: framed", logStream);
    // An error is not flushed by itself; the next progress line carries it out.
    EXPECT_EQ(HostFile(host), "   progress\r\n\r\nStage 1: Initializing\r\n");
    LogLine("next", logStream);
    EXPECT_EQ(HostFile(host), "   progress\r\n\r\nStage 1: Initializing\r\n\r\nError: framed\r\nnext\r\n");
    CloseLogFile();
    EXPECT_EQ(logStream, nullptr);
    // Text mode: each line end is CR LF in the file.
    EXPECT_EQ(HostFile(host), "   progress\r\n\r\nStage 1: Initializing\r\n\r\nError: framed\r\nnext\r\n");
    DestroyWindow(dialog);
}

// Progress lines: every one in the log at once, only the latest on the detail line and only
// at the status window's tick; a line written with LogLine after them is not replaced by
// one of them; a tick with nothing new leaves the line alone.
TEST_F(Output, ProgressLinesReachTheDetailLineOnlyAtTheTick) {
    Start();
    // No status window: nothing is held for one that comes later.
    ProgressLine("before the window", nullptr);
    HWND dialog = CreateWindowExA(0, "STATIC", "Status", 0, 0, 0, 100, 100, nullptr, nullptr, nullptr, nullptr);
    HWND detail = CreateWindowExA(0, "EDIT", "", WS_CHILD, 0, 0, 10, 10, dialog, (HMENU)1036, nullptr, nullptr);
    ASSERT_NE(detail, nullptr);
    currentDialog = dialog;
    detailControl = detail;
    ShowLatestProgressLine();
    EXPECT_EQ(Text(detail), "");

    ASSERT_EQ(OpenLogFile(jobSettings->logFileName, "wt"), 1);
    std::string host = Host("tessiv.log");
    ProgressLine("Scanning: C:\\a", logStream);
    ProgressLine("Scanning: C:\\b", nullptr);
    ProgressLine("Replaced: C:\\b", logStream);
    EXPECT_EQ(Text(detail), "");  // the worker never sends them itself
    EXPECT_EQ(HostFile(host), "Scanning: C:\\a\r\nReplaced: C:\\b\r\n");
    ShowLatestProgressLine();
    EXPECT_EQ(Text(detail), "Replaced: C:\\b");
    SetWindowTextA(detail, "set by hand");
    ShowLatestProgressLine();
    EXPECT_EQ(Text(detail), "set by hand");  // nothing new: no text sent

    ProgressLine("Scanning: C:\\c", nullptr);
    LogLine("SUCCESS: 2 security assignments replaced on drive C:\\", logStream);
    EXPECT_EQ(Text(detail), "SUCCESS: 2 security assignments replaced on drive C:\\");
    ShowLatestProgressLine();
    EXPECT_EQ(Text(detail), "SUCCESS: 2 security assignments replaced on drive C:\\");

    // A line longer than the detail line holds is cut, not overrun.
    std::string longLine(5000, 'k');
    ProgressLine(longLine.c_str(), nullptr);
    ShowLatestProgressLine();
    EXPECT_EQ(Text(detail), std::string(255, 'k'));  // Text() reads 255 characters
    char whole[2048] = "";
    GetWindowTextA(detail, whole, sizeof whole);
    EXPECT_EQ(strlen(whole), 1399u);
    CloseLogFile();
    DestroyWindow(dialog);
}

TEST_F(Output, BoxesCarryTheCaptionAndTheServiceStyle) {
    Start();
    HWND owner = CreateWindowExA(0, "STATIC", "Owner", 0, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(ShowAppMessage(owner, "question?", MB_YESNO | MB_ICONQUESTION), IDYES);
    serviceMode = TRUE;
    ShowAppMessage(owner, "from the service", MB_ICONWARNING);
    ReportError("service error", nullptr);
    serviceMode = FALSE;
    ShowAppMessageId(nullptr, 99999, MB_ICONASTERISK);  // a missing string shows an empty text
    std::vector<std::string> boxes = Boxes();
    ASSERT_EQ(boxes.size(), 4u);
    EXPECT_EQ(boxes[0], "box \"Quorvel Tessiv Service\" owned by \"Owner\" [Yes/No, question icon]: \"question?\"");
    EXPECT_EQ(boxes[1], Box("warning icon", "from the service", true));  // no owner in the service
    EXPECT_EQ(boxes[2], Box("error icon", "service error", true));
    EXPECT_EQ(boxes[3], Box("information icon", ""));
    DestroyWindow(owner);
}

TEST_F(Output, LogFallsBackToTheDefaultWithOneWarning) {
    Start();
    char name[MAX_PATH] = "q:\\nodrive\\run.log";
    ASSERT_EQ(OpenLogFile(name, "wt"), 1);
    EXPECT_STREQ(name, "c:\\tessiv.log");
    const char* warning = "WARNING: Unable to open log file name specified\n\nUsing default log file name instead";
    EXPECT_EQ(Boxes(), std::vector<std::string>{Box("error icon", warning)});
    LogLine("goes on", logStream);
    // Already open: a second open changes nothing and warns no more.
    char other[MAX_PATH] = "q:\\again.log";
    EXPECT_EQ(OpenLogFile(other, "wt"), 1);
    EXPECT_EQ(Boxes().size(), 1u);
    CloseLogFile();
    EXPECT_EQ(HostFile(Host("tessiv.log")),
              "\r\nWARNING: Unable to open log file name specified\r\n\r\nUsing default log file name instead\r\ngoes on\r\n");

    // The clean-up run appends.
    char same[MAX_PATH] = "c:\\tessiv.log";
    ASSERT_EQ(OpenLogFile(same, "a+t"), 1);
    LogLine("appended", logStream);
    CloseLogFile();
    EXPECT_NE(HostFile(Host("tessiv.log")).find("goes on\r\nappended\r\n"), std::string::npos);
}

TEST_F(Output, LogOpensWithItsDirectoriesAndQuotes) {
    Start();
    char name[MAX_PATH] = "\"c:\\logs dir\\deeper\\run.log\"";
    ASSERT_TRUE(CreatePathDirectories(name));
    EXPECT_TRUE(std::filesystem::is_directory(Host("logs dir/deeper")));
    EXPECT_FALSE(std::filesystem::exists(Host("\"c:")));
    EXPECT_FALSE(std::filesystem::exists(Host("logs dir/deeper/run.log\"")));  // the file is never created
    char plain[MAX_PATH] = "c:\\newdir\\file.log";
    ASSERT_EQ(OpenLogFile(plain, "wt"), 1);
    EXPECT_STREQ(plain, "c:\\newdir\\file.log");
    EXPECT_TRUE(Boxes().empty());
    CloseLogFile();
    EXPECT_TRUE(std::filesystem::exists(Host("newdir/file.log")));
}

TEST_F(Output, CreatePathDirectoriesCases) {
    Start();
    // Drive, directory, file: only the directory.
    EXPECT_EQ(CreatePathDirectories("C:\\only\\file.txt"), 1);
    EXPECT_TRUE(std::filesystem::is_directory(Host("only")));
    EXPECT_FALSE(std::filesystem::exists(Host("only/file.txt")));
    // A leading backslash is not a directory of its own.
    EXPECT_EQ(CreatePathDirectories("\\rooted\\x\\f"), 1);
    EXPECT_TRUE(std::filesystem::is_directory(Host("rooted/x")));
    // Existing directories are fine.
    EXPECT_EQ(CreatePathDirectories("C:\\only\\file.txt"), 1);
    // UNC: server and share must each be followed by a backslash; below the share the
    // simulated network has nothing, so the creation fails.
    EXPECT_EQ(CreatePathDirectories("\\\\server"), 0);
    EXPECT_EQ(CreatePathDirectories("\\\\server\\share"), 0);
    EXPECT_EQ(CreatePathDirectories("\\\\server\\share\\file"), 1);  // nothing below the share to create
    EXPECT_EQ(CreatePathDirectories("\\\\server\\share\\dir\\file"), 0);
    // A failure other than already-exists.
    ntsim::FaultAdd({"CreateDirectoryA", ERROR_ACCESS_DENIED, 0, "*denied*", false});
    EXPECT_EQ(CreatePathDirectories("C:\\denied\\f"), 0);
    // A path longer than the program's buffers is refused, not cut.
    std::string longPath = "C:\\" + std::string(300, 'a') + "\\f";
    EXPECT_EQ(CreatePathDirectories(longPath.c_str()), 0);
    EXPECT_EQ(CreatePathDirectories(nullptr), 0);
}
