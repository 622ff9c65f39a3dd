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
# Windows PowerShell 5.1, 64-bit or 32-bit, run as SYSTEM. It is signed:
# do not edit it. Its role:
#   detect     Intune Remediations, detection. Prints the machine's value
#              and every copy that holds another; exit 0 when all hold the
#              wanted value, 1 when one does not (the remediation runs).
#   discover   Configuration Manager configuration item, discovery (data
#              type Integer; rule: equals the wanted value). Prints one
#              number: the value found where one differs, else the wanted
#              one; exit 0.
#   remediate  The remediation of both. Sets the wanted value in N4.INI of
#              the Windows directory and in every copy that exists, changing
#              only that line, creating and deleting no copy; prints what it
#              changed; exit 0.
# Anything that fails (a file that exists and cannot be read or written,
# Add-Type refused) is said on the error stream and ends with 2, which
# starts no remediation.
$Wanted = @WANTED@
$Role = '@ROLE@'

Set-StrictMode -Version 2.0
$ErrorActionPreference = 'Stop'

function Stop-Script([string]$Text) {
    if ($ExecutionContext.SessionState.LanguageMode -eq 'FullLanguage') {
        [Console]::Error.WriteLine($Text)
    } else {
        Write-Error -Message $Text -ErrorAction Continue
    }
    exit 2
}

# Whatever else goes wrong ends with 2 too, never with PowerShell's 1,
# which would start a remediation.
trap { Stop-Script "Unexpected error: $($_.Exception.Message)" }

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
    Add-Type -Namespace Lumasyn -Name Profile -MemberDefinition @'
[DllImport("kernel32.dll", CharSet = CharSet.Unicode, SetLastError = true)]
public static extern int GetPrivateProfileInt(string section, string key, int fallback, string file);
[DllImport("kernel32.dll", CharSet = CharSet.Unicode, SetLastError = true)]
static extern bool WritePrivateProfileString(string section, string key, string value, string file);
// 0, or the Win32 error of the write itself, taken before any other call.
public static int Write(string section, string key, string value, string file) {
    return WritePrivateProfileString(section, key, value, file) ? 0 : Marshal.GetLastWin32Error();
}
'@
} catch {
    Stop-Script "Add-Type failed: $($_.Exception.Message)"
}

# patch110 as a program reads it from the file at $Path, or $null where no
# such file exists. One that exists and cannot be read is an error: its
# value is not known.
function Read-Setting([string]$Path) {
    try {
        [IO.File]::Open($Path, 'Open', 'Read', 'ReadWrite').Close()
    } catch {
        $e = $_.Exception
        while ($e.InnerException) { $e = $e.InnerException }
        if ($e -is [IO.FileNotFoundException] -or $e -is [IO.DirectoryNotFoundException]) { return $null }
        throw "$Path cannot be read: $($e.Message)"
    }
    return [Lumasyn.Profile]::GetPrivateProfileInt('Lumasyn', 'patch110', 1, $Path)
}

# The machine's N4.INI first, then the copies of every profile but the
# service accounts', each folder once: a profile's key and its .bak twin
# name the same folder.
function Get-Place {
    $windows = [Environment]::GetFolderPath('Windows')
    [IO.Path]::Combine($windows, 'N4.INI')
    $below = $windows.Substring([IO.Path]::GetPathRoot($windows).Length)
    $seen = @{}
    $list = [Microsoft.Win32.RegistryKey]::OpenBaseKey('LocalMachine', [Microsoft.Win32.RegistryView]::Registry64).OpenSubKey(
        'SOFTWARE\Microsoft\Windows NT\CurrentVersion\ProfileList')
    foreach ($sid in $list.GetSubKeyNames()) {
        if ($sid -in 'S-1-5-18', 'S-1-5-19', 'S-1-5-20') { continue }
        $dir = $list.OpenSubKey($sid).GetValue('ProfileImagePath')
        if (-not $dir) { continue }
        $dir = [Environment]::ExpandEnvironmentVariables($dir)
        if (-not [IO.Directory]::Exists($dir) -or $seen.ContainsKey($dir)) { continue }
        $seen[$dir] = $true
        [IO.Path]::Combine($dir, 'AppData\Local\VirtualStore', $below, 'N4.INI')
        [IO.Path]::Combine($dir, 'WINDOWS\N4.INI')
    }
}

try {
    $found = @()
    foreach ($path in @(Get-Place)) {
        $value = Read-Setting $path
        $machine = $found.Count -eq 0
        if ($null -ne $value -or $machine) {
            $found += [pscustomobject]@{ Path = $path; Machine = $machine; Missing = $null -eq $value
                                         Value = $(if ($null -eq $value) { 1 } else { $value }) }
        }
    }
} catch {
    Stop-Script $_.Exception.Message
}
$differ = @($found | Where-Object { $_.Value -ne $Wanted })

if ($Role -eq 'discover') {
    if ($differ.Count -gt 0) { $differ[0].Value } else { $Wanted }
    exit 0
}

if ($Role -eq 'detect') {
    foreach ($place in $found) {
        if ($place.Missing) {
            "$($place.Path): none, which reads as $(Format-Value 1)"
        } elseif ($place.Machine -or $place.Value -ne $Wanted) {
            "$($place.Path): $(Format-Value $place.Value)"
        }
    }
    if ($differ.Count -gt 0) {
        "Not compliant: $($differ.Count) of $($found.Count) places hold another value than $(Format-Value $Wanted)"
        exit 1
    }
    "Compliant: $(Format-Value $Wanted) in N4.INI of the Windows directory and in $($found.Count - 1) per-user copies"
    exit 0
}

# Every change is printed as it is made; any error ends with 2, after
# what was changed before it.
$failed = @()
foreach ($place in $differ) {
    try {
        $was = if ($place.Missing) { 'none' } else { Format-Value $place.Value }
        $error32 = [Lumasyn.Profile]::Write('Lumasyn', 'patch110', "$Wanted", $place.Path)
        if ($error32 -ne 0) {
            $why = (New-Object ComponentModel.Win32Exception $error32).Message
            if (-not $place.Missing -and [int]([IO.File]::GetAttributes($place.Path) -band [IO.FileAttributes]::ReadOnly) -ne 0) {
                $why += ' It is read-only.'
            }
            $failed += "$($place.Path): patch110 was not set to $(Format-Value $Wanted): $why"
        } elseif (($now = [Lumasyn.Profile]::GetPrivateProfileInt('Lumasyn', 'patch110', 1, $place.Path)) -ne $Wanted) {
            $failed += "$($place.Path): patch110 was written, and reads $(Format-Value $now)"
        } else {
            "$($place.Path): patch110 $was -> $(Format-Value $Wanted)"
        }
    } catch {
        $failed += "$($place.Path): $($_.Exception.Message)"
    }
}
if ($failed.Count -gt 0) {
    Stop-Script ($failed -join [Environment]::NewLine)
}
"Set in $($differ.Count - $failed.Count) of $($found.Count) places; all hold $(Format-Value $Wanted)"
exit 0
