// The test disk driver's answers, apart from the kernel.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "disk_model.h"

namespace {

struct Disk {
  std::vector<uint8_t> bytes;
  uint32_t sector;
};

int readDisk(void* context, uint64_t offset, uint32_t length, uint8_t* out) {
  const Disk* disk = static_cast<const Disk*>(context);
  if (offset + length > disk->bytes.size()) return 1;
  std::memcpy(out, disk->bytes.data() + offset, length);
  return 0;
}

void put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void put64(std::vector<uint8_t>& b, size_t at, uint64_t v) {
  put32(b, at, static_cast<uint32_t>(v));
  put32(b, at + 4, static_cast<uint32_t>(v >> 32));
}
uint32_t get32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t(p[3]) << 24);
}
uint64_t get64(const uint8_t* p) { return get32(p) | (uint64_t(get32(p + 4)) << 32); }

void slot(std::vector<uint8_t>& sector, size_t base, int index, uint8_t type, uint32_t lba,
          uint32_t count, bool boot = false) {
  const size_t at = base + 446 + index * 16;
  sector[at] = boot ? 0x80 : 0;
  sector[at + 4] = type;
  put32(sector, at + 8, lba);
  put32(sector, at + 12, count);
}

void apply(Disk& disk, const dm_write_plan& plan) {
  for (unsigned i = 0; i < plan.count; ++i)
    std::memcpy(disk.bytes.data() + plan.writes[i].offset, plan.writes[i].data,
                plan.writes[i].length);
}

TEST(DiskModel, ConfigurationLinesAndTheirRefusals) {
  const std::string good =
      "# a disk\nsector 4096\ndisk 67108864 /dev/loop3\n"
      "volume 1048576 8388608 /dev/loop4 s\nvolume 9437184 4096 /dev/loop5 -\n";
  dm_config config;
  const char* why = nullptr;
  ASSERT_EQ(dm_parse_config(good.data(), good.size(), &config, &why), 0) << why;
  EXPECT_EQ(config.sector_size, 4096u);
  EXPECT_STREQ(config.disk_device, "/dev/loop3");
  ASSERT_EQ(config.volume_count, 2u);
  EXPECT_EQ(config.volumes[0].letter, 'S');
  EXPECT_EQ(config.volumes[1].letter, 0);
  const char* bad[] = {
      "sector 1024\ndisk 4096 /dev/x\n",                                          // line 1
      "disk 4096 /dev/x\nvolume 0 8192 /dev/y S\n",                               // past the end
      "disk 65536 /dev/x\nvolume 512 1024 /dev/y S\nvolume 1024 512 /dev/z T\n",  // overlap
      "disk 65536 /dev/x\nvolume 100 1024 /dev/y S\n",   // not whole sectors
      "disk 65536 /dev/x\nvolume 512 1024 /dev/y ST\n",  // letter
      "disk 65536 /dev/x extra\n",
      "sector 512\n",  // no disk
  };
  for (const char* text : bad)
    EXPECT_NE(dm_parse_config(text, std::strlen(text), &config, &why), 0) << text;
}

TEST(DiskModel, AnMbrWithItsExtendedChainAsWindowsNumbersIt) {
  Disk disk{std::vector<uint8_t>(64 << 20), 512};
  auto& b = disk.bytes;
  put32(b, 440, 0x0badcafe);
  slot(b, 0, 0, 0x0c, 2048, 16384, true);
  slot(b, 0, 1, 0x0f, 20480, 61440);
  slot(b, 0, 3, 0x07, 90000, 1000);
  b[510] = 0x55, b[511] = 0xAA;
  // EBR 1 at 20480: logical at +2048, link to the next at +12288 (relative to the container).
  const size_t ebr1 = 20480 * 512, ebr2 = (20480 + 12288) * 512;
  slot(b, ebr1, 0, 0x07, 2048, 8192);
  slot(b, ebr1, 1, 0x05, 12288, 4096);
  b[ebr1 + 510] = 0x55, b[ebr1 + 511] = 0xAA;
  slot(b, ebr2, 0, 0x83, 2048, 2048);
  b[ebr2 + 510] = 0x55, b[ebr2 + 511] = 0xAA;

  dm_layout layout;
  ASSERT_EQ(dm_read_layout(readDisk, &disk, 512, b.size(), &layout), DM_SUCCESS);
  EXPECT_EQ(layout.style, DM_MBR);
  ASSERT_EQ(layout.count, 12u);  // four slots, four entries for each EBR
  EXPECT_EQ(layout.entries[0].number, 1u);
  EXPECT_TRUE(layout.entries[0].boot);
  EXPECT_EQ(layout.entries[1].number, 0u);  // the container
  EXPECT_EQ(layout.entries[2].length, 0u);  // an empty slot
  EXPECT_EQ(layout.entries[3].number, 2u);  // primaries first
  EXPECT_EQ(layout.entries[4].number, 3u);
  EXPECT_EQ(layout.entries[4].start, (20480ull + 2048) * 512);
  EXPECT_EQ(layout.entries[8].number, 4u);
  EXPECT_EQ(layout.entries[8].start, (20480ull + 12288 + 2048) * 512);
  EXPECT_EQ(dm_partition_number(&layout, (20480ull + 12288 + 2048) * 512), 4u);
  EXPECT_EQ(dm_partition_number(&layout, 12345 * 512), 0xFFFFFFFFu);

  // The answer's size grows with the entries; a buffer for the header alone is too small.
  std::vector<uint8_t> buffer(48 + 12 * 144);
  dm_out small{buffer.data(), 48 + 144, 0};
  EXPECT_EQ(dm_answer_layout(&layout, &small), DM_BUFFER_TOO_SMALL);
  EXPECT_EQ(small.written, 0u);
  dm_out out{buffer.data(), buffer.size(), 0};
  ASSERT_EQ(dm_answer_layout(&layout, &out), DM_SUCCESS);
  EXPECT_EQ(out.written, buffer.size());
  EXPECT_EQ(get32(buffer.data() + 4), 12u);
  EXPECT_EQ(get32(buffer.data() + 8), 0x0badcafeu);
  EXPECT_EQ(get64(buffer.data() + 48 + 4 * 144 + 8), (20480ull + 2048) * 512);
  EXPECT_EQ(buffer[48 + 32], 0x0c);  // type
  EXPECT_EQ(buffer[48 + 33], 1);     // boot indicator
}

