// The string table and dialog templates of the resource script as LoadStringA,
// LoadIconA, LoadBitmapA and the .res reader see them.
#include <cstring>
#include <vector>

#include "ntsim/user/res_file.h"
#include "ui_machine.h"

using Resources = UiMachine;

TEST_F(Resources, StringTableTextsAreExact) {
    char buf[1100];
    ASSERT_GT(LoadStringA(instance_, IDS_UNC_PROGRAM, buf, sizeof buf), 0);
    EXPECT_STREQ(buf,
                 "Tessiv cannot be run from a UNC path.  Please copy this utility to the local hard drive and launch it "
                 "again.");
    ASSERT_GT(LoadStringA(instance_, IDS_ABOUTBOX, buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "&About Tessiv...");
    ASSERT_GT(LoadStringA(instance_, IDS_TERMINAL_SERVER, buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "(Terminal Server detected)\n\n");
    ASSERT_GT(LoadStringA(instance_, IDS_ROLE_BDC2, buf, sizeof buf), 0);
    EXPECT_EQ(0, strncmp(buf, "1.\tRun this utility on the Primary Domain Controller first.", 58));
    ASSERT_GT(LoadStringA(instance_, IDS_ROLE_PDC2, buf, sizeof buf), 0);
    EXPECT_EQ(0, strncmp(buf, "1.\tRun this utility on the Primary Domain Controller (this computer) first.", 74));
    // 171 and 181 differ only in their first step.
    char bdc[1100];
    LoadStringA(instance_, IDS_ROLE_BDC2, bdc, sizeof bdc);
    EXPECT_STREQ(strchr(bdc, '\n'), strchr(buf, '\n'));
    ASSERT_GT(LoadStringA(instance_, IDS_HELP_VERBOSE, buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "Check this box to include additional information into the log file.  ");
    ASSERT_GT(LoadStringA(instance_, IDS_DATAFILE_MISSING, buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "The data file %s cannot be found or cannot be opened!");
}

TEST_F(Resources, EveryStringIdOfTheProgramIsPresent) {
    const UINT ids[] = {101, 110, 111, 150, 151, 160, 161, 170, 171, 172, 180, 181, 182, 300, 303, 304, 305, 306,
                        307, 308, 309, 402, 403, 500, 57345, 57346, 57347, 57348, 57349, 57350};
    char buf[1100];
    for (UINT id : ids) EXPECT_GT(LoadStringA(instance_, id, buf, sizeof buf), 0) << "string " << id;
    // The longest text fits the 1024-character buffers the program uses.
    EXPECT_LT(LoadStringA(instance_, IDS_WELCOME1, buf, sizeof buf), 1024);
}

TEST_F(Resources, LoadStringCutsToTheBufferAndReportsMissingIds) {
    char buf[8];
    memset(buf, 'x', sizeof buf);
    EXPECT_EQ(LoadStringA(instance_, IDS_ABOUTBOX, buf, 6), 5);
    EXPECT_STREQ(buf, "&Abou");
    EXPECT_EQ(buf[6], 'x') << "bytes past the buffer are untouched";
    SetLastError(0xdeadbeef);
    buf[0] = 'x';
    EXPECT_EQ(LoadStringA(instance_, 4242, buf, sizeof buf), 0);
    EXPECT_EQ(buf[0], 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_RESOURCE_NAME_NOT_FOUND);
}

TEST_F(Resources, IconsAndBitmapsOfTheScriptLoad) {
    EXPECT_NE(LoadIconA(instance_, MAKEINTRESOURCE(IDI_TESSIV)), nullptr);
    EXPECT_NE(LoadIconA(instance_, MAKEINTRESOURCE(IDI_BROWSE)), nullptr);
    EXPECT_NE(LoadBitmapA(instance_, MAKEINTRESOURCE(IDB_WIZARD)), nullptr);
    EXPECT_NE(LoadBitmapA(instance_, MAKEINTRESOURCE(IDB_BANNER)), nullptr);
    SetLastError(0);
    EXPECT_EQ(LoadIconA(instance_, MAKEINTRESOURCE(999)), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_RESOURCE_NAME_NOT_FOUND);
    EXPECT_NE(LoadIconA(nullptr, IDI_APPLICATION), nullptr);
}

TEST_F(Resources, DamagedResourceFilesAreRefused) {
    const ntsim::ResourceEntry* dialog = ntsim::ResourceFind(5, MAKEINTRESOURCE(IDD_STATUS));
    ASSERT_NE(dialog, nullptr);
    // A valid two-entry image, then every truncation and a size running past the end.
    std::vector<uint8_t> image(32, 0);
    image[4] = 32;  // header size of the empty leading entry
    image[8] = 0xFF, image[9] = 0xFF, image[12] = 0xFF, image[13] = 0xFF;
    std::vector<ntsim::ResourceEntry> out;
    std::string error;
    EXPECT_TRUE(ntsim::ResourcesParse(image.data(), image.size(), &out, &error)) << error;
    for (size_t cut = 1; cut < image.size(); ++cut)
        EXPECT_FALSE(ntsim::ResourcesParse(image.data(), cut, &out, &error)) << "cut at " << cut;
    image[0] = 0xF0;  // data size far past the end
    EXPECT_FALSE(ntsim::ResourcesParse(image.data(), image.size(), &out, &error));
    EXPECT_NE(error.find("past the end"), std::string::npos) << error;
}
