/* Resource ids of veldrano.cpl, shared by the resource script and the code. */
#ifndef VELDRANO_RESOURCE_H
#define VELDRANO_RESOURCE_H

/* Icons */
#define IDI_APPLET          1

/* Strings */
#define IDS_APPLET_NAME     40
#define IDS_APPLET_INFO     41

/* Dialogs */
#define IDD_CONFIGURE       100

/* Controls of IDD_CONFIGURE */
#define IDC_APPLET_ICON     101
#define IDC_WINDOWS_FILES   1000
#define IDC_DOS_FILES       1001

#endif
