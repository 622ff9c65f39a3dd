// The scripts that keep the Files setting, signed as a release ships them,
// run as the tools run them: Windows PowerShell 5.1, 64-bit under the
// execution policy AllSigned (Configuration Manager's default; their
// throwaway signer trusted meanwhile) and 32-bit under Bypass (Intune's),
// as this user and as SYSTEM, with the environment a service gives them
// (no PSModulePath of the PowerShell 7 that may have started this
// program), against this Windows directory and the per-user copies of
// N4.INI: their exit codes, what they print and the files afterwards. The
// launches share one time budget inside the test's limit.
#include <windows.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "../support/files.h"
#include "../support/platform.h"
#include "../support/users.h"

namespace {

struct Ran {
    DWORD exit;
    std::string out, err;
};

// A launch starts only while what it may take (60 s; as SYSTEM, 180 s
// with the task's steps) and the standard user's profile deletion (40 s)
// still fit in the program's limit, 600 s: a slow runner fails the launch
// it cannot afford, by name, instead of losing its report to the limit.
constexpr DWORD kLimitMs = 600000, kCleanupMs = 40000;
const DWORD started = GetTickCount();
DWORD slowest = 0;      // ms, of all launches

const std::string kLogs = ExeDir() + "\\logs";
const std::string kShell = "\\WindowsPowerShell\\v1.0\\powershell.exe";

// Runs `line` with no input, its output and error streams appended to the
// files `out` and `err` (by default logs\settings.log), and waits for it;
// ERROR_TIMEOUT after 60 s.
DWORD Run(std::string line, const std::string &out = kLogs + "\\settings.log", const std::string &err = "")
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    STARTUPINFOA si = {sizeof si};
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = CreateFileA("NUL", GENERIC_READ, 0, &inherit, OPEN_EXISTING, 0, nullptr);
    for (HANDLE *h : {&si.hStdOutput, &si.hStdError})
        *h = CreateFileA((h == &si.hStdError && !err.empty() ? err : out).c_str(), FILE_APPEND_DATA,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_ALWAYS, 0, nullptr);
    PROCESS_INFORMATION pi;
    const BOOL made = CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                                     &si, &pi);
    const DWORD error = GetLastError();
    for (HANDLE h : {si.hStdInput, si.hStdOutput, si.hStdError})
        CloseHandle(h);
    return made ? ExitCode(pi, 60000, line) : error;
}

// `line` as SYSTEM, as Intune and Configuration Manager run scripts:
// through a scheduled task, whose 64-bit cmd.exe runs a batch file that
// says who it runs as and notes the exit code in a file of its own.
DWORD RunAsSystem(const std::string &line)
{
    const std::string batch = kLogs + "\\system.cmd", code = kLogs + "\\system.exit", task = " /TN VeldranoSettings";
    DeleteFileA(code.c_str());
    WriteBytes(batch, "@whoami >\"" + kLogs + "\\system.whoami\"\r\n@" + line + "\r\n@>\"" + code +
                          "\" echo %ERRORLEVEL%\r\n");
    const DWORD made = Run("schtasks.exe /Create /F /RU SYSTEM /SC ONCE /ST 23:59" + task + " /TR \"cmd.exe /c \\\"" +
                           batch + "\\\"\"");
    EXPECT_EQ(made, 0u) << "schtasks /Create (its output: logs\\settings.log)";
    std::string text;
    if (made == 0 && Run("schtasks.exe /Run" + task) == 0)
        for (DWORD start = GetTickCount(); !ReadBytes(code, text) || text.find('\n') == std::string::npos; Sleep(200))
            if (GetTickCount() - start > 120000)
                break;
    Run("schtasks.exe /End" + task);
    Run("schtasks.exe /Delete /F" + task);
    std::string who;
    ReadBytes(kLogs + "\\system.whoami", who);
    who = who.substr(0, who.find_last_not_of("\r\n") + 1);
    printf("  as %s", who.c_str());
    EXPECT_EQ(CharLowerA(&who[0]), std::string("nt authority\\system")) << "the task ran as another account";
    return text.find('\n') == std::string::npos ? ERROR_TIMEOUT : strtoul(text.c_str(), nullptr, 10);
}

