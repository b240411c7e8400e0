#include "disk_model.h"

#include <string.h>

/* Little-endian fields, bounds checked by the callers' sizes. */
static uint16_t get16(const uint8_t* p) { return (uint16_t)(p[0] | (p[1] << 8)); }
static uint32_t get32(const uint8_t* p) {
  return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}
static uint64_t get64(const uint8_t* p) { return get32(p) | ((uint64_t)get32(p + 4) << 32); }
static void put16(uint8_t* p, uint16_t v) {
  p[0] = (uint8_t)v;
  p[1] = (uint8_t)(v >> 8);
}
static void put32(uint8_t* p, uint32_t v) {
  put16(p, (uint16_t)v);
  put16(p + 2, (uint16_t)(v >> 16));
}
static void put64(uint8_t* p, uint64_t v) {
  put32(p, (uint32_t)v);
  put32(p + 4, (uint32_t)(v >> 32));
}

/* ---- configuration ---- */

static const char* skip_space(const char* p, const char* end) {
  while (p < end && (*p == ' ' || *p == '\t' || *p == '\r')) ++p;
  return p;
}

/* The next word of the line into `word`; 0 when there is none or it is too long. */
static int next_word(const char** p, const char* end, char* word, size_t size) {
  const char* q = skip_space(*p, end);
  size_t n = 0;
  while (q < end && *q != ' ' && *q != '\t' && *q != '\r') {
    if (n + 1 >= size) return 0;
    word[n++] = *q++;
  }
  word[n] = 0;
  *p = q;
  return n > 0;
}

static int parse_number(const char* word, uint64_t* value) {
  uint64_t v = 0;
  if (!*word) return 0;
  for (; *word; ++word) {
    if (*word < '0' || *word > '9') return 0;
    if (v > (UINT64_MAX - 9) / 10) return 0;
    v = v * 10 + (uint64_t)(*word - '0');
  }
  *value = v;
  return 1;
}

int dm_parse_config(const char* text, size_t length, dm_config* config, const char** why) {
  const char* end = text + length;
  const char* line = text;
  int number = 0;
  memset(config, 0, sizeof *config);
  config->sector_size = 512;
  while (line < end) {
    const char* stop = memchr(line, '\n', (size_t)(end - line));
    const char* p = line;
    char word[DM_PATH_MAX];
    if (!stop) stop = end;
    ++number;
    line = stop + 1;
    p = skip_space(p, stop);
    if (p == stop || *p == '#') continue;
    if (!next_word(&p, stop, word, sizeof word)) return *why = "word too long", number;
    if (!strcmp(word, "sector")) {
      uint64_t size;
      if (!next_word(&p, stop, word, sizeof word) || !parse_number(word, &size) ||
          (size != 512 && size != 4096))
        return *why = "sector size is 512 or 4096", number;
      config->sector_size = (uint32_t)size;
    } else if (!strcmp(word, "disk")) {
      if (!next_word(&p, stop, word, sizeof word) || !parse_number(word, &config->disk_bytes) ||
          !next_word(&p, stop, config->disk_device, sizeof config->disk_device))
        return *why = "disk <bytes> <device>", number;
    } else if (!strcmp(word, "volume")) {
      dm_volume* volume;
      if (config->volume_count == DM_MAX_VOLUMES) return *why = "too many volumes", number;
      volume = &config->volumes[config->volume_count];
      if (!next_word(&p, stop, word, sizeof word) || !parse_number(word, &volume->start) ||
          !next_word(&p, stop, word, sizeof word) || !parse_number(word, &volume->length) ||
          !next_word(&p, stop, volume->device, sizeof volume->device) ||
          !next_word(&p, stop, word, sizeof word))
        return *why = "volume <start> <length> <device> <letter|->", number;
      if (word[0] >= 'a' && word[0] <= 'z') word[0] = (char)(word[0] - 32);
      if (!strcmp(word, "-"))
        volume->letter = 0;
      else if (word[1] == 0 && word[0] >= 'A' && word[0] <= 'Z')
        volume->letter = word[0];
      else
        return *why = "a drive letter or -", number;
      config->volume_count++;
    } else {
      return *why = "unknown directive", number;
    }
    if (next_word(&p, stop, word, sizeof word)) return *why = "extra words", number;
  }
  if (!config->disk_device[0] || config->disk_bytes == 0) return *why = "no disk line", number + 1;
  if (config->disk_bytes % config->sector_size) return *why = "disk size not whole sectors", 1;
  for (unsigned i = 0; i < config->volume_count; ++i) {
    const dm_volume* v = &config->volumes[i];
    if (v->start % config->sector_size || v->length % config->sector_size || v->length == 0 ||
        v->start > config->disk_bytes || v->length > config->disk_bytes - v->start)
      return *why = "a volume outside the disk or not whole sectors", 1;
    for (unsigned j = 0; j < i; ++j) {
      const dm_volume* w = &config->volumes[j];
      if (v->start < w->start + w->length && w->start < v->start + v->length)
        return *why = "volumes overlap", 1;
    }
  }
  return 0;
}

