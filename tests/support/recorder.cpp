#include "recorder.h"
#include "image.h"
#include "files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdarg.h>
#include <stdio.h>

namespace rec {

std::vector<std::string> calls;
std::vector<HFILE> openFiles;
INT_PTR lastDialogResult;
HWND foregroundAsked;
StandIns standIn;
std::vector<MessageBoxSeen> messageBoxes;
bool waitCursorAtWrite;
int enumCalls;

namespace {

HMODULE hmodApplet;
HWND hwndHostWindow;
void *pfnPatchProc;

std::string Format(const char *fmt, ...)
{
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

std::string Text(const char *s)
{
    if (s == nullptr)
        return "(null)";
    std::string out;
    for (; *s; ++s) {
        unsigned char c = static_cast<unsigned char>(*s);
        out += (c >= 0x20 && c < 0x7f) ? std::string(1, c) : Format("\\x%02x", c);
    }
    return out;
}

std::string Handle(const void *h)
{
    if (h == nullptr)
        return "0";
    if (h == hmodApplet)
        return "hmod";
    if (h == hwndHostWindow)
        return "host";
    char cls[16] = "";
    if (IsWindow((HWND)h) && GetClassNameA((HWND)h, cls, sizeof cls) && lstrcmpA(cls, "#32770") == 0)
        return "dlg";
    return Format("%p", h);
}

std::string FileHandle(HFILE h)
{
    return std::find(openFiles.begin(), openFiles.end(), h) != openFiles.end() ? "f" : Format("%d", h);
}

std::string Id(LPCSTR id)
{
    return IS_INTRESOURCE(id) ? Format("%u", (unsigned)(ULONG_PTR)id) : Text(id);
}

void Log(std::string line) { calls.push_back(std::move(line)); }

// Originals, refreshed at every Install.
decltype(&OpenFile) pOpenFile;
decltype(&_llseek) p_llseek;
decltype(&_lread) p_lread;
decltype(&_lclose) p_lclose;
decltype(&lstrcmpA) plstrcmpA;
decltype(&GetPrivateProfileIntA) pGetPrivateProfileIntA;
decltype(&WritePrivateProfileStringA) pWritePrivateProfileStringA;
decltype(&LoadIconA) pLoadIconA;
decltype(&LoadStringA) pLoadStringA;
decltype(&DialogBoxParamA) pDialogBoxParamA;
decltype(&MessageBeep) pMessageBeep;
decltype(&CheckRadioButton) pCheckRadioButton;
decltype(&IsDlgButtonChecked) pIsDlgButtonChecked;
decltype(&EndDialog) pEndDialog;
decltype(&MessageBoxW) pMessageBoxW;
decltype(&RegEnumKeyExA) pRegEnumKeyExA;
decltype(&SetForegroundWindow) pSetForegroundWindow;

HFILE WINAPI HookOpenFile(LPCSTR name, LPOFSTRUCT of, UINT style)
{
    Log(Format("OpenFile(%s,%u)", Text(name).c_str(), style));
    HFILE h = pOpenFile(name, of, style);
    if (h != HFILE_ERROR)
        openFiles.push_back(h);
    return h;
}

LONG WINAPI Hook_llseek(HFILE h, LONG offset, int origin)
{
    Log(Format("_llseek(%s,%ld,%d)", FileHandle(h).c_str(), offset, origin));
    return p_llseek(h, offset, origin);
}

UINT WINAPI Hook_lread(HFILE h, LPVOID buf, UINT count)
{
    Log(Format("_lread(%s,%u)", FileHandle(h).c_str(), count));
    return p_lread(h, buf, count);
}

HFILE WINAPI Hook_lclose(HFILE h)
{
    Log(Format("_lclose(%s)", FileHandle(h).c_str()));
    auto it = std::find(openFiles.begin(), openFiles.end(), h);
    if (it != openFiles.end())
        openFiles.erase(it);
    return p_lclose(h);
}

int WINAPI HooklstrcmpA(LPCSTR a, LPCSTR b)
{
    Log(Format("lstrcmpA(%s,%s)", Text(a).c_str(), Text(b).c_str()));
    return plstrcmpA(a, b);
}

UINT WINAPI HookGetPrivateProfileIntA(LPCSTR section, LPCSTR key, INT def, LPCSTR file)
{
    Log(Format("GetPrivateProfileIntA(%s,%s,%d,%s)", Text(section).c_str(), Text(key).c_str(), def,
               Text(file).c_str()));
    return pGetPrivateProfileIntA(section, key, def, file);
}

BOOL WINAPI HookWritePrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR value, LPCSTR file)
{
    Log(Format("WritePrivateProfileStringA(%s,%s,%s,%s)", Text(section).c_str(), Text(key).c_str(),
               Text(value).c_str(), Text(file).c_str()));
    if (standIn.failProfileWrite) {
        SetLastError(standIn.profileError);
        return FALSE;
    }
    if (standIn.dropProfileWrite && section != nullptr)
        return TRUE;
    waitCursorAtWrite = GetCursor() == LoadCursor(nullptr, IDC_WAIT);
    const BOOL written = pWritePrivateProfileStringA(section, key, value, file);
    if (standIn.afterProfileWrite && section != nullptr)
        standIn.afterProfileWrite();
    return written;
}

LONG WINAPI HookRegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD cch, LPDWORD reserved, LPSTR cls,
                              LPDWORD cchClass, PFILETIME written)
{
    // Past 10,000 calls the list ends anyway: a walk that never stops
    // fails its test by this count, not by the test's time limit.
    if (++enumCalls > 10000)
        return ERROR_NO_MORE_ITEMS;
    if (standIn.enumError != ERROR_SUCCESS)
        return standIn.enumError;
    return pRegEnumKeyExA(key, index, name, cch, reserved, cls, cchClass, written);
}

int WINAPIV HookwsprintfA(LPSTR buf, LPCSTR fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = wvsprintfA(buf, fmt, ap);
    va_end(ap);
    Log(Format("wsprintfA(%s)=%s", Text(fmt).c_str(), Text(buf).c_str()));
    return n;
}

HICON WINAPI HookLoadIconA(HINSTANCE inst, LPCSTR id)
{
    Log(Format("LoadIconA(%s,%s)", Handle(inst).c_str(), Id(id).c_str()));
    return pLoadIconA(inst, id);
}

int WINAPI HookLoadStringA(HINSTANCE inst, UINT id, LPSTR buf, int cch)
{
    Log(Format("LoadStringA(%s,%u,%d)", Handle(inst).c_str(), id, cch));
    return pLoadStringA(inst, id, buf, cch);
}

INT_PTR WINAPI HookDialogBoxParamA(HINSTANCE inst, LPCSTR tmpl, HWND owner, DLGPROC proc, LPARAM param)
{
    std::string procName = (void *)proc == pfnPatchProc ? "PatchProc" : Format("%p", (void *)proc);
    Log(Format("DialogBoxParamA(%s,%s,%s,%s,%ld)", Handle(inst).c_str(), Id(tmpl).c_str(),
               Handle(owner).c_str(), procName.c_str(), (long)param));
    if (auto before = std::move(standIn.beforeDialog)) {
        standIn.beforeDialog = nullptr;
        before();
    }
    lastDialogResult = standIn.dialog ? standIn.dialogResult : pDialogBoxParamA(inst, tmpl, owner, proc, param);
    return lastDialogResult;
}

BOOL WINAPI HookMessageBeep(UINT type)
{
    Log(Format("MessageBeep(0x%x)", type));
    return pMessageBeep(type);
}

BOOL WINAPI HookCheckRadioButton(HWND dlg, int first, int last, int check)
{
    Log(Format("CheckRadioButton(%s,%d,%d,%d)", Handle(dlg).c_str(), first, last, check));
    return pCheckRadioButton(dlg, first, last, check);
}

UINT WINAPI HookIsDlgButtonChecked(HWND dlg, int id)
{
    Log(Format("IsDlgButtonChecked(%s,%d)", Handle(dlg).c_str(), id));
    return pIsDlgButtonChecked(dlg, id);
}

BOOL WINAPI HookEndDialog(HWND dlg, INT_PTR result)
{
    Log(Format("EndDialog(%s,%ld)", Handle(dlg).c_str(), (long)result));
    return pEndDialog(dlg, result);
}

int WINAPI HookMessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type)
{
    Log(Format("MessageBoxW(%s,...,%s,0x%x)", Handle(owner).c_str(), Utf8Of(caption).c_str(), type));
    messageBoxes.push_back({Handle(owner), Utf8Of(text), Utf8Of(caption), type});
    return pMessageBoxW(owner, text, caption, type);
}

