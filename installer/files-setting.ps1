# @NAME@: @PURPOSE@
#
# The Files setting of the Lumasyn ODBC driver is patch110 in section
# [Lumasyn] of N4.INI: 1 Windows, 0 DOS, and 1 where nothing is stored. The
# Configure Lumasyn ODBC item and the package's property FILES keep it in
# the Windows directory. A program that uses the driver may read a copy of
# its own instead: UAC file virtualisation gives a 32-bit program with no
# requested execution level the copy in the user's
# %LOCALAPPDATA%\VirtualStore\Windows once it has written N4.INI, and on a
# Remote Desktop Session Host a program that is not Terminal Services
# aware reads the user's private Windows directory, WINDOWS in the home
# folder (by default the profile). So this looks at the Windows directory
# and at both copies in every profile of this computer, reading and
# writing with the functions the driver's programs use.
#
# It runs as SYSTEM and writes into folders each user owns, where the user
# could plant a junction, a symbolic link or a hard link to any file. So a
# copy is read or written only while it is held open (sharing reading and
# writing, not deleting: it cannot be renamed or replaced, nor its folders
# renamed or made junctions), and only when its final path, an NT device
# path (which a volume without a drive letter has too: a User Profile Disk,
# a profile container), is the profile folder's followed by the copy's
# place, compared ordinally, and it has one name. A linked copy is an
# error, told by its path; the other places are still handled. Nor is a
# checked copy opened again by name, which a user allowed to make symbolic
# links could redirect: the profile functions read and change its bytes in
# a scratch copy of SYSTEM's own, and they go back through the handle that
# was checked, where they are read back. Another program's brief hold is
# waited out, half a second for N4.INI and a second for all the copies;
# a device, or a file over 1 MB, is no N4.INI.
#
# Windows PowerShell 5.1, 64-bit or 32-bit, run as SYSTEM. It is signed:
# do not edit it. Its role, and how an error ends it, where the tool looks:
#   detect     Intune Remediations, detection. Prints the machine's value
#              and every copy that holds another; exit 0 when all hold the
#              wanted value, else 1, which starts the remediation. On an
#              error too: its message is the last line and the exit code 1,
#              since Intune counts any other code as "issue not found"
#              (Remediations, script requirements); the remediation then
#              meets the error and fails.
#   discover   Configuration Manager configuration item, discovery (data
#              type Integer; rule: equals the wanted value). Prints one
#              number: the value found where one differs, else the wanted
#              one; exit 0. On an error, its message on the error stream
#              and exit 2, a discovery failure (About Compliance Settings
#              (DCM) Extensibility).
#   remediate  The remediation of both. Sets the wanted value in N4.INI of
#              the Windows directory, creating it for DOS where there is
#              none, and in every copy that exists, changing only that line
#              and creating no copy; prints each change. An error ends it
#              with a terminating error once every place has been tried.
# Everything a role prints stays within the 2,048 characters Intune keeps,
# its summary or error last.
# A script that PowerShell does not start (a refused signature, a parse
# error) ends with 1.
$Wanted = @WANTED@
$Role = '@ROLE@'

Set-StrictMode -Version 2.0
$ErrorActionPreference = 'Stop'

# Intune keeps at most 2,048 characters of a script's output and does not
# say which (Remediations, script requirements): nothing printed passes
# 2,000. The lines that fit, then how many did not, then the last line,
# itself cut to fit, which tells what the output is.
function Write-Report([string[]]$Lines, [string]$Last) {
    if ($Last.Length -gt 1200) { $Last = $Last.Substring(0, 1197) + '...' }
    $room = 2000 - $Last.Length - 40
    $shown = 0
    foreach ($line in $Lines) {
        if ($line.Length + 2 -gt $room) { break }
        $line
        $room -= $line.Length + 2
        $shown++
    }
    if ($shown -lt $Lines.Count) { "... and $($Lines.Count - $shown) more lines" }
    $Last
}

