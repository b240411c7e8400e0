; FAT32 volume boot code: sector 0 of the volume, plus one more sector of
; code that the placer writes into a free reserved sector of its choice.
; Finds BOOTMGR in the root folder (a plain 8.3 entry or a long name), loads
; it whole at 2000:0000 and enters it with the boot sector left at 0000:7C00.
;
; Image layout (1024 bytes)
;   0x000  jmp to the code at 0x05C
;   0x003  BPB (0x03-0x59): whoever writes this code keeps the volume's bytes
;   0x05A  u16 EXTRA_SECTOR_FIELD: the volume-relative sector that holds the
;          second half of this image; the placer writes it (0 = not placed)
;   0x05C  sector-0 code
;   0x1FE  55 AA
;   0x200  the extra sector: more code, EXTRA_MAGIC in its last word
;
; Memory map (segment 0 unless noted)
;   0000:0500  variables (see the end)
;   0000:7C00  downwards: the stack
;   0000:7C00  sector 0 (BOOTMGR reads the BPB here; never overwritten)
;   0000:7E00  the extra sector
;   0000:9000  one sector of the root folder
;   0000:A000  one sector of the FAT
;   2000:0000  BOOTMGR, up to 0x7FC00 bytes

bits 16
cpu 386

LOAD_ADDRESS     equ 0x7C00
EXTRA_ADDRESS    equ 0x7E00
EXTRA_MAGIC      equ 0xB007
FOLDER_BUFFER    equ 0x9000
FAT_BUFFER       equ 0xA000
BOOTMGR_SEGMENT  equ 0x2000
BOOTMGR_MAX_SIZE equ 0x7FC00

; BPB fields of FAT32 alone (fat.inc has those that FAT16 shares), at BP
BPB_SECTORS_PER_FAT    equ 0x24   ; u32
BPB_ROOT_CLUSTER       equ 0x2C   ; u32
BPB_DRIVE              equ 0x40   ; u8 BIOS drive
EXTRA_SECTOR_FIELD     equ 0x5A   ; u16, this code's own patch field

%include "segments.inc"
%include "fat.inc"
%define BIOS_DRIVE byte [bp + BPB_DRIVE]
%include "disk_read.inc"

FAT32_MASK       equ 0x0FFFFFFF
FAT32_END        equ 0x0FFFFFF8
FIRST_CLUSTER    equ 2

org LOAD_ADDRESS

        jmp short start
        nop
        times EXTRA_SECTOR_FIELD - ($ - $$) db 0   ; BPB: the volume's own bytes
extra_sector:
        dw 0

; ---------------------------------------------------------------- sector 0
start:
        zero_segments LOAD_ADDRESS
        cld
        mov bp, LOAD_ADDRESS
        mov [bp + BPB_DRIVE], dl

        require_extensions

        mov si, msg_damaged
        movzx eax, word [extra_sector]
        test ax, ax
        jz fail
        mov bx, EXTRA_ADDRESS
        call read_sector
        cmp word [EXTRA_ADDRESS + 0x1FE], EXTRA_MAGIC
        jne fail
        jmp main

; The extra sector is read with these: they must lie in sector 0.
%include "read_sector.inc"
%include "fail.inc"

msg_no_extensions db "No INT 13h extensions", 0
msg_disk_error    db "Disk read error", 0
msg_damaged       db "Boot code damaged", 0
msg_missing       db "BOOTMGR is missing", 0
msg_too_large     db "BOOTMGR is too large", 0

        times 0x1FE - ($ - $$) db 0
        dw 0xAA55

; ------------------------------------------------------------ extra sector
main:
        movzx eax, byte [bp + BPB_FAT_COUNT]
        mul dword [bp + BPB_SECTORS_PER_FAT]
        movzx ecx, word [bp + BPB_RESERVED_SECTORS]
        add eax, ecx
        mov [data_start], eax
        mov ax, [bp + BPB_BYTES_PER_SECTOR]
        shr ax, 4
        mov [sector_paragraphs], ax
        mov byte [long_name_matched], 0

        mov eax, [bp + BPB_ROOT_CLUSTER]
.cluster:
        mov [cluster], eax
        call cluster_start
        movzx cx, byte [bp + BPB_SECTORS_PER_CLUSTER]
.sector:
        mov bx, FOLDER_BUFFER
        call read_sector
        mov di, bx
.entry:
        call check_entry
        jc bootmgr_missing
        jz found
        add di, DIR_ENTRY_SIZE
        mov dx, [bp + BPB_BYTES_PER_SECTOR]
        add dx, FOLDER_BUFFER
        cmp di, dx
        jb .entry
        inc eax
        loop .sector
        mov eax, [cluster]
        call next_cluster
        cmp eax, FAT32_END
        jb .cluster
