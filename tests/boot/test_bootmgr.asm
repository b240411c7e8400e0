; A stand-in for Windows' BOOTMGR that checks how the volume boot code
; handed over. Entered at 2000:0000, it writes one line per check to the
; debug console (port 0xE9, "PASS ..." or "FAIL ...") and ends QEMU through
; isa-debug-exit: 0x10 (QEMU status 33) when every check passed, 0x11
; (status 35) otherwise.
;
; Memory map
;   2000:0000  this file, FILE_SIZE bytes: code, then a pattern that depends
;              on the offset (so a sector loaded twice or out of place shows),
;              then the trailer: TRAILER_MAGIC and a checksum word chosen
;              after assembly so that the u32 sum of the whole file is 0
;   0000:7C00  the volume's boot sector as the boot code left it; the stack
;              it gave us grows down from its SS:SP
;   0000:1000  one sector read back from the disk (up to 4 KiB)
;
; Assemble with -DFILE_SIZE=n for another size (a too-large BOOTMGR).

bits 16
cpu 386

%ifndef FILE_SIZE
%define FILE_SIZE 327680
%endif
CODE_AREA        equ 0x1000
TRAILER_SIZE     equ 16
DEBUG_PORT       equ 0xE9
EXIT_PORT        equ 0xF4
EXIT_PASS        equ 0x10
EXIT_FAIL        equ 0x11
BOOTMGR_SEGMENT  equ 0x2000
BOOT_SECTOR      equ 0x7C00
FIRST_HARD_DISK  equ 0x80
SECTOR_SIZE      equ 512
SIGNATURE_OFFSET equ 0x1FE
BOOT_SIGNATURE   equ 0xAA55
READ_BUFFER      equ 0x1000

; BPB fields
BPB_OEM          equ 0x03         ; "NTFS    " on NTFS
BPB_SECTORS_PER_FAT16 equ 0x16    ; u16, 0 on FAT32
BPB_HIDDEN_SECTORS equ 0x1C       ; u32
NTFS_DRIVE       equ 0x24
FAT32_DRIVE      equ 0x40
FAT16_DRIVE      equ 0x24

org 0

start:
; The sum comes first: the checks below write variables inside the file.
        mov bp, dx
        call sum_file
        setz bl
        mov dx, bp
        mov [cs:entry_sp], sp
        mov [cs:entry_ss], ss
        mov [cs:entry_ds], ds
        mov [cs:entry_es], es
        mov [cs:entry_dl], dl
        call .here
.here:
        pop ax
        sub ax, .here - start     ; the offset we were entered at
        mov [cs:entry_ip], ax
        mov ax, cs
        mov [cs:entry_cs], ax
        mov [cs:checksum_ok], bl
        push cs
        pop ds
        cld

        cmp word [entry_cs], BOOTMGR_SEGMENT
        jne .bad_entry
        cmp word [entry_ip], 0
.bad_entry:
        mov si, text_entry
        call report

        cmp byte [entry_dl], FIRST_HARD_DISK
        mov si, text_drive
        call report

        xor ax, ax
        cmp [entry_ds], ax
        jne .bad_segments
        cmp [entry_es], ax
        jne .bad_segments
        cmp [entry_ss], ax
        jne .bad_segments
        cmp word [entry_sp], BOOT_SECTOR
.bad_segments:
        mov si, text_segments
        call report

        call check_trailer
        mov si, text_trailer
        call report

        cmp byte [checksum_ok], 1
        mov si, text_checksum
        call report

        push 0
        pop es
        cmp word [es:BOOT_SECTOR + SIGNATURE_OFFSET], BOOT_SIGNATURE
        mov si, text_signature
        call report

        call drive_byte_offset
        mov [drive_offset], bx
        mov al, [entry_dl]
        cmp [es:BOOT_SECTOR + bx], al
        mov si, text_drive_byte
        call report

        call compare_with_disk
        mov si, text_hidden
        call report

        mov si, text_done
        call print
        mov al, EXIT_PASS
        cmp byte [failures], 0
        je .exit
        mov al, EXIT_FAIL
.exit:
        out EXIT_PORT, al
.halt:
        cli
        hlt
        jmp .halt

; report: prints "PASS <text>" or "FAIL <text>" and counts failures.
; in: ZF set for a pass, SI the check's text. clobbers: AX SI
report:
        pushf
        push si
        mov si, text_pass
        jz .print
        inc byte [failures]
        mov si, text_fail