// powershell.exe -File `script` (the 64-bit one, or with `wow` SysWOW64's),
// its output and error streams in files, as this program's user or as
// SYSTEM. Prints how long it took. ERROR_TIMEOUT, with a failure, once
// the budget is spent.
Ran PowerShell(bool wow, const char *policy, const std::string &script, bool asSystem = false)
{
    static const bool cleared = SetEnvironmentVariableA("PSModulePath", nullptr);     // as a service's
    (void)cleared;
    const std::string out = kLogs + "\\settings.out", err = kLogs + "\\settings.err";
    Ran ran = {ERROR_TIMEOUT, "", ""};
    const DWORD elapsed = GetTickCount() - started, needs = (asSystem ? 180000 : 60000) + kCleanupMs;
    if (elapsed + needs > kLimitMs) {
        ADD_FAILURE() << script << " not started after " << elapsed / 1000 << " s: it may need " << needs / 1000
                      << " s more, past the limit of " << kLimitMs / 1000 << " s";
        return ran;
    }
    CreateDirectoryA(kLogs.c_str(), nullptr);
    DeleteFileA(out.c_str());
    DeleteFileA(err.c_str());
    BOOL wow64 = FALSE;
    IsWow64Process(GetCurrentProcess(), &wow64);
    // This 32-bit program reaches the 64-bit PowerShell through Sysnative;
    // SYSTEM's 64-bit cmd.exe through System32, which it alone sees as such.
    const std::string exe = asSystem ? "%SystemRoot%\\System32" + kShell
                                     : WindowsDir() + (wow64 && !wow ? "\\Sysnative" : "\\System32") + kShell;
    const std::string line = "\"" + exe + "\" -NoLogo -NoProfile -NonInteractive -ExecutionPolicy " + policy +
                             " -File \"" + script + "\"";
    const DWORD start = GetTickCount();
    printf("%s%s", script.substr(script.rfind('\\') + 1).c_str(), asSystem ? " as SYSTEM" : "");
    ran.exit = asSystem ? RunAsSystem(line + " <NUL >\"" + out + "\" 2>\"" + err + "\"") : Run(line, out, err);
    const DWORD took = GetTickCount() - start;
    slowest = took > slowest ? took : slowest;
    printf(": %lu ms\n", took);
    ReadBytes(out, ran.out);
    ReadBytes(err, ran.err);
    return ran;
}

std::string Profile(const char *patch110)
{
    return std::string("[Drivers]\r\nLMSN110=installed\r\n[Lumasyn]\r\npatch110=") + patch110 + "\r\nTrace=0\r\n";
}

// Without white space: PowerShell folds an error's lines at the console's width.
std::string Squeezed(std::string text)
{
    text.erase(std::remove_if(text.begin(), text.end(), [](char ch) { return isspace(ch & 0xFF); }), text.end());
    return text;
}

std::string LastLine(const std::string &text)
{
    const std::string trimmed = text.substr(0, text.find_last_not_of("\r\n") + 1);
    return trimmed.substr(trimmed.rfind('\n') + 1);
}

struct Expected {
    const char *role;
    DWORD exit;
    const char *text;   // in the last line of the output, or, with an exit code but 0 or 1, of the error stream
};

// Runs one value's detection, discovery and remediation, in that order.
void RunRoles(const char *value, const Expected (&runs)[3], bool wow, const char *policy, bool asSystem)
{
    for (const Expected &run : runs) {
        const Ran ran = PowerShell(wow, policy, ExeDir() + "\\settings\\files-" + value + "-" + run.role + ".ps1",
                                   asSystem);
        ASSERT_NE(ran.exit, DWORD(ERROR_TIMEOUT)) << run.role << ": did not run, or end: " << ran.out << ran.err;
        EXPECT_EQ(ran.exit, run.exit) << run.role << ": " << ran.out << ran.err;
        // An error's words: detection's last line, which Intune reports,
        // or the error stream, which Configuration Manager reports. Else
        // the error stream is empty, and discovery prints one number.
        if (run.exit != 0 && lstrcmpA(run.role, "detect") != 0) {
            EXPECT_NE(Squeezed(ran.err).find(Squeezed(run.text)), std::string::npos) << run.role << ": " << ran.err;
            continue;
        }
        EXPECT_EQ(ran.err, "") << run.role;
        EXPECT_NE(LastLine(ran.out).find(run.text), std::string::npos) << run.role << ": " << ran.out;
        if (lstrcmpA(run.role, "discover") == 0)
            EXPECT_EQ(LastLine(ran.out), ran.out.substr(0, ran.out.find_last_not_of("\r\n") + 1)) << "discover";
    }
}

