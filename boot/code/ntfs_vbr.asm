; NTFS volume boot code: the 16 first sectors (8 KiB) of an NTFS volume.
; Finds \BOOTMGR in the root folder, loads it whole at 2000:0000 and enters
; it with the boot sector left at 0000:7C00.
;
; Memory map (segment 0 unless noted)
;   0000:0500  variables and the disk address packet (see the end)
;   0000:1000  MFT record 0, kept: its $DATA run list maps every record
;   0000:2000  a FILE record: the root folder's, then BOOTMGR's base record
;   0000:3000  a FILE record: BOOTMGR's extension records
;   0000:4000  BOOTMGR's attribute list (at most 8 KiB)
;   0000:7C00  downwards: the stack
;   0000:7C00  sector 0 of the volume (BIOS or MBR put it here; BOOTMGR
;              reads the BPB from it, so it is never overwritten)
;   0000:7C00 + bytes/sector .. 0000:9BFF  the rest of these 8 KiB, read by
;              the sector-0 code itself
;   0000:A000  one index block of the root folder (at most 16 KiB)
;   2000:0000  BOOTMGR, up to 0x7FC00 bytes (conventional memory ends at
;              0x9FC00)
;
; Bytes 0x03-0x53 are the BPB; whoever writes this code to a volume keeps the
; volume's own bytes there. Sectors of 512 to 4096 bytes, MFT records of
; 1 KiB to 4 KiB (at least one sector), clusters up to 2 MiB.

bits 16
cpu 386

LOAD_ADDRESS     equ 0x7C00
BOOT_AREA_SIZE   equ 8192
BOOT_AREA_MAGIC  equ 0xB007       ; last word of the 8 KiB: sectors 1.. read

; BPB fields, in the boot sector at 0000:7C00
BPB_BYTES_PER_SECTOR   equ LOAD_ADDRESS + 0x0B  ; u16
BPB_SECTORS_PER_CLUSTER equ LOAD_ADDRESS + 0x0D ; u8, > 0x80: 2^(256-v)
BPB_HIDDEN_SECTORS     equ LOAD_ADDRESS + 0x1C  ; u32 partition start
BPB_DRIVE              equ LOAD_ADDRESS + 0x24  ; u8 BIOS drive
BPB_MFT_CLUSTER        equ LOAD_ADDRESS + 0x30  ; u64
BPB_MFT_RECORD_SIZE    equ LOAD_ADDRESS + 0x40  ; s8 clusters, < 0: 2^-v bytes
BPB_INDEX_BLOCK_SIZE   equ LOAD_ADDRESS + 0x44  ; s8, the same encoding

MFT_BUFFER       equ 0x1000
FILE_BUFFER      equ 0x2000
EXTENSION_BUFFER equ 0x3000
LIST_BUFFER      equ 0x4000
LIST_MAX_SIZE    equ 0x2000
INDEX_BUFFER     equ 0xA000
RECORD_MAX_SHIFT equ 12           ; 4 KiB records
INDEX_MAX_SHIFT  equ 14           ; 16 KiB index blocks
SECTOR_MIN_SHIFT equ 9
SECTOR_MAX_SHIFT equ 12

BOOTMGR_LINEAR   equ 0x20000
BOOTMGR_SEGMENT  equ 0x2000
BOOTMGR_MAX_SIZE equ 0x7FC00
CHUNK_BYTES      equ 0x8000       ; per INT 13h call; SeaBIOS refuses > 64 KiB
FIXUP_STRIDE     equ 512

; FILE and INDX records
RECORD_MAGIC     equ 0x00         ; u32 "FILE" / "INDX"
RECORD_USA_OFFSET equ 0x04        ; u16 update sequence array
RECORD_USA_COUNT equ 0x06         ; u16 entries, the sequence number included
FILE_FIRST_ATTRIBUTE equ 0x14     ; u16
FILE_FLAGS       equ 0x16         ; u16
FILE_IN_USE      equ 0x0001
FILE_IS_FOLDER   equ 0x0002
INDX_HEADER      equ 0x18         ; the index header inside an INDX block
MAGIC_FILE       equ 'FILE'
MAGIC_INDX       equ 'INDX'

