// The package's life on one computer, run through the system's msiexec
// and checked with the Windows API: which versions are installed
// (MsiEnumRelatedProducts), what the Control Panel reads from the
// registry, N4.INI and the files. The packages and the built applet lie
// beside this program. On real Windows it runs as it is; under Wine,
// installer/msi_lifecycle.sh runs its tests in order in one fresh prefix
// (32-bit, or 64-bit), each from what the one before left (the uninstall
// after the installs), and adds what only a whole prefix shows.
#define _CRT_RAND_S
#include <windows.h>
#include <lm.h>
#include <msi.h>
#include <msiquery.h>
#include <sddl.h>
#include <userenv.h>
#include <aclapi.h>
#include <stdio.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "../support/files.h"
#include "../support/platform.h"
#include "../support/users.h"

using Versions = std::vector<std::string>;

namespace {

const char kCpls[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Control Panel\\Cpls";
const char kCategory[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Control Panel\\Extended Properties\\System.ControlPanel.Category";
const std::string kOlder = VELDRANO_OLDER_VERSION, kNewer = VELDRANO_NEWER_VERSION;

std::string Package(const std::string &version)
{
    return ExeDir() + "\\veldrano-" + version + ".msi";
}

// Where `name`'s log goes. The standard user's msiexec writes there too:
// the folder's DACL, made once and protected, lets authenticated users
// create and write files, and administrators and SYSTEM do anything, also
// with what another user made ("DACL for a New Object": under a NULL DACL,
// a user's files get that user's default DACL).
std::string Log(const std::string &name)
{
    static const std::string dir = [] {
        const std::string logs = ExeDir() + "\\logs";
        PSECURITY_DESCRIPTOR sd = nullptr;
        ConvertStringSecurityDescriptorToSecurityDescriptorA("D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FRFW;;;AU)",
                                                             SDDL_REVISION_1, &sd, nullptr);
        BOOL present = FALSE, defaulted = FALSE;
        PACL dacl = nullptr;
        GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted);
        CreateDirectoryA(logs.c_str(), nullptr);
        SetNamedSecurityInfoA(const_cast<char *>(logs.c_str()), SE_FILE_OBJECT,
                              DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl,
                              nullptr);
        LocalFree(sd);
        return logs;
    }();
    return dir + "\\" + name + ".log";
}

// msiexec's exit code for `args`, run silently with a verbose log, as this
// program's user or as `user`, who writes the log too.
DWORD Msiexec(const std::string &name, const std::string &args, const StandardUser *user = nullptr)
{
    std::string line = "msiexec.exe " + args + " /qn /l*v \"" + Log(name) + "\"";
    PROCESS_INFORMATION pi;
    BOOL started;
    if (user) {
        started = user->Start(line, pi);
    } else {
        STARTUPINFOA si = {sizeof si};
        started = CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi);
    }
    return started ? ExitCode(pi, 120000, line) : GetLastError();
}

// A log as text, whether msiexec wrote it in UTF-16 or in ANSI.
std::string LogText(const std::string &name)
{
    std::string bytes, text;
    ReadBytes(Log(name), bytes);
    for (char c : bytes)
        if (c != '\0')
            text += c;
    return text;
}

// What a log says before the first failed action: why it failed.
std::string BeforeFailure(const std::string &name)
{
    const std::string text = LogText(name);
    const size_t failed = std::min(text.find("Return value 3"), text.size());
    return text.substr(failed > 1500 ? failed - 1500 : 0, std::min<size_t>(failed, 1500) + 20);
}

std::string PackageProperty(const std::string &package, const std::string &name)
{
    MSIHANDLE db = 0, view = 0, record = 0;
    char value[64] = "";
    DWORD size = sizeof value;
    const std::string query = "SELECT `Value` FROM `Property` WHERE `Property`='" + name + "'";
    if (MsiOpenDatabaseA(package.c_str(), MSIDBOPEN_READONLY, &db) == ERROR_SUCCESS &&
        MsiDatabaseOpenViewA(db, query.c_str(), &view) == ERROR_SUCCESS && MsiViewExecute(view, 0) == ERROR_SUCCESS &&
        MsiViewFetch(view, &record) == ERROR_SUCCESS)
        MsiRecordGetStringA(record, 1, value, &size);
    MsiCloseHandle(record);
    MsiCloseHandle(view);
    MsiCloseHandle(db);
    return value;
}

std::string ProductInfo(const char *code, const char *property)
{
    char value[128] = "";
    DWORD size = sizeof value;
    MsiGetProductInfoA(code, property, value, &size);
    return value;
}

// The versions of this package family that are installed, each with the
// publisher Add/Remove Programs shows.
Versions Installed()
{
    static const std::string family = PackageProperty(Package(kOlder), "UpgradeCode");
    Versions versions;
    char code[39];
    for (DWORD i = 0; MsiEnumRelatedProductsA(family.c_str(), 0, i, code) == ERROR_SUCCESS; i++) {
        versions.push_back(ProductInfo(code, INSTALLPROPERTY_VERSIONSTRING));
        EXPECT_EQ(ProductInfo(code, INSTALLPROPERTY_PUBLISHER), "Veldrano");
    }
    return versions;
}

// A value in the 32-bit view of HKLM, where a 32-bit package writes on
// 64-bit Windows too: "REG_EXPAND_SZ text", "REG_DWORD n", or "" when absent.
std::string Value32(const char *key, const std::string &name)
{
    HKEY hkey;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_QUERY_VALUE | KEY_WOW64_32KEY, &hkey) != ERROR_SUCCESS)
        return "";
    char data[1024] = "";
    DWORD type = 0, size = sizeof data - 1;
    LONG result = RegQueryValueExA(hkey, name.c_str(), nullptr, &type, reinterpret_cast<BYTE *>(data), &size);
    RegCloseKey(hkey);
    if (result != ERROR_SUCCESS)
        return "";
    if (type == REG_DWORD)
        return "REG_DWORD " + std::to_string(*reinterpret_cast<DWORD *>(data));
    return (type == REG_EXPAND_SZ ? "REG_EXPAND_SZ " : "REG_SZ ") + std::string(data);
}