BOOL WINAPI HookSetForegroundWindow(HWND hwnd)
{
    foregroundAsked = hwnd;
    return pSetForegroundWindow(hwnd);
}

// Reroutes one import to `hook`, keeping the target in *original when the
// hook forwards to it.
template <typename T>
void Patch(const char *dll, const char *name, T hook, T *original)
{
    void *old = PatchImport(hmodApplet, dll, name, reinterpret_cast<void *>(hook));
    if (old == nullptr) {
        ADD_FAILURE() << "veldrano.cpl does not import " << dll << "!" << name;
        return;
    }
    if (original)
        *original = reinterpret_cast<T>(old);
}

}  // namespace

void Install(HMODULE hmod, HWND hwndHost)
{
    hmodApplet = hmod;
    hwndHostWindow = hwndHost;
    pfnPatchProc = reinterpret_cast<void *>(GetProcAddress(hmod, "PatchProc"));
    calls.clear();
    openFiles.clear();
    messageBoxes.clear();
    lastDialogResult = -12345;
    foregroundAsked = nullptr;
    waitCursorAtWrite = false;
    enumCalls = 0;
    standIn = StandIns();

    Patch("KERNEL32.dll", "OpenFile", &HookOpenFile, &pOpenFile);
    Patch("KERNEL32.dll", "_llseek", &Hook_llseek, &p_llseek);
    Patch("KERNEL32.dll", "_lread", &Hook_lread, &p_lread);
    Patch("KERNEL32.dll", "_lclose", &Hook_lclose, &p_lclose);
    Patch("KERNEL32.dll", "lstrcmpA", &HooklstrcmpA, &plstrcmpA);
    Patch("KERNEL32.dll", "GetPrivateProfileIntA", &HookGetPrivateProfileIntA, &pGetPrivateProfileIntA);
    Patch("KERNEL32.dll", "WritePrivateProfileStringA", &HookWritePrivateProfileStringA,
          &pWritePrivateProfileStringA);
    Patch("USER32.dll", "LoadIconA", &HookLoadIconA, &pLoadIconA);
    Patch("USER32.dll", "LoadStringA", &HookLoadStringA, &pLoadStringA);
    Patch("USER32.dll", "DialogBoxParamA", &HookDialogBoxParamA, &pDialogBoxParamA);
    Patch("USER32.dll", "MessageBeep", &HookMessageBeep, &pMessageBeep);
    Patch("USER32.dll", "CheckRadioButton", &HookCheckRadioButton, &pCheckRadioButton);
    Patch("USER32.dll", "IsDlgButtonChecked", &HookIsDlgButtonChecked, &pIsDlgButtonChecked);
    Patch("USER32.dll", "EndDialog", &HookEndDialog, &pEndDialog);
    Patch("USER32.dll", "MessageBoxW", &HookMessageBoxW, &pMessageBoxW);
    Patch("ADVAPI32.dll", "RegEnumKeyExA", &HookRegEnumKeyExA, &pRegEnumKeyExA);
    Patch("USER32.dll", "SetForegroundWindow", &HookSetForegroundWindow, &pSetForegroundWindow);
    Patch<decltype(&HookwsprintfA)>("USER32.dll", "wsprintfA", &HookwsprintfA, nullptr);  // formats itself
}

std::vector<std::string> Matching(const std::string &prefix)
{
    std::vector<std::string> out;
    for (const auto &c : calls)
        if (c.compare(0, prefix.size(), prefix) == 0)
            out.push_back(c);
    return out;
}

}  // namespace rec