; Attribute header
ATTR_TYPE        equ 0x00         ; u32, 0xFFFFFFFF ends the record
ATTR_LENGTH      equ 0x04         ; u32
ATTR_NONRESIDENT equ 0x08         ; u8
ATTR_NAME_LENGTH equ 0x09         ; u8 UTF-16 characters
ATTR_FLAGS       equ 0x0C         ; u16
ATTR_VALUE_LENGTH equ 0x10        ; u32 resident
ATTR_VALUE_OFFSET equ 0x14        ; u16 resident
ATTR_LOWEST_VCN  equ 0x10         ; u64 non-resident
ATTR_HIGHEST_VCN equ 0x18         ; u64
ATTR_RUNS_OFFSET equ 0x20         ; u16
ATTR_DATA_SIZE   equ 0x30         ; u64
ATTR_END         equ 0xFFFFFFFF
ATTR_COMPRESSED  equ 0x0001
ATTR_ENCRYPTED   equ 0x4000
ATTR_SPARSE      equ 0x8000

TYPE_ATTRIBUTE_LIST  equ 0x20
TYPE_DATA            equ 0x80
TYPE_INDEX_ROOT      equ 0x90
TYPE_INDEX_ALLOCATION equ 0xA0
I30_NAME_LENGTH      equ 4        ; "$I30"

; Index root value: the index header sits at +0x10
INDEX_ROOT_HEADER equ 0x10
; Index header
HEADER_ENTRIES_OFFSET equ 0x00    ; u32 from the header
; Index entry
ENTRY_REFERENCE  equ 0x00         ; u64 MFT reference, record number in the low 48 bits
ENTRY_LENGTH     equ 0x08         ; u16
ENTRY_FLAGS      equ 0x0C         ; u16
ENTRY_SUBNODE    equ 0x01         ; the sub-node VCN is the entry's last 8 bytes
ENTRY_LAST       equ 0x02
ENTRY_KEY        equ 0x10         ; a file name value
NAME_LENGTH      equ 0x40         ; u8 characters, inside the file name value
NAME_CHARS       equ 0x42         ; UTF-16LE

; Attribute list entry
LIST_TYPE        equ 0x00         ; u32
LIST_LENGTH      equ 0x04         ; u16
LIST_NAME_LENGTH equ 0x06         ; u8
LIST_LOWEST_VCN  equ 0x08         ; u64
LIST_REFERENCE   equ 0x10         ; u64

ROOT_FOLDER_RECORD equ 5
MFT_RECORD         equ 0

%include "segments.inc"
%define BIOS_DRIVE byte [drive]
%include "disk_read.inc"

org LOAD_ADDRESS

        jmp short start
        nop
        times 0x54 - ($ - $$) db 0   ; BPB: the volume's own bytes go here

; ---------------------------------------------------------------- sector 0
start:
        zero_segments LOAD_ADDRESS
        cld
        jmp 0:.normalised
.normalised:
        mov [drive], dl
        mov [BPB_DRIVE], dl

        require_extensions

        bsf ax, [BPB_BYTES_PER_SECTOR]
        mov si, msg_unsupported
        jz fail
        cmp al, SECTOR_MIN_SHIFT
        jb fail
        cmp al, SECTOR_MAX_SHIFT
        ja fail
        mov [sector_shift], al

; The rest of the 8 KiB follows sector 0 in memory as on disk.
        mov cl, al
        mov ax, BOOT_AREA_SIZE
        shr ax, cl
        dec ax
        xchg ax, cx               ; CX sectors 1..
        movzx edi, word [BPB_BYTES_PER_SECTOR]
        add edi, LOAD_ADDRESS
        xor edx, edx
        mov eax, 1
        call read_sectors
        cmp word [LOAD_ADDRESS + BOOT_AREA_SIZE - 2], BOOT_AREA_MAGIC
        mov si, msg_damaged
        jne fail
        jmp main

