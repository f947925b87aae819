// Reading PE images (PE32 and PE32+) held in memory: the resource directory, as far as
// winsim needs it. Every offset read from the file is checked against the file's bounds;
// a truncated or hostile image gives an error, never a read outside `image`.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string_view>

namespace winsim {

constexpr uint32_t kRtVersion = 16;  // RT_VERSION

// Finds the data of a resource of `type` (a numeric type ID): the type's first name entry
// (ID 1 when it has one, as for the version resource), and that name's first language.
// Answers ERROR_SUCCESS with `data` viewing into `image`, or the error Windows gives:
//   ERROR_BAD_FORMAT               not a PE image, or headers / resource tree out of bounds
//   ERROR_RESOURCE_DATA_NOT_FOUND  the image has no resource directory
//   ERROR_RESOURCE_TYPE_NOT_FOUND  no resource of that type
//   ERROR_RESOURCE_NAME_NOT_FOUND  the type has no names
//   ERROR_RESOURCE_LANG_NOT_FOUND  the name has no languages
DWORD FindResourceData(std::string_view image, uint32_t type, std::string_view &data);

}  // namespace winsim