/* ---- CRC32 (IEEE 802.3, as GPT uses it) ---- */

uint32_t dm_crc32(const uint8_t* data, size_t length) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < length; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

/* ---- reading the partition table ---- */

static int is_extended(uint8_t type) { return type == 0x05 || type == 0x0F || type == 0x85; }

static int recognized(uint8_t type) { return type != 0 && !is_extended(type); }

static dm_entry* add_entry(dm_layout* layout) {
  if (layout->count == DM_MAX_ENTRIES) return NULL;
  dm_entry* entry = &layout->entries[layout->count++];
  memset(entry, 0, sizeof *entry);
  return entry;
}

/* An MBR slot: +0 status, +4 type, +8 first LBA, +12 sectors. */
static void mbr_slot(const uint8_t* slot, uint64_t base_lba, uint32_t sector_size, dm_entry* e) {
  e->boot = slot[0] == 0x80;
  e->type = slot[4];
  e->start = (base_lba + get32(slot + 8)) * sector_size;
  e->length = (uint64_t)get32(slot + 12) * sector_size;
  e->hidden_sectors = get32(slot + 8);
  e->recognized = recognized(e->type);
  if (e->type == 0 || e->length == 0) {
    memset(e, 0, sizeof *e);
  }
}

static uint32_t read_mbr(dm_read_fn read, void* context, uint32_t sector_size, uint64_t disk_bytes,
                         const uint8_t* sector0, dm_layout* layout) {
  uint32_t next_number = 1;
  uint64_t extended_lba = 0, extended_sectors = 0;
  layout->style = DM_MBR;
  layout->signature = get32(sector0 + 440);
  /* Primary slots first, numbered in table order. */
  for (int slot = 0; slot < 4; ++slot) {
    dm_entry* e = add_entry(layout);
    mbr_slot(sector0 + 446 + slot * 16, 0, sector_size, e);
    if (is_extended(e->type) && !extended_lba) {
      extended_lba = e->start / sector_size;
      extended_sectors = e->length / sector_size;
    }
  }
  for (unsigned i = 0; i < 4; ++i) {
    dm_entry* e = &layout->entries[i];
    if (e->length && !is_extended(e->type)) e->number = next_number++;
  }
  /* Then the extended chain, four entries an EBR as Windows reports them:
   * the logical partition, the link to the next EBR, two empty ones. */
  uint64_t ebr = extended_lba;
  uint8_t sector[4096];
  for (unsigned hops = 0; ebr && hops < 60; ++hops) {
    if ((ebr + 1) * sector_size > disk_bytes ||
        read(context, ebr * sector_size, sector_size, sector))
      return DM_DEVICE_DATA_ERROR;
    if (sector[510] != 0x55 || sector[511] != 0xAA) break;
    if (layout->count + 4 > DM_MAX_ENTRIES) break;
    dm_entry* logical = add_entry(layout);
    mbr_slot(sector + 446, ebr, sector_size, logical);
    if (logical->length) logical->number = next_number++;
    dm_entry* link = add_entry(layout);
    mbr_slot(sector + 446 + 16, extended_lba, sector_size, link);
    add_entry(layout);
    add_entry(layout);
    if (!link->length || !is_extended(link->type)) break;
    ebr = link->start / sector_size;
    if (ebr <= extended_lba || ebr >= extended_lba + extended_sectors) break;
  }
  return DM_SUCCESS;
}

/* A GPT header at `lba`: +0 "EFI PART", +12 header size, +16 header CRC,
 * +24 my LBA, +32 alternate LBA, +40 first usable, +48 last usable, +56 disk
 * GUID, +72 entries LBA, +80 entry count, +84 entry size, +88 entries CRC. */