; read_sectors: reads sectors of this volume through INT 13h AH=42h.
; in:  EDX:EAX first sector, relative to the volume
;      CX sector count (at most CHUNK_BYTES of them)
;      EDI linear address of the buffer, below 1 MiB
; out: the buffer filled; on a disk error it prints and halts
; clobbers: nothing
read_sectors:
        pushad
        add eax, [BPB_HIDDEN_SECTORS]
        adc edx, 0                ; partitions beyond 2 TiB
        mov [packet.lba], eax
        mov [packet.lba + 4], edx
        mov word [packet.size], PACKET_SIZE
        mov ax, di
        and ax, 0x000F
        mov [packet.offset], ax
        shr edi, 4
        mov [packet.segment], di
        mov [packet.count], cx
        mov si, packet
        extended_read cx
        popad
        ret

%include "fail.inc"

msg_no_extensions db "No INT 13h extensions", 0
msg_disk_error    db "Disk read error", 0
msg_damaged       db "Boot code damaged", 0
msg_unsupported   db "NTFS layout not supported", 0

        times 0x1FE - ($ - $$) db 0
        dw 0xAA55

; ------------------------------------------------------------ sectors 1..
main:
; Cluster size as a shift of sectors; then MFT record and index block sizes
; as shifts of bytes.
        movzx ax, byte [BPB_SECTORS_PER_CLUSTER]
        cmp al, 0x80
        jbe .power
        neg al
        jmp .cluster_known
.power:
        bsf ax, ax
        mov si, msg_unsupported
        jz fail
.cluster_known:
        mov [cluster_shift], al
        add al, [sector_shift]
        mov [cluster_bytes_shift], al

        mov al, [BPB_MFT_RECORD_SIZE]
        call size_shift
        mov [record_shift], al
        mov si, msg_unsupported
        cmp al, RECORD_MAX_SHIFT
        ja fail
        sub al, [sector_shift]
        jb fail
        mov [record_sectors_shift], al

        mov al, [BPB_INDEX_BLOCK_SIZE]
        call size_shift
        cmp al, INDEX_MAX_SHIFT
        ja fail
        sub al, [sector_shift]
        jb fail
        mov [index_sectors_shift], al
; Index VCNs count clusters, or 512-byte units when a block is smaller than
; a cluster.
        add al, [sector_shift]
        mov ah, [cluster_bytes_shift]
        cmp al, ah
        jae .vcn_clusters
        mov ah, 9
.vcn_clusters:
        mov [index_vcn_shift], ah

        mov cl, [sector_shift]
        mov eax, CHUNK_BYTES
        shr eax, cl
        mov [chunk_sectors], eax

; MFT record 0 sits at the start of the $MFT; its $DATA maps the rest.
        mov eax, [BPB_MFT_CLUSTER]
        xor edx, edx
        mov cl, [cluster_shift]
        shld edx, eax, cl
        shl eax, cl
        mov cl, [record_sectors_shift]
        mov bx, 1
        shl bx, cl
        mov cx, bx
        mov edi, MFT_BUFFER
        call read_sectors
        mov di, MFT_BUFFER
        call check_record
        mov si, MFT_BUFFER
        mov eax, TYPE_DATA
        xor cl, cl
        call find_attribute
        mov si, msg_damaged_volume
        jc fail
        mov [mft_data], bx

        mov eax, ROOT_FOLDER_RECORD
        mov di, FILE_BUFFER
        call read_record
        mov si, FILE_BUFFER
        mov eax, TYPE_INDEX_ALLOCATION
        mov cl, I30_NAME_LENGTH
        call find_attribute
        jnc .have_allocation
        xor bx, bx
