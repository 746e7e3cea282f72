// Self-removal through a temporary copy: the clean-up run copies the program into the
// work folder and starts the copy with "-quiet -deletenow:" and its own path; the copy
// deletes that file (retrying while it is still in use) and schedules itself for
// deletion at the next restart.
#pragma once
#include "nt/win32.h"

// Starts the temporary copy; a copy that cannot be started is reported.
void LaunchSelfDelete();

// The copy's part (the option "deletenow:"): the file at path is made normal and deleted,
// retried every 100 ms for 15 seconds by the clock, else deleted at the next restart; then
// the running program's own file is scheduled for deletion at the next restart.
void DeleteProgramFile(const char* path);