static int sound_gpt_header(dm_read_fn read, void* context, uint32_t sector_size,
                            uint64_t disk_bytes, uint64_t lba, uint8_t* header) {
  if (read(context, lba * sector_size, sector_size, header)) return 0;
  if (memcmp(header, "EFI PART", 8) != 0) return 0;
  uint32_t size = get32(header + 12);
  if (size < 92 || size > sector_size) return 0;
  uint32_t crc = get32(header + 16);
  put32(header + 16, 0);
  int ok = dm_crc32(header, size) == crc;
  put32(header + 16, crc);
  if (!ok || get64(header + 24) != lba) return 0;
  uint32_t entry_size = get32(header + 84), count = get32(header + 80);
  if (entry_size < 128 || entry_size % 8 || count == 0 || count > 1024) return 0;
  uint64_t array_bytes = (uint64_t)count * entry_size;
  uint64_t array_lba = get64(header + 72);
  if (array_lba * sector_size + array_bytes > disk_bytes) return 0;
  return 1;
}

static uint32_t read_gpt(dm_read_fn read, void* context, uint32_t sector_size, uint64_t disk_bytes,
                         const uint8_t* header, dm_layout* layout) {
  uint32_t count = get32(header + 80), entry_size = get32(header + 84);
  uint64_t array_lba = get64(header + 72);
  uint8_t sector[4096];
  uint8_t entry[128];
  uint32_t crc = 0xFFFFFFFFu;
  layout->style = DM_GPT;
  memcpy(layout->disk_guid.bytes, header + 56, 16);
  layout->usable_start = get64(header + 40) * sector_size;
  layout->usable_length = (get64(header + 48) + 1 - get64(header + 40)) * sector_size;
  layout->max_entries = count;
  /* Entries are read a sector at a time; the array's CRC covers them all. */
  uint64_t total = (uint64_t)count * entry_size, done = 0;
  uint32_t number = 1;
  while (done < total) {
    if (read(context, array_lba * sector_size + done, sector_size, sector))
      return DM_DEVICE_DATA_ERROR;
    uint32_t take = (uint32_t)((total - done) < sector_size ? (total - done) : sector_size);
    for (uint32_t i = 0; i < take; ++i) {
      crc ^= sector[i];
      for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    for (uint32_t at = 0; at + entry_size <= take; at += entry_size) {
      memcpy(entry, sector + at, 128);
      static const uint8_t zero[16];
      if (!memcmp(entry, zero, 16)) continue;
      uint64_t first = get64(entry + 32), last = get64(entry + 40);
      if (last < first || (last + 1) * sector_size > disk_bytes) continue;
      dm_entry* e = add_entry(layout);
      if (!e) break;
      memcpy(e->type_guid.bytes, entry, 16);
      memcpy(e->unique_guid.bytes, entry + 16, 16);
      e->start = first * sector_size;
      e->length = (last + 1 - first) * sector_size;
      e->attributes = get64(entry + 48);
      for (int c = 0; c < 36; ++c) e->name[c] = get16(entry + 56 + c * 2);
      e->number = number++;
    }
    done += take;
  }
  if (~crc != get32(header + 88)) return DM_DEVICE_DATA_ERROR;
  return DM_SUCCESS;
}

uint32_t dm_read_layout(dm_read_fn read, void* context, uint32_t sector_size, uint64_t disk_bytes,
                        dm_layout* layout) {
  uint8_t sector0[4096], header[4096];
  memset(layout, 0, sizeof *layout);
  if (sector_size > sizeof sector0 || disk_bytes < 2u * sector_size) return DM_INVALID_PARAMETER;
  if (read(context, 0, sector_size, sector0)) return DM_DEVICE_DATA_ERROR;
  if (sector0[510] != 0x55 || sector0[511] != 0xAA) {
    layout->style = DM_RAW;
    return DM_SUCCESS;
  }
  int protective = 0;
  for (int slot = 0; slot < 4; ++slot)
    if (sector0[446 + slot * 16 + 4] == 0xEE) protective = 1;
  if (protective) {
    uint64_t last = disk_bytes / sector_size - 1;
    if (sound_gpt_header(read, context, sector_size, disk_bytes, 1, header) ||
        sound_gpt_header(read, context, sector_size, disk_bytes, last, header)) {
      uint32_t status = read_gpt(read, context, sector_size, disk_bytes, header, layout);
      if (status == DM_SUCCESS) return status;
      /* The primary's array is damaged: the backup's may not be. */
      if (sound_gpt_header(read, context, sector_size, disk_bytes, last, header)) {
        memset(layout, 0, sizeof *layout);
        return read_gpt(read, context, sector_size, disk_bytes, header, layout);
      }
      return status;
    }
  }
  return read_mbr(read, context, sector_size, disk_bytes, sector0, layout);
}

/* ---- answers ---- */

static uint32_t reserve(dm_out* out, size_t needed) {
  if (out->size < needed) {
    out->written = 0;
    return DM_BUFFER_TOO_SMALL;
  }
  memset(out->data, 0, needed);
  out->written = needed;
  return DM_SUCCESS;
}

/* DISK_GEOMETRY: +0 Cylinders, +8 MediaType, +12 TracksPerCylinder,
 * +16 SectorsPerTrack, +20 BytesPerSector (24 bytes). */
static void put_geometry(uint8_t* p, uint32_t sector_size, uint64_t disk_bytes) {
  const uint32_t heads = 255, sectors = 63;
  put64(p, disk_bytes / sector_size / (heads * sectors));
  put32(p + 8, 12); /* FixedMedia */
  put32(p + 12, heads);
  put32(p + 16, sectors);
  put32(p + 20, sector_size);
}

uint32_t dm_answer_geometry(uint32_t sector_size, uint64_t disk_bytes, dm_out* out) {
  uint32_t status = reserve(out, 24);
  if (status == DM_SUCCESS) put_geometry(out->data, sector_size, disk_bytes);
  return status;
}

/* DISK_GEOMETRY_EX: +0 Geometry, +24 DiskSize, +32 DISK_PARTITION_INFO
 * (+0 SizeOfPartitionInfo, +4 PartitionStyle, +8 MBR Signature and CheckSum,
 * or the GPT DiskId; 24 bytes). */
uint32_t dm_answer_geometry_ex(uint32_t sector_size, uint64_t disk_bytes, const dm_layout* layout,
                               dm_out* out) {
  if (out->size < 32) return reserve(out, 32);
  size_t size = out->size >= 56 ? 56 : 32;
  reserve(out, size);
  put_geometry(out->data, sector_size, disk_bytes);
  put64(out->data + 24, disk_bytes);
  if (size == 56) {
    uint8_t* info = out->data + 32;
    put32(info, 24);
    put32(info + 4, (uint32_t)layout->style);
    if (layout->style == DM_GPT)
      memcpy(info + 8, layout->disk_guid.bytes, 16);
    else
      put32(info + 8, layout->signature);
  }
  return DM_SUCCESS;
}

uint32_t dm_answer_length(uint64_t bytes, dm_out* out) {
  uint32_t status = reserve(out, 8);
  if (status == DM_SUCCESS) put64(out->data, bytes);
  return status;
}

/* PARTITION_INFORMATION_EX (144 bytes): +0 PartitionStyle, +8 StartingOffset,
 * +16 PartitionLength, +24 PartitionNumber, +28 RewritePartition,
 * +29 IsServicePartition, +32 the style's part: MBR +32 PartitionType,
 * +33 BootIndicator, +34 RecognizedPartition, +36 HiddenSectors,
 * +40 PartitionId; GPT +32 PartitionType, +48 PartitionId, +64 Attributes,
 * +72 Name (36 UTF-16 units). */
#define PARTITION_INFO_SIZE 144
static void put_partition(uint8_t* p, int style, const dm_entry* e) {
  put32(p, (uint32_t)style);
  put64(p + 8, e->start);
  put64(p + 16, e->length);
  put32(p + 24, e->number);
  if (style == DM_GPT) {
    memcpy(p + 32, e->type_guid.bytes, 16);
    memcpy(p + 48, e->unique_guid.bytes, 16);
    put64(p + 64, e->attributes);
    for (int c = 0; c < 36; ++c) put16(p + 72 + c * 2, e->name[c]);
  } else if (style == DM_MBR) {
    p[32] = e->type;
    p[33] = e->boot;
    p[34] = e->recognized;
    put32(p + 36, e->hidden_sectors);
  }
}

/* DRIVE_LAYOUT_INFORMATION_EX: +0 PartitionStyle, +4 PartitionCount,
 * +8 MBR Signature (+12 CheckSum) or GPT DiskId, +24 StartingUsableOffset,
 * +32 UsableLength, +40 MaxPartitionCount; +48 PartitionEntry[]. */
#define LAYOUT_HEADER_SIZE 48
uint32_t dm_answer_layout(const dm_layout* layout, dm_out* out) {
  size_t needed = LAYOUT_HEADER_SIZE + (size_t)layout->count * PARTITION_INFO_SIZE;
  if (layout->count == 0) needed = LAYOUT_HEADER_SIZE;
  uint32_t status = reserve(out, needed);
  if (status != DM_SUCCESS) return status;
  uint8_t* p = out->data;
  put32(p, (uint32_t)layout->style);
  put32(p + 4, layout->count);
  if (layout->style == DM_GPT) {
    memcpy(p + 8, layout->disk_guid.bytes, 16);
    put64(p + 24, layout->usable_start);
    put64(p + 32, layout->usable_length);
    put32(p + 40, layout->max_entries);
  } else if (layout->style == DM_MBR) {
    put32(p + 8, layout->signature);
  }
  for (unsigned i = 0; i < layout->count; ++i)
    put_partition(p + LAYOUT_HEADER_SIZE + i * PARTITION_INFO_SIZE, layout->style,
                  &layout->entries[i]);
  return DM_SUCCESS;
}

static const dm_entry* entry_at(const dm_layout* layout, uint64_t start) {
  for (unsigned i = 0; i < layout->count; ++i) {
    const dm_entry* e = &layout->entries[i];
    if (e->length && e->number && e->start == start) return e;
  }
  return NULL;
}

uint32_t dm_partition_number(const dm_layout* layout, uint64_t start) {
  const dm_entry* e = entry_at(layout, start);
  return e ? e->number : 0xFFFFFFFFu;
}

uint32_t dm_answer_partition_info(const dm_layout* layout, int whole, uint64_t start,
                                  uint64_t length, dm_out* out) {
  uint32_t status = reserve(out, PARTITION_INFO_SIZE);
  if (status != DM_SUCCESS) return status;
  dm_entry e;
  const dm_entry* found = whole ? NULL : entry_at(layout, start);
  if (found) {
    e = *found;
  } else {
    memset(&e, 0, sizeof e);
    e.start = whole ? 0 : start;
    e.length = length;
  }
  put_partition(out->data, layout->style, &e);
  return DM_SUCCESS;
}

/* STORAGE_DEVICE_NUMBER: +0 DeviceType, +4 DeviceNumber, +8 PartitionNumber. */
uint32_t dm_answer_device_number(uint32_t disk_number, uint32_t partition_number, dm_out* out) {
  uint32_t status = reserve(out, 12);
  if (status != DM_SUCCESS) return status;
  put32(out->data, 7); /* FILE_DEVICE_DISK */
  put32(out->data + 4, disk_number);
  put32(out->data + 8, partition_number);
  return DM_SUCCESS;
}

/* VOLUME_DISK_EXTENTS: +0 NumberOfDiskExtents, +8 Extents[]: +0 DiskNumber,
 * +8 StartingOffset, +16 ExtentLength (24 bytes each). */
uint32_t dm_answer_extents(uint32_t disk_number, uint64_t start, uint64_t length, dm_out* out) {
  uint32_t status = reserve(out, 32);
  if (status != DM_SUCCESS) return status;
  put32(out->data, 1);
  put32(out->data + 8, disk_number);
  put64(out->data + 16, start);
  put64(out->data + 24, length);
  return DM_SUCCESS;
}

/* ---- IOCTL_DISK_SET_DRIVE_LAYOUT_EX ---- */

#define GPT_ENTRIES 128
#define GPT_ENTRY_SIZE 128

size_t dm_set_layout_storage(uint32_t sector_size) {
  /* sector 0, two headers, the entry array (16 KiB rounded up to sectors). */
  size_t array = ((GPT_ENTRIES * GPT_ENTRY_SIZE + sector_size - 1) / sector_size) * sector_size;
  return 3u * sector_size + array;
}

static void add_write(dm_write_plan* plan, uint64_t offset, uint32_t length, const uint8_t* data) {
  dm_write* w = &plan->writes[plan->count++];
  w->offset = offset;
  w->length = length;
  w->data = data;
}

static uint32_t plan_mbr(const uint8_t* request, size_t size, uint32_t count,
                         const uint8_t* sector0, uint32_t sector_size, uint64_t disk_bytes,
                         dm_write_plan* plan) {
  uint8_t* out = plan->storage;
  memcpy(out, sector0, sector_size);
  put32(out + 440, get32(request + 8));
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* entry = request + LAYOUT_HEADER_SIZE + (size_t)i * PARTITION_INFO_SIZE;
    if (LAYOUT_HEADER_SIZE + (size_t)(i + 1) * PARTITION_INFO_SIZE > size)
      return DM_INVALID_PARAMETER;
    uint64_t start = get64(entry + 8), length = get64(entry + 16);
    uint8_t type = entry[32];
    if (i >= 4) {
      /* Only the MBR's own four slots can be rewritten here. */
      if (length && type) return DM_NOT_SUPPORTED;
      continue;
    }
    uint8_t* slot = out + 446 + i * 16;
    memset(slot, 0, 16);
    if (!length || !type) continue;
    if (start % sector_size || length % sector_size || start > disk_bytes ||
        length > disk_bytes - start || start / sector_size > 0xFFFFFFFFu ||
        length / sector_size > 0xFFFFFFFFu)
      return DM_INVALID_PARAMETER;
    slot[0] = entry[33] ? 0x80 : 0x00;
    slot[1] = 0xFE;
    slot[2] = 0xFF;
    slot[3] = 0xFF; /* CHS beyond 1024 cylinders: LBA only */
    slot[4] = type;
    slot[5] = 0xFE;
    slot[6] = 0xFF;
    slot[7] = 0xFF;
    put32(slot + 8, (uint32_t)(start / sector_size));
    put32(slot + 12, (uint32_t)(length / sector_size));
  }
  out[510] = 0x55;
  out[511] = 0xAA;
  add_write(plan, 0, sector_size, out);
  return DM_SUCCESS;
}