.have_allocation:
        mov [index_allocation], bx
        mov eax, TYPE_INDEX_ROOT
        call find_attribute
        mov si, msg_damaged_volume
        jc fail
        mov si, bx
        add si, [bx + ATTR_VALUE_OFFSET]
        add si, INDEX_ROOT_HEADER
        call search_index

        mov di, FILE_BUFFER
        call read_record
        mov ax, [FILE_BUFFER + FILE_FLAGS]
        and ax, FILE_IN_USE | FILE_IS_FOLDER
        cmp ax, FILE_IN_USE
        jne bootmgr_missing
        mov dword [file_sectors], 0

        mov si, FILE_BUFFER
        mov eax, TYPE_ATTRIBUTE_LIST
        xor cl, cl
        call find_attribute
        jnc load_listed_extents
        mov eax, TYPE_DATA
        call find_attribute
        jc bootmgr_missing
        call load_data
        jmp hand_off

bootmgr_missing:
        mov si, msg_missing
        jmp fail

; A fragmented BOOTMGR keeps its runs in several $DATA records, spread over
; extension records that the attribute list names in VCN order.
; in: BX the attribute list attribute in FILE_BUFFER. Does not return.
load_listed_extents:
        cmp byte [bx + ATTR_NONRESIDENT], 0
        jne .non_resident
        mov cx, [bx + ATTR_VALUE_LENGTH]
        mov [list_size], cx
        cmp cx, LIST_MAX_SIZE
        ja .too_long
        mov si, bx
        add si, [bx + ATTR_VALUE_OFFSET]
        mov di, LIST_BUFFER
        rep movsb
        jmp .walk
.non_resident:
        cmp dword [bx + ATTR_DATA_SIZE], LIST_MAX_SIZE
        ja .too_long
        mov eax, [bx + ATTR_DATA_SIZE]
        mov [list_size], ax
        call sectors_for_bytes
        xchg eax, ecx
        xor eax, eax
        mov edi, LIST_BUFFER
        call read_attribute
.walk:
        mov si, LIST_BUFFER
.entry:
        mov ax, LIST_BUFFER
        add ax, [list_size]
        cmp si, ax
        jae hand_off
        cmp dword [si + LIST_TYPE], TYPE_DATA
        jne .next
        cmp byte [si + LIST_NAME_LENGTH], 0
        jne .next
        mov eax, [si + LIST_REFERENCE]
        mov di, EXTENSION_BUFFER
        call read_record
        mov edx, [si + LIST_LOWEST_VCN]
        push si
        mov si, EXTENSION_BUFFER
        mov eax, TYPE_DATA
        xor cl, cl
        call find_attribute
.find_extent:
        jc bootmgr_missing
        cmp byte [bx + ATTR_NONRESIDENT], 0
        je .load                  ; a resident $DATA is the whole file
        cmp [bx + ATTR_LOWEST_VCN], edx
        je .load
        call find_next_attribute
        jmp .find_extent
.load:
        call load_data
        pop si
.next:
        mov ax, [si + LIST_LENGTH]
        test ax, ax
        jz hand_off
        add si, ax
        jmp .entry
.too_long:
        mov si, msg_fragmented
        jmp fail

; BOOTMGR is in place: enter it as a loader of Windows' boot manager must.
hand_off:
        mov dl, [drive]
        zero_segments LOAD_ADDRESS
        jmp BOOTMGR_SEGMENT:0

; size_shift: decodes the BPB's size of an MFT record or index block.
; in:  AL the s8 field: > 0 clusters, < 0 a size of 2^-v bytes
; out: AL log2 of the size in bytes
; clobbers: AH
size_shift:
        test al, al
        jns .clusters
        neg al
        ret
.clusters:
        movzx ax, al
        bsf ax, ax
        add al, [cluster_bytes_shift]
        ret

; sectors_for_bytes: how many whole sectors hold a byte count.
; in:  EAX bytes
; out: EAX sectors, rounded up
; clobbers: nothing else
sectors_for_bytes:
        push cx
        mov cl, [sector_shift]
        dec eax
        shr eax, cl
        inc eax
        pop cx
        ret

