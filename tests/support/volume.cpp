#include "volume.h"

#include <windows.h>

#include "files.h"
#include "platform.h"

// Runs diskpart with `commands`; "" when it ends with 0, else what it said.
static std::string Diskpart(const std::string &commands)
{
    const std::string script = ExeDir() + "\\diskpart.txt", out = ExeDir() + "\\diskpart.log";
    WriteBytes(script, commands);
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    STARTUPINFOA si = {sizeof si};
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = si.hStdError =
        CreateFileA(out.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
    PROCESS_INFORMATION pi;
    // The 64-bit diskpart, which a 32-bit program reaches through Sysnative.
    BOOL wow64 = FALSE;
    IsWow64Process(GetCurrentProcess(), &wow64);
    std::string line = WindowsDir() + (wow64 ? "\\Sysnative" : "\\System32") + "\\diskpart.exe /s \"" + script + "\"";
    const BOOL started = CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                                        &si, &pi);
    CloseHandle(si.hStdOutput);
    if (!started)
        return "diskpart could not be started: error " + std::to_string(GetLastError());
    const DWORD code = ExitCode(pi, 120000, line);
    std::string said;
    ReadBytes(out, said);
    return code == 0 ? "" : "diskpart ended with " + std::to_string(code) + ": " + said;
}

MountedVolume::MountedVolume(const std::string &where) : folder(where), disk(ExeDir() + "\\veldrano-profile.vhdx")
{
    CreateDirectoryW(Wide(folder).c_str(), nullptr);
    error = Diskpart("create vdisk file=\"" + disk + "\" maximum=32 type=expandable\r\n"
                     "select vdisk file=\"" + disk + "\"\r\nattach vdisk\r\ncreate partition primary\r\n"
                     "format fs=ntfs quick label=Veldrano\r\nassign mount=\"" + folder + "\"\r\n");
    wchar_t volume[64];
    if (error.empty() && !GetVolumeNameForVolumeMountPointW(Wide(folder + "\\").c_str(), volume, 64))
        error = "nothing is mounted at " + folder + ": error " + std::to_string(GetLastError());
}

MountedVolume::~MountedVolume()
{
    DeleteVolumeMountPointW(Wide(folder + "\\").c_str());
    Diskpart("select vdisk file=\"" + disk + "\"\r\ndetach vdisk\r\n");
    DeleteFileW(Wide(disk).c_str());
}