TEST(DiskModel, AGptWrittenThenReadBackOnBothSectorSizes) {
  for (uint32_t sector : {512u, 4096u}) {
    Disk disk{std::vector<uint8_t>(64 << 20), sector};
    std::vector<uint8_t> request(48 + 2 * 144);
    put32(request, 0, DM_GPT);
    put32(request, 4, 2);
    for (int i = 0; i < 16; ++i) request[8 + i] = static_cast<uint8_t>(0xA0 + i);
    const uint64_t starts[] = {1 << 20, 8 << 20}, lengths[] = {4 << 20, 32 << 20};
    for (int e = 0; e < 2; ++e) {
      const size_t at = 48 + e * 144;
      put64(request, at + 8, starts[e]);
      put64(request, at + 16, lengths[e]);
      request[at + 32] = static_cast<uint8_t>(0x10 + e);  // type GUID
      request[at + 48] = static_cast<uint8_t>(0x20 + e);  // unique GUID
    }
    std::vector<uint8_t> storage(dm_set_layout_storage(sector));
    dm_write_plan plan;
    plan.storage = storage.data();
    ASSERT_EQ(dm_plan_set_layout(request.data(), request.size(), disk.bytes.data(), sector,
                                 disk.bytes.size(), &plan),
              DM_SUCCESS);
    ASSERT_EQ(plan.count, 5u);
    EXPECT_EQ(plan.writes[4].offset, disk.bytes.size() - sector);  // the backup header last
    apply(disk, plan);
    dm_layout layout;
    ASSERT_EQ(dm_read_layout(readDisk, &disk, sector, disk.bytes.size(), &layout), DM_SUCCESS);
    EXPECT_EQ(layout.style, DM_GPT);
    ASSERT_EQ(layout.count, 2u);
    EXPECT_EQ(layout.entries[1].start, 8u << 20);
    EXPECT_EQ(layout.entries[1].length, 32u << 20);
    EXPECT_EQ(layout.entries[1].number, 2u);
    EXPECT_EQ(layout.entries[1].unique_guid.bytes[0], 0x21);
    EXPECT_EQ(layout.disk_guid.bytes[15], 0xAF);
    EXPECT_EQ(layout.max_entries, 128u);
    // A damaged primary header: the backup still gives the table.
    disk.bytes[sector + 60] ^= 1;
    ASSERT_EQ(dm_read_layout(readDisk, &disk, sector, disk.bytes.size(), &layout), DM_SUCCESS);
    EXPECT_EQ(layout.style, DM_GPT);
    EXPECT_EQ(layout.count, 2u);
    // A partition outside the usable area is refused with nothing planned.
    put64(request, 48 + 8, sector);
    EXPECT_EQ(dm_plan_set_layout(request.data(), request.size(), disk.bytes.data(), sector,
                                 disk.bytes.size(), &plan),
              DM_INVALID_PARAMETER);
  }
}

TEST(DiskModel, ShortBuffersAreRefusedNotOverrun) {
  uint8_t buffer[64];
  std::memset(buffer, 0xCC, sizeof buffer);
  dm_out out{buffer, 23, 0};
  EXPECT_EQ(dm_answer_geometry(512, 1 << 20, &out), DM_BUFFER_TOO_SMALL);
  EXPECT_EQ(buffer[0], 0xCC);
  out.size = 31;
  EXPECT_EQ(dm_answer_extents(1, 0, 512, &out), DM_BUFFER_TOO_SMALL);
  out.size = 11;
  EXPECT_EQ(dm_answer_device_number(1, 2, &out), DM_BUFFER_TOO_SMALL);
  out.size = 64;
  ASSERT_EQ(dm_answer_extents(1, 1 << 20, 8 << 20, &out), DM_SUCCESS);
  EXPECT_EQ(out.written, 32u);
  EXPECT_EQ(get32(buffer), 1u);
  EXPECT_EQ(get64(buffer + 16), 1u << 20);
  EXPECT_EQ(buffer[32], 0xCC);
}