; read_record: reads one MFT record and undoes its fixups.
; in:  EAX record number, DI buffer (record size, segment 0)
; out: the record at DI; a record that is not a FILE record prints and halts
; clobbers: nothing
read_record:
        pushad
        mov cl, [record_sectors_shift]
        shl eax, cl
        mov ebx, 1
        shl ebx, cl
        mov ecx, ebx
        movzx edi, di
        mov bx, [mft_data]
        call read_attribute
        popad
; check_record: undoes the fixups of a FILE record and checks its magic.
; in: DI record. clobbers: nothing
check_record:
        call apply_fixups
        cmp dword [di + RECORD_MAGIC], MAGIC_FILE
        jne damaged_volume
        ret

damaged_volume:
        mov si, msg_damaged_volume
        jmp fail

; apply_fixups: puts back the last word of every 512-byte block of a FILE or
; INDX record, checking each against the update sequence number.
; in: DI record. out: the record repaired, or a message and a halt.
; clobbers: nothing
apply_fixups:
        pusha
        mov si, di
        add si, [di + RECORD_USA_OFFSET]
        mov cx, [di + RECORD_USA_COUNT]
        lodsw                     ; the update sequence number
        mov bx, di
.block:
        dec cx
        jz .done
        add bx, FIXUP_STRIDE
        cmp [bx - 2], ax
        jne damaged_volume
        lea di, [bx - 2]
        movsw
        jmp .block
.done:
        popa
        ret

; find_attribute: the first attribute of a type and name length in a record.
; find_next_attribute: the next such one after BX.
; in:  SI record (find_attribute), BX an attribute (find_next_attribute),
;      EAX type, CL name length in characters
; out: CF clear and BX the attribute header, or CF set
; clobbers: nothing else
find_attribute:
        mov bx, si
        add bx, [si + FILE_FIRST_ATTRIBUTE]
        jmp find_next_attribute.check
find_next_attribute:
.next:
        cmp word [bx + ATTR_LENGTH], 0
        je .none
        add bx, [bx + ATTR_LENGTH]
.check:
        cmp dword [bx + ATTR_TYPE], ATTR_END
        je .none
        cmp [bx + ATTR_TYPE], eax
        jne .next
        cmp [bx + ATTR_NAME_LENGTH], cl
        jne .next
        clc
        ret
.none:
        stc
        ret

; search_index: walks the root folder's B-tree down to BOOTMGR's entry.
; in:  SI the index header of the index root; [index_allocation]
; out: EAX BOOTMGR's MFT record number; prints and halts when it is absent
; clobbers: EBX ECX EDX ESI EDI
search_index:
.node:
        add si, [si + HEADER_ENTRIES_OFFSET]
.entry:
        test byte [si + ENTRY_FLAGS], ENTRY_LAST
        jnz .descend
        call compare_name
        je .found
        ja .descend               ; names from here on sort after BOOTMGR
        add si, [si + ENTRY_LENGTH]
        jmp .entry
.descend:
        test byte [si + ENTRY_FLAGS], ENTRY_SUBNODE
        jz bootmgr_missing
        mov bx, [index_allocation]
        test bx, bx
        jz bootmgr_missing
        add si, [si + ENTRY_LENGTH]
        mov eax, [si - 8]         ; sub-node VCN
        mov cl, [index_vcn_shift]
        shl eax, cl
        mov cl, [sector_shift]
        shr eax, cl
        mov cl, [index_sectors_shift]
        mov edx, 1
        shl edx, cl
        mov ecx, edx
        mov edi, INDEX_BUFFER
        call read_attribute
        mov di, INDEX_BUFFER
        call apply_fixups
        cmp dword [di + RECORD_MAGIC], MAGIC_INDX
        jne damaged_volume
        lea si, [di + INDX_HEADER]
        jmp .node
.found:
        mov eax, [si + ENTRY_REFERENCE]
        ret

