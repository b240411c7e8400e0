; Master boot record code: the 440 bytes at the start of disk sector 0.
; Starts the volume boot code of the one active primary partition.
;
; Memory map (segment 0 throughout)
;   0000:0600  this sector, copied here from 7C00 so that the volume boot
;              sector can be loaded where the BIOS put us
;   0000:07BE  the partition table of the copy (DS:SI and BP point into it
;              on hand-off)
;   0000:7C00  the active partition's first sector, read here
;   0000:7C00  downwards: the stack
;
; Assembled alone it is the code area only; whoever writes it to a disk keeps
; the disk signature (0x1B8), the partition table (0x1BE) and 55 AA (0x1FE).

bits 16
cpu 386

LOAD_ADDRESS      equ 0x7C00
RELOCATED_ADDRESS equ 0x0600
SECTOR_WORDS      equ 256
CODE_AREA_SIZE    equ 440
TABLE_OFFSET      equ 0x1BE       ; four 16-byte entries
ENTRY_SIZE        equ 16
ENTRY_COUNT       equ 4
ENTRY_STATUS      equ 0x00        ; +0x00 u8 0x80 active, 0x00 not
ENTRY_START_LBA   equ 0x08        ; +0x08 u32 first sector
STATUS_ACTIVE     equ 0x80
SIGNATURE_OFFSET  equ 0x1FE
BOOT_SIGNATURE    equ 0xAA55

%include "segments.inc"
%define BIOS_DRIVE byte [drive]
%include "disk_read.inc"

org RELOCATED_ADDRESS

start:
        zero_segments LOAD_ADDRESS
        cld
        mov si, LOAD_ADDRESS
        mov di, RELOCATED_ADDRESS
        mov cx, SECTOR_WORDS
        rep movsw
        jmp 0:relocated

relocated:
        mov [drive], dl

; Exactly one entry may be active; BP keeps the one found.
        xor bp, bp
        mov si, RELOCATED_ADDRESS + TABLE_OFFSET
        mov cx, ENTRY_COUNT
.scan:
        cmp byte [si + ENTRY_STATUS], STATUS_ACTIVE
        jne .next
        test bp, bp
        jnz several_active
        mov bp, si
.next:
        add si, ENTRY_SIZE
        loop .scan
        test bp, bp
        jz no_active

        require_extensions        ; DL is still the drive

        mov eax, [bp + ENTRY_START_LBA]
        mov [packet.lba], eax
        mov si, packet
        extended_read 1
        cmp word [LOAD_ADDRESS + SIGNATURE_OFFSET], BOOT_SIGNATURE
        jne no_signature

        mov si, bp
        mov dl, [drive]
        jmp 0:LOAD_ADDRESS

; Each stop puts its message in SI for fail (fail.inc).
several_active:
        mov si, msg_several
        jmp fail
no_active:
        mov si, msg_none
        jmp fail
no_signature:
        mov si, msg_signature     ; and on into fail
%include "fail.inc"

msg_several       db "Several active partitions", 0
msg_none          db "No active partition", 0
msg_no_extensions db "No INT 13h extensions", 0
msg_disk_error    db "Read error", 0
msg_signature     db "Missing boot signature", 0

; INT 13h AH=42h disk address packet: one sector to 0000:7C00.
packet:
        db PACKET_SIZE, 0         ; +0 size, +1 reserved
        dw 1                      ; +2 sector count
        dw LOAD_ADDRESS, 0        ; +4 buffer offset, segment
.lba:   dd 0, 0                   ; +8 first sector, u64

drive   db 0

; A negative count fails the build when the code outgrows its area.
        times CODE_AREA_SIZE - ($ - $$) db 0
