// Resource ids of Ombrix_Viewer, shared by the resource script and the program.
#pragma once

#define IDD_STATUSPANEL 101

#define IDI_OMBRIX 110
#define IDI_TRAY 111
#define IDR_LOGO 115

#define IDC_TITLE 501
#define IDC_DRIVES_LABEL 502
#define IDC_DRIVES 503
#define IDC_RATE_LABEL 504
#define IDC_RATE 505
#define IDC_SPACE_LABEL 506
#define IDC_SPACE 507
#define IDC_STRIP 508
#define IDM_EXIT 510
#define IDC_LOGO 511
#define IDC_HELP_LINK 512

#define IDS_VIEWER_TITLE 1000
#define IDS_ACTIVE_DRIVE 1001
#define IDS_COMPRESSION_RATE 1002
#define IDS_FREE_SPACE 1003
#define IDS_CALCULATING 1004
#define IDS_LAST_UPDATED 1005
#define IDS_NOT_SUPPORTED 1006
#define IDS_HELP_LINK 1007
#define IDS_EXIT 1008
#define IDS_DISPLAY_NAME 1009