bootmgr_missing:
        mov si, msg_missing
        jmp fail

; check_entry: one step of the search through the root folder. A long name
; "bootmgr" counts for the 8.3 entry right after it when the checksum agrees.
; in:  DI folder entry
; out: CF set at the end of the folder; else ZF set when DI is BOOTMGR
; clobbers: nothing
check_entry:
        pusha
        mov al, [di + DIR_NAME]
        cmp al, NAME_END
        je .end
        cmp al, NAME_DELETED
        je .forget
        mov al, [di + DIR_ATTRIBUTES]
        cmp al, ATTR_LONG_NAME
        je .long_name
        test al, ATTR_LABEL_OR_FOLDER
        jnz .forget
        cmp byte [long_name_matched], 0
        je .short_name
        xor ax, ax                ; the checksum of the 8.3 name
        mov cx, NAME_SIZE
        mov si, di
.sum:
        ror al, 1
        add al, [si]
        inc si
        loop .sum
        cmp al, [long_name_checksum]
        je .out
.short_name:
        mov si, bootmgr_short_name
        mov cx, NAME_SIZE
        repe cmpsb
        je .out
.forget:
        mov byte [long_name_matched], 0
        or al, 1                  ; ZF clear
        jmp .out
.long_name:
        mov byte [long_name_matched], 0
        is_bootmgr_long_name
        jne .not_matched
        mov al, [di + LFN_CHECKSUM]
        mov [long_name_checksum], al
        mov byte [long_name_matched], 1
.not_matched:
        or al, 1                  ; ZF clear
.out:
        clc
        popa
        ret
.end:
        stc
        popa
        ret

; found: loads the file whose entry is at DI, then enters it.
found:
        mov eax, [di + DIR_SIZE]
        cmp eax, BOOTMGR_MAX_SIZE
        ja too_large
        movzx ecx, word [bp + BPB_BYTES_PER_SECTOR]
        add eax, ecx
        dec eax
        xor edx, edx
        div ecx
        mov [sectors_left], eax
        mul ecx                   ; whole sectors must fit below 0x9FC00
        cmp eax, BOOTMGR_MAX_SIZE
        ja too_large
        mov ax, [di + DIR_CLUSTER_HIGH]
        shl eax, 16
        mov ax, [di + DIR_CLUSTER_LOW]
        push BOOTMGR_SEGMENT
        pop es
.cluster:
        cmp dword [sectors_left], 0
        je hand_off
        cmp eax, FIRST_CLUSTER
        jb bootmgr_missing
        cmp eax, FAT32_END
        jae bootmgr_missing       ; the chain ends before the file does
        mov [cluster], eax
        call cluster_start
        movzx cx, byte [bp + BPB_SECTORS_PER_CLUSTER]
.sector:
        xor bx, bx
        call read_sector
        mov dx, es
        add dx, [sector_paragraphs]
        mov es, dx
        inc eax
        dec dword [sectors_left]
        jz hand_off
        loop .sector
        mov eax, [cluster]
        push es
        push ds
        pop es
        call next_cluster
        pop es
        jmp .cluster

too_large:
        mov si, msg_too_large
        jmp fail

; BOOTMGR is in place: enter it as a loader of Windows' boot manager must.
hand_off:
        mov dl, [bp + BPB_DRIVE]
        xor ax, ax
        mov es, ax
        mov sp, LOAD_ADDRESS
        jmp BOOTMGR_SEGMENT:0

; cluster_start: in: EAX cluster (>= 2). out: EAX its first sector.
; clobbers: EDX
cluster_start:
        push ecx
        sub eax, FIRST_CLUSTER
        movzx ecx, byte [bp + BPB_SECTORS_PER_CLUSTER]
        mul ecx
        add eax, [data_start]
        pop ecx
        ret

; next_cluster: in: EAX cluster, ES 0. out: EAX the next one (masked).
; clobbers: BX EDX SI
next_cluster:
        push ecx
        shl eax, 2
        movzx ecx, word [bp + BPB_BYTES_PER_SECTOR]
        xor edx, edx
        div ecx
        movzx ecx, word [bp + BPB_RESERVED_SECTORS]
        add eax, ecx
        mov bx, FAT_BUFFER
        call read_sector
        mov si, dx
        mov eax, [FAT_BUFFER + si]
        and eax, FAT32_MASK
        pop ecx
        ret

        bootmgr_names

        times 0x3FE - ($ - $$) db 0
        dw EXTRA_MAGIC

absolute 0x0500
data_start         resd 1         ; first sector of cluster 2
cluster            resd 1
sectors_left       resd 1
sector_paragraphs  resw 1
long_name_matched  resb 1
long_name_checksum resb 1
