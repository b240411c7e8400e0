// Marks an NTFS volume dirty, as Windows leaves one it did not close:
//   mark_volume_dirty <device>
// For the refusals of the direct apply.
#include <cstdio>
#include <ctime>

#include <sys/stat.h>  // before libntfs-3g, which defines timespec without it

// clang-format off
extern "C" {
#include <ntfs-3g/types.h>
#include <ntfs-3g/layout.h>
#include <ntfs-3g/volume.h>
}
// clang-format on

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <device>\n", argv[0]);
    return 2;
  }
  ntfs_volume* volume = ntfs_mount(argv[1], NTFS_MNT_NONE);
  if (!volume) {
    std::perror(argv[1]);
    return 1;
  }
  const int marked = ntfs_volume_write_flags(volume, volume->flags | VOLUME_IS_DIRTY);
  if (ntfs_umount(volume, FALSE) != 0 || marked != 0) {
    std::perror(argv[1]);
    return 1;
  }
  return 0;
}
