// The files the applet touches, as the tests lay them out in the Wine
// prefix: the Lumasyn library beside the test program (first place
// OpenFile looks) and N4.INI in the Windows directory.
#ifndef TESTS_FILES_H
#define TESTS_FILES_H

#include <windows.h>

#include <string>

std::string ExeDir();
std::string WindowsDir();
std::string AppletPath();       // veldrano.cpl, copied beside the tests
std::string LumasynPath();      // LMSN110.DLL beside the test program
std::string ProfilePath();      // N4.INI in the Windows directory

// `size` bytes of filler with `text` written at `offset` (cut at `size`).
std::string LumasynImage(size_t size, size_t offset, const std::string &text);
constexpr size_t kMarkerOffset = 455;
// The smallest LMSN110.DLL that carries the marker: 463 bytes.
std::string MarkedLumasyn();

// Paths are UTF-8, so that a test may name a folder outside the ANSI
// code page; Wide and Utf8Of convert.
std::wstring Wide(const std::string &utf8);
std::string Utf8Of(const wchar_t *wide);

bool WriteBytes(const std::string &path, const std::string &bytes);
bool ReadBytes(const std::string &path, std::string &bytes);
void RemoveFile(const std::string &path);
void RemoveTree(const std::string &path);   // a folder and all it holds

// Drops the platform's cached copy of N4.INI so the next profile call
// reads what is on disk.
void FlushProfileCache();
void SetProfileText(const std::string &text);   // whole file, then flush
void RemoveProfile();   // N4.INI and this account's copies of it

// This account's per-user copies of N4.INI, which programs may read
// instead, below its profile folder (%USERPROFILE%): the virtual store's
// and the private Windows directory's; and those of the profile folder
// `profile`.
std::string VirtualStoreCopyPath();
std::string PrivateWindowsCopyPath();
std::string StoreCopyPath(const std::string &profile);
std::string HomeCopyPath(const std::string &profile);
// A profile of the computer's list, ProfileList, while it lives: a made-up
// SID's key with its folder (REG_EXPAND_SZ, as Windows writes it, or
// `type`), `dir` once expanded, which it removes with all it holds.
struct ListedProfile {
    ListedProfile(const std::string &sid, const std::string &folder, DWORD type = REG_EXPAND_SZ);
    ~ListedProfile();
    std::string sid, dir;
};
void SetCopyText(const std::string &path, const std::string &text);    // its folder made as needed
// The value text of `key` in [section] of the file on disk, or "<none>".
std::string StoredValue(const std::string &section, const std::string &key, const std::string &path = ProfilePath());

// True when nobody holds the file open: it can be opened exclusively.
bool NotHeldOpen(const std::string &path);

// The tests write N4.INI and LMSN110.DLL into the Windows directory, and
// install packages: only on a Windows that may be thrown away, which says
// so with VELDRANO_THROWAWAY_WINDOWS=1 (wine-run sets it for its prefix,
// the workflow for its runner). Empty when allowed, else why not.
std::string RefuseUnlessThrowaway();

// The system's words for an error, as the applet shows them: without the
// line break FormatMessage ends them with.
std::string SystemText(DWORD error);

#endif
