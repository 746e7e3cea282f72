// What a power loss takes when the machine loses what Windows had not yet made durable:
// the data a program wrote to a file but never flushed to the disk (a stream opened
// without the commit flag "c", or written after its last flush), and the renames done
// without MOVEFILE_WRITE_THROUGH. Tracked only while a kill rule that asks for it is in
// force (FaultRule::loseUnflushed); the registry's unflushed changes are lost by any kill.
#pragma once
#include <string>

namespace ntsim {

// True while a kill rule with loseUnflushed is in force.
bool DurabilityTracked();
// A program stream is about to change hostPath: the file's durable state (its data, or
// that it did not exist) is kept, unless it is kept already.
void DurableBeforeWrite(const std::string& hostPath);
// The file's data is on the disk (fflush of a commit-mode stream; its fclose does not
// commit, as in the C runtime): nothing to undo.
void DurableFlushed(const std::string& hostPath);
// What a rename about to be done replaces at toHost (read only while tracked): call
// before the rename, pass to DurableRenamed after it.
struct ReplacedFile {
    bool existed = false;
    std::string data;
};
ReplacedFile DurableBeforeRename(const std::string& toHost);
// A rename done now. The kept data follows the file; without writeThrough the rename is
// undone at the power loss (and the file it replaced comes back).
void DurableRenamed(const std::string& fromHost, const std::string& toHost, bool writeThrough,
                    const ReplacedFile& replaced);
// The power loss: every rename not written through is undone, newest first, and every
// file written since its last flush gets its durable data back (an unflushed new file
// keeps its name but loses its data, as NTFS, which logs names but not data, leaves it).
// A file deleted since is left deleted.
void DurablePowerLoss();
// Forgets everything tracked (a new process, or a test's next case).
void DurableForget();

}  // namespace ntsim
