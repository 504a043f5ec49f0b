// Resource and command numbers of the Windows program, shared by the resource script and
// the window code.
#pragma once

#define STR_TITLE 103
#define STR_CLASS 109
#define RES_MAIN 109
#define ICON_APP 107
#define BMP_LOGO 129
#define DLG_ABOUT 103

#define CMD_ABOUT 104
#define CMD_EXIT 105

#define LIST_FIRMWARE 1000
