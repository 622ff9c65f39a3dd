// The scripts that keep the Files setting, signed as a release ships them,
// run as the tools run them: Windows PowerShell 5.1, 64-bit under the
// execution policy AllSigned (Configuration Manager's default; their
// throwaway signer trusted meanwhile) and 32-bit under Bypass (Intune's),
// as this user and as SYSTEM, against this Windows directory and the
// per-user copies of N4.INI: their exit codes, what they print and the
// files afterwards.
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

DWORD slowest = 0;      // ms, of all launches

// Runs `line` and waits for it; ERROR_TIMEOUT after `ms`.
DWORD Run(std::string line, DWORD ms = 60000)
{
    STARTUPINFOA si = {sizeof si};
    PROCESS_INFORMATION pi;
    if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi))
        return GetLastError();
    return ExitCode(pi, ms, line);
}

// `line` as SYSTEM, as Intune and Configuration Manager run scripts:
// through a scheduled task that runs a batch file, which notes the exit
// code in a file of its own.
DWORD RunAsSystem(const std::string &line, const std::string &logs)
{
    const std::string batch = logs + "\\system.cmd", code = logs + "\\system.exit", task = " /TN VeldranoSettings";
    DeleteFileA(code.c_str());
    WriteBytes(batch, "@" + line + "\r\n@>\"" + code + "\" echo %ERRORLEVEL%\r\n");
    const DWORD made = Run("schtasks.exe /Create /F /RU SYSTEM /SC ONCE /ST 23:59" + task + " /TR \"cmd.exe /c \\\"" +
                           batch + "\\\"\"");
    EXPECT_EQ(made, 0u) << "schtasks /Create";
    std::string text;
    if (made == 0 && Run("schtasks.exe /Run" + task) == 0)
        for (DWORD start = GetTickCount(); !ReadBytes(code, text) || text.find('\n') == std::string::npos; Sleep(200))
            if (GetTickCount() - start > 120000)
                break;
    Run("schtasks.exe /Delete /F" + task);
    return text.find('\n') == std::string::npos ? ERROR_TIMEOUT : strtoul(text.c_str(), nullptr, 10);
}

