// The service control manager's database calls: OpenSCManagerA, OpenServiceA,
// CreateServiceA, DeleteService, QueryServiceConfigA, QueryServiceStatus,
// ControlService, CloseServiceHandle, over SYSTEM\CurrentControlSet\Services as NT keeps it.
#include <signal.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

#include "nt/win32.h"
#include "ntsim/kernel/fail.h"
#include "ntsim/kernel/faults.h"
#include "ntsim/kernel/handles.h"
#include "ntsim/kernel/process.h"
#include "ntsim/security/access.h"
#include "ntsim/security/token_internal.h"
#include "ntsim/services/services.h"
#include "ntsim/kernel/threads.h"

namespace ntsim {

const char* const kServicesKey = "SYSTEM\\CurrentControlSet\\Services";

namespace {

ntsim::SimRecursiveMutex g_mutex;
std::map<std::string, int> g_openServices;  // lower-case name -> handles open in this process

std::string Lower(std::string s) {
    for (char& c : s) c = (char)tolower((unsigned char)c);
    return s;
}

struct ManagerObject : KernelObject {
    uint32_t granted = 0;
    const char* Kind() const override { return "ServiceManager"; }
};

struct ServiceObject : KernelObject {
    uint32_t granted = 0;
    std::string name;  // as the registry spells it
    const char* Kind() const override { return "Service"; }
    ~ServiceObject() override;
};

// Administrators and LocalSystem get every right; other accounts what NT's default
// descriptors give everyone: connect, enumerate and query on the manager, read on services.
bool IsAdministrator() {
    static const uint8_t admins[16] = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0};
    static const uint8_t system[12] = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
    std::lock_guard<ntsim::SimRecursiveMutex> lock(TokenMutex());
    const Token& t = CurrentToken();
    return TokenHasSid(t, admins) || TokenHasSid(t, system);
}

uint32_t MapRights(uint32_t desired, uint32_t read, uint32_t write, uint32_t execute, uint32_t all) {
    if (desired & GENERIC_READ) desired = (desired & ~GENERIC_READ) | read;
    if (desired & GENERIC_WRITE) desired = (desired & ~GENERIC_WRITE) | write;
    if (desired & GENERIC_EXECUTE) desired = (desired & ~GENERIC_EXECUTE) | execute;
    if (desired & GENERIC_ALL) desired = (desired & ~GENERIC_ALL) | all;
    return desired;
}

// ERROR_SUCCESS with *granted, or ERROR_ACCESS_DENIED.
uint32_t CheckRights(uint32_t desired, bool manager, uint32_t* granted) {
    uint32_t all = manager ? SC_MANAGER_ALL_ACCESS : SERVICE_ALL_ACCESS;
    uint32_t everyone = manager ? (SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS |
                                   READ_CONTROL)
                                : (SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_ENUMERATE_DEPENDENTS |
                                   SERVICE_INTERROGATE | SERVICE_USER_DEFINED_CONTROL | READ_CONTROL);
    desired = manager ? MapRights(desired, READ_CONTROL | SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS,
                                  READ_CONTROL | SC_MANAGER_CREATE_SERVICE | SC_MANAGER_MODIFY_BOOT_CONFIG,
                                  READ_CONTROL | SC_MANAGER_CONNECT | SC_MANAGER_LOCK, all)
                      : MapRights(desired,
                                  READ_CONTROL | SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_INTERROGATE |
                                      SERVICE_ENUMERATE_DEPENDENTS,
                                  READ_CONTROL | SERVICE_CHANGE_CONFIG,
                                  READ_CONTROL | SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE |
                                      SERVICE_USER_DEFINED_CONTROL,
                                  all);
    uint32_t allowed = IsAdministrator() ? all : everyone;
    if (desired & MAXIMUM_ALLOWED) desired = (desired & ~MAXIMUM_ALLOWED) | allowed;
    if (desired & ~allowed) return ERROR_ACCESS_DENIED;
    *granted = desired;
    return ERROR_SUCCESS;
}

// The registry as the manager (LocalSystem) sees it.
LONG OpenServicesKey(REGSAM access, HKEY* key) {
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, kServicesKey, 0, access, key);
}