.print:
        call print
        pop si
        call print
        mov si, text_newline
        call print
        popf
        ret

; print: writes a zero-terminated string to the debug console.
; in: SI string. clobbers: AL SI
print:
        lodsb
        test al, al
        jz .done
        out DEBUG_PORT, al
        jmp print
.done:
        ret

; check_trailer: in: nothing. out: ZF set when the magic sits where the
; build put it, at the end of the file. clobbers: CX SI DI ES
check_trailer:
        push (BOOTMGR_SEGMENT + (FILE_SIZE - TRAILER_SIZE) / 16)
        pop es
        xor di, di
        mov si, trailer_magic
        mov cx, TRAILER_MAGIC_SIZE
        repe cmpsb
        ret

; sum_file: in: nothing. out: ZF set when the u32 sum of the file is 0.
; clobbers: EAX ECX DX FS
sum_file:
        xor eax, eax
        mov ecx, FILE_SIZE / 16
        push BOOTMGR_SEGMENT
        pop fs
.paragraph:
        add eax, [fs:0]
        add eax, [fs:4]
        add eax, [fs:8]
        add eax, [fs:12]
        mov dx, fs
        inc dx
        mov fs, dx
        dec ecx
        jnz .paragraph
        test eax, eax
        ret

; drive_byte_offset: where the boot sector at 0000:7C00 keeps its drive.
; in: ES 0. out: BX offset. clobbers: nothing else
drive_byte_offset:
        mov bx, NTFS_DRIVE
        cmp dword [es:BOOT_SECTOR + BPB_OEM], 'NTFS'
        je .done
        mov bx, FAT16_DRIVE
        cmp word [es:BOOT_SECTOR + BPB_SECTORS_PER_FAT16], 0
        jne .done
        mov bx, FAT32_DRIVE
.done:
        ret

; compare_with_disk: reads the sector at HiddenSectors and compares it with
; the boot sector in memory, drive byte aside: equal only when HiddenSectors
; is the partition's real start.
; in: ES 0, [drive_offset]. out: ZF set when equal (or CF from the read).
; clobbers: EAX BX CX DX SI DI
compare_with_disk:
        mov eax, [es:BOOT_SECTOR + BPB_HIDDEN_SECTORS]
        mov [packet.lba], eax
        mov si, packet
        mov ah, 0x42
        mov dl, [entry_dl]
        int 0x13
        jc .failed
        mov si, READ_BUFFER
        mov di, BOOT_SECTOR
        xor cx, cx
.byte:
        cmp cx, [drive_offset]
        je .next
        mov al, [es:si]
        cmp al, [es:di]
        jne .done
.next:
        inc si
        inc di
        inc cx
        cmp cx, SECTOR_SIZE
        jne .byte
.done:
        ret
.failed:
        or al, 1                  ; ZF clear
        ret

text_pass      db "PASS ", 0
text_fail      db "FAIL ", 0
text_newline   db 10, 0
text_entry     db "entered at 2000:0000", 0
text_drive     db "DL is the first hard disk", 0
text_segments  db "DS=ES=0 and SS:SP=0000:7C00", 0
text_trailer   db "file tail in place", 0
text_checksum  db "file checksum", 0
text_signature db "boot sector at 0000:7C00", 0
text_drive_byte db "BPB drive byte equals DL", 0
text_hidden    db "HiddenSectors is the partition start", 0
text_done      db "test bootmgr done", 10, 0

packet:
        db 0x10, 0
        dw 1
        dw READ_BUFFER, 0
.lba:   dd 0, 0

failures     db 0
checksum_ok  db 0
entry_sp     dw 0
entry_ss     dw 0
entry_ds     dw 0
entry_es     dw 0
entry_cs     dw 0
entry_ip     dw 0
entry_dl     db 0
drive_offset dw 0

trailer_magic db "TESTBOOTMGR!"
TRAILER_MAGIC_SIZE equ $ - trailer_magic

        times CODE_AREA - ($ - $$) db 0x5A

; A pattern that differs from one position to the next.
%assign offset CODE_AREA
%rep (FILE_SIZE - TRAILER_SIZE - CODE_AREA) / 16
        dd offset ^ 0xA5C3E1F7, (offset * 0x9E3779B1) & 0xFFFFFFFF, ~offset & 0xFFFFFFFF, offset ^ 0x5AA55AA5
%assign offset offset + 16
%endrep

        db "TESTBOOTMGR!"
        dd 0                      ; the checksum word, set after assembly
