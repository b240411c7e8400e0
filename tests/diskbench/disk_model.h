/* The test disk driver's logic, apart from the kernel: what its configuration
 * says, what the disk's partition table holds, and the answers to the disk,
 * volume and mount-point requests as the bytes that Windows' headers lay out
 * (every offset below is the field's offset in the x64 structure; the driver
 * checks them against the headers at compile time). Plain C, so that the same
 * file builds into the driver and into native unit tests. */
#ifndef ROAMDECK_DISK_MODEL_H
#define ROAMDECK_DISK_MODEL_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* NTSTATUS values the answers use (ntstatus.h). */
#define DM_SUCCESS 0x00000000u
#define DM_BUFFER_OVERFLOW 0x80000005u
#define DM_INVALID_PARAMETER 0xC000000Du
#define DM_INVALID_DEVICE_REQUEST 0xC0000010u
#define DM_BUFFER_TOO_SMALL 0xC0000023u
#define DM_NOT_SUPPORTED 0xC00000BBu
#define DM_DEVICE_DATA_ERROR 0xC000009Cu
#define DM_UNRECOGNIZED_MEDIA 0xC0000014u

#define DM_MAX_VOLUMES 64
#define DM_MAX_ENTRIES 256
#define DM_PATH_MAX 512

typedef struct {
  uint8_t bytes[16]; /* as stored on disk (mixed-endian GUID) */
} dm_guid;

/* The configuration file, one directive a line ("#" starts a comment):
 *   sector <512|4096>
 *   disk <bytes> <unix device>                 the whole disk
 *   volume <start> <length> <unix device> <letter|->
 * A volume is the byte range [start, start+length) of the disk; its bytes are
 * read and written through its own device only, the rest through the disk's. */
typedef struct {
  uint64_t start, length;
  char device[DM_PATH_MAX];
  char letter; /* 'A'..'Z', or 0 for none */
} dm_volume;

typedef struct {
  uint32_t sector_size;
  uint64_t disk_bytes;
  char disk_device[DM_PATH_MAX];
  unsigned volume_count;
  dm_volume volumes[DM_MAX_VOLUMES];
} dm_config;

/* Parses the text; 0 on success, else the 1-based number of the bad line
 * (with `why` set to a short reason). */
int dm_parse_config(const char* text, size_t length, dm_config* config, const char** why);

/* One entry of a drive layout, in the order Windows reports them. */
typedef struct {
  uint64_t start, length; /* bytes */
  uint32_t number;        /* 1-based partition number; 0 for empty and link entries */
  /* MBR */
  uint8_t type, boot, recognized;
  uint32_t hidden_sectors;
  /* GPT */
  dm_guid type_guid, unique_guid;
  uint64_t attributes;
  uint16_t name[36];
} dm_entry;

enum { DM_MBR = 0, DM_GPT = 1, DM_RAW = 2 };

typedef struct {
  int style;
  uint32_t signature;                   /* MBR */
  dm_guid disk_guid;                    /* GPT */
  uint64_t usable_start, usable_length; /* GPT, bytes */
  uint32_t max_entries;                 /* GPT: entries in the array */
  unsigned count;
  dm_entry entries[DM_MAX_ENTRIES];
} dm_layout;

/* Reads `length` bytes at `offset` of the disk; 0 on success. */
typedef int (*dm_read_fn)(void* context, uint64_t offset, uint32_t length, uint8_t* out);

/* The table of the disk as Windows reports it: a GPT where LBA 1 holds a sound
 * header (its CRCs checked; the backup where the primary is damaged), an MBR
 * with its extended chain otherwise, RAW without 55 AA. */
uint32_t dm_read_layout(dm_read_fn read, void* context, uint32_t sector_size, uint64_t disk_bytes,
                        dm_layout* layout);

/* A buffer an answer is written into; `needed` is what the whole answer takes. */
typedef struct {
  uint8_t* data;
  size_t size;
  size_t written; /* IO_STATUS_BLOCK.Information */
} dm_out;

uint32_t dm_answer_geometry(uint32_t sector_size, uint64_t disk_bytes, dm_out* out);
uint32_t dm_answer_geometry_ex(uint32_t sector_size, uint64_t disk_bytes, const dm_layout* layout,
                               dm_out* out);
uint32_t dm_answer_length(uint64_t bytes, dm_out* out);
uint32_t dm_answer_layout(const dm_layout* layout, dm_out* out);
/* The entry that starts at `start`, or, for the whole disk (`whole`), the disk
 * as partition 0. */
uint32_t dm_answer_partition_info(const dm_layout* layout, int whole, uint64_t start,
                                  uint64_t length, dm_out* out);
uint32_t dm_answer_device_number(uint32_t disk_number, uint32_t partition_number, dm_out* out);
uint32_t dm_answer_extents(uint32_t disk_number, uint64_t start, uint64_t length, dm_out* out);

/* The partition number of the entry that starts at `start`, or 0xFFFFFFFF. */
uint32_t dm_partition_number(const dm_layout* layout, uint64_t start);

/* IOCTL_DISK_SET_DRIVE_LAYOUT_EX: turns the request into the sectors to write.
 * `sector0` and the result buffers are whole sectors of the disk. For GPT the
 * writes are, in this order: the protective MBR (sector 0), the primary
 * entries (from LBA 2), the primary header (LBA 1), the backup entries and
 * the backup header (the last LBA). */
typedef struct {
  uint64_t offset;
  uint32_t length;
  const uint8_t* data;
} dm_write;

#define DM_MAX_WRITES 5
typedef struct {
  unsigned count;
  dm_write writes[DM_MAX_WRITES];
  uint8_t* storage; /* caller-provided, dm_set_layout_storage() bytes */
} dm_write_plan;

size_t dm_set_layout_storage(uint32_t sector_size);
uint32_t dm_plan_set_layout(const uint8_t* request, size_t size, const uint8_t* sector0,
                            uint32_t sector_size, uint64_t disk_bytes, dm_write_plan* plan);

uint32_t dm_crc32(const uint8_t* data, size_t length);

/* IOCTL_MOUNTMGR_QUERY_POINTS answered as the system's mount manager would
 * with the test disk's volumes added: `lower` is the mount manager's own
 * answer to the same `query`, and its points for the drive letters the test
 * disk takes over are left out, with every other point of their devices. */
typedef struct {
  const uint16_t* link; /* \??\Volume{...} or \DosDevices\X: */
  const uint16_t* device;
  const uint8_t* id;
  uint16_t id_length;
} dm_point;

uint32_t dm_merge_points(const uint8_t* query, size_t query_size, const uint8_t* lower,
                         size_t lower_size, const dm_point* ours, unsigned our_count, dm_out* out);

#ifdef __cplusplus
}
#endif

#endif
