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
# renamed or made junctions), and only when its final path is the profile
# folder's followed by the copy's place and it has one name. A linked copy
# is an error, told by its path; the other places are still handled.
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
#              and creating no copy; prints each change. An error ends it with a
#              terminating error once every place has been tried.
# A script that PowerShell does not start (a refused signature, a parse
# error) ends with 1.
$Wanted = @WANTED@
$Role = '@ROLE@'

Set-StrictMode -Version 2.0
$ErrorActionPreference = 'Stop'

function Stop-Script([string]$Text) {
    if ($Role -eq 'remediate') { throw $Text }
    if ($Role -eq 'detect') {
        $Text
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

function Format-Value([int]$Value) {
    switch ($Value) {
        0 { return '0 (DOS)' }
        1 { return '1 (Windows)' }
        default { return "$Value (neither 0 nor 1; the dialog shows Windows)" }
    }
}

$mode = $ExecutionContext.SessionState.LanguageMode
if ($mode -ne 'FullLanguage') {
    Stop-Script "PowerShell runs this script in $mode mode, which refuses Add-Type: application control must trust its signer"
}
try {
    Add-Type -TypeDefinition @'
using System;
using System.ComponentModel;
using System.Runtime.InteropServices;
using System.Text;
using Microsoft.Win32.SafeHandles;
namespace Lumasyn {
public static class Profile {
    [DllImport("kernel32.dll", CharSet = CharSet.Unicode, SetLastError = true)]
    public static extern int GetPrivateProfileInt(string section, string key, int fallback, string file);
    [DllImport("kernel32.dll", CharSet = CharSet.Unicode, SetLastError = true)]
    static extern bool WritePrivateProfileString(string section, string key, string value, string file);
    [DllImport("kernel32.dll", CharSet = CharSet.Unicode, SetLastError = true)]
    static extern SafeFileHandle CreateFile(string name, uint access, uint share, IntPtr security, uint creation,
                                            uint flags, IntPtr template);
    [DllImport("kernel32.dll", CharSet = CharSet.Unicode, SetLastError = true)]
    static extern uint GetFinalPathNameByHandle(SafeFileHandle file, StringBuilder path, uint size, uint flags);
    [DllImport("kernel32.dll", SetLastError = true)]
    static extern bool GetFileInformationByHandle(SafeFileHandle file, uint[] information);

    // 0, or the Win32 error of the write itself, taken before any other call.
    public static int Write(string section, string key, string value, string file) {
        return WritePrivateProfileString(section, key, value, file) ? 0 : Marshal.GetLastWin32Error();
    }
    // The file held for reading, sharing reading and writing, not deleting;
    // a folder with FILE_FLAG_BACKUP_SEMANTICS. null where it does not exist.
    public static SafeFileHandle Hold(string path, bool folder) {
        SafeFileHandle held = CreateFile(path, folder ? 0x80u : 0x80000000u, 3, IntPtr.Zero, 3,
                                         folder ? 0x02000000u : 0x00200000u, IntPtr.Zero);
        int error = Marshal.GetLastWin32Error();
        if (!held.IsInvalid) return held;
        if (error == 2 || error == 3) return null;
        throw new Win32Exception(error);
    }
    static string FinalPath(SafeFileHandle held) {
        StringBuilder path = new StringBuilder(32768);
        if (GetFinalPathNameByHandle(held, path, 32768, 0) == 0) throw new Win32Exception(Marshal.GetLastWin32Error());
        return path.ToString();
    }
    // Whether the file held as `held` is `place` below `folder` itself,
    // with one name: no link at or below the folder.
    public static bool LeadsToItself(SafeFileHandle held, string folder, string place) {
        uint[] information = new uint[13];   // BY_HANDLE_FILE_INFORMATION
        if (!GetFileInformationByHandle(held, information)) throw new Win32Exception(Marshal.GetLastWin32Error());
        if ((information[0] & 0x400) != 0 || information[10] != 1) return false;
        SafeFileHandle top = Hold(folder, true);
        if (top == null) return false;
        string expected;
        using (top) expected = FinalPath(top).TrimEnd('\\') + "\\" + place;
        return string.Equals(FinalPath(held), expected, StringComparison.OrdinalIgnoreCase);
    }
}
}
'@
} catch {
    Stop-Script "Add-Type failed: $($_.Exception.Message)"
}

# The machine's N4.INI first, then the copies of every profile but the
# service accounts', each folder once: a profile's key and its .bak twin
# name the same folder. A listed folder that is not there is told.
function Get-Place {
    $windows = [Environment]::GetFolderPath('Windows')
    [pscustomobject]@{ Path = [IO.Path]::Combine($windows, 'N4.INI'); Folder = $null; Place = $null }
    $below = $windows.Substring([IO.Path]::GetPathRoot($windows).Length)
    $seen = @{}
    $list = [Microsoft.Win32.RegistryKey]::OpenBaseKey('LocalMachine', [Microsoft.Win32.RegistryView]::Registry64).OpenSubKey(
        'SOFTWARE\Microsoft\Windows NT\CurrentVersion\ProfileList')
    foreach ($sid in $list.GetSubKeyNames()) {
        if ($sid -in 'S-1-5-18', 'S-1-5-19', 'S-1-5-20') { continue }
        $dir = $list.OpenSubKey($sid).GetValue('ProfileImagePath')
        if (-not $dir) { continue }
        $dir = [Environment]::ExpandEnvironmentVariables($dir)
        if ($seen.ContainsKey($dir)) { continue }
        $seen[$dir] = $true
        if (-not [IO.Directory]::Exists($dir)) {
            $script:absent += @($dir)
            continue
        }
        foreach ($place in [IO.Path]::Combine('AppData\Local\VirtualStore', $below, 'N4.INI'), 'WINDOWS\N4.INI') {
            [pscustomobject]@{ Path = [IO.Path]::Combine($dir, $place); Folder = $dir; Place = $place }
        }
    }
}

# patch110 as a program reads it from the place, or $null where no such
# file exists; with $Set, the wanted value written first where it differs.
# An error is thrown with the place's path.
function Use-Place($Place, [bool]$Set) {
    $held = $null
    try {
        try {
            $held = [Lumasyn.Profile]::Hold($Place.Path, $false)
        } catch {
            throw "$($Place.Path) cannot be read: $($_.Exception.InnerException.Message)"
        }
        $itself = $true
        try {
            if ($Place.Folder -and $held) { $itself = [Lumasyn.Profile]::LeadsToItself($held, $Place.Folder, $Place.Place) }
        } catch {
            throw "$($Place.Path) cannot be checked: $($_.Exception.InnerException.Message)"
        }
        if (-not $itself) {
            throw "$($Place.Path) is a link, or a folder on its way is one (a junction, a symbolic link, or a second name of a file): it is not followed"
        }
        if (-not $held -and $Place.Folder) { return $null }
        $value = if ($held) { [Lumasyn.Profile]::GetPrivateProfileInt('Lumasyn', 'patch110', 1, $Place.Path) } else { $null }
        # Where nothing is stored, programs read 1: nothing to write for Windows.
        if (-not $Set -or $(if ($null -eq $value) { 1 } else { $value }) -eq $Wanted) { return $value }
        $error32 = [Lumasyn.Profile]::Write('Lumasyn', 'patch110', "$Wanted", $Place.Path)
        if ($error32 -ne 0) {
            $why = (New-Object ComponentModel.Win32Exception $error32).Message
            try {
                if ($held -and ([IO.File]::GetAttributes($Place.Path) -band [IO.FileAttributes]::ReadOnly)) { $why += '; it is read-only' }
            } catch { }
            throw "$($Place.Path): patch110 was not set to $(Format-Value $Wanted): $why."
        }
        if (($now = [Lumasyn.Profile]::GetPrivateProfileInt('Lumasyn', 'patch110', 1, $Place.Path)) -ne $Wanted) {
            throw "$($Place.Path): patch110 was written, and reads $(Format-Value $now)"
        }
        $was = if ($held) { Format-Value $value } else { 'none (N4.INI created)' }
        "$($Place.Path): patch110 $was -> $(Format-Value $Wanted)"
        return $Wanted
    } finally {
        if ($held) { $held.Dispose() }
    }
}

# Every place is looked at, and with remediate set; errors are gathered.
$absent = @()
$found = @()
$failed = @()
$changed = 0
foreach ($place in @(Get-Place)) {
    try {
        $value = $null
        foreach ($line in @(Use-Place $place ($Role -eq 'remediate'))) {
            if ($line -is [string]) { $line; $changed++ } else { $value = $line }
        }
        if ($null -ne $value -or -not $place.Folder) {
            $found += [pscustomobject]@{ Path = $place.Path; Machine = -not $place.Folder; Missing = $null -eq $value
                                         Value = $(if ($null -eq $value) { 1 } else { $value }) }
        }
    } catch {
        $failed += $_.Exception.Message
    }
}
$differ = @($found | Where-Object { $_.Value -ne $Wanted })
$notThere = if ($absent.Count -gt 0) { "; $($absent.Count) listed profile folders are not there: $($absent -join ', ')" } else { '' }

if ($Role -eq 'remediate') {
    if ($failed.Count -gt 0) { Stop-Script ($failed -join [Environment]::NewLine) }
    "Set in $changed of $($found.Count) places; all hold $(Format-Value $Wanted)$notThere"
    exit 0
}
if ($failed.Count -gt 0) {
    if ($Role -eq 'detect') { $failed | Select-Object -SkipLast 1 }
    Stop-Script $failed[-1]
}
if ($Role -eq 'discover') {
    if ($differ.Count -gt 0) { $differ[0].Value } else { $Wanted }
    exit 0
}
foreach ($place in $found) {
    if ($place.Missing) {
        "$($place.Path): none, which reads as $(Format-Value 1)"
    } elseif ($place.Machine -or $place.Value -ne $Wanted) {
        "$($place.Path): $(Format-Value $place.Value)"
    }
}
if ($differ.Count -gt 0) {
    "Not compliant: $($differ.Count) of $($found.Count) places hold another value than $(Format-Value $Wanted)$notThere"
    exit 1
}
$machine = if ($found[0].Missing) { 'no N4.INI in the Windows directory (which reads as 1)' } else { 'N4.INI of the Windows directory' }
"Compliant: all hold $(Format-Value $Wanted): $machine, and $($found.Count - 1) per-user copies$notThere"
exit 0