// The throwaway signer, trusted while it lives, as AllSigned needs without
// a prompt: a root of its own and a trusted publisher.
struct TrustedSigner {
    TrustedSigner()
    {
        std::string der;
        ReadBytes(ExeDir() + "\\settings\\signer.cer", der);
        for (const char *name : {"Root", "TrustedPublisher"}) {
            HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, name);
            PCCERT_CONTEXT added = nullptr;
            if (store && CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, reinterpret_cast<const BYTE *>(der.data()),
                                                          DWORD(der.size()), CERT_STORE_ADD_REPLACE_EXISTING, &added))
                trusted.push_back(added);
            CertCloseStore(store, 0);
        }
    }
    ~TrustedSigner()
    {
        for (PCCERT_CONTEXT cert : trusted)
            CertDeleteCertificateFromStore(cert);
    }
    std::vector<PCCERT_CONTEXT> trusted;
};

class Settings : public ::testing::Test {
protected:
    void SetUp() override
    {
        SKIP_UNDER_WINE("Windows PowerShell");
        ASSERT_EQ(RefuseUnlessThrowaway(), "");
        ASSERT_EQ(signer.trusted.size(), 2u) << "the throwaway signer is not trusted: error " << GetLastError();
        RemoveProfile();
    }
    void TearDown() override
    {
        RemoveProfile();
        printf("the slowest launch of Windows PowerShell so far took %lu ms\n", slowest);
    }
    TrustedSigner signer;
};

}  // namespace

