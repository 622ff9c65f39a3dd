// Measures what veldrano.cpl costs its host, under the real platform:
//   1. the Control Panel's listing cycle as a host runs it (the applet's
//      activation context from its manifest, resource 123, around load,
//      inquiry and unload) against
//        - its floor: the same host steps around the platform work any
//          answer to the inquiry needs (icon, two strings);
//        - the same cycle on a copy of the file without resource 123;
//        - today's cycle: no activation context, on that copy;
//        - an empty DLL's load and unload (for information);
//      and, for each manifest file named on the command line, the cycle on
//      a copy carrying that manifest against one carrying the shipped one;
//   2. the double-click's marker check on a 463-byte LMSN110.DLL against a
//      1 GiB sparse one;
//   3. a soak of 1,000 listing-and-double-click cycles: handles and private
//      memory before and after.
// A and B run alternately, batch by batch, so drift hits both alike; the
// figures are medians over the rounds.
//   cplbench.exe [rounds [manifest...]]
#include <windows.h>
#include <cpl.h>
#include <winternl.h>

#include <algorithm>
#include <stdio.h>
#include <string>
#include <vector>

#include "../tests/support/files.h"
#include "../tests/support/image.h"

namespace {

std::string exeDir;
std::string cplPath;
std::string emptyPath;
std::string plainPath;      // copy without resource 123
std::string shippedPath;    // copy with the shipped manifest written back the same way
std::string variantPath;    // copy with a manifest from the command line
HWND host;
int dialogsStoodIn;

double Seconds()
{
    static LARGE_INTEGER freq;
    if (freq.QuadPart == 0)
        QueryPerformanceFrequency(&freq);
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return double(now.QuadPart) / double(freq.QuadPart);
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

INT_PTR WINAPI NoDialog(HINSTANCE, LPCSTR, HWND, DLGPROC, LPARAM)
{
    ++dialogsStoodIn;
    return 1;
}

APPLET_PROC Entry(HMODULE h) { return reinterpret_cast<APPLET_PROC>(GetProcAddress(h, "CPlApplet")); }

// The host's side: the applet's activation context, made from its
// manifest and active around everything the host does with the applet.
// Without resource 123 CreateActCtxA fails and the host goes on without.
struct HostContext {
    HANDLE hCtx;
    ULONG_PTR cookie;
};

HostContext EnterAppletContext(const std::string &path)
{
    HostContext host = {CreateAppletContext(path), 0};
    if (host.hCtx != INVALID_HANDLE_VALUE)
        ActivateActCtx(host.hCtx, &host.cookie);
    return host;
}

void LeaveAppletContext(const HostContext &host)
{
    if (host.hCtx == INVALID_HANDLE_VALUE)
        return;
    DeactivateActCtx(0, host.cookie);
    ReleaseActCtx(host.hCtx);
}

// What the Control Panel does to list an applet, once it has its context.
void ListApplet(const std::string &path)
{
    HMODULE h = LoadLibraryA(path.c_str());
    APPLET_PROC cpl = Entry(h);
    NEWCPLINFOA info;
    cpl(host, CPL_INIT, 0, 0);
    cpl(host, CPL_GETCOUNT, 0, 0);
    cpl(host, CPL_NEWINQUIRE, 0, reinterpret_cast<LPARAM>(&info));
    cpl(host, CPL_EXIT, 0, 0);
    FreeLibrary(h);
}

void ListingCycleOf(const std::string &path)
{
    HostContext ctx = EnterAppletContext(path);
    ListApplet(path);
    LeaveAppletContext(ctx);
}

void ListingCycle() { ListingCycleOf(cplPath); }
void PlainListingCycle() { ListingCycleOf(plainPath); }
void ShippedListingCycle() { ListingCycleOf(shippedPath); }
void VariantListingCycle() { ListingCycleOf(variantPath); }

// The listing as hosts ran it before the manifest: no activation context.
void TodaysCycle() { ListApplet(plainPath); }

// The platform work any inquiry answer needs, done by the benchmark itself,
// inside the same host steps.
void FloorCycle()
{
    HostContext ctx = EnterAppletContext(cplPath);
    HMODULE h = LoadLibraryA(cplPath.c_str());
    char name[32], desc[64];
    LoadIconA(h, MAKEINTRESOURCEA(1));
    LoadStringA(h, 40, name, sizeof name);
    LoadStringA(h, 41, desc, sizeof desc);
    FreeLibrary(h);
    LeaveAppletContext(ctx);
}

// A copy of the applet whose manifest is resource 124 instead of 123: no
// host finds it, and every other byte is the applet's. (Wine's
// UpdateResource does not delete a resource.)
bool CopyWithoutManifest(const std::string &to)
{
    std::string pe;
    if (!ReadBytes(cplPath, pe))
        return false;
    char *base = &pe[0];
    IMAGE_NT_HEADERS *nt = NtHeaders(base);
    const DWORD rva = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_RESOURCE].VirtualAddress;
    const IMAGE_SECTION_HEADER *sec = IMAGE_FIRST_SECTION(nt);
    for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++sec) {
        if (rva < sec->VirtualAddress || rva >= sec->VirtualAddress + sec->SizeOfRawData)
            continue;
        char *rsrc = base + sec->PointerToRawData + (rva - sec->VirtualAddress);
        auto *root = reinterpret_cast<IMAGE_RESOURCE_DIRECTORY *>(rsrc);
        auto *type = reinterpret_cast<IMAGE_RESOURCE_DIRECTORY_ENTRY *>(root + 1);
        for (int t = 0; t < root->NumberOfNamedEntries + root->NumberOfIdEntries; ++t, ++type) {
            if (type->NameIsString || type->Id != 24 || !type->DataIsDirectory)
                continue;
            auto *names = reinterpret_cast<IMAGE_RESOURCE_DIRECTORY *>(rsrc + type->OffsetToDirectory);
            auto *name = reinterpret_cast<IMAGE_RESOURCE_DIRECTORY_ENTRY *>(names + 1);
            for (int n = 0; n < names->NumberOfNamedEntries + names->NumberOfIdEntries; ++n, ++name) {
                if (!name->NameIsString && name->Id == 123) {
                    name->Id = 124;
                    return WriteBytes(to, pe);
                }
            }
        }
    }
    return false;
}

