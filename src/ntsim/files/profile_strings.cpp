// Initialisation files: WritePrivateProfileStringA and GetPrivateProfileStringA on
// "[section]" / "key=value" text files by Windows path. Sections and keys are matched
// without regard to case; the file keeps its other lines and its line ends.
#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "nt/win32.h"
#include "ntsim/files/security.h"
#include "ntsim/kernel/fail.h"
#include "ntsim/kernel/faults.h"

using namespace ntsim;

namespace {

std::string Trim(const std::string& s) {
    size_t a = s.find_first_not_of(" \t"), b = s.find_last_not_of(" \t\r");
    return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

bool SameText(const std::string& a, const std::string& b) {
    return a.size() == b.size() && strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
}

// "[name]" gives name; anything else not a section header.
bool SectionName(const std::string& line, std::string* name) {
    std::string t = Trim(line);
    if (t.size() < 2 || t[0] != '[') return false;
    size_t close = t.find(']');
    if (close == std::string::npos) return false;
    *name = Trim(t.substr(1, close - 1));
    return true;
}

bool KeyOf(const std::string& line, std::string* key, std::string* value) {
    size_t eq = line.find('=');
    if (eq == std::string::npos) return false;
    *key = Trim(line.substr(0, eq));
    if (value) *value = Trim(line.substr(eq + 1));
    return true;
}

// A bare file name lives in the Windows directory.
uint32_t ResolveIni(LPCSTR name, FileRef* ref) {
    std::string path = name;
    if (path.find_first_of("\\/:") == std::string::npos) {
        char windows[MAX_PATH];
        GetWindowsDirectoryA(windows, sizeof windows);
        path = std::string(windows) + "\\" + path;
    }
    return FileResolve(path, ref);
}

std::vector<std::string> ReadLines(const std::string& host, bool* exists, bool* crlf) {
    std::vector<std::string> lines;
    std::ifstream in(host, std::ios::binary);
    *exists = (bool)in;
    *crlf = false;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
            *crlf = true;
        }
        lines.push_back(line);
    }
    return lines;
}

}  // namespace

BOOL WritePrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpString, LPCSTR lpFileName) {
    if (FaultFails("WritePrivateProfileStringA", lpFileName ? lpFileName : "")) return FALSE;
    if (!lpAppName || !lpFileName) return Fail(ERROR_INVALID_PARAMETER);
    FileRef ref;
    uint32_t err = ResolveIni(lpFileName, &ref);
    if (err != ERROR_SUCCESS) return Fail(err);
    bool exists = false, crlf = true;
    std::vector<std::string> lines = ReadLines(ref.host, &exists, &crlf);
    bool removing = !lpKeyName || !lpString;
    if (!exists && removing) return TRUE;  // nothing to remove
    if (!exists) crlf = true;
    // Where the section starts and ends.
    size_t begin = lines.size(), end = lines.size();
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string name;
        if (!SectionName(lines[i], &name)) continue;
        if (begin != lines.size()) {
            end = i;
            break;
        }
        if (SameText(name, lpAppName)) begin = i;
    }
    bool changed = false;
    if (!lpKeyName) {
        if (begin != lines.size()) {
            lines.erase(lines.begin() + (long)begin, lines.begin() + (long)end);
            changed = true;
        }
    } else {
        size_t at = lines.size();
        for (size_t i = begin == lines.size() ? lines.size() : begin + 1; i < end; ++i) {
            std::string key;
            if (KeyOf(lines[i], &key, nullptr) && SameText(key, lpKeyName)) {
                at = i;
                break;
            }
        }
        if (!lpString) {
            if (at != lines.size()) lines.erase(lines.begin() + (long)at), changed = true;
        } else if (at != lines.size()) {
            lines[at] = std::string(lpKeyName) + "=" + lpString;
            changed = true;
        } else if (begin != lines.size()) {
            // After the section's last non-empty line.
            size_t insert = end;
            while (insert > begin + 1 && Trim(lines[insert - 1]).empty()) --insert;
            lines.insert(lines.begin() + (long)insert, std::string(lpKeyName) + "=" + lpString);
            changed = true;
        } else {
            lines.push_back(std::string("[") + lpAppName + "]");
            lines.push_back(std::string(lpKeyName) + "=" + lpString);
            changed = true;
        }
    }
    if (!changed) return TRUE;
    if (exists && (err = FileAccessCheck(ref, kFileGenericWrite)) != ERROR_SUCCESS) return Fail(err);
    std::ofstream out(ref.host, std::ios::binary | std::ios::trunc);
    for (const auto& l : lines) out << l << (crlf ? "\r\n" : "\n");
    if (!out) return Fail(ERROR_ACCESS_DENIED);
    if (!exists) {
        out.close();
        FileStoreNewDescriptor(ref, false);
    }
    return TRUE;
}

DWORD GetPrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpDefault, LPSTR lpReturnedString,
                               DWORD nSize, LPCSTR lpFileName) {
    if (!lpReturnedString || nSize == 0) return 0;
    std::string result = lpDefault ? Trim(lpDefault) : "";
    FileRef ref;
    bool exists = false, crlf = false;
    if (lpAppName && lpKeyName && lpFileName && ResolveIni(lpFileName, &ref) == ERROR_SUCCESS) {
        std::string section;
        bool inSection = false;
        for (const auto& line : ReadLines(ref.host, &exists, &crlf)) {
            std::string name, key, value;
            if (SectionName(line, &name)) inSection = SameText(name, lpAppName);
            else if (inSection && KeyOf(line, &key, &value) && SameText(key, lpKeyName)) {
                result = value;
                break;
            }
        }
    }
    if (result.size() >= nSize) result.resize(nSize - 1);
    memcpy(lpReturnedString, result.c_str(), result.size() + 1);
    return (DWORD)result.size();
}