// Where the package puts the applet: Program Files as this 32-bit program
// sees it, "(x86)" on 64-bit Windows.
std::string Installed32()
{
    char dir[MAX_PATH] = "";
    GetEnvironmentVariableA("ProgramFiles", dir, MAX_PATH);
    return std::string(dir) + "\\Lumasyn\\veldrano.cpl";
}

std::string Bytes(const std::string &path)
{
    std::string bytes = "<none>";
    ReadBytes(path, bytes);
    return bytes;
}

// patch110, once N4.INI is seen to keep the lines it had of its own.
std::string Setting()
{
    EXPECT_EQ(StoredValue("Drivers", "LMSN110"), "installed");
    EXPECT_EQ(StoredValue("Lumasyn", "Trace"), "0");
    return StoredValue("Lumasyn", "patch110");
}

struct Line {
    const char *name;
    std::string args;
    DWORD exit;             // 1603 (ERROR_INSTALL_FAILURE): refused, N4.INI untouched
    const char *setting;    // patch110 afterwards
    Versions installed;
};

void RunLine(const Line &line, const StandardUser *user = nullptr)
{
    SCOPED_TRACE(line.name);
    const std::string before = Bytes(ProfilePath());
    EXPECT_EQ(Msiexec(line.name, line.args, user), line.exit) << "msiexec " << line.args;
    if (line.exit == ERROR_INSTALL_FAILURE)
        EXPECT_EQ(Bytes(ProfilePath()), before);
    EXPECT_EQ(Setting(), line.setting);
    EXPECT_EQ(Installed(), line.installed);
}

}  // namespace