// powershell.exe -File `script`, its output and error streams in files, as
// this program's user or as SYSTEM. Prints how long it took.
Ran PowerShell(const std::string &exe, const char *policy, const std::string &script, bool asSystem = false)
{
    const std::string logs = ExeDir() + "\\logs", out = logs + "\\settings.out", err = logs + "\\settings.err";
    CreateDirectoryA(logs.c_str(), nullptr);
    std::string line = "\"" + exe + "\" -NoLogo -NoProfile -NonInteractive -ExecutionPolicy " + policy + " -File \"" +
                       script + "\"";
    Ran ran = {ERROR_TIMEOUT, "", ""};
    const DWORD start = GetTickCount();
    if (asSystem) {
        ran.exit = RunAsSystem(line + " <NUL >\"" + out + "\" 2>\"" + err + "\"", logs);
    } else {
        SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
        STARTUPINFOA si = {sizeof si};
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = CreateFileA("NUL", GENERIC_READ, 0, &inherit, OPEN_EXISTING, 0, nullptr);
        si.hStdOutput = CreateFileA(out.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
        si.hStdError = CreateFileA(err.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
        PROCESS_INFORMATION pi;
        if (CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi))
            ran.exit = ExitCode(pi, 60000, line);
        for (HANDLE h : {si.hStdInput, si.hStdOutput, si.hStdError})
            CloseHandle(h);
    }
    const DWORD took = GetTickCount() - start;
    slowest = took > slowest ? took : slowest;
    printf("%s%s: %lu ms\n", script.substr(script.rfind('\\') + 1).c_str(), asSystem ? " as SYSTEM" : "", took);
    ReadBytes(out, ran.out);
    ReadBytes(err, ran.err);
    return ran;
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

std::string Profile(const char *patch110)
{
    return std::string("[Drivers]\r\nLMSN110=installed\r\n[Lumasyn]\r\npatch110=") + patch110 + "\r\nTrace=0\r\n";
}

}  // namespace

// Each row lays the files out and runs one value's detection, discovery
// and remediation, in that order, with each PowerShell.
TEST(Settings, ScriptsReportAndAlignEveryCopy)
{
    SKIP_UNDER_WINE("Windows PowerShell");
    ASSERT_EQ(RefuseUnlessThrowaway(), "");
    const TrustedSigner signer;
    ASSERT_EQ(signer.trusted.size(), 2u) << "the throwaway signer is not trusted: error " << GetLastError();
    BOOL wow64 = FALSE;
    IsWow64Process(GetCurrentProcess(), &wow64);
    const std::string shell = "\\WindowsPowerShell\\v1.0\\powershell.exe";
    const std::string shell64 = WindowsDir() + (wow64 ? "\\Sysnative" : "\\System32") + shell;
    const struct {
        std::string exe;
        const char *policy;
        bool system;
    } hosts[] = {{shell64, "AllSigned", false},
                 {WindowsDir() + "\\System32" + shell, "Bypass", false},      // SysWOW64's, for this 32-bit program
                 {shell64, "AllSigned", true}};
    const std::string copies[] = {VirtualStoreCopyPath(), PrivateWindowsCopyPath()};

    enum Hold { kFree, kNoSharing, kReadOnly };
    const struct Case {
        const char *name, *machine, *copies;   // patch110 in N4.INI and in both copies; nullptr: no file
        Hold hold;                             // the machine's N4.INI
        const char *value;                     // the scripts'
        DWORD detected;                        // detection's exit code and what its last line (or error) says
        const char *detectedText, *discovered; // all discovery prints, or its error
        DWORD remediated;
        const char *remediatedText, *machineAfter, *copiesAfter;
        // A standard user's program, 32-bit with no manifest, writes N4.INI
        // first, so that Windows makes that user's virtual store copy; the
        // scripts then run as SYSTEM.
        bool virtualised;
    } cases[] = {
        {"no N4.INI", nullptr, nullptr, kFree, "dos", 1, "1 of 1 places hold another value than 0 (DOS)", "1", 0,
         "Set in 1 of 1 places", "0", nullptr},
        {"no N4.INI", nullptr, nullptr, kFree, "windows", 0, "Compliant: 1 (Windows)", "1", 0, "Set in 0 of 1", "<none>",
         nullptr},
        {"0", "0", nullptr, kFree, "dos", 0, "Compliant: 0 (DOS)", "0", 0, "Set in 0 of 1", "0", nullptr},
        {"1", "1", nullptr, kFree, "dos", 1, "1 of 1 places", "1", 0, "Set in 1 of 1", "0", nullptr},
        {"a stray value", "2", nullptr, kFree, "windows", 1, "1 of 1 places", "2", 0, "Set in 1 of 1", "1", nullptr},
        {"held by another program", "1", nullptr, kNoSharing, "dos", 2, "cannot be read", "cannot be read", 2,
         "cannot be read", "1", nullptr},
        {"read-only", "1", nullptr, kReadOnly, "dos", 1, "1 of 1 places", "1", 2, "read-only", "1", nullptr},
        {"both copies hold the other value", "0", "1", kFree, "dos", 1, "2 of 3 places", "1", 0, "Set in 2 of 3", "0",
         "0"},
        {"a copy Windows made for a standard user", "0", nullptr, kFree, "dos", 1, "1 of 2 places", "1", 0,
         "Set in 1 of 2", "0", nullptr, true},
    };
    for (const Case &c : cases) {
        for (const auto &host : hosts) {
            if (host.system != c.virtualised)
                continue;
            SCOPED_TRACE(std::string(c.name) + ", files-" + c.value + "-*.ps1, " + host.policy +
                         (host.system ? " as SYSTEM" : ""));
            RemoveProfile();
            if (c.machine)
                SetProfileText(Profile(c.machine));
            for (const std::string &copy : copies)
                if (c.copies)
                    SetCopyText(copy, Profile(c.copies));
            HANDLE hold = c.hold == kNoSharing ? CreateFileA(ProfilePath().c_str(), GENERIC_READ, 0, nullptr,
                                                             OPEN_EXISTING, 0, nullptr)
                                               : INVALID_HANDLE_VALUE;
            if (c.hold == kReadOnly)
                SetFileAttributesA(ProfilePath().c_str(), FILE_ATTRIBUTE_READONLY);
            std::unique_ptr<StandardUser> user(c.virtualised ? new StandardUser : nullptr);
            std::string virtualised;
            if (user) {
                ASSERT_EQ(user->created, DWORD(NERR_Success)) << "NetUserAdd";
                // This program has no manifest; a copy where every user may read it.
                const std::string writer = std::string(getenv("PUBLIC")) + "\\veldrano-writer.exe";
                ASSERT_TRUE(CopyFileA((ExeDir() + "\\settings_tests.exe").c_str(), writer.c_str(), FALSE));
                PROCESS_INFORMATION pi;
                ASSERT_TRUE(user->Start("\"" + writer + "\" --gtest_also_run_disabled_tests "
                                        "--gtest_filter=Settings.DISABLED_WritesN4IniAsItsUser", pi))
                    << "error " << GetLastError();
                EXPECT_EQ(ExitCode(pi, 60000, "the standard user's writer"), 0u);
                DeleteFileA(writer.c_str());
                virtualised = user->ProfileDir() + "\\AppData\\Local\\VirtualStore" + WindowsDir().substr(2) + "\\N4.INI";
                ASSERT_EQ(StoredValue("Lumasyn", "patch110", virtualised), "1")
                    << "Windows made no virtual store copy for a 32-bit program with no manifest run as a standard "
                       "user (is UAC on?): "
                    << virtualised;
            }
            const struct {
                const char *role;
                DWORD exit;
                const char *text;
            } runs[] = {{"detect", c.detected, c.detectedText},
                        {"discover", c.detected == 2 ? 2u : 0u, c.discovered},
                        {"remediate", c.remediated, c.remediatedText}};
            for (const auto &run : runs) {
                const Ran ran = PowerShell(host.exe, host.policy,
                                           ExeDir() + "\\settings\\files-" + c.value + "-" + run.role + ".ps1",
                                           host.system);
                ASSERT_NE(ran.exit, DWORD(ERROR_TIMEOUT)) << run.role << ": did not run, or end: " << ran.out << ran.err;
                EXPECT_EQ(ran.exit, run.exit) << run.role << ": " << ran.out << ran.err;
                // An error says what failed, on the error stream, which the
                // tools report as an error; else the error stream is empty,
                // discovery prints one number, the others end with a summary.
                const std::string out = ran.out.substr(0, ran.out.find_last_not_of("\r\n") + 1);
                if (run.exit == 2) {
                    EXPECT_NE(ran.err.find(run.text), std::string::npos) << run.role << ": " << ran.err;
                    continue;
                }
                EXPECT_EQ(ran.err, "") << run.role;
                if (lstrcmpA(run.role, "discover") == 0)
                    EXPECT_EQ(out, run.text) << "discover";
                else
                    EXPECT_NE(out.substr(out.rfind('\n') + 1).find(run.text), std::string::npos) << run.role << ": " << out;
            }
            CloseHandle(hold);
            SetFileAttributesA(ProfilePath().c_str(), FILE_ATTRIBUTE_NORMAL);
            EXPECT_EQ(StoredValue("Lumasyn", "patch110"), c.machineAfter);
            for (const std::string &copy : copies)
                EXPECT_EQ(StoredValue("Lumasyn", "patch110", copy), c.copiesAfter ? c.copiesAfter : "<none>") << copy;
            if (user)
                EXPECT_EQ(StoredValue("Lumasyn", "patch110", virtualised), c.machineAfter) << virtualised;
            for (const std::string &path : {ProfilePath(), copies[0], copies[1]})   // their other lines stay
                if (path == ProfilePath() ? c.machine : c.copies)
                    EXPECT_EQ(StoredValue("Drivers", "LMSN110", path) + StoredValue("Lumasyn", "Trace", path), "installed0")
                        << path;
        }
    }
    // AllSigned is in force (a policy set by Group Policy would override
    // -ExecutionPolicy): the same host refuses a release script with one
    // byte changed, and one without its signature, with PowerShell's own
    // error (its lines folded at the console's width).
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
        const std::string path = ExeDir() + "\\logs\\" + r.name;
        WriteBytes(path, r.text);
        const Ran ran = PowerShell(hosts[0].exe, hosts[0].policy, path);
        auto squeezed = [](std::string text) {
            text.erase(std::remove_if(text.begin(), text.end(), [](char ch) { return isspace(ch & 0xFF); }), text.end());
            return text;
        };
        EXPECT_TRUE(ran.exit != 0 && squeezed(ran.err).find(squeezed(r.says)) != std::string::npos)
            << r.name << " under AllSigned: exit " << ran.exit << ", " << ran.out << ran.err;
    }
    printf("the slowest launch of Windows PowerShell took %lu ms\n", slowest);
    RemoveProfile();
}

// Run by the test above as its standard user, never by itself: writes
// N4.INI as a 32-bit program of the driver's would.
TEST(Settings, DISABLED_WritesN4IniAsItsUser)
{
    EXPECT_TRUE(WritePrivateProfileStringA("Lumasyn", "patch110", "1", "N4.INI")) << "error " << GetLastError();
}
