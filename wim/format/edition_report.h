// The editions of an image as a person reads them: one block per image with
// what its XML data says (name, description, edition ID, architecture,
// languages, version, counts), and the lookup of an edition by its name.
// The reading is the information query's (wim_info.h); only the report
// differs.
#pragma once

#include <cstdint>
#include <string>

#include "wim/format/wim_info.h"

namespace wim {

// A summary of the file, then one block per image, blocks apart by an empty
// line; every line "Label:  value" and ending in "\n". Properties the XML
// data does not hold are left out; index and name are always there.
std::string formatEditions(const std::string& imagePath, const WimInfo& info);

// "x86_64" for the ARCH number 9 and so on; the number itself when unknown.
std::string architectureName(const std::string& arch);

enum class NameMatch { Found, Unknown, Ambiguous };

// The image whose NAME is exactly `name` (byte for byte, letter case
// included); `index` is set only when exactly one image has it.
NameMatch findImageByName(const ImageXml& xml, const std::string& name, std::uint32_t& index);

// One line per image, "  <index>  <name>", for a message that lists them.
std::string editionList(const ImageXml& xml);

}  // namespace wim
