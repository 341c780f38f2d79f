// Resource and command numbers of Zelnor, shared by zelnor.rc and the code.
#ifndef ZELNOR_RESOURCE_H
#define ZELNOR_RESOURCE_H

#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_INSTALL_DIALOG 102
#define IDR_MAINFRAME 128

// System-menu command of the About item; the system uses the low four bits.
#define IDM_ABOUTBOX 0x0010

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

#endif  // ZELNOR_RESOURCE_H
