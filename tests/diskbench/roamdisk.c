/* roamdisk.sys: a test-only disk driver for Wine, which answers no disk or
 * volume request itself. It presents a disk image, as the Linux block devices
 * that the bench attached for it, as \\.\PhysicalDrive1 and the image's
 * partitions as volumes (\\?\Volume{...}, and the drive letters the bench
 * chose), and it adds those volumes to what the mount manager reports, so
 * that FindFirstVolumeW and the volume-name calls agree with it.
 *
 * Every byte range of the disk is reached through one Linux device only: a
 * volume's through its own (the one the bench mounted), the rest through the
 * disk's, so that raw access and the mounts see the same bytes.
 *
 * One routine per major function, each completing its IRP on every path. The
 * answers themselves are built by disk_model.c. */
#include <ntifs.h>
#include <ntdddisk.h>
#include <ntddstor.h>
#include <mountmgr.h>
#include <ntddvol.h>
#include <stddef.h>

#include "disk_model.h"

/* The answers are laid out by hand; they must match the system's headers. */
_Static_assert(sizeof(DISK_GEOMETRY) == 24, "DISK_GEOMETRY");
_Static_assert(FIELD_OFFSET(DISK_GEOMETRY_EX, Data) == 32, "DISK_GEOMETRY_EX");
_Static_assert(sizeof(PARTITION_INFORMATION_EX) == 144, "PARTITION_INFORMATION_EX");
_Static_assert(FIELD_OFFSET(PARTITION_INFORMATION_EX, Gpt.Name) == 72, "GPT name");
_Static_assert(FIELD_OFFSET(PARTITION_INFORMATION_EX, Mbr.HiddenSectors) == 36, "hidden");
_Static_assert(FIELD_OFFSET(DRIVE_LAYOUT_INFORMATION_EX, PartitionEntry) == 48, "layout");
_Static_assert(FIELD_OFFSET(DRIVE_LAYOUT_INFORMATION_EX, Gpt.MaxPartitionCount) == 40, "max");
_Static_assert(sizeof(STORAGE_DEVICE_NUMBER) == 12, "STORAGE_DEVICE_NUMBER");
_Static_assert(sizeof(VOLUME_DISK_EXTENTS) == 32, "VOLUME_DISK_EXTENTS");
_Static_assert(sizeof(MOUNTMGR_MOUNT_POINT) == 24, "MOUNTMGR_MOUNT_POINT");
_Static_assert(FIELD_OFFSET(MOUNTMGR_MOUNT_POINTS, MountPoints) == 8, "MOUNTMGR_MOUNT_POINTS");

#define TAG 0x6b645252u /* "RRdk" */
#define DISK_NUMBER 1

/* Exported by ntoskrnl; the headers declare it for ntifs users only. */
extern __declspec(dllimport) POBJECT_TYPE* IoDriverObjectType;

#ifndef IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS
#define IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS CTL_CODE(0x56, 0, METHOD_BUFFERED, FILE_ANY_ACCESS)
#endif
#ifndef FSCTL_ALLOW_EXTENDED_DASD_IO
#define FSCTL_ALLOW_EXTENDED_DASD_IO \
  CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 32, METHOD_NEITHER, FILE_ANY_ACCESS)
#endif

enum kind { KIND_DISK, KIND_VOLUME, KIND_FILTER };

typedef struct {
  enum kind kind;
  unsigned index;       /* the volume's, for KIND_VOLUME */
  DEVICE_OBJECT* lower; /* for KIND_FILTER: the mount manager */
} extension;

