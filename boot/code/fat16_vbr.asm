; FAT16 volume boot code: sector 0 of the volume, nothing more.
; Finds BOOTMGR in the root folder (a plain 8.3 entry or the long name
; "bootmgr"), loads it whole at 2000:0000 and enters it with the boot sector
; left at 0000:7C00. Volumes of 512-byte sectors only: the one sector leaves
; no room for more.
;
; Image layout (512 bytes)
;   0x000  jmp to the code at 0x03E
;   0x003  BPB and extended BPB (0x03-0x3D): whoever writes this code keeps
;          the volume's bytes
;   0x03E  code
;   0x1FE  55 AA
;
; Memory map (segment 0 unless noted)
;   0000:7BF0  variables (BP - VARIABLES_SIZE ..), the stack below them
;   0000:7C00  this sector (BOOTMGR reads the BPB here; never overwritten)
;   0000:8000  one sector of the root folder or of the FAT
;   2000:0000  BOOTMGR, up to 0x7FC00 bytes

bits 16
cpu 386

LOAD_ADDRESS     equ 0x7C00
BUFFER           equ 0x8000
BOOTMGR_SEGMENT  equ 0x2000
BOOTMGR_MAX_SIZE equ 0x7FC00
SECTOR_SIZE      equ 512
SECTOR_SHIFT     equ 9
ENTRIES_PER_SECTOR_SHIFT equ 4    ; 16 folder entries a sector
FAT_ENTRIES_PER_SECTOR_SHIFT equ 8

; BPB fields of FAT16 alone (fat.inc has those that FAT32 shares), at BP
BPB_ROOT_ENTRIES       equ 0x11   ; u16, the root folder follows the FATs
BPB_SECTORS_PER_FAT    equ 0x16   ; u16
BPB_DRIVE              equ 0x24   ; u8 BIOS drive

; Variables below the boot sector, at BP - n
VAR_DATA_START   equ -4           ; u32 first sector of cluster 2
VARIABLES_SIZE   equ 16

FAT16_END        equ 0xFFF8

%include "fat.inc"
; One sector leaves no room for a retry loop, nor for the packet-call bit:
; a read is tried once, and AH=41h's signature is taken as enough.
%define BIOS_DRIVE byte [bp + BPB_DRIVE]
%define READ_TRIES 1
%define CHECK_PACKET_CALLS 0
%include "disk_read.inc"

org LOAD_ADDRESS

        jmp short start
        nop
        times 0x3E - ($ - $$) db 0   ; BPB: the volume's own bytes go here

; Near jumps and calls are relative and data is addressed through DS = 0,
; so the code runs whatever CS:IP pair the BIOS or MBR entered it with.
; Not zero_segments (segments.inc): its cli and sti do not fit here.
start:
        xor ax, ax
        mov ds, ax
        mov es, ax
        mov ss, ax                ; no interrupt before the next instruction
        mov sp, LOAD_ADDRESS - VARIABLES_SIZE
        cld
        mov bp, LOAD_ADDRESS
        mov [bp + BPB_DRIVE], dl

        require_extensions
        mov si, msg_unsupported
        cmp word [bp + BPB_BYTES_PER_SECTOR], SECTOR_SIZE
        je root_folder

missing:
        mov si, msg_missing       ; and on into fail
%include "fail.inc"

%include "read_sector.inc"

; Root folder: after the reserved sectors and the FATs; data after it.
root_folder:
        mov al, [bp + BPB_FAT_COUNT]
        cbw
        mul word [bp + BPB_SECTORS_PER_FAT]
        add ax, [bp + BPB_RESERVED_SECTORS]
        movzx eax, ax
        mov cx, [bp + BPB_ROOT_ENTRIES]
        movzx esi, cx
        shr si, ENTRIES_PER_SECTOR_SHIFT
        add esi, eax
        mov [bp + VAR_DATA_START], esi

; CX counts the entries left; DH is set right after the long name "bootmgr".
        xor dh, dh
.sector:
        mov bx, BUFFER
        call read_sector
        mov di, bx
.entry:
        mov bl, [di]
        test bl, bl
        jz missing
        cmp bl, NAME_DELETED
        je .forget
        mov bl, [di + DIR_ATTRIBUTES]
        cmp bl, ATTR_LONG_NAME
        je .long_name
        test bl, ATTR_LABEL_OR_FOLDER
        jnz .forget
        test dh, dh
        jnz found
        pusha
        mov si, bootmgr_short_name
        mov cx, NAME_SIZE
        repe cmpsb
        popa
        je found
.forget:
        xor dh, dh
.next:
        add di, DIR_ENTRY_SIZE
        dec cx
        jz missing
        cmp di, BUFFER + SECTOR_SIZE
        jb .entry
        inc eax
        jmp .sector

.long_name:
        pusha
        is_bootmgr_long_name
        popa
        jne .forget
        mov dh, 1
        jmp .next

; DI is BOOTMGR's entry: load the file cluster by cluster; SI counts the
; sectors left, DX is the cluster.
found:
        mov eax, [di + DIR_SIZE]
        cmp eax, BOOTMGR_MAX_SIZE
        mov si, msg_too_large
        ja fail
        add eax, SECTOR_SIZE - 1
        shr eax, SECTOR_SHIFT
        xchg si, ax
        mov dx, [di + DIR_CLUSTER_LOW]
        push BOOTMGR_SEGMENT
        pop es
.cluster:
        movzx eax, dx
        dec eax
        dec eax
        movzx ecx, byte [bp + BPB_SECTORS_PER_CLUSTER]
        imul eax, ecx
        add eax, [bp + VAR_DATA_START]
.load:
        xor bx, bx
        call read_sector
        mov bx, es
        add bx, SECTOR_SIZE / 16
        mov es, bx
        inc eax
        dec si
        jz hand_off
        loop .load
; The next cluster: entry DX of the FAT, two bytes each.
        push es
        push ds
        pop es
        movzx eax, dh
        add ax, [bp + BPB_RESERVED_SECTORS]
        mov bx, BUFFER
        call read_sector
        movzx bx, dl
        add bx, bx
        mov dx, [bx + BUFFER]
        pop es
        cmp dx, FAT16_END
        jb .cluster
        jmp missing               ; the chain ends before the file does

hand_off:
        mov dl, [bp + BPB_DRIVE]
        push ds
        pop es
        mov sp, LOAD_ADDRESS
        jmp BOOTMGR_SEGMENT:0

msg_no_extensions db "No LBA", 0
msg_unsupported   db "Bad BPB", 0
msg_disk_error    db "Disk error", 0
msg_missing       db "No BOOTMGR", 0
msg_too_large     db "Big BOOTMGR", 0

        bootmgr_names

        times 0x1FE - ($ - $$) db 0
        dw 0xAA55