// From a computer without the package to the newer version, with each
// line an administrator or a deployment tool may run on the way.
TEST(Lifecycle, InstallsRefusesRepairsAndUpgrades)
{
    ASSERT_EQ(RefuseUnlessThrowaway(), "");
    ASSERT_EQ(Installed(), Versions{}) << "the package is installed already";
    const std::string older = " \"" + Package(kOlder) + "\"", newer = " \"" + Package(kNewer) + "\"";
    // The driver, with the marker, and its settings with lines of their own.
    ASSERT_TRUE(WriteBytes(WindowsDir() + "\\LMSN110.DLL", MarkedLumasyn()));
    SetProfileText("[Drivers]\r\nLMSN110 = installed\r\n\r\n[Lumasyn]\r\nPatch110=1\r\nTrace=0\r\n");

    // Refused before the first install; then the install, the property
    // name in any case.
    RunLine({"bad-files", "/i" + older + " FILES=Win", ERROR_INSTALL_FAILURE, "1", {}});
    RunLine({"reinstall-not-installed", "/i" + older + " FILES=DOS REINSTALL=ALL REINSTALLMODE=omus", ERROR_INSTALL_FAILURE,
         "1", {}});
    RunLine({"install", "/i" + older + " files=dos", 0, "0", {kOlder}});
    const std::string applet = Installed32();
    EXPECT_EQ(Bytes(applet), Bytes(AppletPath()));
    EXPECT_EQ(ProductInfo(PackageProperty(Package(kOlder), "ProductCode").c_str(), INSTALLPROPERTY_INSTALLLOCATION),
              applet.substr(0, applet.rfind('\\') + 1));
    EXPECT_EQ(Value32(kCpls, "veldrano"), "REG_EXPAND_SZ " + applet);
    EXPECT_EQ(Value32(kCategory, applet), "REG_DWORD 5");

    // Where this version is installed, after the user saved Windows in the
    // dialog: repairs keep that choice, FILES sets it again, and the lines
    // that would exit 0 for what they did not do are refused.
    WritePrivateProfileStringA("Lumasyn", "patch110", "1", "N4.INI");
    const Line lines[] = {
        {"repair", "/i" + older + " REINSTALL=ALL REINSTALLMODE=omus", 0, "1", {kOlder}},
        {"repair-bad-files", "/i" + older + " REINSTALL=ALL REINSTALLMODE=omus FILES=D", ERROR_INSTALL_FAILURE, "1",
         {kOlder}},
        {"remove-with-reinstall", "/x" + older + " REINSTALL=ALL FILES=DOS", ERROR_INSTALL_FAILURE, "1", {kOlder}},
        {"install-remove-reinstall", "/i" + older + " REMOVE=ALL REINSTALL=ALL FILES=DOS", ERROR_INSTALL_FAILURE, "1",
         {kOlder}},
        {"remove-not-installed", "/i" + newer + " REMOVE=ALL FILES=DOS", ERROR_INSTALL_FAILURE, "1", {kOlder}},
        {"same-version", "/i" + older, 0, "1", {kOlder}},
        {"same-version-files", "/i" + older + " FILES=DOS", 0, "0", {kOlder}},
        {"reinstall-newer", "/i" + newer + " FILES=WINDOWS REINSTALL=ALL REINSTALLMODE=omus", ERROR_INSTALL_FAILURE,
         "0", {kOlder}},
    };
    for (const Line &line : lines)
        RunLine(line);
    // The plain line repairs, and so writes on Windows too, only with FILES.
    EXPECT_EQ(LogText("same-version").find("REINSTALL = ALL"), std::string::npos);
    EXPECT_NE(LogText("same-version-files").find("Property(S): REINSTALL = ALL"), std::string::npos);

    // FILES where N4.INI cannot be written, on the same version and on an
    // upgrade: WriteIniValues fails with error 1913, and the installation
    // ends with 1603 and rolls back, so the version that was installed
    // stays. Read-only stops an administrator and SYSTEM on Windows; Wine,
    // run as root, writes read-only files, so there a handle that shares
    // only reading holds the file as well.
    for (const Line &line : {Line{"same-version-read-only", "/i" + older + " FILES=WINDOWS", 0, "", {kOlder}},
                             Line{"upgrade-read-only", "/i" + newer + " FILES=WINDOWS", 0, "", {kOlder}}}) {
        SCOPED_TRACE(line.name);
        SetFileAttributesA(ProfilePath().c_str(), FILE_ATTRIBUTE_READONLY);
        HANDLE hold = UnderWine() ? CreateFileA(ProfilePath().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                                OPEN_EXISTING, 0, nullptr)
                                  : INVALID_HANDLE_VALUE;
        const std::string before = Bytes(ProfilePath());
        const DWORD exit = Msiexec(line.name, line.args);
        CloseHandle(hold);
        SetFileAttributesA(ProfilePath().c_str(), FILE_ATTRIBUTE_NORMAL);
        EXPECT_EQ(Bytes(ProfilePath()), before);
        if (WineDeviation(exit == 0, "msiexec ends with 0 when WriteIniValues cannot write N4.INI, a false success"))
            continue;
        EXPECT_EQ(exit, DWORD(ERROR_INSTALL_FAILURE));
        EXPECT_NE(LogText(line.name).find("1913"), std::string::npos)
            << "assumed: under /qn the log records error 1913 with the 1603; before the failed action it says:\n"
            << BeforeFailure(line.name);
        EXPECT_EQ(Installed(), line.installed);
        EXPECT_EQ(Bytes(applet), Bytes(AppletPath()));
    }
    RunLine({"upgrade", "/i" + newer + " FILES=WINDOWS", 0, "1", {kNewer}});
    EXPECT_EQ(Bytes(applet), Bytes(AppletPath()));
    EXPECT_EQ(Value32(kCpls, "veldrano"), "REG_EXPAND_SZ " + applet);
    RunLine({"downgrade", "/i" + older, ERROR_INSTALL_FAILURE, "1", {kNewer}});
    EXPECT_EQ(Bytes(applet), Bytes(AppletPath()));
}

