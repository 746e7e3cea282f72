// The machine's event log: the Application log that ReportEventA writes and the System
// log where the machine records its shutdowns, kept in the machine directory
// ("eventlog.txt", one entry per line) and printed by "ntsim events DIR".
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace ntsim {

struct EventEntry {
    std::string time;    // "2026-12-09 02:40:00" (UTC, machine clock)
    std::string log;     // "Application" or "System"
    std::string type;    // "Error", "Warning", "Information", "Success", "Audit Success", "Audit Failure"
    std::string source;
    uint32_t category = 0;
    uint32_t eventId = 0;
    std::vector<std::string> strings;
};

// Appends an entry to the log of the attached machine (or of machineDir when given).
void EventLogAppend(const EventEntry& entry, const std::string& machineDir = "");
// The entries of the machine in machineDir, oldest first.
std::vector<EventEntry> EventLogRead(const std::string& machineDir);
// One entry as the line "ntsim events" prints: time, log, type, source, category, id, strings.
std::string EventLogFormat(const EventEntry& entry);
// The type name of an EVENTLOG_*_TYPE value.
std::string EventTypeName(uint16_t type);

}  // namespace ntsim