// Each row lays the files out and runs one value's roles with each
// PowerShell; the rows marked so, also as SYSTEM, against copies the test
// writes, whatever the runner's UAC.
TEST_F(Settings, ScriptsReportAndAlignEveryCopy)
{
    const std::string store = VirtualStoreCopyPath(), copies[] = {store, PrivateWindowsCopyPath()};
    const std::string folder = ExeDir() + "\\link-target", target = folder + "\\N4.INI";
    const char *kLinked = "is a link";
    enum Hold { kFree, kNoSharing, kReadOnly, kLinkedFolder, kCopyNoSharing };
    const struct Case {
        const char *name, *machine, *copies;   // patch110 in N4.INI and in both copies; nullptr: no file
        Hold hold;                             // the machine's N4.INI, the virtual store's folder or copy
        const char *value;                     // the scripts'
        Expected runs[3];
        const char *machineAfter, *copiesAfter;
        bool system;                           // as SYSTEM too
    } cases[] = {
        {"no N4.INI", nullptr, nullptr, kFree, "dos",
         {{"detect", 1, "1 of 1 places"}, {"discover", 0, "1"}, {"remediate", 0, "Set in 1 of 1"}}, "0", nullptr},
        {"no N4.INI", nullptr, nullptr, kFree, "windows",
         {{"detect", 0, "Compliant: all hold 1 (Windows): no N4.INI"}, {"discover", 0, "1"},
          {"remediate", 0, "Set in 0 of 1"}}, "<none>", nullptr},
        {"0", "0", nullptr, kFree, "dos",
         {{"detect", 0, "Compliant: all hold 0 (DOS)"}, {"discover", 0, "0"}, {"remediate", 0, "Set in 0 of 1"}}, "0",
         nullptr},
        {"1", "1", nullptr, kFree, "dos",
         {{"detect", 1, "1 of 1 places"}, {"discover", 0, "1"}, {"remediate", 0, "Set in 1 of 1"}}, "0", nullptr},
        {"a stray value", "2", nullptr, kFree, "windows",
         {{"detect", 1, "1 of 1 places"}, {"discover", 0, "2"}, {"remediate", 0, "Set in 1 of 1"}}, "1", nullptr},
        {"held by another program", "1", nullptr, kNoSharing, "dos",
         {{"detect", 1, "cannot be read"}, {"discover", 2, "cannot be read"}, {"remediate", 1, "cannot be read"}},
         "1", nullptr},
        {"read-only", "1", nullptr, kReadOnly, "dos",
         {{"detect", 1, "1 of 1 places"}, {"discover", 0, "1"}, {"remediate", 1, "denied; it is read-only."}}, "1",
         nullptr},
        {"both copies hold the other value", "0", "1", kFree, "dos",
         {{"detect", 1, "2 of 3 places"}, {"discover", 0, "1"}, {"remediate", 0, "Set in 2 of 3"}}, "0", "0", true},
        // The virtual store's copy through a junction: told; the rest set.
        {"a copy in a linked folder", "1", "1", kLinkedFolder, "dos",
         {{"detect", 1, kLinked}, {"discover", 2, kLinked}, {"remediate", 1, kLinked}}, "0", "0", true},
        // Unread, it is an error, not the Windows that nothing stored reads as.
        {"a copy held by another program", "0", "0", kCopyNoSharing, "dos",
         {{"detect", 1, "cannot be read"}, {"discover", 2, "cannot be read"}, {"remediate", 1, "cannot be read"}}, "0",
         "0"},
    };
    const struct {
        bool wow;
        const char *policy;
        bool system;
    } hosts[] = {{false, "AllSigned", false}, {true, "Bypass", false}, {false, "AllSigned", true}};
    for (const Case &c : cases) {
        for (const auto &host : hosts) {
            if (host.system && !c.system)
                continue;
            SCOPED_TRACE(std::string(c.name) + ", files-" + c.value + "-*.ps1, " + (host.wow ? "32-bit " : "64-bit ") +
                         host.policy + (host.system ? " as SYSTEM" : ""));
            RemoveProfile();
            if (c.machine)
                SetProfileText(Profile(c.machine));
            for (const std::string &copy : copies)
                if (c.copies)
                    SetCopyText(copy, Profile(c.copies));
            std::unique_ptr<Link> planted;     // removed however the row ends
            if (c.hold == kLinkedFolder) {
                const std::string link = store.substr(0, store.rfind('\\'));
                SetCopyText(target, Profile("1"));
                RemoveFile(store);
                RemoveDirectoryA(link.c_str());
                planted.reset(new Link(link, folder, true));
                ASSERT_TRUE(planted->made) << "no junction at " << link;
            }
            HANDLE hold = c.hold == kNoSharing || c.hold == kCopyNoSharing
                              ? CreateFileA((c.hold == kNoSharing ? ProfilePath() : store).c_str(), GENERIC_READ, 0,
                                            nullptr, OPEN_EXISTING, 0, nullptr)
                              : INVALID_HANDLE_VALUE;
            if (c.hold == kReadOnly)
                SetFileAttributesA(ProfilePath().c_str(), FILE_ATTRIBUTE_READONLY);
            RunRoles(c.value, c.runs, host.wow, host.policy, host.system);
            CloseHandle(hold);
            SetFileAttributesA(ProfilePath().c_str(), FILE_ATTRIBUTE_NORMAL);
            EXPECT_EQ(StoredValue("Lumasyn", "patch110"), c.machineAfter);
            if (c.hold == kLinkedFolder) {
                EXPECT_EQ(StoredValue("Lumasyn", "patch110", target), "1") << "the junction's target was written";
                EXPECT_EQ(StoredValue("Lumasyn", "patch110", copies[1]), c.copiesAfter) << copies[1];
                continue;
            }
            for (const std::string &copy : copies)
                EXPECT_EQ(StoredValue("Lumasyn", "patch110", copy), c.copiesAfter ? c.copiesAfter : "<none>") << copy;
            for (const std::string &path : {ProfilePath(), copies[0], copies[1]})   // their other lines stay
                if (path == ProfilePath() ? c.machine : c.copies)
                    EXPECT_EQ(StoredValue("Drivers", "LMSN110", path) + StoredValue("Lumasyn", "Trace", path), "installed0")
                        << path;
        }
    }
    RemoveTree(folder);
}