static void finish_header(uint8_t* h, uint64_t my_lba, uint64_t other_lba, uint64_t first_usable,
                          uint64_t last_usable, const uint8_t* disk_guid, uint64_t entries_lba,
                          uint32_t entries_crc) {
  memcpy(h, "EFI PART", 8);
  put32(h + 8, 0x00010000);
  put32(h + 12, 92);
  put64(h + 24, my_lba);
  put64(h + 32, other_lba);
  put64(h + 40, first_usable);
  put64(h + 48, last_usable);
  memcpy(h + 56, disk_guid, 16);
  put64(h + 72, entries_lba);
  put32(h + 80, GPT_ENTRIES);
  put32(h + 84, GPT_ENTRY_SIZE);
  put32(h + 88, entries_crc);
  put32(h + 16, dm_crc32(h, 92));
}

static uint32_t plan_gpt(const uint8_t* request, size_t size, uint32_t count,
                         const uint8_t* sector0, uint32_t sector_size, uint64_t disk_bytes,
                         dm_write_plan* plan) {
  const uint64_t sectors = disk_bytes / sector_size, last = sectors - 1;
  const uint32_t array_sectors = (GPT_ENTRIES * GPT_ENTRY_SIZE + sector_size - 1) / sector_size;
  const uint64_t first_usable = 2 + array_sectors, last_usable = last - array_sectors - 1;
  uint8_t* mbr = plan->storage;
  uint8_t* primary = mbr + sector_size;
  uint8_t* backup = primary + sector_size;
  uint8_t* array = backup + sector_size;
  if (count > GPT_ENTRIES || sectors < 2u * array_sectors + 4) return DM_INVALID_PARAMETER;
  memset(array, 0, (size_t)array_sectors * sector_size);
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* entry = request + LAYOUT_HEADER_SIZE + (size_t)i * PARTITION_INFO_SIZE;
    if (LAYOUT_HEADER_SIZE + (size_t)(i + 1) * PARTITION_INFO_SIZE > size)
      return DM_INVALID_PARAMETER;
    uint64_t start = get64(entry + 8), length = get64(entry + 16);
    if (!length) continue;
    if (start % sector_size || length % sector_size || start / sector_size < first_usable ||
        (start + length) / sector_size - 1 > last_usable)
      return DM_INVALID_PARAMETER;
    uint8_t* out = array + (size_t)i * GPT_ENTRY_SIZE;
    memcpy(out, entry + 32, 16);      /* type */
    memcpy(out + 16, entry + 48, 16); /* unique */
    put64(out + 32, start / sector_size);
    put64(out + 40, (start + length) / sector_size - 1);
    put64(out + 48, get64(entry + 64));
    memcpy(out + 56, entry + 72, 72);
  }
  uint32_t entries_crc = dm_crc32(array, GPT_ENTRIES * GPT_ENTRY_SIZE);
  memset(primary, 0, sector_size);
  memset(backup, 0, sector_size);
  finish_header(primary, 1, last, first_usable, last_usable, request + 8, 2, entries_crc);
  finish_header(backup, last, 1, first_usable, last_usable, request + 8, last - array_sectors,
                entries_crc);
  /* A protective MBR that covers the disk; the boot code area is kept. */
  memcpy(mbr, sector0, sector_size);
  memset(mbr + 446, 0, 64);
  mbr[446 + 1] = 0x00;
  mbr[446 + 2] = 0x02;
  mbr[446 + 4] = 0xEE;
  mbr[446 + 5] = 0xFF;
  mbr[446 + 6] = 0xFF;
  mbr[446 + 7] = 0xFF;
  put32(mbr + 446 + 8, 1);
  put32(mbr + 446 + 12, last > 0xFFFFFFFFu ? 0xFFFFFFFFu : (uint32_t)last);
  mbr[510] = 0x55;
  mbr[511] = 0xAA;
  add_write(plan, 0, sector_size, mbr);
  add_write(plan, 2ull * sector_size, array_sectors * sector_size, array);
  add_write(plan, 1ull * sector_size, sector_size, primary);
  add_write(plan, (last - array_sectors) * sector_size, array_sectors * sector_size, array);
  add_write(plan, last * sector_size, sector_size, backup);
  return DM_SUCCESS;
}

