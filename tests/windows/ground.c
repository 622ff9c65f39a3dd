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
   Prints the Windows version, and the runner image's name and version
   where the host sets them (ImageOS, ImageVersion). Exits 1 when a check
   fails. */
#include <windows.h>
#include <stdio.h>
#include <string.h>

static int failures;

static void Check(BOOL ok, const char *what)
{
    printf("%s: %s\n", ok ? "ok" : "FAIL", what);
    failures += !ok;
}

int main(void)
{
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