std::vector<uint8_t> points(const std::vector<std::pair<std::u16string, std::u16string>>& list) {
  std::vector<uint8_t> out(8 + list.size() * 24);
  put32(out, 4, static_cast<uint32_t>(list.size()));
  for (size_t i = 0; i < list.size(); ++i) {
    const auto& [link, device] = list[i];
    put32(out, 8 + i * 24 + 16, static_cast<uint32_t>(out.size()));
    out[8 + i * 24 + 20] = static_cast<uint8_t>(device.size() * 2);
    for (char16_t c : device) out.push_back(c & 0xFF), out.push_back(c >> 8);
    put32(out, 8 + i * 24, static_cast<uint32_t>(out.size()));
    out[8 + i * 24 + 4] = static_cast<uint8_t>(link.size() * 2);
    for (char16_t c : link) out.push_back(c & 0xFF), out.push_back(c >> 8);
  }
  put32(out, 0, static_cast<uint32_t>(out.size()));
  return out;
}

std::u16string linkAt(const std::vector<uint8_t>& answer, unsigned i) {
  const uint8_t* mp = answer.data() + 8 + i * 24;
  std::u16string text;
  for (unsigned k = 0; k < unsigned(mp[4] | (mp[5] << 8)); k += 2)
    text += static_cast<char16_t>(answer[get32(mp) + k] | (answer[get32(mp) + k + 1] << 8));
  return text;
}

TEST(DiskModel, MountPointsMergedWithTheLettersTakenOver) {
  const auto lower =
      points({{u"\\??\\Volume{00000000-0000-0000-0000-000000000043}", u"\\Device\\HarddiskVolume1"},
              {u"\\DosDevices\\C:", u"\\Device\\HarddiskVolume1"},
              {u"\\??\\Volume{00000000-0000-0000-0000-000000000053}", u"\\Device\\HarddiskVolume2"},
              {u"\\DosDevices\\S:", u"\\Device\\HarddiskVolume2"}});
  const char16_t volume[] = u"\\??\\Volume{52444b31-0000-0000-0000-000000100000}";
  const char16_t letter[] = u"\\DosDevices\\s:";
  const char16_t device[] = u"\\Device\\RoamdeckDisk1Volume1";
  const uint8_t id[4] = {1, 2, 3, 4};
  const dm_point ours[] = {
      {reinterpret_cast<const uint16_t*>(volume), reinterpret_cast<const uint16_t*>(device), id, 4},
      {reinterpret_cast<const uint16_t*>(letter), reinterpret_cast<const uint16_t*>(device), id,
       4}};
  std::vector<uint8_t> query(24, 0);
  std::vector<uint8_t> answer(1024);
  dm_out out{answer.data(), answer.size(), 0};
  ASSERT_EQ(dm_merge_points(query.data(), query.size(), lower.data(), lower.size(), ours, 2, &out),
            DM_SUCCESS);
  ASSERT_EQ(get32(answer.data() + 4), 4u);  // C:'s two, ours two; the old S: gone
  EXPECT_EQ(linkAt(answer, 1), u"\\DosDevices\\C:");
  EXPECT_EQ(linkAt(answer, 2), volume);
  EXPECT_EQ(get32(answer.data()), out.written);

  // Too small: the size needed, and nothing else.
  dm_out small{answer.data(), 40, 0};
  EXPECT_EQ(
      dm_merge_points(query.data(), query.size(), lower.data(), lower.size(), ours, 2, &small),
      DM_BUFFER_OVERFLOW);
  EXPECT_EQ(small.written, 4u);
  EXPECT_EQ(get32(answer.data()), out.written);

  // A query by device name finds both names of our volume, in any case.
  std::vector<uint8_t> byDevice(24);
  put32(byDevice, 16, 24);
  const std::u16string upper = u"\\DEVICE\\ROAMDECKDISK1VOLUME1";
  byDevice[20] = static_cast<uint8_t>(upper.size() * 2);
  for (char16_t c : upper) byDevice.push_back(c & 0xFF), byDevice.push_back(c >> 8);
  const auto none = points({});
  dm_out found{answer.data(), answer.size(), 0};
  ASSERT_EQ(
      dm_merge_points(byDevice.data(), byDevice.size(), none.data(), none.size(), ours, 2, &found),
      DM_SUCCESS);
  EXPECT_EQ(get32(answer.data() + 4), 2u);
  EXPECT_EQ(linkAt(answer, 1), letter);
}

}  // namespace
