; NTFS volume boot code: the 16 first sectors (8 KiB) of an NTFS volume.
; Finds \BOOTMGR in the root folder, loads it whole at 2000:0000 and enters
; it with the boot sector left at 0000:7C00.
;
; Memory map (segment 0 unless noted)
;   0000:0500  variables and the disk address packet (see the end)
;   0000:1000  MFT record 0, kept: its $DATA maps every record
;   0000:2000  a FILE record: the root folder's, then BOOTMGR's base record
;   0000:3000  one extension record of that file
;   0000:4000  that file's attribute list (at most 8 KiB)
;   0000:6000  one extension record of the $MFT
;   0000:7000  to 0000:7C00: the stack
;   0000:7C00  sector 0 of the volume (BIOS or MBR put it here; BOOTMGR
;              reads the BPB from it, so it is never overwritten)
;   0000:7C00 + bytes/sector .. 0000:9BFF  the rest of these 8 KiB, read by
;              the sector-0 code itself
;   0000:A000  one index block of the root folder (at most 16 KiB)
;   0000:E000  the $MFT's attribute list (at most 4 KiB)
;   2000:0000  BOOTMGR, up to 0x7FC00 bytes (conventional memory ends at
;              0x9FC00)
;
; Bytes 0x03-0x53 are the BPB; whoever writes this code to a volume keeps the
; volume's own bytes there. What volumes the code reads (sector, cluster,
; record and index block sizes) is the table at 0x1F9, which the tools that
; place this code read too. Everything is read by sectors, so that a record
; or index block may sit anywhere inside a cluster of up to 2 MiB.

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

; The limits, as log2 of bytes. The buffers below are sized for them.
SECTOR_MIN_SHIFT equ 9            ; 512-byte sectors
SECTOR_MAX_SHIFT equ 12           ; 4 KiB sectors
CLUSTER_MAX_SHIFT equ 21          ; 2 MiB clusters: run lengths stay 32-bit
RECORD_MAX_SHIFT equ 12           ; 4 KiB MFT records, at least a sector
INDEX_MAX_SHIFT  equ 14           ; 16 KiB index blocks, at least a sector

MFT_BUFFER       equ 0x1000
FILE_BUFFER      equ 0x2000
EXTENSION_BUFFER equ 0x3000
LIST_BUFFER      equ 0x4000
LIST_MAX_SIZE    equ 0x2000
MFT_EXTENSION_BUFFER equ 0x6000
STACK_TOP        equ LOAD_ADDRESS
INDEX_BUFFER     equ 0xA000
MFT_LIST_BUFFER  equ 0xE000
MFT_LIST_MAX_SIZE equ 0x1000

%if MFT_BUFFER + (1 << RECORD_MAX_SHIFT) > FILE_BUFFER || \
    FILE_BUFFER + (1 << RECORD_MAX_SHIFT) > EXTENSION_BUFFER || \
    EXTENSION_BUFFER + (1 << RECORD_MAX_SHIFT) > LIST_BUFFER || \
    LIST_BUFFER + LIST_MAX_SIZE > MFT_EXTENSION_BUFFER || \
    MFT_EXTENSION_BUFFER + (1 << RECORD_MAX_SHIFT) > STACK_TOP - 0x800 || \
    INDEX_BUFFER < LOAD_ADDRESS + BOOT_AREA_SIZE || \
    INDEX_BUFFER + (1 << INDEX_MAX_SHIFT) > MFT_LIST_BUFFER || \
    MFT_LIST_BUFFER + MFT_LIST_MAX_SIZE > 0xFFFF
%error "the buffers overlap"
%endif

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
NO_RECORD          equ 0xFFFFFFFF

