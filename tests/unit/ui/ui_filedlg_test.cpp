// File dialogs answered by the operator's "file" steps, checked as the dialog checks.
#include <cstring>
#include <fstream>

#include "ui_machine.h"

using FileDialogs = UiMachine;

namespace {

OPENFILENAMEA Ofn(char* buf, DWORD size, const char* title, DWORD flags, const char* ext) {
    OPENFILENAMEA o{};
    o.lStructSize = sizeof o;
    o.lpstrFilter = "Log File (*.log)\0*.log\0Text Files (*.txt)\0*.txt\0All Files (*.*)\0*.*\0";
    o.lpstrFile = buf;
    o.nMaxFile = size;
    o.lpstrTitle = title;
    o.Flags = flags;
    o.lpstrDefExt = ext;
    return o;
}

}  // namespace

TEST_F(FileDialogs, AnswersInScriptOrderWithDefaultExtensionAndChecks) {
    std::ofstream(Host("TEMP/exists.dat")) << "x";
    Script("file \"C:\\TEMP\\run\"\n"
           "file cancel\n"
           "file \"C:\\TEMP\\missing.dat\"\n"
           "file \"C:\\TEMP\\exists.dat\"\n"
           "file \"C:\\a-rather-long-name.log\"\n");
    char buf[260] = "c:\\tessiv.log";
    OPENFILENAMEA o = Ofn(buf, sizeof buf, "Create Log File", 0x81804 & ~OFN_FILEMUSTEXIST, "log");
    ASSERT_TRUE(GetSaveFileNameA(&o));
    EXPECT_STREQ(buf, "C:\\TEMP\\run.log");
    EXPECT_EQ(o.nFileOffset, 8);
    EXPECT_STREQ(buf + o.nFileExtension, "log");
    EXPECT_FALSE(GetSaveFileNameA(&o));
    EXPECT_EQ(CommDlgExtendedError(), 0u) << "cancel is not an error";
    EXPECT_STREQ(buf, "C:\\TEMP\\run.log") << "a cancelled dialog leaves the buffer";
    OPENFILENAMEA open = Ofn(buf, sizeof buf, "Use Synchronization File", 0x81804, nullptr);
    EXPECT_FALSE(GetOpenFileNameA(&open)) << "the file must exist";
    ASSERT_TRUE(GetOpenFileNameA(&open));
    EXPECT_STREQ(buf, "C:\\TEMP\\exists.dat");
    char tiny[8] = "";
    OPENFILENAMEA small = Ofn(tiny, sizeof tiny, "Save Synchronization File As", 0x80004, "dat");
    EXPECT_FALSE(GetSaveFileNameA(&small));
    EXPECT_EQ(CommDlgExtendedError(), (DWORD)FNERR_BUFFERTOOSMALL);
    EXPECT_TRUE(InOrder({"file dialog \"Create Log File\" (save), proposed \"c:\\tessiv.log\"", "answered \"C:\\TEMP\\run\"",
                         "cancelled (test script line 2)", "the file does not exist; cancelled",
                         "answered \"C:\\TEMP\\exists.dat\""}));
    // With no step left the dialog is cancelled.
    EXPECT_FALSE(GetSaveFileNameA(&o));
    EXPECT_TRUE(InOrder({"no answer in the script: cancelled"}));
}