// The entry's key name as stored, found without regard to case; empty when none.
std::string FindService(const std::string& name) {
    SystemAccessScope scope;
    HKEY services, key;
    if (OpenServicesKey(KEY_READ, &services) != ERROR_SUCCESS) return "";
    std::string found;
    if (RegOpenKeyExA(services, name.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS) {
        RegCloseKey(key);
        char actual[260];
        for (DWORD i = 0;; ++i) {
            DWORD size = sizeof actual;
            if (RegEnumKeyExA(services, i, actual, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
            if (strcasecmp(actual, name.c_str()) == 0) {
                found = actual;
                break;
            }
        }
    }
    RegCloseKey(services);
    return found;
}

bool ReadDword(HKEY key, const char* value, DWORD* out) {
    DWORD type = 0, size = sizeof(DWORD);
    return RegQueryValueExA(key, value, nullptr, &type, (LPBYTE)out, &size) == ERROR_SUCCESS && type == REG_DWORD;
}

std::string ReadText(HKEY key, const char* value, DWORD* typeOut = nullptr) {
    DWORD type = 0, size = 0;
    if (RegQueryValueExA(key, value, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return "";
    std::string data(size + 2, '\0');
    if (RegQueryValueExA(key, value, nullptr, &type, (LPBYTE)data.data(), &size) != ERROR_SUCCESS) return "";
    data.resize(size);
    if (typeOut) *typeOut = type;
    if (type != REG_MULTI_SZ)
        while (!data.empty() && data.back() == '\0') data.pop_back();
    return data;
}

bool MarkedForDelete(const std::string& name) {
    SystemAccessScope scope;
    HKEY services, key;
    if (OpenServicesKey(KEY_READ, &services) != ERROR_SUCCESS) return false;
    DWORD flag = 0;
    bool marked = false;
    if (RegOpenKeyExA(services, name.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS) {
        marked = ReadDword(key, "DeleteFlag", &flag) && flag != 0;
        RegCloseKey(key);
    }
    RegCloseKey(services);
    return marked;
}

LONG DeleteTree(HKEY parent, const char* name) {
    HKEY key;
    LONG err = RegOpenKeyExA(parent, name, 0, KEY_ALL_ACCESS, &key);
    if (err != ERROR_SUCCESS) return err;
    char child[260];
    for (;;) {
        DWORD size = sizeof child;
        if (RegEnumKeyExA(key, 0, child, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        if ((err = DeleteTree(key, child)) != ERROR_SUCCESS) break;
    }
    RegCloseKey(key);
    return err == ERROR_SUCCESS ? RegDeleteKeyA(parent, name) : err;
}

std::string MachineDir() { return CurrentProcess().machineDir; }

}  // namespace

ServiceObject::~ServiceObject() {
    std::lock_guard<ntsim::SimRecursiveMutex> lock(g_mutex);
    if (--g_openServices[Lower(name)] <= 0) g_openServices.erase(Lower(name));
    if (ProcessAttached()) ServiceRemoveIfMarked(name);
}

bool ServiceRemoveIfMarked(const std::string& name) {
    std::lock_guard<ntsim::SimRecursiveMutex> lock(g_mutex);
    if (!ProcessAttached() || g_openServices.count(Lower(name))) return false;
    if (!MarkedForDelete(name) || ServiceRunning(MachineDir(), name)) return false;
    SystemAccessScope scope;
    HKEY services;
    if (OpenServicesKey(KEY_ALL_ACCESS, &services) != ERROR_SUCCESS) return false;
    bool removed = DeleteTree(services, name.c_str()) == ERROR_SUCCESS;
    RegFlushKey(services);
    RegCloseKey(services);
    if (removed) unlink((MachineDir() + "/.services/" + Lower(name)).c_str());
    return removed;
}

void ServicesRemoveAllMarked() {
    std::vector<std::string> names;
    {
        SystemAccessScope scope;
        HKEY services;
        if (OpenServicesKey(KEY_READ, &services) != ERROR_SUCCESS) return;
        char name[260];
        for (DWORD i = 0;; ++i) {
            DWORD size = sizeof name;
            if (RegEnumKeyExA(services, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
            names.push_back(name);
        }
        RegCloseKey(services);
    }
    for (const auto& n : names) ServiceRemoveIfMarked(n);
}

ServiceRuntime ServiceRuntimeRead(const std::string& machineDir, const std::string& name) {
    ServiceRuntime r;
    r.status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    r.status.dwCurrentState = SERVICE_STOPPED;
    std::ifstream in(machineDir + "/.services/" + Lower(name));
    long pid = 0;
    SERVICE_STATUS s{};
    if (in >> pid >> s.dwServiceType >> s.dwCurrentState >> s.dwControlsAccepted >> s.dwWin32ExitCode >>
        s.dwServiceSpecificExitCode >> s.dwCheckPoint >> s.dwWaitHint) {
        r.pid = (pid_t)pid;
        r.status = s;
        // A process that ended without reporting has stopped all the same.
        if (r.status.dwCurrentState != SERVICE_STOPPED && (pid <= 0 || (kill(r.pid, 0) != 0 && errno != EPERM))) {
            r.status.dwCurrentState = SERVICE_STOPPED;
            r.status.dwControlsAccepted = 0;
        }
    }
    return r;
}

void ServiceRuntimeWrite(const std::string& machineDir, const std::string& name, const ServiceRuntime& r) {
    mkdir((machineDir + "/.services").c_str(), 0755);
    std::string path = machineDir + "/.services/" + Lower(name);
    {
        std::ofstream out(path + ".new", std::ios::trunc);
        const SERVICE_STATUS& s = r.status;
        out << r.pid << ' ' << s.dwServiceType << ' ' << s.dwCurrentState << ' ' << s.dwControlsAccepted << ' '
            << s.dwWin32ExitCode << ' ' << s.dwServiceSpecificExitCode << ' ' << s.dwCheckPoint << ' ' << s.dwWaitHint
            << '\n';
    }
    rename((path + ".new").c_str(), path.c_str());
}

bool ServiceRunning(const std::string& machineDir, const std::string& name) {
    return ServiceRuntimeRead(machineDir, name).status.dwCurrentState != SERVICE_STOPPED;
}

void ServicePostControl(const std::string& machineDir, const std::string& name, uint32_t control) {
    MachineLock lock;
    mkdir((machineDir + "/.services").c_str(), 0755);
    std::ofstream out(machineDir + "/.services/" + Lower(name) + ".controls", std::ios::app);
    out << control << '\n';
}

bool ServiceTakeControl(const std::string& machineDir, const std::string& name, uint32_t* control) {
    MachineLock lock;
    std::string path = machineDir + "/.services/" + Lower(name) + ".controls";
    std::ifstream in(path);
    std::vector<uint32_t> queue;
    uint32_t c;
    while (in >> c) queue.push_back(c);
    in.close();
    if (queue.empty()) return false;
    *control = queue.front();
    std::ofstream out(path, std::ios::trunc);
    for (size_t i = 1; i < queue.size(); ++i) out << queue[i] << '\n';
    return true;
}

bool ServiceControlPending(const std::string& machineDir, const std::string& name) {
    std::ifstream in(machineDir + "/.services/" + Lower(name) + ".controls");
    uint32_t c;
    return (bool)(in >> c);
}

}  // namespace ntsim

using namespace ntsim;

SC_HANDLE OpenSCManagerA(LPCSTR lpMachineName, LPCSTR lpDatabaseName, DWORD dwDesiredAccess) {
    if (FaultFails("OpenSCManagerA", "")) return nullptr;
    if (!ProcessAttached()) return Fail(RPC_S_SERVER_UNAVAILABLE), nullptr;
    if (lpMachineName && *lpMachineName) {
        // Only this computer answers (by its name, with or without the leading backslashes).
        std::string name = lpMachineName;
        if (name.rfind("\\\\", 0) == 0) name = name.substr(2);
        if (strcasecmp(name.c_str(), ProcessGetEnv("COMPUTERNAME").c_str()) != 0)
            return Fail(RPC_S_SERVER_UNAVAILABLE), nullptr;
    }
    if (lpDatabaseName && strcasecmp(lpDatabaseName, SERVICES_ACTIVE_DATABASEA) != 0)
        return Fail(strcasecmp(lpDatabaseName, "ServicesFailed") == 0 ? ERROR_DATABASE_DOES_NOT_EXIST
                                                                      : ERROR_INVALID_NAME),
               nullptr;
    auto manager = std::make_shared<ManagerObject>();
    uint32_t err = CheckRights(dwDesiredAccess | SC_MANAGER_CONNECT, true, &manager->granted);
    if (err != ERROR_SUCCESS) return Fail(err), nullptr;
    return (SC_HANDLE)HandleCreate(manager);
}

static SC_HANDLE NewServiceHandle(const std::string& name, uint32_t granted) {
    auto service = std::make_shared<ServiceObject>();
    service->name = name;
    service->granted = granted;
    std::lock_guard<ntsim::SimRecursiveMutex> lock(g_mutex);
    ++g_openServices[Lower(name)];
    return (SC_HANDLE)HandleCreate(service);
}

SC_HANDLE OpenServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, DWORD dwDesiredAccess) {
    if (FaultFails("OpenServiceA", lpServiceName ? lpServiceName : "")) return nullptr;
    auto manager = HandleGetAs<ManagerObject>((HANDLE)hSCManager);
    if (!manager) return Fail(ERROR_INVALID_HANDLE), nullptr;
    if (!lpServiceName || !*lpServiceName) return Fail(ERROR_INVALID_NAME), nullptr;
    if (!(manager->granted & SC_MANAGER_CONNECT)) return Fail(ERROR_ACCESS_DENIED), nullptr;
    std::string name = FindService(lpServiceName);
    if (name.empty()) return Fail(ERROR_SERVICE_DOES_NOT_EXIST), nullptr;
    uint32_t granted = 0;
    uint32_t err = CheckRights(dwDesiredAccess, false, &granted);
    if (err != ERROR_SUCCESS) return Fail(err), nullptr;
    return NewServiceHandle(name, granted);
}

SC_HANDLE CreateServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, LPCSTR lpDisplayName, DWORD dwDesiredAccess,
                         DWORD dwServiceType, DWORD dwStartType, DWORD dwErrorControl, LPCSTR lpBinaryPathName,
                         LPCSTR lpLoadOrderGroup, LPDWORD lpdwTagId, LPCSTR lpDependencies, LPCSTR lpServiceStartName,
                         LPCSTR lpPassword) {
    (void)lpPassword;
    if (FaultFails("CreateServiceA", lpServiceName ? lpServiceName : "")) return nullptr;
    auto manager = HandleGetAs<ManagerObject>((HANDLE)hSCManager);
    if (!manager) return Fail(ERROR_INVALID_HANDLE), nullptr;
    if (!(manager->granted & SC_MANAGER_CREATE_SERVICE)) return Fail(ERROR_ACCESS_DENIED), nullptr;
    if (!lpServiceName || !*lpServiceName || strlen(lpServiceName) > 256 || strpbrk(lpServiceName, "\\/"))
        return Fail(ERROR_INVALID_NAME), nullptr;
    uint32_t base = dwServiceType & ~(DWORD)SERVICE_INTERACTIVE_PROCESS;
    bool win32 = base == SERVICE_WIN32_OWN_PROCESS || base == SERVICE_WIN32_SHARE_PROCESS;
    bool driver = dwServiceType == SERVICE_KERNEL_DRIVER || dwServiceType == SERVICE_FILE_SYSTEM_DRIVER;
    if ((!win32 && !driver) || dwStartType > SERVICE_DISABLED || (win32 && dwStartType < SERVICE_AUTO_START) ||
        dwErrorControl > SERVICE_ERROR_CRITICAL || !lpBinaryPathName || !*lpBinaryPathName ||
        (lpdwTagId && !(driver && dwStartType <= SERVICE_SYSTEM_START)))
        return Fail(ERROR_INVALID_PARAMETER), nullptr;
    std::lock_guard<ntsim::SimRecursiveMutex> lock(g_mutex);
    std::string existing = FindService(lpServiceName);
    if (!existing.empty())
        return Fail(MarkedForDelete(existing) ? ERROR_SERVICE_MARKED_FOR_DELETE : ERROR_SERVICE_EXISTS), nullptr;
    std::string display = lpDisplayName && *lpDisplayName ? lpDisplayName : lpServiceName;
    SystemAccessScope scope;
    HKEY services, key;
    LONG err = OpenServicesKey(KEY_ALL_ACCESS, &services);
    if (err != ERROR_SUCCESS) return Fail((uint32_t)err), nullptr;
    // A display name may not be another service's name or display name.
    char other[260];
    for (DWORD i = 0;; ++i) {
        DWORD size = sizeof other;
        if (RegEnumKeyExA(services, i, other, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        bool clash = strcasecmp(other, display.c_str()) == 0;
        if (!clash && RegOpenKeyExA(services, other, 0, KEY_READ, &key) == ERROR_SUCCESS) {
            clash = strcasecmp(ReadText(key, "DisplayName").c_str(), display.c_str()) == 0;
            RegCloseKey(key);
        }
        if (clash) {
            RegCloseKey(services);
            return Fail(ERROR_DUPLICATE_SERVICE_NAME), nullptr;
        }
    }
    err = RegCreateKeyExA(services, lpServiceName, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (err != ERROR_SUCCESS) {
        RegCloseKey(services);
        return Fail((uint32_t)err), nullptr;
    }
    auto dword = [&](const char* name, DWORD v) { RegSetValueExA(key, name, 0, REG_DWORD, (const BYTE*)&v, 4); };
    auto text = [&](const char* name, DWORD type, const std::string& v) {
        RegSetValueExA(key, name, 0, type, (const BYTE*)v.c_str(), (DWORD)v.size() + 1);
    };
    dword("Type", dwServiceType);
    dword("Start", dwStartType);
    dword("ErrorControl", dwErrorControl);
    text("ImagePath", REG_EXPAND_SZ, lpBinaryPathName);
    text("DisplayName", REG_SZ, display);
    if (lpLoadOrderGroup && *lpLoadOrderGroup) text("Group", REG_SZ, lpLoadOrderGroup);
    if (win32) text("ObjectName", REG_SZ, lpServiceStartName && *lpServiceStartName ? lpServiceStartName : "LocalSystem");
    // Dependencies: a double-terminated list; "+name" entries are load-order groups.
    std::string services_, groups;
    for (const char* d = lpDependencies; d && *d; d += strlen(d) + 1) {
        if (*d == '+') groups += std::string(d + 1) + '\0';
        else services_ += std::string(d) + '\0';
    }
    if (!services_.empty()) RegSetValueExA(key, "DependOnService", 0, REG_MULTI_SZ, (const BYTE*)(services_ + '\0').data(), (DWORD)services_.size() + 1);
    if (!groups.empty()) RegSetValueExA(key, "DependOnGroup", 0, REG_MULTI_SZ, (const BYTE*)(groups + '\0').data(), (DWORD)groups.size() + 1);
    RegFlushKey(key);
    RegCloseKey(key);
    RegCloseKey(services);
    uint32_t granted = 0;
    if (CheckRights(dwDesiredAccess, false, &granted) != ERROR_SUCCESS) return Fail(ERROR_ACCESS_DENIED), nullptr;
    SetLastError(ERROR_SUCCESS);
    return NewServiceHandle(lpServiceName, granted);
}

BOOL DeleteService(SC_HANDLE hService) {
    auto service = HandleGetAs<ServiceObject>((HANDLE)hService);
    if (!service) return Fail(ERROR_INVALID_HANDLE);
    if (FaultFails("DeleteService", service->name)) return FALSE;
    if (!(service->granted & DELETE)) return Fail(ERROR_ACCESS_DENIED);
    std::lock_guard<ntsim::SimRecursiveMutex> lock(g_mutex);
    // The entry stays, marked, while handles are open or the service runs.
    if (FindService(service->name).empty() || MarkedForDelete(service->name))
        return Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
    SystemAccessScope scope;
    HKEY services, key;
    LONG err = OpenServicesKey(KEY_ALL_ACCESS, &services);
    if (err == ERROR_SUCCESS) {
        err = RegOpenKeyExA(services, service->name.c_str(), 0, KEY_ALL_ACCESS, &key);
        if (err == ERROR_SUCCESS) {
            DWORD one = 1;
            err = RegSetValueExA(key, "DeleteFlag", 0, REG_DWORD, (const BYTE*)&one, 4);
            RegFlushKey(key);
            RegCloseKey(key);
        }
        RegCloseKey(services);
    }
    return err == ERROR_SUCCESS ? TRUE : Fail((uint32_t)err);
}

BOOL QueryServiceConfigA(SC_HANDLE hService, LPQUERY_SERVICE_CONFIGA lpServiceConfig, DWORD cbBufSize,
                         LPDWORD pcbBytesNeeded) {
    auto service = HandleGetAs<ServiceObject>((HANDLE)hService);
    if (!service) return Fail(ERROR_INVALID_HANDLE);
    if (FaultFails("QueryServiceConfigA", service->name)) return FALSE;
    if (!(service->granted & SERVICE_QUERY_CONFIG)) return Fail(ERROR_ACCESS_DENIED);
    if (!pcbBytesNeeded) return Fail(ERROR_INVALID_ADDRESS);
    SystemAccessScope scope;
    HKEY services, key;
    if (OpenServicesKey(KEY_READ, &services) != ERROR_SUCCESS) return Fail(ERROR_SERVICE_DOES_NOT_EXIST);
    LONG err = RegOpenKeyExA(services, service->name.c_str(), 0, KEY_READ, &key);
    RegCloseKey(services);
    if (err != ERROR_SUCCESS) return Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
    DWORD type = 0, start = 0, errorControl = 0, tag = 0;
    ReadDword(key, "Type", &type);
    ReadDword(key, "Start", &start);
    ReadDword(key, "ErrorControl", &errorControl);
    ReadDword(key, "Tag", &tag);
    std::string image = ReadText(key, "ImagePath"), group = ReadText(key, "Group");
    std::string account = ReadText(key, "ObjectName"), display = ReadText(key, "DisplayName");
    std::string dependencies;
    for (const char* value : {"DependOnService", "DependOnGroup"}) {
        std::string list = ReadText(key, value);
        for (size_t i = 0; i < list.size();) {
            size_t end = list.find('\0', i);
            if (end == std::string::npos) end = list.size();
            if (end > i) dependencies += (value[8] == 'G' ? "+" : "") + list.substr(i, end - i) + '\0';
            i = end + 1;
        }
    }
    RegCloseKey(key);
    dependencies += '\0';
    if (dependencies.size() == 1) dependencies += '\0';
    DWORD needed = (DWORD)(sizeof(QUERY_SERVICE_CONFIGA) + image.size() + 1 + group.size() + 1 + dependencies.size() +
                           account.size() + 1 + display.size() + 1);
    *pcbBytesNeeded = needed;
    if (!lpServiceConfig || cbBufSize < needed) return Fail(ERROR_INSUFFICIENT_BUFFER);
    char* p = (char*)(lpServiceConfig + 1);
    auto put = [&](const std::string& s, size_t size) {
        char* at = p;
        memcpy(p, s.data(), std::min(size, s.size()));
        if (size > s.size()) p[s.size()] = 0;
        p += size;
        return at;
    };
    lpServiceConfig->dwServiceType = type;
    lpServiceConfig->dwStartType = start;
    lpServiceConfig->dwErrorControl = errorControl;
    lpServiceConfig->dwTagId = tag;
    lpServiceConfig->lpBinaryPathName = put(image, image.size() + 1);
    lpServiceConfig->lpLoadOrderGroup = put(group, group.size() + 1);
    lpServiceConfig->lpDependencies = put(dependencies, dependencies.size());
    lpServiceConfig->lpServiceStartName = put(account, account.size() + 1);
    lpServiceConfig->lpDisplayName = put(display, display.size() + 1);
    return TRUE;
}

BOOL QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus) {
    auto service = HandleGetAs<ServiceObject>((HANDLE)hService);
    if (!service) return Fail(ERROR_INVALID_HANDLE);
    if (!(service->granted & SERVICE_QUERY_STATUS)) return Fail(ERROR_ACCESS_DENIED);
    if (!lpServiceStatus) return Fail(ERROR_INVALID_ADDRESS);
    *lpServiceStatus = ServiceRuntimeRead(MachineDir(), service->name).status;
    return TRUE;
}

BOOL ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus) {
    auto service = HandleGetAs<ServiceObject>((HANDLE)hService);
    if (!service) return Fail(ERROR_INVALID_HANDLE);
    if (FaultFails("ControlService", service->name)) return FALSE;
    uint32_t need = dwControl == SERVICE_CONTROL_STOP ? SERVICE_STOP
                    : dwControl == SERVICE_CONTROL_INTERROGATE ? SERVICE_INTERROGATE
                    : (dwControl == SERVICE_CONTROL_PAUSE || dwControl == SERVICE_CONTROL_CONTINUE) ? SERVICE_PAUSE_CONTINUE
                    : (dwControl >= 128 && dwControl <= 255) ? SERVICE_USER_DEFINED_CONTROL
                    : 0;
    if (!need || !lpServiceStatus) return Fail(ERROR_INVALID_PARAMETER);
    if (!(service->granted & need)) return Fail(ERROR_ACCESS_DENIED);
    std::string dir = MachineDir();
    ServiceRuntime r = ServiceRuntimeRead(dir, service->name);
    *lpServiceStatus = r.status;
    if (r.status.dwCurrentState == SERVICE_STOPPED) return Fail(ERROR_SERVICE_NOT_ACTIVE);
    if (r.status.dwCurrentState == SERVICE_START_PENDING || r.status.dwCurrentState == SERVICE_STOP_PENDING)
        return Fail(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
    if (dwControl == SERVICE_CONTROL_STOP && !(r.status.dwControlsAccepted & SERVICE_ACCEPT_STOP))
        return Fail(ERROR_INVALID_SERVICE_CONTROL);
    ServicePostControl(dir, service->name, dwControl);
    // The manager waits (at most 30 seconds) for the service's handler to take the request.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (ServiceControlPending(dir, service->name)) {
        if (std::chrono::steady_clock::now() >= deadline || !ServiceRunning(dir, service->name))
            return Fail(ERROR_SERVICE_REQUEST_TIMEOUT);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    *lpServiceStatus = ServiceRuntimeRead(dir, service->name).status;
    return TRUE;
}

BOOL CloseServiceHandle(SC_HANDLE hSCObject) {
    HANDLE h = (HANDLE)hSCObject;
    if (!HandleGetAs<ManagerObject>(h) && !HandleGetAs<ServiceObject>(h)) return Fail(ERROR_INVALID_HANDLE);
    // The last handle of a marked entry removes it (in the object's destructor).
    HandleClose(h);
    return TRUE;
}