# The first three, and how many more.
function Join-First([string[]]$Items) {
    $text = ($Items | Select-Object -First 3) -join ', '
    if ($Items.Count -gt 3) { $text += " and $($Items.Count - 3) more" }
    $text
}

# An error: the other errors' lines, then its own; for detection, printed
# and exit 1.
function Stop-Script([string]$Text, [string[]]$Lines = @()) {
    if ($Role -eq 'remediate') { throw ((Write-Report $Lines $Text) -join [Environment]::NewLine) }
    if ($Role -eq 'detect') {
        Write-Report $Lines $Text
        exit 1
    }
    if ($ExecutionContext.SessionState.LanguageMode -eq 'FullLanguage') {
        [Console]::Error.WriteLine($Text)
    } else {
        Write-Error -Message $Text -ErrorAction Continue
    }
    exit 2
}

# Whatever else goes wrong ends the same way.
trap {
    if ($Role -eq 'remediate') { break }
    Stop-Script "Unexpected error: $($_.Exception.Message)"
}

$mode = $ExecutionContext.SessionState.LanguageMode
if ($mode -ne 'FullLanguage') {
    Stop-Script "PowerShell runs this script in $mode mode, which refuses Add-Type: application control must trust its signer"
}
try {
    Add-Type -TypeDefinition @'
using System;
using System.ComponentModel;
using System.IO;
using System.Runtime.InteropServices;
using System.Text;
using System.Threading;
using Microsoft.Win32.SafeHandles;
namespace Lumasyn {
public static class Profile {
    [DllImport("kernel32.dll", CharSet = CharSet.Unicode, SetLastError = true)]
    static extern int GetPrivateProfileInt(string section, string key, int fallback, string file);
    [DllImport("kernel32.dll", CharSet = CharSet.Unicode, SetLastError = true)]
    static extern bool WritePrivateProfileString(string section, string key, string value, string file);
    [DllImport("kernel32.dll", CharSet = CharSet.Unicode, SetLastError = true)]
    static extern SafeFileHandle CreateFile(string name, uint access, uint share, IntPtr security, uint creation,
                                            uint flags, IntPtr template);
    [DllImport("kernel32.dll", CharSet = CharSet.Unicode, SetLastError = true)]
    static extern uint GetFinalPathNameByHandle(SafeFileHandle file, StringBuilder path, uint size, uint flags);
    [DllImport("kernel32.dll", SetLastError = true)]
    static extern bool GetFileInformationByHandle(SafeFileHandle file, uint[] information);
    [DllImport("kernel32.dll")]
    static extern uint GetFileType(SafeFileHandle file);

    // What is left of the second that all the copies' holds may take.
    public static int CopiesWaitLeft = 1000;
    static string scratch;

    public static string Describe(int value) {
        if (value == 0) return "0 (DOS)";
        if (value == 1) return "1 (Windows)";
        return value + " (neither 0 nor 1; the dialog shows Windows)";
    }
    static string Why(int error) { return new Win32Exception(error).Message.TrimEnd('.'); }

    // Whether a try that failed with `error` is tried again: while another
    // program holds the file and time is left, after 50 ms.
    static bool Wait(int error, ref int waitLeft) {
        if ((error != 32 && error != 33) || waitLeft < 50) return false;
        Thread.Sleep(50);
        waitLeft -= 50;
        return true;
    }
    static string FinalPath(SafeFileHandle held) {
        StringBuilder path = new StringBuilder(32768);
        if (GetFinalPathNameByHandle(held, path, 32768, 2) == 0)   // VOLUME_NAME_NT
            throw new Exception("it cannot be checked: " + Why(Marshal.GetLastWin32Error()));
        return path.ToString();
    }
    // The final path of a profile folder, or null where it is not there.
    public static string FolderPath(string folder) {
        SafeFileHandle held = CreateFile(folder, 0, 7, IntPtr.Zero, 3, 0x02000000, IntPtr.Zero);
        int error = Marshal.GetLastWin32Error();
        if (held.IsInvalid) {
            if (error == 2 || error == 3) return null;
            throw new Exception("it cannot be checked: " + Why(error));
        }
        using (held) return FinalPath(held);
    }
    // The file held, sharing reading and writing but not deleting, for
    // writing where `write` allows and it may be written; a copy itself
    // where it is a link. null where it does not exist.
    static FileStream Hold(string path, bool copy, ref bool write, ref int waitLeft) {
        SafeFileHandle held;
        for (;;) {
            held = CreateFile(path, write ? 0xC0000000u : 0x80000000u, 3, IntPtr.Zero, 3, copy ? 0x00200000u : 0u,
                              IntPtr.Zero);
            int error = Marshal.GetLastWin32Error();
            if (!held.IsInvalid) break;
            if (Wait(error, ref waitLeft)) continue;
            if (error == 2 || error == 3) return null;
            if (error != 5 || !write) throw new Exception("it cannot be read: " + Why(error));
            write = false;  // it may be read: it may hold the value already
        }
        uint[] information = new uint[13];   // BY_HANDLE_FILE_INFORMATION
        string wrong = null;
        if (GetFileType(held) != 1) wrong = "it is a device, not a file";
        else if (!GetFileInformationByHandle(held, information)) wrong = "it cannot be read: " + Why(Marshal.GetLastWin32Error());
        else if (information[8] != 0 || information[9] > 1048576) wrong = "it is larger than 1 MB, which no N4.INI is";
        else if (copy && ((information[0] & 0x400) != 0 || information[10] != 1)) wrong = LinkText;
        if (wrong == null) return new FileStream(held, write ? FileAccess.ReadWrite : FileAccess.Read);
        held.Dispose();
        throw new Exception(wrong);
    }
    const string LinkText = "it is a link, or a folder on its way is one (a junction, a symbolic link, or a second name of a file), and links are not followed";

    // patch110 as a program reads the held file, `fallback` where nothing
    // is stored: its bytes in the scratch copy, a file of SYSTEM's own that
    // no user may change, read by the profile functions.
    static int Read(FileStream held, int fallback) {
        byte[] bytes = new byte[held.Length];
        held.Position = 0;
        for (int got = 0, count; got < bytes.Length; got += count)
            if ((count = held.Read(bytes, got, bytes.Length - got)) == 0) throw new Exception("it was cut short while read");
        if (scratch == null) scratch = Path.GetTempFileName();
        File.WriteAllBytes(scratch, bytes);
        WritePrivateProfileString(null, null, null, scratch);   // drops the profile functions' cache of it
        return GetPrivateProfileInt("Lumasyn", "patch110", fallback, scratch);
    }
    public static void RemoveScratch() {
        if (scratch == null) return;
        WritePrivateProfileString(null, null, null, scratch);
        File.Delete(scratch);
        scratch = null;
    }
    static Exception NotSet(int wanted, int error, string path) {
        string why = Why(error);
        try {
            if (error == 5 && (File.GetAttributes(path) & FileAttributes.ReadOnly) != 0) why += "; it is read-only";
        } catch (Exception) { }
        return new Exception("patch110 was not set to " + Describe(wanted) + ": " + why + ".");
    }

    // patch110 of the file at `path` before anything is written, -1 where
    // there is none; with `set`, `wanted` written where it differs. A copy
    // (`expected`, the final path it must have) is written through the
    // handle that was checked; N4.INI of the Windows directory, which only
    // administrators may write, by name, created for DOS where there is
    // none (where nothing is stored, programs read 1).
    public static int Use(string path, string expected, int wanted, bool set) {
        bool copy = !string.IsNullOrEmpty(expected), write = copy && set;
        int waitLeft = copy ? CopiesWaitLeft : 500, value = -1;
        try {
            using (FileStream held = Hold(path, copy, ref write, ref waitLeft)) {
                if (held != null) {
                    if (copy && !string.Equals(FinalPath(held.SafeFileHandle), expected, StringComparison.OrdinalIgnoreCase))
                        throw new Exception(LinkText);
                    value = Read(held, 1);
                }
                if (!set || value == wanted || (value == -1 && (copy || wanted == 1))) return value;
                if (copy) {
                    if (!write) throw NotSet(wanted, 5, path);
                    if (!WritePrivateProfileString("Lumasyn", "patch110", wanted.ToString(), scratch))
                        throw NotSet(wanted, Marshal.GetLastWin32Error(), path);
                    byte[] bytes = File.ReadAllBytes(scratch);
                    held.Position = 0;
                    held.Write(bytes, 0, bytes.Length);
                    held.SetLength(bytes.Length);
                    held.Flush();
                    ReadBack(held, wanted);
                    return value;
                }
            }
        } finally {
            if (copy) CopiesWaitLeft = waitLeft;
        }
        waitLeft = 500;
        while (!WritePrivateProfileString("Lumasyn", "patch110", wanted.ToString(), path)) {
            int error = Marshal.GetLastWin32Error();
            if (!Wait(error, ref waitLeft)) throw NotSet(wanted, error, path);
        }
        waitLeft = 500;
        using (FileStream held = Hold(path, false, ref write, ref waitLeft)) ReadBack(held, wanted);
        return value;
    }
    static void ReadBack(FileStream held, int wanted) {
        int now = held == null ? 2 : Read(held, 2);
        if (now != wanted) throw new Exception("patch110 was written, and reads " + (now == 2 ? "nothing" : Describe(now)));
    }
}
}
'@
} catch {
    Stop-Script "Add-Type failed: $($_.Exception.Message)"
}

