/* Writes N4.INI by its bare name, as a 32-bit program of the driver's with
   no manifest does: run as a standard user, it makes Windows create that
   user's virtual store copy, where UAC virtualises the program. It has no
   manifest of its own (mingw links none). Its exit code tells the test,
   which cannot see its output: 0 written, 1 not; plus 0x10 where the
   token allows virtualisation and 0x20 where it is enabled. */
#include <windows.h>

int main(void)
{
    int code = WritePrivateProfileStringA("Lumasyn", "patch110", "1", "N4.INI") ? 0 : 1;
    HANDLE token;
    DWORD allowed = 0, enabled = 0, size = 0;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        GetTokenInformation(token, TokenVirtualizationAllowed, &allowed, sizeof allowed, &size);
        GetTokenInformation(token, TokenVirtualizationEnabled, &enabled, sizeof enabled, &size);
        CloseHandle(token);
    }
    return code | (allowed ? 0x10 : 0) | (enabled ? 0x20 : 0);
}