; compare_name: compares an index entry's name with BOOTMGR the way the
; folder index sorts names: upper-cased, character by character, then length.
; ASCII upper-casing is enough for a name that is all ASCII letters.
; in:  SI index entry (not the last one)
; out: flags as `cmp entry_name, "BOOTMGR"` (JE equal, JB before, JA after)
; clobbers: nothing
compare_name:
        pusha
        movzx cx, byte [si + ENTRY_KEY + NAME_LENGTH]
        mov dx, cx
        add si, ENTRY_KEY + NAME_CHARS
        mov di, bootmgr_name
        cmp cx, BOOTMGR_NAME_LENGTH
        jbe .count
        mov cx, BOOTMGR_NAME_LENGTH
.count:
        jcxz .lengths
.char:
        lodsw
        cmp ax, 'a'
        jb .upper
        cmp ax, 'z'
        ja .upper
        sub ax, 'a' - 'A'
.upper:
        cmp ax, [di]
        jne .out
        add di, 2
        loop .char
.lengths:
        cmp dx, BOOTMGR_NAME_LENGTH
.out:
        popa
        ret

; load_data: loads the part of BOOTMGR that one $DATA attribute maps.
; The extent that starts at VCN 0 carries the size; it comes first.
; in:  BX $DATA attribute header; [file_sectors] set by the first extent
; out: the extent's sectors at BOOTMGR_LINEAR + their offset in the file;
;      a compressed, encrypted, sparse or oversized file prints and halts
; clobbers: nothing
load_data:
        pushad
        test word [bx + ATTR_FLAGS], ATTR_COMPRESSED | ATTR_ENCRYPTED | ATTR_SPARSE
        jnz compressed
        cmp byte [bx + ATTR_NONRESIDENT], 0
        jne .non_resident
        mov ecx, [bx + ATTR_VALUE_LENGTH]
        cmp ecx, BOOTMGR_MAX_SIZE
        ja too_large
        mov si, bx
        add si, [bx + ATTR_VALUE_OFFSET]
        push es
        push BOOTMGR_SEGMENT
        pop es
        xor di, di
        rep movsb
        pop es
        jmp .done
.non_resident:
        mov eax, [bx + ATTR_LOWEST_VCN]
        test eax, eax
        jnz .extent
        cmp dword [bx + ATTR_DATA_SIZE + 4], 0
        jne too_large
        mov eax, [bx + ATTR_DATA_SIZE]
        test eax, eax
        jz .done
        call sectors_for_bytes
        mov [file_sectors], eax
        mov cl, [sector_shift]
        shl eax, cl               ; whole sectors must fit below 0x9FC00
        cmp eax, BOOTMGR_MAX_SIZE
        ja too_large
        xor eax, eax
.extent:
        mov cl, [cluster_shift]
        shl eax, cl               ; first sector of the extent
        mov edx, [bx + ATTR_HIGHEST_VCN]
        inc edx
        shl edx, cl               ; its end
        cmp edx, [file_sectors]
        jbe .end_known
        mov edx, [file_sectors]
.end_known:
        sub edx, eax
        jbe .done
        mov edi, eax
        mov cl, [sector_shift]
        shl edi, cl
        add edi, BOOTMGR_LINEAR
        mov ecx, edx
        call read_attribute
.done:
        popad
        ret

compressed:
        mov si, msg_compressed
        jmp fail
too_large:
        mov si, msg_too_large
        jmp fail

; read_attribute: reads sectors of a non-resident attribute through its run
; list, a chunk at a time.
; in:  BX attribute header (non-resident)
;      EAX first sector, counted from the start of the attribute's value
;      ECX sector count
;      EDI linear address of the buffer, below 1 MiB
; out: the buffer filled; a sparse run or a sector beyond the runs prints
;      and halts
; clobbers: nothing
read_attribute:
        pushad
        mov [wanted_sector], eax
        mov [sectors_left], ecx
        mov [destination], edi
.chunk:
        cmp dword [sectors_left], 0
        je .done
; Walk the runs from the start: few runs, and it keeps the state small.
        mov si, bx
        add si, [bx + ATTR_RUNS_OFFSET]
        mov eax, [bx + ATTR_LOWEST_VCN]
        mov cl, [cluster_shift]
        shl eax, cl
        mov [run_sector], eax
        mov dword [run_cluster], 0
