// The synchronization file: written by a primary domain controller, read back,
// every format case, long fields, and a file that cannot be created.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "engine/sync_file.h"
#include "unit/engine/engine_fixture.h"

using SyncFile = EngineTest;

namespace {
struct ReadResult {
    int ok = 0;
    std::string oldText, newText;
    std::string oldSid, newSid;
};
}  // namespace

class SyncFileRead : public EngineTest {
protected:
    ReadResult ReadText(const std::string& contents) {
        std::ofstream(Host("s.dat"), std::ios::binary) << contents;
        ReadResult r;
        FILE* f = fopen("C:\\s.dat", "rt");
        EXPECT_NE(f, nullptr);
        Sid* oldSid = nullptr;
        Sid* newSid = nullptr;
        char oldText[kSidTextSize] = "", newText[kSidTextSize] = "";
        r.ok = ReadSyncFile(f, &oldSid, oldText, &newSid, newText);
        fclose(f);
        r.oldText = oldText;
        r.newText = newText;
        char t[kSidTextSize];
        if (oldSid) SidToText(oldSid, t, sizeof t), r.oldSid = t, FreeSid(oldSid);
        if (newSid) SidToText(newSid, t, sizeof t), r.newSid = t, FreeSid(newSid);
        return r;
    }
};

TEST_F(SyncFile, WrittenByThePrimaryAndReadBack) {
    Start();
    JobSettings* job = jobSettings;
    strcpy(job->dataFileName, "C:\\sync\\deep\\domain.dat");
    strcpy(job->originalSidText, "S-1-5-21-1-2-3");
    strcpy(job->newSidText, "S-1-5-21-4000000000-5-6");
    ASSERT_EQ(WriteSyncFile(job), 1);
    EXPECT_EQ(job->syncFile, nullptr);  // written, flushed and closed
    EXPECT_EQ(HostFile(Host("sync/deep/domain.dat")),
              "Old-Domain-SID: S-1-5-21-1-2-3\r\nNew-Domain-SID: S-1-5-21-4000000000-5-6\r\n");

    FILE* f = fopen("C:\\sync\\deep\\domain.dat", "rt");
    ASSERT_NE(f, nullptr);
    Sid* oldSid = nullptr;
    Sid* newSid = nullptr;
    char oldText[kSidTextSize], newText[kSidTextSize];
    ASSERT_EQ(ReadSyncFile(f, &oldSid, oldText, &newSid, newText), 1);
    fclose(f);
    EXPECT_STREQ(oldText, "S-1-5-21-1-2-3");
    EXPECT_STREQ(newText, "S-1-5-21-4000000000-5-6");
    EXPECT_EQ(newSid->subAuthority[1], 4000000000u);
    EXPECT_EQ(oldSid->subAuthority[3], 3u);
    FreeSid(oldSid);
    FreeSid(newSid);
    EXPECT_EQ(ReadSyncFile(nullptr, &oldSid, oldText, &newSid, newText), 0);
}

TEST_F(SyncFile, CannotBeCreatedIsReportedAndFails) {
    Start();
    JobSettings* job = jobSettings;
    strcpy(job->dataFileName, "C:\\out\\domain.dat");
    strcpy(job->originalSidText, "S-1-5-21-1-2-3");
    strcpy(job->newSidText, "S-1-5-21-4-5-6");
    ntsim::FaultAdd({"fopen", ERROR_WRITE_PROTECT, 0, "*domain.dat", false});
    EXPECT_EQ(WriteSyncFile(job), 0);
    EXPECT_EQ(job->syncFile, nullptr);
    EXPECT_EQ(Boxes(), std::vector<std::string>{Box("error icon", "Error 19 creating synchronization file 'C:\\out\\domain.dat'")});
    EXPECT_FALSE(std::filesystem::exists(Host("out/domain.dat")));
}

TEST_F(SyncFile, AFailedWriteFlushOrCloseFailsTheFile) {
    Start();
    JobSettings* job = jobSettings;
    strcpy(job->dataFileName, "C:\\out\\domain.dat");
    strcpy(job->originalSidText, "S-1-5-21-1-2-3");
    strcpy(job->newSidText, "S-1-5-21-4-5-6");
    for (const char* function : {"fwrite", "fflush", "fclose"}) {
        SCOPED_TRACE(function);
        ntsim::FaultClearAll();
        ntsim::TranscriptClear();
        ntsim::FaultAdd({function, ERROR_DISK_FULL, 0, "*domain.dat", false});
        EXPECT_EQ(WriteSyncFile(job), 0);
        EXPECT_EQ(job->syncFile, nullptr);
        EXPECT_EQ(Boxes(),
                  std::vector<std::string>{Box("error icon", "Error 112 writing synchronization file 'C:\\out\\domain.dat'")});
    }
}

TEST_F(SyncFileRead, FormatCases) {
    Start();
    ReadResult r = ReadText("Old-Domain-SID:   S-1-5-21-1-2-3\n\n\nNew-Domain-SID:S-1-5-21-4-5-6\nthird line\n");
    EXPECT_EQ(r.ok, 1);
    EXPECT_EQ(r.oldSid, "S-1-5-21-1-2-3");
    EXPECT_EQ(r.newSid, "S-1-5-21-4-5-6");
    EXPECT_EQ(ReadText("Old-Domain-SID: S-1-5-21-1-2-3\r\nNew-Domain-SID: S-1-5-21-4-5-6").ok, 1);
    EXPECT_EQ(ReadText("old-domain-sid: S-1-5-21-1-2-3\nNew-Domain-SID: S-1-5-21-4-5-6\n").ok, 0);  // letter case
    EXPECT_EQ(ReadText("New-Domain-SID: S-1-5-21-4-5-6\nOld-Domain-SID: S-1-5-21-1-2-3\n").ok, 0);  // order
    EXPECT_EQ(ReadText("Old-Domain-SID: S-1-5-21-1-2\nNew-Domain-SID: S-1-5-21-4-5-6\n").ok, 0);    // five numbers
    EXPECT_EQ(ReadText("Old-Domain-SID: S-1-5-21-1-2-3\nNew-Domain-SID: S-1-5-21-4-5\n").ok, 0);
    EXPECT_EQ(ReadText("Old-Domain-SID: S-1-5-21-1-2-3\n").ok, 0);  // one line
    EXPECT_EQ(ReadText("").ok, 0);
    EXPECT_EQ(ReadText(" Old-Domain-SID: S-1-5-21-1-2-3\nNew-Domain-SID: S-1-5-21-4-5-6\n").ok, 0);
    // A field of 255 characters fits its buffer (and is no SID); 256 is a format error.
    std::string field255 = "S-1-5-21-1-2-3" + std::string(241, '9');
    r = ReadText("Old-Domain-SID: " + field255 + "\nNew-Domain-SID: S-1-5-21-4-5-6\n");
    EXPECT_EQ(r.ok, 0);
    EXPECT_EQ(r.oldText, field255);
    r = ReadText("Old-Domain-SID: " + std::string(100000, 'S') + "\nNew-Domain-SID: S-1-5-21-4-5-6\n");
    EXPECT_EQ(r.ok, 0);
    EXPECT_LT(r.oldText.size(), kSidTextSize);
}
