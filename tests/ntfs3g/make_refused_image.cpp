// Writes an image whose security descriptor and reparse data ntfs-3g refuses
// (a descriptor of zero bytes, which is no revision 1 one; a symbolic link
// whose name lies outside its data), for the apply's exit code 14:
//   make_refused_image <image.wim>
#include <cstdio>

#include "tests/wim/wim_build.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  wimtest::BuildEntry refusedSecurity = wimtest::fileEntry(u"refused-security.txt", "data");
  refusedSecurity.securityId = 0;
  wimtest::BuildEntry refusedLink;
  refusedLink.name = u"refused-link";
  refusedLink.attributes = wimtest::kReparse | wimtest::kNormalFile;
  refusedLink.reparseTag = 0xA000000C;
  // +0 substitute name at 0x400, 16 bytes; +4 print name at 0, 0 bytes; +8 flags
  refusedLink.data = {0x00, 0x04, 0x10, 0x00, 0, 0, 0, 0, 1, 0, 0, 0};
  const wimtest::Bytes wim = wimtest::assembleWim(wimtest::buildImage(
      {refusedSecurity, refusedLink, wimtest::fileEntry(u"fine.txt", "fine")}, 1));
  std::FILE* out = std::fopen(argv[1], "wb");
  if (!out) return 1;
  const bool written = std::fwrite(wim.data(), 1, wim.size(), out) == wim.size();
  return std::fclose(out) == 0 && written ? 0 : 1;
}
