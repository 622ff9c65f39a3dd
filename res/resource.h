/* Resource ids of veldrano.cpl, shared by the resource script and the code. */
#ifndef VELDRANO_RESOURCE_H
#define VELDRANO_RESOURCE_H

/* Manifest: read by the Control Panel host, which activates it before
   loading the applet (UAC run level, Common Controls 6) */
#define IDR_MANIFEST        123

/* Icons */
#define IDI_APPLET          1

/* The applet's name: the Control Panel's item, the dialog's caption and
   the caption the applet looks for when the item is opened again */
#define APPLET_NAME         "Configure Lumasyn ODBC"
#define APPLET_INFO         APPLET_NAME " Driver"

/* Strings */
#define IDS_APPLET_NAME     40
#define IDS_APPLET_INFO     41
#define IDS_SAVE_FAILED     42  /* N4.INI path, system's reason; IDS_NEEDS_ADMIN may follow */
#define IDS_NEEDS_ADMIN     43
#define IDS_ERROR_CODE      44  /* the reason when the system has no text for it */
#define IDS_READ_FAILED     45  /* N4.INI path, system's reason */
#define IDS_COPY_SAVED      46  /* after a copy's IDS_SAVE_FAILED: N4.INI's path */
#define IDS_COPIES_SAVED    47  /* then, where more failed: how many more */
#define IDS_TRY_AGAIN       35  /* and last */
/* Their insertions are all "%s", replaced in order (explain.cpp) */
/* Reasons of the applet's own, shown where the system's would be; in the
   same block of sixteen strings as the others, which they share */
#define IDS_REASON_NOT_A_FILE 36
#define IDS_REASON_LINKED   37
#define IDS_REASON_NOT_SAVED 38
#define IDS_REASON_TOO_LARGE 39

/* Dialogs */
#define IDD_CONFIGURE       100

/* Controls of IDD_CONFIGURE */
#define IDC_APPLET_ICON     101
#define IDC_WINDOWS_FILES   1000
#define IDC_DOS_FILES       1001

#endif
