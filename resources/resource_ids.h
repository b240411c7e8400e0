// Resource identifiers, shared by the resource scripts and the code.
#pragma once

#define IDI_ROAMDECK 1

// The four embedded tools (RCDATA), in the order in which they are staged.
#define IDR_TOOL_BOOTICE 101
#define IDR_TOOL_BOOTSECT 102
#define IDR_TOOL_BCDBOOT 103
#define IDR_TOOL_VONDRIMAL 104

// The support module's small icon, cursor and update picture (RCDATA).
#define IDR_SUPPORT_SMALL_ICON 201
#define IDR_SUPPORT_CURSOR 202
#define IDR_SUPPORT_PICTURE 203
