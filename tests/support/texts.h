// The applet's texts and ids as the tests expect them: from the header its
// resources are built from, so that a change there needs no test edited.
#ifndef TESTS_TEXTS_H
#define TESTS_TEXTS_H

#include "../../res/resource.h"

constexpr char kCaption[] = APPLET_NAME;        // the item's name and the dialog's caption
constexpr char kDescription[] = APPLET_INFO;
constexpr wchar_t kCaptionW[] = L"" APPLET_NAME, kDescriptionW[] = L"" APPLET_INFO;
constexpr int kWindows = IDC_WINDOWS_FILES, kDos = IDC_DOS_FILES;

#endif