// A standard user where the package is installed (Wine runs every program
// with the same rights): FILES is refused before anything changes. What a
// plain /i and /x do for that user is printed for the administrators'
// guide; neither may report success for what it did not do.
TEST(Lifecycle, StandardUserCannotSetFiles)
{
    SKIP_UNDER_WINE("separate users: every program runs with the same rights");
    ASSERT_EQ(RefuseUnlessThrowaway(), "");
    const StandardUser user;
    ASSERT_EQ(user.created, DWORD(NERR_Success)) << "NetUserAdd";
    const std::string code = " " + PackageProperty(Package(kNewer), "ProductCode");
    RunLine({"user-files", "/i" + code + " FILES=DOS", ERROR_INSTALL_FAILURE, "1", {kNewer}}, &user);
    EXPECT_NE(LogText("user-files").find("Setting FILES where"), std::string::npos);
    for (const std::string &args : {"/i" + code, "/x" + code}) {
        const std::string before = Bytes(ProfilePath());
        const DWORD exit = Msiexec("user-" + args.substr(1, 1), args, &user);
        const Versions installed = Installed();
        printf("a standard user's msiexec %s /qn: exit code %lu, installed afterwards: %s\n", args.c_str(), exit,
               installed.empty() ? "none" : installed[0].c_str());
        EXPECT_EQ(Bytes(ProfilePath()), before);
        EXPECT_EQ(installed.empty(), args[1] == 'x' && exit == 0) << "exit code " << exit;
    }
    if (Installed().empty())    // the user could remove it: back for the uninstall below
        EXPECT_EQ(Msiexec("reinstall", "/i \"" + Package(kNewer) + "\""), 0u);
}

// The uninstall removes what the install added and leaves the setting,
// even the one the package wrote, and the driver.
TEST(Lifecycle, UninstallLeavesTheSettingAndTheDriver)
{
    ASSERT_EQ(RefuseUnlessThrowaway(), "");
    const Versions installed = Installed();
    ASSERT_EQ(installed.size(), 1u);
    const std::string applet = Installed32(), driver = WindowsDir() + "\\LMSN110.DLL";
    const std::string setting = Bytes(ProfilePath()), library = Bytes(driver);

    EXPECT_EQ(Msiexec("uninstall", "/x \"" + Package(installed[0]) + "\""), 0u);
    EXPECT_EQ(Installed(), Versions{});
    EXPECT_EQ(Value32(kCpls, "veldrano"), "");
    EXPECT_EQ(Value32(kCategory, applet), "");
    EXPECT_EQ(GetFileAttributesA(applet.substr(0, applet.rfind('\\')).c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(Bytes(ProfilePath()), setting);
    EXPECT_EQ(Bytes(driver), library);
    RemoveFile(driver);
    RemoveProfile();
}
