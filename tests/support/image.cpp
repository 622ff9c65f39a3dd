#include "image.h"

#include <string.h>

IMAGE_NT_HEADERS *NtHeaders(void *base)
{
    auto *dos = static_cast<IMAGE_DOS_HEADER *>(base);
    return reinterpret_cast<IMAGE_NT_HEADERS *>(static_cast<BYTE *>(base) + dos->e_lfanew);
}

const void *FindModuleResource(HMODULE hmod, LPCSTR type, LPCSTR name, DWORD *size)
{
    HRSRC r = FindResourceExA(hmod, type, name, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    if (r == nullptr)
        return nullptr;
    *size = SizeofResource(hmod, r);
    return LockResource(LoadResource(hmod, r));
}

HANDLE CreateAppletContext(const std::string &path)
{
    ACTCTXA ctx = {};
    ctx.cbSize = sizeof ctx;
    ctx.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
    ctx.lpSource = path.c_str();
    ctx.lpResourceName = MAKEINTRESOURCEA(123);
    return CreateActCtxA(&ctx);
}

void *PatchImport(HMODULE hmod, const char *dll, const char *name, void *replacement)
{
    auto *base = reinterpret_cast<BYTE *>(hmod);
    const IMAGE_DATA_DIRECTORY &dir = NtHeaders(base)->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (dir.VirtualAddress == 0)
        return nullptr;

    for (auto *imp = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR *>(base + dir.VirtualAddress);
         imp->Name != 0; ++imp) {
        if (lstrcmpiA(reinterpret_cast<char *>(base + imp->Name), dll) != 0)
            continue;
        auto *names = reinterpret_cast<IMAGE_THUNK_DATA *>(base + imp->OriginalFirstThunk);
        auto *slots = reinterpret_cast<IMAGE_THUNK_DATA *>(base + imp->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            auto *byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME *>(base + names->u1.AddressOfData);
            if (strcmp(reinterpret_cast<char *>(byName->Name), name) != 0)
                continue;
            DWORD old;
            VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &old);
            void *original = reinterpret_cast<void *>(slots->u1.Function);
            slots->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
            VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, old, &old);
            return original;
        }
    }
    return nullptr;
}