/* The one instance: a disk and its volumes. */
static dm_config config;
static dm_layout layout;
static HANDLE disk_file;
static HANDLE volume_files[DM_MAX_VOLUMES];
static DEVICE_OBJECT* disk_device;
static DEVICE_OBJECT* volume_devices[DM_MAX_VOLUMES];
static DEVICE_OBJECT* filter_device;
static WCHAR volume_names[DM_MAX_VOLUMES][64]; /* \Device\RoamdeckDisk1Volume<n> */
static WCHAR volume_links[DM_MAX_VOLUMES][64]; /* \??\Volume{...} */
static WCHAR letter_links[DM_MAX_VOLUMES][16]; /* \DosDevices\X: */
static UCHAR volume_ids[DM_MAX_VOLUMES][24];

static void to_wide(WCHAR* out, const char* in, size_t size) {
  size_t i = 0;
  for (; in[i] && i + 1 < size; ++i) out[i] = (WCHAR)(unsigned char)in[i];
  out[i] = 0;
}

static void hex(char* out, ULONGLONG value, int digits) {
  static const char digit[] = "0123456789abcdef";
  for (int i = digits - 1; i >= 0; --i) {
    out[i] = digit[value & 15];
    value >>= 4;
  }
}

static NTSTATUS open_unix(const char* path, HANDLE* handle) {
  WCHAR name[DM_PATH_MAX + 16] = L"\\??\\unix";
  to_wide(name + 8, path, DM_PATH_MAX);
  UNICODE_STRING string;
  RtlInitUnicodeString(&string, name);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &string, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL,
                             NULL);
  IO_STATUS_BLOCK io;
  return ZwCreateFile(handle, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, &attributes, &io, NULL,
                      FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                      FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, NULL, 0);
}

static NTSTATUS file_io(HANDLE file, BOOLEAN write, ULONGLONG offset, ULONG length, UCHAR* buffer) {
  IO_STATUS_BLOCK io;
  LARGE_INTEGER at;
  at.QuadPart = (LONGLONG)offset;
  NTSTATUS status = write ? ZwWriteFile(file, NULL, NULL, NULL, &io, buffer, length, &at, NULL)
                          : ZwReadFile(file, NULL, NULL, NULL, &io, buffer, length, &at, NULL);
  if (NT_SUCCESS(status) && io.Information != length) status = STATUS_DEVICE_DATA_ERROR;
  return status;
}

/* A range of the disk, each piece through the device that owns it. */
static NTSTATUS disk_io(BOOLEAN write, ULONGLONG offset, ULONG length, UCHAR* buffer) {
  while (length) {
    HANDLE file = disk_file;
    ULONGLONG at = offset, piece = length;
    for (unsigned i = 0; i < config.volume_count; ++i) {
      const dm_volume* v = &config.volumes[i];
      if (offset >= v->start && offset < v->start + v->length) {
        file = volume_files[i];
        at = offset - v->start;
        if (piece > v->start + v->length - offset) piece = v->start + v->length - offset;
      } else if (offset < v->start && offset + piece > v->start) {
        piece = v->start - offset;
      }
    }
    NTSTATUS status = file_io(file, write, at, (ULONG)piece, buffer);
    if (!NT_SUCCESS(status)) return status;
    offset += piece;
    buffer += piece;
    length -= (ULONG)piece;
  }
  return STATUS_SUCCESS;
}

static int read_for_model(void* context, uint64_t offset, uint32_t length, uint8_t* out) {
  (void)context;
  return NT_SUCCESS(disk_io(FALSE, offset, length, out)) ? 0 : 1;
}

static void reread_layout(void) {
  if (dm_read_layout(read_for_model, NULL, config.sector_size, config.disk_bytes, &layout) !=
      DM_SUCCESS)
    layout.style = DM_RAW, layout.count = 0;
}

