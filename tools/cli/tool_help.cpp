#include "tools/cli/tool_help.h"

namespace tools {

const char kBootsectHelp[] =
    "Usage: bootsect /NT60 VOLUME\n"
    "       bootsect --help | --version\n"
    "\n"
    "Writes boot code that starts Windows' boot manager (BOOTMGR) into the boot\n"
    "sectors of an NTFS, FAT32 or FAT16 volume. Only the code areas change, and\n"
    "the hidden-sectors count where it differs from the partition's start.\n"
    "\n"
    "  /NT60        the boot code for Windows Vista and later\n"
    "  VOLUME       a partition's block device (/dev/sdb1), an offset loop\n"
    "               device, a file holding one partition, or a mount point\n"
    "  --help, -h   prints this help\n"
    "  --version    prints the version\n"
    "\n"
    "Exit status: 0 done; 1 it could not be done (the reason follows\n"
    "\"bootsect: error:\"); 2 arguments it does not understand. See bootsect(1).";

const char kBcdbootHelp[] =
    "Usage: bcdboot WINDOWS /S SYSTEM [/l LOCALE] [/f BIOS|UEFI|ALL] [/nvram FILE]\n"
    "       bcdboot --help | --version\n"
    "\n"
    "Copies the boot files of the Windows applied in the folder WINDOWS (such as\n"
    "/mnt/w/Windows) to the system volume and writes its boot configuration\n"
    "store (BCD). On a GPT disk the UEFI files go to the disk's EFI system\n"
    "partition, mounted for the moment where nothing mounts it.\n"
    "\n"
    "  /S SYSTEM    the folder the system volume is mounted on (on a GPT disk\n"
    "               any volume of the disk, such as the Windows one)\n"
    "  /l LOCALE    the boot manager's language, such as zh-CN\n"
    "  /f BIOS|UEFI|ALL\n"
    "               the firmware to serve; without it BIOS on an MBR disk (and\n"
    "               UEFI too on a FAT system volume), UEFI on a GPT disk\n"
    "  /nvram FILE  writes the UEFI boot entry into a virtual machine's variable\n"
    "               store (OVMF_VARS.fd) instead of this machine's variables\n"
    "  --help, -h   prints this help\n"
    "  --version    prints the version\n"
    "\n"
    "Exit status: 0 done; 1 it could not be done (the reason follows\n"
    "\"bcdboot: error:\"); 2 arguments it does not understand; 3 the Windows\n"
    "folder does not exist. See bcdboot(1).";

const char kBooticeHelp[] =
    "Usage: bootice /DEVICE=VOLUME /partitions /activate [/quiet]\n"
    "       bootice --help | --version\n"
    "\n"
    "Marks the partition that holds VOLUME active in its disk's MBR and the other\n"
    "primary partitions inactive; a disk without MBR code gets Roamdeck's. On a\n"
    "GPT disk it changes nothing and checks that the EFI system partition holds\n"
    "Windows Boot Manager and its store.\n"
    "\n"
    "  /DEVICE=VOLUME         a partition's block device, an offset loop device\n"
    "                         or the folder the volume is mounted on\n"
    "  /partitions /activate  make the partition active\n"
    "  /quiet                 accepted; it never asks anything\n"
    "  --help, -h             prints this help\n"
    "  --version              prints the version\n"
    "\n"
    "Exit status: 0 done; 1 it could not be done (the reason follows\n"
    "\"BOOTICE: error:\"); 2 arguments it does not understand. See bootice(1).";

}  // namespace tools