// Copies Windows itself makes or places: a standard user's program with no
// manifest writes N4.INI, and a profile lives on a volume with no drive
// letter, as a User Profile Disk is mounted at the profile folder; the
// scripts run as SYSTEM report and set both. Without UAC's virtualisation
// on the runner, no copy is made, which this test alone tells.
TEST_F(Settings, ScriptsSetAStandardUsersRealCopyAsSystem)
{
    SetProfileText(Profile("0"));
    const ListedProfile disk("S-1-5-21-0-0-0-4207", "%SystemDrive%\\Users\\VeldranoDisk");
    const MountedVolume volume(disk.dir);
    ASSERT_EQ(volume.error, "");
    SetCopyText(StoreCopyPath(disk.dir), Profile("1"));
    const StandardUser user;
    ASSERT_EQ(user.created, DWORD(NERR_Success)) << "NetUserAdd";
    std::string why;
    const std::string copy = user.WriteN4Ini(&why);
    ASSERT_NE(copy, "") << why;
    const Expected runs[] = {{"detect", 1, "2 of 3 places"}, {"discover", 0, "1"}, {"remediate", 0, "Set in 2 of 3"}};
    RunRoles("dos", runs, false, "AllSigned", true);
    EXPECT_EQ(StoredValue("Lumasyn", "patch110") + StoredValue("Lumasyn", "patch110", copy) +
                  StoredValue("Lumasyn", "patch110", StoreCopyPath(disk.dir)), "000") << copy;
}

// A session host's many differing copies: the detection's whole output
// stays within the 2,048 characters Intune keeps, its summary last.
TEST_F(Settings, DetectionFitsWhatIntuneKeeps)
{
    std::vector<std::unique_ptr<ListedProfile>> users;
    for (int i = 0; i < 40; i++) {
        users.emplace_back(new ListedProfile("S-1-5-21-0-0-2-" + std::to_string(i),
                                             "%SystemDrive%\\Users\\VeldranoSessionUser" + std::to_string(i)));
        SetCopyText(StoreCopyPath(users.back()->dir), Profile("1"));
    }
    SetProfileText(Profile("0"));
    const Ran ran = PowerShell(false, "Bypass", ExeDir() + "\\settings\\files-dos-detect.ps1");
    EXPECT_TRUE(ran.exit == 1 && ran.out.size() <= 2048 && LastLine(ran.out).rfind("Not compliant: 40 of 41", 0) == 0)
        << "exit " << ran.exit << ", " << ran.out.size() << " characters:\n" << ran.out;
}

// AllSigned is in force (a policy set by Group Policy would override
// -ExecutionPolicy): the same host refuses a release script with one byte
// changed, and one without its signature, with PowerShell's own error (its
// lines folded at the console's width), and ends with 1.
TEST_F(Settings, AllSignedRefusesAChangedScript)
{
    std::string script;
    ReadBytes(ExeDir() + "\\settings\\files-dos-detect.ps1", script);
    std::string tampered = script;
    tampered[tampered.find("Files setting")] = 'f';
    const struct {
        const char *name;
        std::string text;
        const char *says;
    } refused[] = {{"tampered.ps1", tampered, "hash of the file does not match"},
                   {"unsigned.ps1", script.substr(0, script.find("# SIG # Begin signature block")), "not digitally signed"}};
    for (const auto &r : refused) {
        const std::string path = kLogs + "\\" + r.name;
        CreateDirectoryA(kLogs.c_str(), nullptr);
        WriteBytes(path, r.text);
        const Ran ran = PowerShell(false, "AllSigned", path);
        EXPECT_TRUE(ran.exit == 1 && Squeezed(ran.err).find(Squeezed(r.says)) != std::string::npos)
            << r.name << " under AllSigned: exit " << ran.exit << ", " << ran.out << ran.err;
    }
}
