// INI files in the Windows private-profile format, read and written key by key, and the one
// access operation the decoder link uses (AccessIniKey), which reports a missing key with an
// Italian message box and then aborts the operation in progress.
#pragma once

#include <exception>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "util/ByteString.h"

namespace sincrovia {

/// The silent abort: ends the caller's operation without a further message of its own.
class AbortSignal : public std::exception {
public:
    const char* what() const noexcept override { return "Operation aborted"; }
};

/// Raised when an INI file cannot be read or written; the message names the file.
class IniFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// The value AccessIniKey reads for a key or section that is absent (and the one that counts
/// as absent when a file holds it).
inline constexpr std::string_view kIniMissingMarker = "Errore";

/// One INI file in memory, kept as its lines so that a write changes only the line it must.
/// Lines end in CR LF when saved; a file read with bare LF or CR ends is accepted. Section and
/// key names compare without regard to case (Windows-1252 letters included); keys and values
/// are trimmed of blanks, and a value in matching quotes loses them, as Windows reads them.
class IniFile {
public:
    /// Loads `path`; a missing file gives an empty document. Raises IniFileError when the file
    /// exists but cannot be read.
    static IniFile Load(const std::string& path);

    /// The value of `key` in the first section named `section`, or nothing.
    std::optional<ByteString> Read(std::string_view section, std::string_view key) const;

    /// Sets `key` in `section`: replaces the key's line, or adds it at the end of the section,
    /// or adds the section at the end of the document.
    void Write(std::string_view section, std::string_view key, std::string_view value);

    /// The document's lines, without their line ends.
    std::vector<ByteString>& Lines() { return lines_; }
    /// The document's lines, read only.
    const std::vector<ByteString>& Lines() const { return lines_; }

    /// The bytes of the document: every line followed by CR LF.
    ByteString Bytes() const;

    /// Writes the document to `path` through a temporary file renamed over it, so that a
    /// failure never leaves a half-written file. Raises IniFileError on failure.
    void Save(const std::string& path) const;

private:
    std::vector<ByteString> lines_;
};

/// Opaque handle of the window that owns a message box; the links pass none (nullptr). The
/// installed desktop services choose the parent themselves.
using OwnerWindowHandle = const void*;

/// Reads (`read` true) or writes one key of `fileName`. A read of a file that does not exist
/// gives an empty `result` and no message; a read of an absent key or section gives "Errore".
/// When `showError` is true and `result` is "Errore", shows the "Errore Accesso INI" box
/// (`value` is shown in its text) and raises AbortSignal. A write that fails raises
/// IniFileError.
void AccessIniKey(std::string_view section, std::string_view key, std::string_view value, ByteString& result,
                  OwnerWindowHandle ownerWindow, bool showError, const std::string& fileName, bool read);

/// Quotes a name in single quotes, doubling the quotes inside it ("it's" -> "'it''s'").
std::string QuotedStr(std::string_view text);

}  // namespace sincrovia