// A copy of the applet whose resource 123 is `manifest`, written with the
// platform's UpdateResource.
bool CopyWithManifest(const std::string &to, const std::string &manifest)
{
    if (!CopyFileA(cplPath.c_str(), to.c_str(), FALSE))
        return false;
    HANDLE h = BeginUpdateResourceA(to.c_str(), FALSE);
    if (h == nullptr)
        return false;
    BOOL ok = UpdateResourceA(h, RT_MANIFEST, MAKEINTRESOURCEA(123), MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
                              const_cast<char *>(manifest.data()), DWORD(manifest.size()));
    return EndUpdateResourceA(h, !ok) && ok;
}

// The shipped manifest, as the loader maps it.
std::string ShippedManifest()
{
    HMODULE h = LoadLibraryExA(cplPath.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    DWORD size = 0;
    const void *data = FindModuleResource(h, RT_MANIFEST, MAKEINTRESOURCEA(123), &size);
    std::string bytes;
    if (data)
        bytes.assign(static_cast<const char *>(data), size);
    FreeLibrary(h);
    return bytes;
}

void EmptyCycle()
{
    FreeLibrary(LoadLibraryA(emptyPath.c_str()));
}

struct Result {
    double a, b, ratio;
};

// Per-call seconds of A and B, batch by batch, alternating which goes first.
Result Compare(void (*a)(), void (*b)(), int rounds, int batch)
{
    std::vector<double> ta, tb, ratios;
    for (int r = 0; r < rounds; ++r) {
        double da = 0, db = 0;
        for (int pass = 0; pass < 2; ++pass) {
            bool aTurn = (pass == 0) == (r % 2 == 0);
            double t0 = Seconds();
            for (int i = 0; i < batch; ++i)
                aTurn ? a() : b();
            (aTurn ? da : db) = (Seconds() - t0) / batch;
        }
        ta.push_back(da);
        tb.push_back(db);
        ratios.push_back(da / db);
    }
    return {Median(ta), Median(tb), Median(ratios)};
}

// The loaded applet whose double-click is measured, dialog stood in.
HMODULE dblclkModule;
std::string smallDir, bigDir;

void DoubleClickIn(const std::string &dir)
{
    SetCurrentDirectoryA(dir.c_str());
    Entry(dblclkModule)(host, CPL_DBLCLK, 0, 0);
}
void DoubleClickSmall() { DoubleClickIn(smallDir); }
void DoubleClickBig() { DoubleClickIn(bigDir); }

bool WriteLumasyn(const std::string &dir, LONGLONG size)
{
    CreateDirectoryA(dir.c_str(), nullptr);
    const std::string path = dir + "\\LMSN110.DLL";
    if (!WriteBytes(path, MarkedLumasyn()))
        return false;
    HANDLE f = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE)
        return false;
    // The rest is a hole: SetEndOfFile extends the file without writing.
    LARGE_INTEGER end;
    end.QuadPart = size;
    SetFilePointerEx(f, end, nullptr, FILE_BEGIN);
    SetEndOfFile(f);
    CloseHandle(f);
    return true;
}

