// Checks that the installed Lumasyn library carries the patch marker. The
// file is read as data, never loaded.
#include <windows.h>
#include <string.h>

#include "config.h"

static const char szLumasynLib[] = "LMSN110.DLL";
static const char szMarker[] = "KORVELIN";
constexpr LONG lMarkerOffset = 455;
constexpr UINT cbMarker = sizeof szMarker - 1;
static_assert(cbMarker == 8, "the marker is 8 bytes in the file");

BOOL CheckLMSN()
{
    BOOL bCorrectFileVersion = FALSE;
    OFSTRUCT of;

    // Bare name: OpenFile searches the standard directories for it.
    HFILE hFile = OpenFile(szLumasynLib, &of, OF_READ);
    if (hFile == HFILE_ERROR)
        return FALSE;

    // Bytes not read (short file, failed seek) stay NUL and fail the compare.
    char szCompare[cbMarker + 1];
    memset(szCompare, 0, sizeof szCompare);
    _llseek(hFile, lMarkerOffset, FILE_BEGIN);
    _lread(hFile, szCompare, cbMarker);
    if (lstrcmpA(szMarker, szCompare) == 0)
        bCorrectFileVersion = TRUE;
    _lclose(hFile);

    return bCorrectFileVersion;
}