static NTSTATUS complete(IRP* irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

static extension* ext(DEVICE_OBJECT* device) { return (extension*)device->DeviceExtension; }

static NTSTATUS pass_down(DEVICE_OBJECT* device, IRP* irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(ext(device)->lower, irp);
}

static NTSTATUS on_create_close(DEVICE_OBJECT* device, IRP* irp) {
  if (ext(device)->kind == KIND_FILTER) return pass_down(device, irp);
  return complete(irp, STATUS_SUCCESS, 0);
}

static void* buffer_of(IRP* irp) {
  return irp->AssociatedIrp.SystemBuffer ? irp->AssociatedIrp.SystemBuffer : irp->UserBuffer;
}

static NTSTATUS on_read_write(DEVICE_OBJECT* device, IRP* irp) {
  extension* e = ext(device);
  if (e->kind == KIND_FILTER) return pass_down(device, irp);
  IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
  const BOOLEAN write = stack->MajorFunction == IRP_MJ_WRITE;
  const ULONG length = write ? stack->Parameters.Write.Length : stack->Parameters.Read.Length;
  const LONGLONG offset = write ? stack->Parameters.Write.ByteOffset.QuadPart
                                : stack->Parameters.Read.ByteOffset.QuadPart;
  const ULONGLONG size = e->kind == KIND_DISK ? config.disk_bytes : config.volumes[e->index].length;
  /* Sectors only, and nothing past the end, as a disk answers. */
  if (offset < 0 || (ULONGLONG)offset % config.sector_size || length % config.sector_size)
    return complete(irp, STATUS_INVALID_PARAMETER, 0);
  if ((ULONGLONG)offset > size || length > size - (ULONGLONG)offset)
    return complete(irp, STATUS_INVALID_PARAMETER, 0);
  if (!length) return complete(irp, STATUS_SUCCESS, 0);
  UCHAR* buffer = buffer_of(irp);
  NTSTATUS status;
  if (e->kind == KIND_DISK)
    status = disk_io(write, (ULONGLONG)offset, length, buffer);
  else
    status = file_io(volume_files[e->index], write, (ULONGLONG)offset, length, buffer);
  if (NT_SUCCESS(status) && write && e->kind == KIND_DISK && (ULONGLONG)offset < 64 * 1024)
    reread_layout();
  return complete(irp, status, NT_SUCCESS(status) ? length : 0);
}

static NTSTATUS flush_all(void) {
  IO_STATUS_BLOCK io;
  NTSTATUS result = ZwFlushBuffersFile(disk_file, &io);
  for (unsigned i = 0; i < config.volume_count; ++i) {
    NTSTATUS status = ZwFlushBuffersFile(volume_files[i], &io);
    if (NT_SUCCESS(result)) result = status;
  }
  return result;
}

static NTSTATUS on_flush(DEVICE_OBJECT* device, IRP* irp) {
  if (ext(device)->kind == KIND_FILTER) return pass_down(device, irp);
  return complete(irp, flush_all(), 0);
}

static NTSTATUS set_layout(IRP* irp, ULONG size) {
  static UCHAR sector0[4096];
  NTSTATUS status = disk_io(FALSE, 0, config.sector_size, sector0);
  if (!NT_SUCCESS(status)) return status;
  dm_write_plan plan;
  plan.storage =
      ExAllocatePoolWithTag(NonPagedPool, dm_set_layout_storage(config.sector_size), TAG);
  if (!plan.storage) return STATUS_INSUFFICIENT_RESOURCES;
  status = (NTSTATUS)dm_plan_set_layout(buffer_of(irp), size, sector0, config.sector_size,
                                        config.disk_bytes, &plan);
  for (unsigned i = 0; NT_SUCCESS(status) && i < plan.count; ++i)
    status =
        disk_io(TRUE, plan.writes[i].offset, plan.writes[i].length, (UCHAR*)plan.writes[i].data);
  ExFreePool(plan.storage);
  if (NT_SUCCESS(status)) status = flush_all();
  reread_layout();
  return status;
}

static NTSTATUS on_control(DEVICE_OBJECT* device, IRP* irp);

/* The mount manager's answer to the same query, into a pool buffer. */
static NTSTATUS ask_mount_manager(DEVICE_OBJECT* lower, void* query, ULONG query_size,
                                  UCHAR** answer, ULONG* answer_size) {
  ULONG size = 4096;
  for (int tries = 0; tries < 4; ++tries) {
    if (size < query_size) size = query_size;
    UCHAR* buffer = ExAllocatePoolWithTag(NonPagedPool, size, TAG);
    if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
    /* One buffer for the query and the answer: Wine hands the input buffer
     * itself to the driver as the system buffer, so it must hold both. */
    RtlCopyMemory(buffer, query, query_size);
    KEVENT event;
    IO_STATUS_BLOCK io;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IRP* irp = IoBuildDeviceIoControlRequest(IOCTL_MOUNTMGR_QUERY_POINTS, lower, buffer, query_size,
                                             buffer, size, FALSE, &event, &io);
    if (!irp) {
      ExFreePool(buffer);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = IoCallDriver(lower, irp);
    if (status == STATUS_PENDING) {
      KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
      status = io.Status;
    }
    if (status == STATUS_BUFFER_OVERFLOW && io.Information >= 4) {
      size = *(ULONG*)buffer + 1024;
      ExFreePool(buffer);
      continue;
    }
    if (!NT_SUCCESS(status)) {
      ExFreePool(buffer);
      return status;
    }
    *answer = buffer;
    *answer_size = (ULONG)io.Information;
    return STATUS_SUCCESS;
  }
  return STATUS_BUFFER_OVERFLOW;
}

static NTSTATUS query_points(DEVICE_OBJECT* device, IRP* irp) {
  IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
  const ULONG in_size = stack->Parameters.DeviceIoControl.InputBufferLength;
  const ULONG out_size = stack->Parameters.DeviceIoControl.OutputBufferLength;
  UCHAR* system = irp->AssociatedIrp.SystemBuffer;
  if (in_size < sizeof(MOUNTMGR_MOUNT_POINT) || !system)
    return complete(irp, STATUS_INVALID_PARAMETER, 0);
  UCHAR* query = ExAllocatePoolWithTag(NonPagedPool, in_size, TAG);
  if (!query) return complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
  RtlCopyMemory(query, system, in_size);
  UCHAR* lower_answer = NULL;
  ULONG lower_size = 0;
  NTSTATUS status =
      ask_mount_manager(ext(device)->lower, query, in_size, &lower_answer, &lower_size);
  /* The mount manager knowing none of the asked points is no failure here:
   * the test disk may still have them. */
  static const UCHAR none[8] = {8, 0, 0, 0, 0, 0, 0, 0};
  const UCHAR* lower = NT_SUCCESS(status) ? lower_answer : none;
  if (!NT_SUCCESS(status)) lower_size = sizeof none;
  dm_point ours[DM_MAX_VOLUMES * 2];
  unsigned count = 0;
  for (unsigned i = 0; i < config.volume_count; ++i) {
    ours[count].link = (const uint16_t*)volume_links[i];
    ours[count].device = (const uint16_t*)volume_names[i];
    ours[count].id = volume_ids[i];
    ours[count++].id_length = sizeof volume_ids[i];
    if (config.volumes[i].letter) {
      ours[count].link = (const uint16_t*)letter_links[i];
      ours[count].device = (const uint16_t*)volume_names[i];
      ours[count].id = volume_ids[i];
      ours[count++].id_length = sizeof volume_ids[i];
    }
  }
  dm_out out = {system, out_size, 0};
  status = (NTSTATUS)dm_merge_points(query, in_size, lower, lower_size, ours, count, &out);
  if (lower_answer) ExFreePool(lower_answer);
  ExFreePool(query);
  return complete(irp, status, out.written);
}

static NTSTATUS on_control(DEVICE_OBJECT* device, IRP* irp) {
  extension* e = ext(device);
  IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
  const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  if (e->kind == KIND_FILTER) {
    if (code == IOCTL_MOUNTMGR_QUERY_POINTS) return query_points(device, irp);
    return pass_down(device, irp);
  }
  dm_out out = {irp->AssociatedIrp.SystemBuffer,
                stack->Parameters.DeviceIoControl.OutputBufferLength, 0};
  if (!out.data) out.size = 0;
  const BOOLEAN volume = e->kind == KIND_VOLUME;
  const dm_volume* v = volume ? &config.volumes[e->index] : NULL;
  uint32_t status;
  switch (code) {
    case IOCTL_DISK_GET_DRIVE_GEOMETRY:
      status = dm_answer_geometry(config.sector_size, config.disk_bytes, &out);
      break;
    case IOCTL_DISK_GET_DRIVE_GEOMETRY_EX:
      status = dm_answer_geometry_ex(config.sector_size, config.disk_bytes, &layout, &out);
      break;
    case IOCTL_DISK_GET_LENGTH_INFO:
      status = dm_answer_length(volume ? v->length : config.disk_bytes, &out);
      break;
    case IOCTL_DISK_GET_DRIVE_LAYOUT_EX:
      status = volume ? DM_INVALID_DEVICE_REQUEST : dm_answer_layout(&layout, &out);
      break;
    case IOCTL_DISK_SET_DRIVE_LAYOUT_EX:
      if (volume) return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
      return complete(irp, set_layout(irp, stack->Parameters.DeviceIoControl.InputBufferLength), 0);
    case IOCTL_DISK_GET_PARTITION_INFO_EX:
      status = dm_answer_partition_info(&layout, !volume, volume ? v->start : 0,
                                        volume ? v->length : config.disk_bytes, &out);
      break;
    case IOCTL_DISK_UPDATE_PROPERTIES:
      reread_layout();
      status = DM_SUCCESS;
      break;
    case IOCTL_STORAGE_GET_DEVICE_NUMBER:
      status = dm_answer_device_number(DISK_NUMBER,
                                       volume ? dm_partition_number(&layout, v->start) : 0, &out);
      break;
    case IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS:
      status = volume ? dm_answer_extents(DISK_NUMBER, v->start, v->length, &out)
                      : DM_INVALID_DEVICE_REQUEST;
      break;
    case IOCTL_DISK_IS_WRITABLE:
    case IOCTL_STORAGE_CHECK_VERIFY:
    case IOCTL_DISK_CHECK_VERIFY:
    case FSCTL_ALLOW_EXTENDED_DASD_IO:
    case FSCTL_LOCK_VOLUME:
    case FSCTL_UNLOCK_VOLUME:
    case FSCTL_DISMOUNT_VOLUME:
      status = DM_SUCCESS;
      break;
    default:
      status = DM_INVALID_DEVICE_REQUEST;
  }
  return complete(irp, (NTSTATUS)status, out.written);
}

static NTSTATUS on_other(DEVICE_OBJECT* device, IRP* irp) {
  if (ext(device)->kind == KIND_FILTER) return pass_down(device, irp);
  return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

static void replace_link(const WCHAR* link, const WCHAR* target) {
  UNICODE_STRING l, t;
  RtlInitUnicodeString(&l, link);
  RtlInitUnicodeString(&t, target);
  /* A link keeps its old target when made again: remove it first. */
  IoDeleteSymbolicLink(&l);
  IoCreateSymbolicLink(&l, &t);
}

static NTSTATUS make_device(DRIVER_OBJECT* driver, const WCHAR* name, DEVICE_TYPE type,
                            DEVICE_OBJECT** device) {
  UNICODE_STRING string;
  RtlInitUnicodeString(&string, name);
  NTSTATUS status =
      IoCreateDevice(driver, sizeof(extension), name ? &string : NULL, type, 0, FALSE, device);
  if (NT_SUCCESS(status)) {
    RtlZeroMemory((*device)->DeviceExtension, sizeof(extension));
    (*device)->Flags |= DO_BUFFERED_IO;
    (*device)->Flags &= ~DO_DEVICE_INITIALIZING;
  }
  return status;
}

/* The mount manager's own device, in whose process this driver runs. */
static DEVICE_OBJECT* mount_manager(void) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"\\Driver\\mountmgr");
  DRIVER_OBJECT* driver = NULL;
  if (!NT_SUCCESS(ObReferenceObjectByName(&name, OBJ_CASE_INSENSITIVE, NULL, 0, *IoDriverObjectType,
                                          KernelMode, NULL, (void**)&driver)))
    return NULL;
  DEVICE_OBJECT* found = NULL;
  for (DEVICE_OBJECT* d = driver->DeviceObject; d && !found; d = d->NextDevice) {
    UCHAR buffer[512];
    ULONG size = 0;
    OBJECT_NAME_INFORMATION* info = (OBJECT_NAME_INFORMATION*)buffer;
    if (!NT_SUCCESS(ObQueryNameString(d, info, sizeof buffer, &size))) continue;
    UNICODE_STRING wanted;
    RtlInitUnicodeString(&wanted, L"\\Device\\MountPointManager");
    if (RtlCompareUnicodeString(&info->Name, &wanted, TRUE) == 0) found = d;
  }
  ObDereferenceObject(driver);
  return found;
}

static void unload(DRIVER_OBJECT* driver) {
  (void)driver;
  if (filter_device) {
    IoDetachDevice(ext(filter_device)->lower);
    IoDeleteDevice(filter_device);
  }
  for (unsigned i = 0; i < config.volume_count; ++i) {
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, volume_links[i]);
    IoDeleteSymbolicLink(&link);
    if (config.volumes[i].letter) {
      RtlInitUnicodeString(&link, letter_links[i]);
      IoDeleteSymbolicLink(&link);
    }
    if (volume_devices[i]) IoDeleteDevice(volume_devices[i]);
    if (volume_files[i]) ZwClose(volume_files[i]);
  }
  UNICODE_STRING link;
  RtlInitUnicodeString(&link, L"\\??\\PhysicalDrive1");
  IoDeleteSymbolicLink(&link);
  if (disk_device) IoDeleteDevice(disk_device);
  if (disk_file) ZwClose(disk_file);
}

