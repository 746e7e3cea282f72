// The event log: RegisterEventSourceA, ReportEventA, DeregisterEventSource, and the
// machine's log file behind them.
#include "ntsim/services/event_log.h"

#include <ctime>
#include <fstream>

#include "nt/win32.h"
#include "ntsim/kernel/clock.h"
#include "ntsim/kernel/fail.h"
#include "ntsim/kernel/faults.h"
#include "ntsim/kernel/handles.h"
#include "ntsim/kernel/process.h"

namespace ntsim {

namespace {

const char* const kLogFile = "eventlog.txt";

// Entries are stored one per line: fields separated by tabs, with backslash, tab and
// line breaks escaped.
std::string Escape(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\') out += "\\\\";
        else if (c == '\t') out += "\\t";
        else if (c == '\n') out += "\\n";
        else if (c == '\r') out += "\\r";
        else out += c;
    }
    return out;
}

std::string Unescape(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        char c = text[++i];
        out += c == 't' ? '\t' : c == 'n' ? '\n' : c == 'r' ? '\r' : c;
    }
    return out;
}

std::vector<std::string> Split(const std::string& line) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        size_t tab = line.find('\t', start);
        fields.push_back(Unescape(line.substr(start, tab - start)));
        if (tab == std::string::npos) break;
        start = tab + 1;
    }
    return fields;
}

std::string NowText() {
    // FILETIME units since 1601 to seconds since 1970.
    time_t seconds = (time_t)(ClockFileTime() / 10000000ULL - 11644473600ULL);
    struct tm tm;
    gmtime_r(&seconds, &tm);
    char text[32];
    strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
    return text;
}

struct EventSourceObject : KernelObject {
    std::string source;
    const char* Kind() const override { return "EventSource"; }
};

}  // namespace

std::string EventTypeName(uint16_t type) {
    switch (type) {
        case EVENTLOG_SUCCESS: return "Success";
        case EVENTLOG_ERROR_TYPE: return "Error";
        case EVENTLOG_WARNING_TYPE: return "Warning";
        case EVENTLOG_INFORMATION_TYPE: return "Information";
        case EVENTLOG_AUDIT_SUCCESS: return "Audit Success";
        case EVENTLOG_AUDIT_FAILURE: return "Audit Failure";
        default: return "Type " + std::to_string(type);
    }
}

void EventLogAppend(const EventEntry& entry, const std::string& machineDir) {
    std::string dir = machineDir.empty() && ProcessAttached() ? CurrentProcess().machineDir : machineDir;
    if (dir.empty()) return;
    std::string line = Escape(entry.time.empty() ? NowText() : entry.time) + "\t" + Escape(entry.log) + "\t" +
                       Escape(entry.type) + "\t" + Escape(entry.source) + "\t" + std::to_string(entry.category) +
                       "\t" + std::to_string(entry.eventId);
    for (const auto& s : entry.strings) line += "\t" + Escape(s);
    MachineLock lock;
    std::ofstream out(dir + "/" + kLogFile, std::ios::app);
    out << line << '\n';
}

std::vector<EventEntry> EventLogRead(const std::string& machineDir) {
    std::vector<EventEntry> out;
    std::ifstream in(machineDir + "/" + kLogFile);
    std::string line;
    while (std::getline(in, line)) {
        auto f = Split(line);
        if (f.size() < 6) continue;
        EventEntry e{f[0], f[1], f[2], f[3], (uint32_t)std::stoul(f[4]), (uint32_t)std::stoul(f[5]), {}};
        e.strings.assign(f.begin() + 6, f.end());
        out.push_back(e);
    }
    return out;
}

std::string EventLogFormat(const EventEntry& e) {
    std::string line = e.time + "  " + e.log + "  " + e.type + "  source \"" + e.source + "\"  category " +
                       std::to_string(e.category) + "  event " + std::to_string(e.eventId);
    for (const auto& s : e.strings) line += "  \"" + Escape(s) + "\"";
    return line;
}

}  // namespace ntsim

using namespace ntsim;

HANDLE RegisterEventSourceA(LPCSTR lpUNCServerName, LPCSTR lpSourceName) {
    if (FaultFails("RegisterEventSourceA", lpSourceName ? lpSourceName : "")) return nullptr;
    if (lpUNCServerName && *lpUNCServerName) {
        SetLastError(RPC_S_SERVER_UNAVAILABLE);  // no other computer answers
        return nullptr;
    }
    if (!lpSourceName || !ProcessAttached()) return Fail(ERROR_INVALID_PARAMETER, nullptr);
    // An unregistered source is accepted (its entries then go to the Application log).
    auto source = std::make_shared<EventSourceObject>();
    source->source = lpSourceName;
    return HandleCreate(source);
}

BOOL ReportEventA(HANDLE hEventLog, WORD wType, WORD wCategory, DWORD dwEventID, PSID, WORD wNumStrings, DWORD,
                  LPCSTR* lpStrings, LPVOID) {
    auto source = HandleGetAs<EventSourceObject>(hEventLog);
    if (!source) return Fail(ERROR_INVALID_HANDLE);
    if (FaultFails("ReportEventA", source->source)) return FALSE;
    if (wNumStrings && !lpStrings) return Fail(ERROR_INVALID_PARAMETER);
    EventEntry e;
    e.log = "Application";
    e.type = EventTypeName(wType);
    e.source = source->source;
    e.category = wCategory;
    e.eventId = dwEventID;
    for (WORD i = 0; i < wNumStrings; ++i) e.strings.push_back(lpStrings[i] ? lpStrings[i] : "");
    EventLogAppend(e);
    return TRUE;
}

BOOL DeregisterEventSource(HANDLE hEventLog) {
    if (!HandleGetAs<EventSourceObject>(hEventLog) || !HandleClose(hEventLog)) return Fail(ERROR_INVALID_HANDLE);
    return TRUE;
}