uint32_t dm_plan_set_layout(const uint8_t* request, size_t size, const uint8_t* sector0,
                            uint32_t sector_size, uint64_t disk_bytes, dm_write_plan* plan) {
  plan->count = 0;
  if (size < LAYOUT_HEADER_SIZE) return DM_INVALID_PARAMETER;
  uint32_t style = get32(request), count = get32(request + 4);
  if (count > DM_MAX_ENTRIES || LAYOUT_HEADER_SIZE + (size_t)count * PARTITION_INFO_SIZE > size)
    return DM_INVALID_PARAMETER;
  if (style == DM_MBR)
    return plan_mbr(request, size, count, sector0, sector_size, disk_bytes, plan);
  if (style == DM_GPT)
    return plan_gpt(request, size, count, sector0, sector_size, disk_bytes, plan);
  return DM_INVALID_PARAMETER;
}

/* ---- IOCTL_MOUNTMGR_QUERY_POINTS ----
 * MOUNTMGR_MOUNT_POINT (24 bytes, also the query): +0 SymbolicLinkNameOffset,
 * +4 SymbolicLinkNameLength, +8 UniqueIdOffset, +12 UniqueIdLength,
 * +16 DeviceNameOffset, +20 DeviceNameLength; offsets from the structure's
 * start. MOUNTMGR_MOUNT_POINTS: +0 Size, +4 NumberOfMountPoints,
 * +8 MountPoints[] with offsets from the answer's start. */