function Format-Value([int]$Value) { [Lumasyn.Profile]::Describe($Value) }

# Where a program's copy of N4.INI is, below a profile folder; with
# WindowsBelow, the Windows directory below its drive root follows
# ("Windows" for "C:\Windows"). The dialog walks the same places.
$CopyPlaces = @(
    @{ Place = 'AppData\Local\VirtualStore'; WindowsBelow = $true },
    @{ Place = 'WINDOWS'; WindowsBelow = $false }
)

# The machine's N4.INI first, then the copies of every profile but the
# service accounts', each folder once, by its final path: a profile's key
# and its .bak twin name the same folder, as an 8.3 name may. Only a
# REG_EXPAND_SZ folder is expanded (a REG_SZ one is a name, "%" and all),
# and one that is not absolute is skipped. A listed folder that is not
# there is told.
function Get-Place {
    $windows = [Environment]::GetFolderPath('Windows')
    [pscustomobject]@{ Path = [IO.Path]::Combine($windows, 'N4.INI'); Machine = $true; Expected = $null; FolderError = $null }
    $below = $windows.Substring([IO.Path]::GetPathRoot($windows).Length)
    $seen = @{}
    $list = [Microsoft.Win32.RegistryKey]::OpenBaseKey('LocalMachine', [Microsoft.Win32.RegistryView]::Registry64).OpenSubKey(
        'SOFTWARE\Microsoft\Windows NT\CurrentVersion\ProfileList')
    foreach ($sid in $list.GetSubKeyNames()) {
        if ($sid -in 'S-1-5-18', 'S-1-5-19', 'S-1-5-20') { continue }
        $key = $list.OpenSubKey($sid)
        $dir = if ($key) { $key.GetValue('ProfileImagePath', $null, 'DoNotExpandEnvironmentNames') }
        if ($dir -isnot [string]) { continue }
        if ($key.GetValueKind('ProfileImagePath') -eq 'ExpandString') { $dir = [Environment]::ExpandEnvironmentVariables($dir) }
        if ($dir -notmatch '^([A-Za-z]:\\|\\\\)') { continue }
        $final = $null
        $folderError = $null
        try { $final = [Lumasyn.Profile]::FolderPath($dir) } catch { $folderError = $_.Exception.InnerException.Message }
        if (-not $final -and -not $folderError) {
            $script:absent += @($dir)
            continue
        }
        if ($final) {
            if ($seen.ContainsKey($final)) { continue }
            $seen[$final] = $true
        }
        foreach ($copy in $CopyPlaces) {
            $place = if ($copy.WindowsBelow) { [IO.Path]::Combine($copy.Place, $below, 'N4.INI') } else { [IO.Path]::Combine($copy.Place, 'N4.INI') }
            $expected = if ($final) { $final.TrimEnd('\') + '\' + $place } else { '' }
            [pscustomobject]@{ Path = [IO.Path]::Combine($dir, $place); Machine = $false; Expected = $expected
                               FolderError = $folderError }
        }
    }
}

# patch110 as a program reads it from the place, or $null where no such
# file exists; with $Set, the wanted value written first where it differs,
# and each change printed. An error is thrown with the place's path.
function Use-Place($Place, [bool]$Set) {
    try {
        if ($Place.FolderError -and [IO.File]::Exists($Place.Path)) { throw $Place.FolderError }
        $value = if ($Place.FolderError) { -1 } else { [Lumasyn.Profile]::Use($Place.Path, $Place.Expected, $Wanted, $Set) }
    } catch {
        $why = if ($_.Exception.InnerException) { $_.Exception.InnerException.Message } else { $_.Exception.Message }
        throw "$($Place.Path): $why"
    }
    if ($value -eq -1 -and (-not $Place.Machine -or -not $Set -or $Wanted -eq 1)) { return $null }
    if ($Set -and $value -ne $Wanted) {
        $was = if ($value -eq -1) { 'none (N4.INI created)' } else { Format-Value $value }
        "$($Place.Path): patch110 $was -> $(Format-Value $Wanted)"
        return $Wanted
    }
    return $value
}

# Every place is looked at, and with remediate set; errors are gathered.
$absent = @()
$found = @()
$failed = @()
$changes = @()
try {
    foreach ($place in @(Get-Place)) {
        try {
            $value = $null
            foreach ($line in @(Use-Place $place ($Role -eq 'remediate'))) {
                if ($line -is [string]) { $changes += $line } else { $value = $line }
            }
            if ($null -ne $value -or $place.Machine) {
                $found += [pscustomobject]@{ Path = $place.Path; Machine = $place.Machine; Missing = $null -eq $value
                                             Value = $(if ($null -eq $value) { 1 } else { $value }) }
            }
        } catch {
            $failed += $_.Exception.Message
        }
    }
} finally {
    [Lumasyn.Profile]::RemoveScratch()
}
$differ = @($found | Where-Object { $_.Value -ne $Wanted })
$notThere = if ($absent.Count -gt 0) { "; $($absent.Count) listed profile folders are not there: $(Join-First $absent)" } else { '' }

if ($failed.Count -gt 0) {
    $last = if ($failed.Count -eq 1) { $failed[0] } else { "$($failed.Count) places failed; the first: $($failed[0])" }
    Stop-Script $last @($changes + @($failed | Select-Object -Skip 1))
}
if ($Role -eq 'remediate') {
    Write-Report $changes "Set in $($changes.Count) of $($found.Count) places; all hold $(Format-Value $Wanted)$notThere"
    exit 0
}
if ($Role -eq 'discover') {
    if ($differ.Count -gt 0) { $differ[0].Value } else { $Wanted }
    exit 0
}
$lines = @(foreach ($place in $found) {
    if ($place.Missing) {
        "$($place.Path): none, which reads as $(Format-Value 1)"
    } elseif ($place.Machine -or $place.Value -ne $Wanted) {
        "$($place.Path): $(Format-Value $place.Value)"
    }
})
if ($differ.Count -gt 0) {
    Write-Report @($lines) ("Not compliant: $($differ.Count) of $($found.Count) places hold another value than " +
                            "$(Format-Value $Wanted): $(Join-First @($differ | ForEach-Object { $_.Path }))$notThere")
    exit 1
}
$machine = if ($found[0].Missing) { 'no N4.INI in the Windows directory (which reads as 1)' } else { 'N4.INI of the Windows directory' }
Write-Report @($lines) "Compliant: all hold $(Format-Value $Wanted): $machine, and $($found.Count - 1) per-user copies$notThere"
exit 0