; One attribute of a file, whose extents may be spread over extension
; records that the file's attribute list names.
struc stream
.type           resd 1            ; attribute type
.name_length    resb 1            ; characters of its name (0 or $I30's 4)
.reserved       resb 1
.base           resw 1            ; buffer of the base record
.list           resw 1            ; buffer of the attribute list
.list_max       resw 1            ; its size
.list_size      resw 1            ; bytes of the list; 0: the file has none
.extension      resw 1            ; buffer of one extension record
.held           resd 1            ; the record in it, NO_RECORD when none
.base_record    resd 1
endstruc

%include "segments.inc"
%define BIOS_DRIVE byte [drive]
%include "disk_read.inc"

org LOAD_ADDRESS

        jmp short start
        nop
        times 0x54 - ($ - $$) db 0   ; BPB: the volume's own bytes go here

; ---------------------------------------------------------------- sector 0
start:
        zero_segments STACK_TOP
        cld
        jmp 0:.normalised
.normalised:
        mov [drive], dl
        mov [BPB_DRIVE], dl

        require_extensions

        bsf ax, [BPB_BYTES_PER_SECTOR]
        mov si, msg_sector_size
        jz fail
        cmp al, [limits.sector_min]
        jb fail
        cmp al, [limits.sector_max]
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
msg_sector_size   db "NTFS sector size not supported", 0

; What the code reads, as log2 of bytes; the boot tools read this table from
; the image before they write it to a volume.
        times 0x1F9 - ($ - $$) db 0
limits:
.sector_min     db SECTOR_MIN_SHIFT
.sector_max     db SECTOR_MAX_SHIFT
.cluster_max    db CLUSTER_MAX_SHIFT
.record_max     db RECORD_MAX_SHIFT
.index_max      db INDEX_MAX_SHIFT
        dw 0xAA55

; ------------------------------------------------------------ sectors 1..
main:
; Cluster size as a shift of sectors; then MFT record and index block sizes
; as shifts of bytes, each checked against the table.
        movzx ax, byte [BPB_SECTORS_PER_CLUSTER]
        cmp al, 0x80
        jbe .power
        neg al
        jmp .cluster_known
.power:
        bsf ax, ax
        mov si, msg_cluster_size
        jz fail
.cluster_known:
        mov [cluster_shift], al
        add al, [sector_shift]
        mov si, msg_cluster_size
        jc fail
        cmp al, [limits.cluster_max]
        ja fail
        mov [cluster_bytes_shift], al

        mov al, [BPB_MFT_RECORD_SIZE]
        call size_shift
        mov si, msg_record_size
        cmp al, [limits.record_max]
        ja fail
        sub al, [sector_shift]
        jb fail
        mov [record_sectors_shift], al

        mov al, [BPB_INDEX_BLOCK_SIZE]
        call size_shift
        mov si, msg_index_size
        cmp al, [limits.index_max]
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

; MFT record 0 sits at the start of the $MFT; its $DATA maps the rest, and
; where the runs outgrew record 0, its attribute list names the extension
; records that hold them (these lie in the first extent).
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
        mov si, mft_stream
        call load_list

; The root folder: its index root, then down its B-tree through the index
; allocation, either of them possibly in an extension record.
        mov si, file_stream
        mov eax, ROOT_FOLDER_RECORD
        call open_file
        mov dword [si + stream.type], TYPE_INDEX_ROOT
        mov byte [si + stream.name_length], I30_NAME_LENGTH
        xor edx, edx
        call find_extent
        jc damaged_volume
        mov dword [si + stream.type], TYPE_INDEX_ALLOCATION
        mov si, bx
        add si, [bx + ATTR_VALUE_OFFSET]
        add si, INDEX_ROOT_HEADER
        call search_index

        mov si, file_stream
        call open_file
        mov ax, [FILE_BUFFER + FILE_FLAGS]
        and ax, FILE_IN_USE | FILE_IS_FOLDER
        cmp ax, FILE_IN_USE
        jne bootmgr_missing
        mov dword [si + stream.type], TYPE_DATA
        mov byte [si + stream.name_length], 0
        xor edx, edx
        call find_extent
        jc bootmgr_missing
        call load_data

; BOOTMGR is in place: enter it as a loader of Windows' boot manager must.
        mov dl, [drive]
        zero_segments STACK_TOP
        jmp BOOTMGR_SEGMENT:0

bootmgr_missing:
        mov si, msg_missing
        jmp fail

; size_shift: decodes the BPB's size of an MFT record or index block.
; in:  AL the s8 field: > 0 clusters, < 0 a size of 2^-v bytes
; out: AL log2 of the size in bytes; 0, which every check refuses, for a
;      count of clusters that is no power of two
; clobbers: AH
size_shift:
        test al, al
        jns .clusters
        neg al
        ret
.clusters:
        mov ah, al
        dec ah
        test ah, al
        jnz .none
        movzx ax, al
        bsf ax, ax
        jz .none
        add al, [cluster_bytes_shift]
        ret
.none:
        xor al, al                ; 0: smaller than any sector
        ret

; sectors_for_bytes: how many whole sectors hold a byte count.
; in:  EAX bytes (not 0)
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

; open_file: reads a file's base record and its attribute list.
; in:  SI a stream, EAX the file's record number
; out: the record in the stream's base buffer; no extension record held
; clobbers: nothing
open_file:
        push di
        mov di, [si + stream.base]
        call read_record
        mov [si + stream.base_record], eax
        mov dword [si + stream.held], NO_RECORD
        pop di
; load_list: copies the attribute list of the stream's base record, if it has
; one, into the stream's list buffer.
; in:  SI a stream whose base record is read
; out: [SI + stream.list_size] the list's bytes, or 0
; clobbers: nothing
load_list:
        pushad
        mov word [si + stream.list_size], 0
        push si
        mov si, [si + stream.base]
        mov eax, TYPE_ATTRIBUTE_LIST
        xor cl, cl
        call find_attribute
        pop si
        jc .done
        mov di, [si + stream.list]
        cmp byte [bx + ATTR_NONRESIDENT], 0
        jne .non_resident
        mov cx, [bx + ATTR_VALUE_LENGTH]
        cmp cx, [si + stream.list_max]
        ja .too_long
        mov [si + stream.list_size], cx
        mov si, bx
        add si, [bx + ATTR_VALUE_OFFSET]
        rep movsb
        jmp .done
.non_resident:
        cmp dword [bx + ATTR_DATA_SIZE + 4], 0
        jne .too_long
        mov eax, [bx + ATTR_DATA_SIZE]
        movzx ecx, word [si + stream.list_max]
        cmp eax, ecx
        ja .too_long
        mov [si + stream.list_size], ax
        test eax, eax
        jz .done
        call sectors_for_bytes    ; whole sectors: list_max is a multiple
        xchg eax, ecx
        xor eax, eax
        movzx edi, di
        call read_attribute
.done:
        popad
        ret
.too_long:
        mov si, msg_list_too_long
        jmp fail

; find_extent: the extent of a stream's attribute that maps a VCN: in the
; base record, or in the extension record that the attribute list names for
; it, which it reads into the stream's extension buffer.
; in:  SI stream, EDX VCN (0 for a resident attribute)
; out: CF clear and BX the attribute header, or CF set where the file has no
;      such attribute (or none that reaches the VCN); a listed extent that
;      is not where the list says prints and halts
; clobbers: nothing else
find_extent:
        pushad
        mov di, [si + stream.base]
        cmp word [si + stream.list_size], 0
        jne .listed
        call find_in_record
        jc .out
        cmp byte [bx + ATTR_NONRESIDENT], 0
        je .out
        cmp [bx + ATTR_HIGHEST_VCN], edx  ; the one extent must reach it
        jb .out
        clc
        jmp .out
.listed:
; The list holds the extents of one attribute in VCN order: the wanted one is
; the last that starts at or before the VCN.
        mov bx, [si + stream.list]
        mov cx, bx
        add cx, [si + stream.list_size]
        xor bp, bp                ; the entry found, none yet
.entry:
        cmp bx, cx
        jae .walked
        mov eax, [si + stream.type]
        cmp [bx + LIST_TYPE], eax
        jne .next
        mov al, [si + stream.name_length]
        cmp [bx + LIST_NAME_LENGTH], al
        jne .next
        cmp dword [bx + LIST_LOWEST_VCN + 4], 0
        jne .next
        cmp [bx + LIST_LOWEST_VCN], edx
        ja .next
        mov bp, bx
.next:
        mov ax, [bx + LIST_LENGTH]
        test ax, ax
        jz .walked
        add bx, ax
        jmp .entry
.walked:
        test bp, bp
        stc
        jz .out
        mov eax, [bp + LIST_REFERENCE]
        mov edx, [bp + LIST_LOWEST_VCN]
        cmp eax, [si + stream.base_record]
        je .search
        mov di, [si + stream.extension]
        cmp eax, [si + stream.held]
        je .search
        call read_record
        mov [si + stream.held], eax
.search:
        call find_in_record
.extent:
        jc damaged_volume         ; the list names an extent that is not there
        cmp byte [bx + ATTR_NONRESIDENT], 0
        je .found
        cmp [bx + ATTR_LOWEST_VCN], edx
        je .found
        mov eax, [si + stream.type]
        mov cl, [si + stream.name_length]
        call find_next_attribute
        jmp .extent
.found:
        clc
.out:
        mov [found_attribute], bx
        popad
        mov bx, [found_attribute]
        ret

; find_in_record: the first attribute of a stream's type and name length in a
; record.
; in:  SI stream, DI record
; out: as find_attribute
; clobbers: nothing else
find_in_record:
        push eax
        push cx
        push si
        mov eax, [si + stream.type]
        mov cl, [si + stream.name_length]
        mov si, di
        call find_attribute
        pop si
        pop cx
        pop eax
        ret

; read_stream: reads sectors of a stream's non-resident attribute, extent by
; extent.
; in:  SI stream, EAX first sector counted from the start of the value,
;      ECX sector count, EDI linear address of the buffer, below 1 MiB
; out: the buffer filled; sectors that no extent maps print and halt
; clobbers: nothing
read_stream:
        pushad
.extent:
        jecxz .done
        mov edx, eax
        push cx
        mov cl, [cluster_shift]
        shr edx, cl
        pop cx
        call find_extent
        jc damaged_volume
        cmp byte [bx + ATTR_NONRESIDENT], 0
        je damaged_volume
        mov edx, [bx + ATTR_HIGHEST_VCN]
        inc edx
        push cx
        mov cl, [cluster_shift]
        shl edx, cl               ; the extent's end, in sectors
        pop cx
        sub edx, eax              ; its sectors from EAX on
        jbe damaged_volume
        cmp edx, ecx
        jbe .part
        mov edx, ecx
.part:
        push ecx
        mov ecx, edx
        call read_attribute
        pop ecx
        add eax, edx
        sub ecx, edx
        push cx
        mov cl, [sector_shift]
        shl edx, cl
        pop cx
        add edi, edx
        jmp .extent
.done:
        popad
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
        mov si, mft_stream
        call read_stream
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
; in:  SI the index header of the index root; file_stream set to the root's
;      index allocation
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
        mov si, file_stream
        call read_stream
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

; load_data: loads BOOTMGR whole at BOOTMGR_LINEAR.
; in:  SI file_stream on BOOTMGR's $DATA, BX its extent at VCN 0
; out: the file in memory; a compressed, encrypted, sparse or oversized file
;      prints and halts
; clobbers: nothing
load_data:
        pushad
        mov ax, [bx + ATTR_FLAGS]
        mov si, msg_compressed
        test ax, ATTR_COMPRESSED
        jnz fail
        mov si, msg_encrypted
        test ax, ATTR_ENCRYPTED
        jnz fail
        mov si, msg_sparse
        test ax, ATTR_SPARSE
        jnz fail
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
        cmp dword [bx + ATTR_DATA_SIZE + 4], 0
        jne too_large
        mov eax, [bx + ATTR_DATA_SIZE]
        test eax, eax
        jz .done
        call sectors_for_bytes
        mov ecx, eax
        push cx
        mov cl, [sector_shift]
        shl eax, cl               ; whole sectors must fit below 0x9FC00
        pop cx
        cmp eax, BOOTMGR_MAX_SIZE
        ja too_large
        xor eax, eax
        mov edi, BOOTMGR_LINEAR
        mov si, file_stream
        call read_stream
.done:
        popad
        ret

too_large:
        mov si, msg_too_large
        jmp fail

; read_attribute: reads sectors of one extent of a non-resident attribute
; through its run list, a chunk at a time.
; in:  BX attribute header (non-resident)
;      EAX first sector, counted from the start of the attribute's value
;      ECX sector count, all inside this extent
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
        jz damaged_volume         ; a hole where data must be
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

msg_cluster_size   db "NTFS cluster size not supported", 0
msg_record_size    db "NTFS record size not supported", 0
msg_index_size     db "NTFS index block size not supported", 0
msg_list_too_long  db "NTFS attribute list too long", 0
msg_missing        db "BOOTMGR is missing", 0
msg_compressed     db "BOOTMGR is compressed", 0
msg_encrypted      db "BOOTMGR is encrypted", 0
msg_sparse         db "BOOTMGR is sparse", 0
msg_too_large      db "BOOTMGR is too large", 0
msg_damaged_volume db "NTFS volume damaged", 0

bootmgr_name       dw 'B', 'O', 'O', 'T', 'M', 'G', 'R'
BOOTMGR_NAME_LENGTH equ ($ - bootmgr_name) / 2

; The $MFT's $DATA, and the file being read (the root folder, then BOOTMGR).
mft_stream:
        istruc stream
        at stream.type,        dd TYPE_DATA
        at stream.name_length, db 0
        at stream.base,        dw MFT_BUFFER
        at stream.list,        dw MFT_LIST_BUFFER
        at stream.list_max,    dw MFT_LIST_MAX_SIZE
        at stream.list_size,   dw 0
        at stream.extension,   dw MFT_EXTENSION_BUFFER
        at stream.held,        dd NO_RECORD
        at stream.base_record, dd 0
        iend
file_stream:
        istruc stream
        at stream.type,        dd TYPE_INDEX_ROOT
        at stream.name_length, db I30_NAME_LENGTH
        at stream.base,        dw FILE_BUFFER
        at stream.list,        dw LIST_BUFFER
        at stream.list_max,    dw LIST_MAX_SIZE
        at stream.list_size,   dw 0
        at stream.extension,   dw EXTENSION_BUFFER
        at stream.held,        dd NO_RECORD
        at stream.base_record, dd NO_RECORD
        iend

        times BOOT_AREA_SIZE - 2 - ($ - $$) db 0
        dw BOOT_AREA_MAGIC

; Variables, outside the image.
absolute 0x0500
drive               resb 1
sector_shift        resb 1        ; log2 bytes per sector
cluster_shift       resb 1        ; log2 sectors per cluster
cluster_bytes_shift resb 1
record_sectors_shift resb 1       ; log2 sectors per MFT record
index_sectors_shift resb 1
index_vcn_shift     resb 1        ; log2 bytes per index VCN
chunk_sectors       resd 1
found_attribute     resw 1        ; find_extent's answer
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
