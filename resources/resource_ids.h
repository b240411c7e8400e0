// Resource identifiers, shared by the resource scripts and the code.
#pragma once

#define IDI_ROAMDECK 1

// The four embedded tools (RCDATA), in the order in which they are staged.
#define IDR_TOOL_BOOTICE 101
#define IDR_TOOL_BOOTSECT 102
#define IDR_TOOL_BCDBOOT 103
#define IDR_TOOL_VONDRIMAL 104