typedef struct {
  const uint8_t* link;
  size_t link_bytes;
  const uint8_t* device;
  size_t device_bytes;
  const uint8_t* id;
  size_t id_bytes;
} point_view;

static size_t wide_bytes(const uint16_t* text) {
  size_t n = 0;
  while (text[n]) ++n;
  return n * 2;
}

static uint16_t upper(uint16_t c) { return (c >= 'a' && c <= 'z') ? (uint16_t)(c - 32) : c; }

static int same_name(const uint8_t* a, size_t a_bytes, const uint8_t* b, size_t b_bytes) {
  if (a_bytes != b_bytes) return 0;
  for (size_t i = 0; i + 1 < a_bytes; i += 2)
    if (upper(get16(a + i)) != upper(get16(b + i))) return 0;
  return 1;
}

static int matches(const point_view* p, const point_view* spec) {
  if (spec->link && !same_name(spec->link, spec->link_bytes, p->link, p->link_bytes)) return 0;
  if (spec->device && !same_name(spec->device, spec->device_bytes, p->device, p->device_bytes))
    return 0;
  if (spec->id && (spec->id_bytes != p->id_bytes || memcmp(spec->id, p->id, p->id_bytes))) return 0;
  return 1;
}

/* A name of `bytes` at `offset` within `size`, or 0 when it does not fit. */
static int field(const uint8_t* base, size_t size, uint32_t offset, uint16_t bytes,
                 const uint8_t** out) {
  if (!offset) {
    *out = NULL;
    return 1;
  }
  if (offset > size || bytes > size - offset) return 0;
  *out = base + offset;
  return 1;
}

