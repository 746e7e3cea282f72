// Resource ids of the program: dialogs, controls, icons, bitmaps and strings
// (shared by tessiv.rc and the code; plain #defines so that windres reads it too).
#pragma once

// Dialogs.
#define IDD_ABOUTBOX 100
#define IDD_WELCOME 104
#define IDD_COMPUTERINFO 105
#define IDD_OPTIONS 106
#define IDD_INSTALL 141
#define IDD_STATUS 146
#define IDD_NEWNAME 154

// Icons and bitmaps.
#define IDI_TESSIV 128
#define IDI_BROWSE 130
#define IDB_WIZARD 149
#define IDB_BANNER 156

// Controls.
#define IDC_NEWNAME 1002
#define IDC_SYSINFO 1010
#define IDC_WELCOME_TEXT1 1011
#define IDC_WELCOME_TEXT2 1012
#define IDC_OPTIONS_HELP 1013
#define IDC_USELOG 1014
#define IDC_VERBOSE 1015
#define IDC_LOGNAME 1016
#define IDC_BROWSE_DATA 1019
#define IDC_DATAFILE 1021
#define IDC_USEDATA 1022
#define IDC_BROWSE_LOG 1024
#define IDC_RUN_NOW 1030
#define IDC_RUN_NEXTBOOT 1031
#define IDC_CLEANTEMP 1032
#define IDC_REMOVEUTILITY 1033
#define IDC_INSTALL_HELP 1035
#define IDC_STATUS_DETAIL 1036
#define IDC_STATUS_HEADING 1037
#define IDC_ASKNAME 1045
#define IDC_ABOUT_VERSION 1048
#define IDC_USESYSPREP 1050
#define IDC_PROCESSFS 1051
#define IDC_STATIC (-1)

// The wizard's Finish button (the property sheet's own control).
#define IDC_WIZARD_FINISH 12325

// System menu command of the About box.
#define IDM_ABOUTBOX 16

// Strings.
#define IDS_ABOUTBOX 101
#define IDS_WELCOME1 110
#define IDS_WELCOME2 111
#define IDS_ROLE_STANDALONE1 150
#define IDS_ROLE_STANDALONE2 151
#define IDS_ROLE_MEMBER1 160
#define IDS_ROLE_MEMBER2 161
#define IDS_ROLE_BDC1 170
#define IDS_ROLE_BDC2 171
#define IDS_TERMINAL_SERVER 172
#define IDS_ROLE_PDC1 180
#define IDS_ROLE_PDC2 181
#define IDS_PDC_WARNING 182
#define IDS_HELP_NEWNAME 300
#define IDS_HELP_USELOG 303
#define IDS_HELP_BROWSE 304
#define IDS_HELP_VERBOSE 305
#define IDS_HELP_RUNNOW 306
#define IDS_HELP_NEXTBOOT 307
#define IDS_HELP_LOGNAME 308
#define IDS_HELP_SYSPREP 309
#define IDS_HELP_CLEANTEMP 402
#define IDS_HELP_REMOVE 403
#define IDS_INSTALL_SYSPREP 500
#define IDS_UNC_DATAFILE 57345
#define IDS_UNC_LOGFILE 57346
#define IDS_DATAFILE_MISSING 57347
#define IDS_DATAFILE_ROLE 57348
#define IDS_NO_MEMORY 57349
#define IDS_UNC_PROGRAM 57350