/* The configuration file that the service's ConfigFile value names. */
static NTSTATUS read_config(UNICODE_STRING* registry) {
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, registry, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL,
                             NULL);
  HANDLE key;
  NTSTATUS status = ZwOpenKey(&key, KEY_READ, &attributes);
  if (!NT_SUCCESS(status)) return status;
  UNICODE_STRING value;
  RtlInitUnicodeString(&value, L"ConfigFile");
  UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + DM_PATH_MAX * 2];
  ULONG size = 0;
  status = ZwQueryValueKey(key, &value, KeyValuePartialInformation, buffer, sizeof buffer, &size);
  ZwClose(key);
  if (!NT_SUCCESS(status)) return status;
  KEY_VALUE_PARTIAL_INFORMATION* info = (KEY_VALUE_PARTIAL_INFORMATION*)buffer;
  char path[DM_PATH_MAX];
  ULONG n = 0;
  for (; n + 1 < DM_PATH_MAX && n * 2 < info->DataLength && ((WCHAR*)info->Data)[n]; ++n)
    path[n] = (char)((WCHAR*)info->Data)[n];
  path[n] = 0;
  HANDLE file;
  status = open_unix(path, &file);
  if (!NT_SUCCESS(status)) return status;
  static char text[16384];
  IO_STATUS_BLOCK io;
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  status = ZwReadFile(file, NULL, NULL, NULL, &io, text, sizeof text - 1, &zero, NULL);
  ZwClose(file);
  if (!NT_SUCCESS(status)) return status;
  const char* why = NULL;
  if (dm_parse_config(text, io.Information, &config, &why)) return STATUS_INVALID_PARAMETER;
  return STATUS_SUCCESS;
}

