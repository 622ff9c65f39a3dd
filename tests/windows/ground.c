/* Whether this Windows can run the tests, and which Windows it is: the
   first step on a Windows runner, and a test under Wine here.
   - The token is elevated: the tests write into the Windows directory and
     install a per-machine package.
   - Told, not required: whether the window station is the interactive
     one. The tests that show dialogs and click them need it, and fail
     without it, each saying why; the others run all the same.
   - The Windows directory is the system's own, not the private one a
     Terminal Server gives a program that is not aware of it.
   - The machine says it may be thrown away (VELDRANO_THROWAWAY_WINDOWS=1).
   Prints the Windows version, the runner image's name and version where
   the host sets them (ImageOS, ImageVersion), and what UAC is set to
   (EnableLUA, EnableVirtualization) with the token's elevation type: the
   tests of per-user copies need a standard user's programs virtualised.
   Exits 1 when a check fails. */
#include <windows.h>
#include <stdio.h>
#include <string.h>

static int failures;

static void Check(BOOL ok, const char *what)
{
    printf("%s: %s\n", ok ? "ok" : "FAIL", what);
    failures += !ok;
}

/* A value under the UAC policies' key, or -1 where it is not set. */
static long UacPolicy(const char *name)
{
    DWORD value = 0, size = sizeof value;
    return RegGetValueA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Policies\\System", name,
                        RRF_RT_REG_DWORD, NULL, &value, &size) == ERROR_SUCCESS ? (long)value : -1;
}

int main(void)
{
    setvbuf(stdout, NULL, _IONBF, 0);   /* what a time-out cuts short is kept */
    /* GetVersionEx answers 6.2 to a program without a manifest. */
    OSVERSIONINFOW version = { sizeof version };
    LONG (WINAPI *RtlGetVersion)(OSVERSIONINFOW *) =
        (LONG (WINAPI *)(OSVERSIONINFOW *))GetProcAddress(GetModuleHandleA("ntdll.dll"), "RtlGetVersion");
    if (RtlGetVersion != NULL)
        RtlGetVersion(&version);
    char image[64] = "", imageVersion[64] = "";
    GetEnvironmentVariableA("ImageOS", image, sizeof image);
    GetEnvironmentVariableA("ImageVersion", imageVersion, sizeof imageVersion);
    printf("Windows %lu.%lu.%lu; image %s %s\n", version.dwMajorVersion, version.dwMinorVersion,
           version.dwBuildNumber, image[0] ? image : "(none)", imageVersion);

    HANDLE token;
    TOKEN_ELEVATION elevation = { 0 };
    DWORD size = 0;
    Check(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) &&
          GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) &&
          elevation.TokenIsElevated, "the token is elevated");
    TOKEN_ELEVATION_TYPE type = 0;
    GetTokenInformation(token, TokenElevationType, &type, sizeof type, &size);
    printf("UAC: EnableLUA %ld, EnableVirtualization %ld (-1: not set); token elevation type %d "
           "(1 default: UAC off or the built-in Administrator, 2 full, 3 limited)\n",
           UacPolicy("EnableLUA"), UacPolicy("EnableVirtualization"), (int)type);

    USEROBJECTFLAGS flags = { 0 };
    BOOL interactive = GetUserObjectInformationA(GetProcessWindowStation(), UOI_FLAGS, &flags, sizeof flags, &size) &&
                       (flags.dwFlags & WSF_VISIBLE) && OpenInputDesktop(0, FALSE, DESKTOP_READOBJECTS) != NULL;
    printf("%s\n", interactive ? "ok: the desktop is interactive"
                               : "note: no interactive desktop; the tests that show windows will fail, the others run");

    char windows[MAX_PATH] = "", system[MAX_PATH] = "";
    GetWindowsDirectoryA(windows, MAX_PATH);
    GetSystemWindowsDirectoryA(system, MAX_PATH);
    printf("Windows directory %s\n", windows);
    Check(windows[0] != '\0' && lstrcmpiA(windows, system) == 0, "the Windows directory is the system's own");

    char throwaway[8] = "";
    GetEnvironmentVariableA("VELDRANO_THROWAWAY_WINDOWS", throwaway, sizeof throwaway);
    Check(strcmp(throwaway, "1") == 0, "VELDRANO_THROWAWAY_WINDOWS=1: this Windows may be thrown away");
    return failures ? 1 : 0;
}