#define MAX_POINTS 128

uint32_t dm_merge_points(const uint8_t* query, size_t query_size, const uint8_t* lower,
                         size_t lower_size, const dm_point* ours, unsigned our_count, dm_out* out) {
  point_view spec, points[MAX_POINTS];
  unsigned count = 0;
  if (query_size < 24 || out->size < 8) return DM_INVALID_PARAMETER;
  spec.link_bytes = get16(query + 4);
  spec.id_bytes = get16(query + 12);
  spec.device_bytes = get16(query + 20);
  if (!field(query, query_size, get32(query), (uint16_t)spec.link_bytes, &spec.link) ||
      !field(query, query_size, get32(query + 8), (uint16_t)spec.id_bytes, &spec.id) ||
      !field(query, query_size, get32(query + 16), (uint16_t)spec.device_bytes, &spec.device))
    return DM_INVALID_PARAMETER;

  /* The devices whose drive letters the test disk takes over. */
  const uint8_t* hidden[DM_MAX_VOLUMES * 2];
  size_t hidden_bytes[DM_MAX_VOLUMES * 2];
  unsigned hidden_count = 0;
  uint32_t lower_count = lower_size >= 8 ? get32(lower + 4) : 0;
  if (lower_size < 8 + (size_t)lower_count * 24) return DM_INVALID_PARAMETER;
  point_view theirs[MAX_POINTS];
  unsigned their_count = 0;
  for (uint32_t i = 0; i < lower_count && their_count < MAX_POINTS; ++i) {
    const uint8_t* mp = lower + 8 + i * 24;
    point_view* p = &theirs[their_count];
    p->link_bytes = get16(mp + 4);
    p->id_bytes = get16(mp + 12);
    p->device_bytes = get16(mp + 20);
    if (!field(lower, lower_size, get32(mp), (uint16_t)p->link_bytes, &p->link) ||
        !field(lower, lower_size, get32(mp + 8), (uint16_t)p->id_bytes, &p->id) ||
        !field(lower, lower_size, get32(mp + 16), (uint16_t)p->device_bytes, &p->device) ||
        !p->link || !p->device)
      continue;
    their_count++;
    for (unsigned k = 0; k < our_count; ++k) {
      if (same_name(p->link, p->link_bytes, (const uint8_t*)ours[k].link,
                    wide_bytes(ours[k].link)) &&
          hidden_count < DM_MAX_VOLUMES * 2) {
        hidden[hidden_count] = p->device;
        hidden_bytes[hidden_count++] = p->device_bytes;
      }
    }
  }
  for (unsigned i = 0; i < their_count; ++i) {
    int keep = 1;
    for (unsigned h = 0; h < hidden_count; ++h)
      if (same_name(theirs[i].device, theirs[i].device_bytes, hidden[h], hidden_bytes[h])) keep = 0;
    if (keep && count < MAX_POINTS) points[count++] = theirs[i];
  }
  for (unsigned k = 0; k < our_count && count < MAX_POINTS; ++k) {
    point_view p;
    p.link = (const uint8_t*)ours[k].link;
    p.link_bytes = wide_bytes(ours[k].link);
    p.device = (const uint8_t*)ours[k].device;
    p.device_bytes = wide_bytes(ours[k].device);
    p.id = ours[k].id;
    p.id_bytes = ours[k].id_length;
    if (matches(&p, &spec)) points[count++] = p;
  }

  size_t size = 8 + (size_t)count * 24;
  for (unsigned i = 0; i < count; ++i) {
    size += points[i].link_bytes + points[i].device_bytes + points[i].id_bytes;
    size = (size + 1) & ~(size_t)1;
  }
  if (size > out->size) {
    put32(out->data, (uint32_t)size);
    out->written = 4;
    return DM_BUFFER_OVERFLOW;
  }
  memset(out->data, 0, size);
  put32(out->data + 4, count);
  size_t pos = 8 + (size_t)count * 24;
  for (unsigned i = 0; i < count; ++i) {
    uint8_t* mp = out->data + 8 + i * 24;
    put32(mp + 16, (uint32_t)pos);
    put16(mp + 20, (uint16_t)points[i].device_bytes);
    memcpy(out->data + pos, points[i].device, points[i].device_bytes);
    pos += points[i].device_bytes;
    put32(mp, (uint32_t)pos);
    put16(mp + 4, (uint16_t)points[i].link_bytes);
    memcpy(out->data + pos, points[i].link, points[i].link_bytes);
    pos += points[i].link_bytes;
    put32(mp + 8, (uint32_t)pos);
    put16(mp + 12, (uint16_t)points[i].id_bytes);
    if (points[i].id_bytes) memcpy(out->data + pos, points[i].id, points[i].id_bytes);
    pos += points[i].id_bytes;
    pos = (pos + 1) & ~(size_t)1;
  }
  put32(out->data, (uint32_t)pos);
  out->written = pos;
  return DM_SUCCESS;
}