void RemoveLumasyn(const std::string &dir)
{
    DeleteFileA((dir + "\\LMSN110.DLL").c_str());
    RemoveDirectoryA(dir.c_str());
}

typedef NTSTATUS(NTAPI *NtQuerySystemInformationFn)(ULONG, PVOID, ULONG, PULONG);

struct HandleEntry {
    ULONG ownerPid;
    BYTE objectType;
    BYTE flags;
    USHORT value;
    PVOID object;
    ULONG access;
};

// Handles this process holds, from the system-wide handle table (Wine
// answers GetProcessHandleCount with 0).
long HandleCount()
{
    auto query = reinterpret_cast<NtQuerySystemInformationFn>(
        GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation"));
    std::vector<BYTE> buf(1 << 16);
    ULONG needed = 0;
    NTSTATUS st;
    while ((st = query(16 /* SystemHandleInformation */, buf.data(), ULONG(buf.size()), &needed)) ==
           NTSTATUS(0xC0000004L))
        buf.resize(std::max<size_t>(buf.size() * 2, needed));
    if (st != 0)
        return -1;
    ULONG count = *reinterpret_cast<ULONG *>(buf.data());
    auto *entries = reinterpret_cast<HandleEntry *>(buf.data() + sizeof(ULONG_PTR));
    long mine = 0;
    for (ULONG i = 0; i < count; ++i)
        mine += entries[i].ownerPid == GetCurrentProcessId();
    return mine;
}

// Committed private memory, summed over the address space (Wine leaves
// PROCESS_MEMORY_COUNTERS_EX.PrivateUsage at 0).
SIZE_T PrivateBytes()
{
    SIZE_T total = 0;
    MEMORY_BASIC_INFORMATION mbi;
    for (BYTE *p = nullptr; VirtualQuery(p, &mbi, sizeof mbi) == sizeof mbi;
         p = static_cast<BYTE *>(mbi.BaseAddress) + mbi.RegionSize) {
        if (mbi.State == MEM_COMMIT && mbi.Type == MEM_PRIVATE)
            total += mbi.RegionSize;
        if (static_cast<BYTE *>(mbi.BaseAddress) + mbi.RegionSize < p)
            break;
    }
    return total;
}

// A whole Control Panel session with a double-click, dialog stood in.
void SessionCycle()
{
    HostContext ctx = EnterAppletContext(cplPath);
    HMODULE h = LoadLibraryA(cplPath.c_str());
    PatchImport(h, "USER32.dll", "DialogBoxParamA", reinterpret_cast<void *>(&NoDialog));
    APPLET_PROC cpl = Entry(h);
    NEWCPLINFOA info;
    cpl(host, CPL_INIT, 0, 0);
    cpl(host, CPL_GETCOUNT, 0, 0);
    cpl(host, CPL_NEWINQUIRE, 0, reinterpret_cast<LPARAM>(&info));
    cpl(host, CPL_DBLCLK, 0, info.lData);
    cpl(host, CPL_STOP, 0, info.lData);
    cpl(host, CPL_EXIT, 0, 0);
    FreeLibrary(h);
    LeaveAppletContext(ctx);
}

void PrintResult(const char *what, const Result &r)
{
    printf("%-60s %9.1f us %9.1f us %8.3f\n", what, r.a * 1e6, r.b * 1e6, r.ratio);
}

}  // namespace

