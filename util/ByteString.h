// Texts exchanged with decoders and between the link and the window: one byte per character,
// in the PC's 8-bit code page (Windows-1252). std::string holds them unchanged.
#pragma once

#include <string>
#include <string_view>

namespace sincrovia {

/// A byte string: one byte per character, 8-bit code page.
using ByteString = std::string;

/// Converts a Windows-1252 byte string to UTF-8 (for showing it in a UTF-8 toolkit).
std::string Cp1252ToUtf8(std::string_view bytes);

/// Converts UTF-8 to Windows-1252; characters without a code in that page become '?'.
ByteString Utf8ToCp1252(std::string_view utf8);

}  // namespace sincrovia
