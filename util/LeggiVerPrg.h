// The version text of a program file. The build places a version record ("1.0.0.0": the
// project version, four numbers) inside the program file; FileVersionOf finds it again in any
// file given by name, so the window can show the version of the very file it was started from.
#pragma once

#include <string>
#include <string_view>

namespace sincrovia {

/// The version text stored in the file FileName; empty when the file cannot be read or holds
/// no version record.
std::string FileVersionOf(const std::string& fileName);

/// The version text that this build stores in its own program file.
std::string BuiltFileVersion();

/// The bytes that introduce a version record; the record is the marker, the version
/// (digits and dots) and a zero byte.
std::string_view FileVersionMarker();

}  // namespace sincrovia