int main(int argc, char **argv)
{
    int rounds = argc > 1 ? atoi(argv[1]) : 31;
    exeDir = ExeDir();
    cplPath = AppletPath();
    emptyPath = exeDir + "\\empty.dll";
    host = CreateWindowA("STATIC", "bench host", WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);

    char cwd[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, cwd);
    if (GetFileAttributesA(LumasynPath().c_str()) != INVALID_FILE_ATTRIBUTES) {
        fprintf(stderr, "cplbench: remove LMSN110.DLL from %s first\n", exeDir.c_str());
        return 2;
    }

    plainPath = exeDir + "\\veldrano-plain.cpl";
    shippedPath = exeDir + "\\veldrano-shipped.cpl";
    variantPath = exeDir + "\\veldrano-variant.cpl";
    const std::string shipped = ShippedManifest();
    if (shipped.empty() || !CopyWithoutManifest(plainPath) || !CopyWithManifest(shippedPath, shipped)) {
        fprintf(stderr, "cplbench: cannot make the copies of veldrano.cpl\n");
        return 1;
    }
    if (EnterAppletContext(plainPath).hCtx != INVALID_HANDLE_VALUE) {
        fprintf(stderr, "cplbench: the copy without resource 123 still has a manifest\n");
        return 1;
    }

    // Warm the platform's caches so no side pays for the first load.
    for (int i = 0; i < 20; ++i) {
        ListingCycle();
        FloorCycle();
        PlainListingCycle();
        TodaysCycle();
        EmptyCycle();
    }

    printf("veldrano.cpl benchmark under Wine, %d rounds, medians of per-call times\n", rounds);
    printf("listing cycle: the applet's activation context (resource 123) around LoadLibrary, CPL_INIT,\n"
           "CPL_GETCOUNT, CPL_NEWINQUIRE, CPL_EXIT and FreeLibrary, as a host runs it\n\n");
    printf("%-60s %12s %12s %8s\n", "A vs B", "A", "B", "A/B");

    Result listing = Compare(ListingCycle, FloorCycle, rounds, 50);
    PrintResult("listing cycle vs its floor (icon, two strings)", listing);
    PrintResult("listing cycle vs the same, copy without 123", Compare(ListingCycle, PlainListingCycle, rounds, 50));
    PrintResult("listing cycle vs today's (no context, no 123)", Compare(ListingCycle, TodaysCycle, rounds, 50));
    PrintResult("listing cycle vs empty DLL load+free", Compare(ListingCycle, EmptyCycle, rounds, 50));

    // Other forms of the manifest, each in a copy made the same way as the
    // shipped one's, so only the manifest differs.
    for (int i = 2; i < argc; ++i) {
        std::string manifest;
        if (!ReadBytes(argv[i], manifest) || !CopyWithManifest(variantPath, manifest)) {
            fprintf(stderr, "cplbench: cannot use the manifest %s\n", argv[i]);
            return 1;
        }
        const HostContext probe = EnterAppletContext(variantPath);
        if (probe.hCtx == INVALID_HANDLE_VALUE) {
            fprintf(stderr, "cplbench: %s is not a manifest the platform takes (error %lu)\n", argv[i],
                    GetLastError());
            return 1;
        }
        LeaveAppletContext(probe);
        for (int w = 0; w < 20; ++w) {
            VariantListingCycle();
            ShippedListingCycle();
        }
        std::string name = argv[i];
        name = name.substr(name.find_last_of("\\/") + 1);
        char what[80];
        snprintf(what, sizeof what, "%s (%u B) vs shipped (%u B)", name.c_str(), unsigned(manifest.size()),
                 unsigned(shipped.size()));
        PrintResult(what, Compare(VariantListingCycle, ShippedListingCycle, rounds, 50));
    }
    DeleteFileA(plainPath.c_str());
    DeleteFileA(shippedPath.c_str());
    DeleteFileA(variantPath.c_str());

    smallDir = exeDir + "\\bench-small";
    bigDir = exeDir + "\\bench-big";
    if (!WriteLumasyn(smallDir, 463) || !WriteLumasyn(bigDir, 1LL << 30)) {
        fprintf(stderr, "cplbench: cannot write the LMSN110.DLL files\n");
        return 1;
    }
    dblclkModule = LoadLibraryA(cplPath.c_str());
    PatchImport(dblclkModule, "USER32.dll", "DialogBoxParamA", reinterpret_cast<void *>(&NoDialog));
    for (int i = 0; i < 20; ++i) {
        DoubleClickSmall();
        DoubleClickBig();
    }
    dialogsStoodIn = 0;
    Result check = Compare(DoubleClickBig, DoubleClickSmall, rounds, 200);
    int expectedDialogs = rounds * 2 * 200;
    PrintResult("marker check: 1 GiB sparse vs 463 bytes", check);
    FreeLibrary(dblclkModule);
    SetCurrentDirectoryA(cwd);
    RemoveLumasyn(smallDir);
    RemoveLumasyn(bigDir);
    if (dialogsStoodIn != expectedDialogs) {
        fprintf(stderr, "cplbench: %d of %d double-clicks reached the dialog\n", dialogsStoodIn, expectedDialogs);
        return 1;
    }

    // Soak: the marker file sits in the current directory, so every
    // double-click passes the check and reaches the (stood-in) dialog.
    WriteLumasyn(smallDir, 463);
    SetCurrentDirectoryA(smallDir.c_str());
    SessionCycle();
    long handlesBefore = HandleCount();
    SIZE_T privateBefore = PrivateBytes();
    dialogsStoodIn = 0;
    for (int i = 0; i < 1000; ++i)
        SessionCycle();
    long handlesAfter = HandleCount();
    SIZE_T privateAfter = PrivateBytes();
    SetCurrentDirectoryA(cwd);
    RemoveLumasyn(smallDir);

    printf("\nsoak: 1000 sessions (load, init, count, inquire, double-click, stop, exit, free), %d dialogs\n",
           dialogsStoodIn);
    printf("  handles        %8ld -> %8ld  (%+ld)\n", handlesBefore, handlesAfter, handlesAfter - handlesBefore);
    printf("  private bytes  %8lu -> %8lu  (%+ld)\n", (unsigned long)privateBefore, (unsigned long)privateAfter,
           long(privateAfter) - long(privateBefore));

    printf("\ngoals: listing/floor <= 1.05: %s; 1 GiB/463 B <= 1.05: %s; soak growth 0: %s\n",
           listing.ratio <= 1.05 ? "met" : "MISSED", check.ratio <= 1.05 ? "met" : "MISSED",
           handlesAfter == handlesBefore && privateAfter <= privateBefore ? "met" : "MISSED");
    DestroyWindow(host);
    return 0;
}