.run:
        lodsb
        test al, al
        jz damaged_volume         ; past the last run
        mov dl, al
        mov cl, al
        and cl, 0x0F
        xor ch, ch
        call read_run_field
        mov cl, [cluster_shift]
        shl eax, cl
        mov edi, eax              ; run length in sectors
        mov cl, dl
        shr cl, 4
        jz compressed             ; a sparse run
        mov ch, 1
        call read_run_field
        add [run_cluster], eax
        mov eax, [wanted_sector]
        sub eax, [run_sector]
        cmp eax, edi
        jb .inside
        add [run_sector], edi
        jmp .run
.inside:
        sub edi, eax              ; sectors left in this run
        mov ecx, edi
        cmp ecx, [sectors_left]
        jbe .fits_request
        mov ecx, [sectors_left]
.fits_request:
        cmp ecx, [chunk_sectors]
        jbe .fits_chunk
        mov ecx, [chunk_sectors]
.fits_chunk:
        mov esi, eax              ; offset into the run
        push ecx
        mov eax, [run_cluster]
        xor edx, edx
        mov cl, [cluster_shift]
        shld edx, eax, cl
        shl eax, cl
        add eax, esi
        adc edx, 0
        pop ecx
        mov edi, [destination]
        call read_sectors
        add [wanted_sector], ecx
        sub [sectors_left], ecx
        mov eax, ecx
        mov cl, [sector_shift]
        shl eax, cl
        add [destination], eax
        jmp .chunk
.done:
        popad
        ret

; read_run_field: one little-endian field of a run list entry.
; in:  SI the field, CL its size in bytes (0-8), CH 1 when signed
; out: EAX its low 32 bits (sign-extended when signed), SI past the field
; clobbers: nothing else
read_run_field:
        push bx
        movzx bx, cl
        xor eax, eax
        test ch, ch
        jz .byte
        test bx, bx
        jz .byte
        movsx eax, byte [si + bx - 1]
        sar eax, 31               ; all ones below a negative top byte
.byte:
        test bx, bx
        jz .done
        shl eax, 8
        mov al, [si + bx - 1]
        dec bx
        jmp .byte
.done:
        movzx bx, cl
        add si, bx
        pop bx
        ret

msg_missing        db "BOOTMGR is missing", 0
msg_compressed     db "BOOTMGR is compressed", 0
msg_too_large      db "BOOTMGR is too large", 0
msg_fragmented     db "BOOTMGR is too fragmented", 0
msg_damaged_volume db "NTFS volume damaged", 0

bootmgr_name       dw 'B', 'O', 'O', 'T', 'M', 'G', 'R'
BOOTMGR_NAME_LENGTH equ ($ - bootmgr_name) / 2

        times BOOT_AREA_SIZE - 2 - ($ - $$) db 0
        dw BOOT_AREA_MAGIC

; Variables, outside the image.
absolute 0x0500
drive               resb 1
sector_shift        resb 1        ; log2 bytes per sector
cluster_shift       resb 1        ; log2 sectors per cluster
cluster_bytes_shift resb 1
record_shift        resb 1        ; log2 bytes per MFT record
record_sectors_shift resb 1
index_sectors_shift resb 1
index_vcn_shift     resb 1        ; log2 bytes per index VCN
chunk_sectors       resd 1
mft_data            resw 1        ; $DATA of MFT record 0
index_allocation    resw 1        ; root's $INDEX_ALLOCATION, 0 if none
list_size           resw 1
file_sectors        resd 1        ; BOOTMGR's size in whole sectors
wanted_sector       resd 1        ; read_attribute's state
sectors_left        resd 1
destination         resd 1
run_sector          resd 1
run_cluster         resd 1
packet:                           ; INT 13h AH=42h disk address packet
.size               resw 1        ; +0 0x10
.count              resw 1        ; +2 sectors
.offset             resw 1        ; +4 buffer offset
.segment            resw 1        ; +6 buffer segment
.lba                resq 1        ; +8 first sector, u64