NTSTATUS WINAPI DriverEntry(DRIVER_OBJECT* driver, UNICODE_STRING* registry) {
  NTSTATUS status = read_config(registry);
  if (!NT_SUCCESS(status)) return status;
  for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) driver->MajorFunction[i] = on_other;
  driver->MajorFunction[IRP_MJ_CREATE] = on_create_close;
  driver->MajorFunction[IRP_MJ_CLOSE] = on_create_close;
  driver->MajorFunction[IRP_MJ_CLEANUP] = on_create_close;
  driver->MajorFunction[IRP_MJ_READ] = on_read_write;
  driver->MajorFunction[IRP_MJ_WRITE] = on_read_write;
  driver->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = on_flush;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = on_control;
  driver->MajorFunction[IRP_MJ_FILE_SYSTEM_CONTROL] = on_control;
  driver->DriverUnload = unload;

  if (!NT_SUCCESS(status = open_unix(config.disk_device, &disk_file))) goto failed;
  for (unsigned i = 0; i < config.volume_count; ++i)
    if (!NT_SUCCESS(status = open_unix(config.volumes[i].device, &volume_files[i]))) goto failed;
  reread_layout();

  status = make_device(driver, L"\\Device\\RoamdeckDisk1", FILE_DEVICE_DISK, &disk_device);
  if (!NT_SUCCESS(status)) goto failed;
  ext(disk_device)->kind = KIND_DISK;
  replace_link(L"\\??\\PhysicalDrive1", L"\\Device\\RoamdeckDisk1");

  for (unsigned i = 0; i < config.volume_count; ++i) {
    const dm_volume* v = &config.volumes[i];
    char text[64] = "\\Device\\RoamdeckDisk1Volume00";
    hex(text + 27, i + 1, 2);
    to_wide(volume_names[i], text, 64);
    /* A volume name of its own for each start: {52444b31-0000-0000-0000-<start>}. */
    char link[64] = "\\??\\Volume{52444b31-0000-0000-0000-000000000000}";
    hex(link + 35, v->start, 12);
    to_wide(volume_links[i], link, 64);
    for (int b = 0; b < 8; ++b) volume_ids[i][b] = "RDKVOL1:"[b];
    for (int b = 0; b < 8; ++b) volume_ids[i][8 + b] = (UCHAR)(v->start >> (8 * b));
    for (int b = 0; b < 8; ++b) volume_ids[i][16 + b] = (UCHAR)(v->length >> (8 * b));
    status = make_device(driver, volume_names[i], FILE_DEVICE_DISK, &volume_devices[i]);
    if (!NT_SUCCESS(status)) goto failed;
    ext(volume_devices[i])->kind = KIND_VOLUME;
    ext(volume_devices[i])->index = i;
    replace_link(volume_links[i], volume_names[i]);
    if (v->letter) {
      char letter[16] = "\\DosDevices\\X:";
      letter[12] = v->letter;
      to_wide(letter_links[i], letter, 16);
      replace_link(letter_links[i], volume_names[i]);
    }
  }

  DEVICE_OBJECT* manager = mount_manager();
  if (!manager) {
    status = STATUS_OBJECT_NAME_NOT_FOUND;
    goto failed;
  }
  status = make_device(driver, NULL, manager->DeviceType, &filter_device);
  if (!NT_SUCCESS(status)) goto failed;
  ext(filter_device)->kind = KIND_FILTER;
  ext(filter_device)->lower = IoAttachDeviceToDeviceStack(filter_device, manager);
  if (!ext(filter_device)->lower) {
    IoDeleteDevice(filter_device);
    filter_device = NULL;
    status = STATUS_NO_SUCH_DEVICE;
    goto failed;
  }
  filter_device->StackSize = (CCHAR)(ext(filter_device)->lower->StackSize + 1);
  filter_device->Flags &= ~DO_BUFFERED_IO;
  return STATUS_SUCCESS;

failed:
  unload(driver);
  return status;
}
