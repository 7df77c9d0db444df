#include "decoder_link/GestFileIni.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#include "util/DesktopServices.h"

namespace sincrovia {

namespace {

constexpr std::string_view kCrLf = "\r\n";
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
constexpr char kCommentStart = ';';
constexpr char kSectionOpen = '[';
constexpr char kSectionClose = ']';
constexpr char kKeySeparator = '=';
constexpr std::string_view kTempSuffix = ".tmp";

constexpr std::string_view kMissingKeyCaption = "Errore Accesso INI";

// Windows-1252 letters: lower-case ranges and their distance to upper case.
constexpr unsigned char kLatinLowerFirst = 0xE0, kLatinLowerLast = 0xFE, kDivisionSign = 0xF7;
constexpr unsigned char kLatinCaseDistance = 0x20;
constexpr unsigned char kSCaron = 0x9A, kOeLigature = 0x9C, kZCaron = 0x9E;
constexpr unsigned char kHighCaseDistance = 0x10;
constexpr unsigned char kYDiaeresisLower = 0xFF, kYDiaeresisUpper = 0x9F;

unsigned char UpperCp1252(unsigned char c) {
    if (c >= 'a' && c <= 'z') return static_cast<unsigned char>(c - ('a' - 'A'));
    if (c >= kLatinLowerFirst && c <= kLatinLowerLast && c != kDivisionSign) {
        return static_cast<unsigned char>(c - kLatinCaseDistance);
    }
    if (c == kSCaron || c == kOeLigature || c == kZCaron) {
        return static_cast<unsigned char>(c - kHighCaseDistance);
    }
    if (c == kYDiaeresisLower) return kYDiaeresisUpper;
    return c;
}

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (UpperCp1252(static_cast<unsigned char>(a[i])) != UpperCp1252(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

// A section header: "[name]" with optional blanks around; gives the name.
std::optional<std::string_view> SectionName(std::string_view line) {
    line = Trim(line);
    if (line.size() < 2 || line.front() != kSectionOpen) return std::nullopt;
    const size_t close = line.find(kSectionClose);
    if (close == std::string_view::npos) return std::nullopt;
    return Trim(line.substr(1, close - 1));
}

// A key line: "key=value"; comment lines and lines without '=' are not keys.
struct KeyLine {
    std::string_view key, value;
};

std::optional<KeyLine> ParseKeyLine(std::string_view line) {
    const std::string_view trimmed = Trim(line);
    if (trimmed.empty() || trimmed.front() == kCommentStart) return std::nullopt;
    const size_t eq = trimmed.find(kKeySeparator);
    if (eq == std::string_view::npos) return std::nullopt;
    std::string_view value = Trim(trimmed.substr(eq + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
    }
    return KeyLine{Trim(trimmed.substr(0, eq)), value};
}

// Index of the first header of `section`, or lines.size().
size_t FindSection(const std::vector<ByteString>& lines, std::string_view section) {
    for (size_t i = 0; i < lines.size(); ++i) {
        const auto name = SectionName(lines[i]);
        if (name && SameName(*name, section)) return i;
    }
    return lines.size();
}

// One past the last line of the section whose header is at `header`.
size_t SectionEnd(const std::vector<ByteString>& lines, size_t header) {
    size_t i = header + 1;
    while (i < lines.size() && !SectionName(lines[i])) ++i;
    return i;
}

}  // namespace

IniFile IniFile::Load(const std::string& path) {
    IniFile file;
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) return file;
    std::ifstream in(path, std::ios::binary);
    if (!in) throw IniFileError("Unable to read " + path);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) throw IniFileError("Unable to read " + path);
    std::string_view rest(bytes);
    if (rest.substr(0, kUtf8Bom.size()) == kUtf8Bom) rest.remove_prefix(kUtf8Bom.size());
    // Lines end in CR LF, LF or CR; a final line end does not start another line.
    while (!rest.empty()) {
        const size_t end = rest.find_first_of("\r\n");
        if (end == std::string_view::npos) {
            file.lines_.emplace_back(rest);
            break;
        }
        file.lines_.emplace_back(rest.substr(0, end));
        const size_t next = (rest[end] == '\r' && end + 1 < rest.size() && rest[end + 1] == '\n') ? end + 2 : end + 1;
        rest.remove_prefix(next);
    }
    return file;
}

std::optional<ByteString> IniFile::Read(std::string_view section, std::string_view key) const {
    const size_t header = FindSection(lines_, section);
    if (header == lines_.size()) return std::nullopt;
    const size_t end = SectionEnd(lines_, header);
    for (size_t i = header + 1; i < end; ++i) {
        const auto line = ParseKeyLine(lines_[i]);
        if (line && SameName(line->key, key)) return ByteString(line->value);
    }
    return std::nullopt;
}

void IniFile::Write(std::string_view section, std::string_view key, std::string_view value) {
    ByteString keyLine;
    keyLine.append(key).append(1, kKeySeparator).append(value);
    const size_t header = FindSection(lines_, section);
    if (header == lines_.size()) {
        ByteString headerLine;
        headerLine.append(1, kSectionOpen).append(section).append(1, kSectionClose);
        lines_.push_back(std::move(headerLine));
        lines_.push_back(std::move(keyLine));
        return;
    }
    const size_t end = SectionEnd(lines_, header);
    for (size_t i = header + 1; i < end; ++i) {
        const auto line = ParseKeyLine(lines_[i]);
        if (line && SameName(line->key, key)) {
            lines_[i] = std::move(keyLine);
            return;
        }
    }
    // A new key goes behind the section's last non-blank line, so that blank lines that
    // separate it from the next section stay where they are.
    size_t insertAt = end;
    while (insertAt > header + 1 && Trim(lines_[insertAt - 1]).empty()) --insertAt;
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(insertAt), std::move(keyLine));
}

ByteString IniFile::Bytes() const {
    ByteString out;
    for (const auto& line : lines_) out.append(line).append(kCrLf);
    return out;
}

void IniFile::Save(const std::string& path) const {
    const std::string temp = path + std::string(kTempSuffix);
    const ByteString bytes = Bytes();
    bool ok = false;
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (out) {
            out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
            out.flush();
            ok = static_cast<bool>(out);
        }
    }
    std::error_code ec;
    if (ok) {
        std::filesystem::rename(temp, path, ec);
        ok = !ec;
    }
    if (!ok) {
        std::filesystem::remove(temp, ec);
        throw IniFileError("Unable to write to " + path);
    }
}

std::string QuotedStr(std::string_view text) {
    std::string out = "'";
    for (const char c : text) {
        out += c;
        if (c == '\'') out += '\'';
    }
    out += '\'';
    return out;
}

void AccessIniKey(std::string_view section, std::string_view key, std::string_view value, ByteString& result,
                  OwnerWindowHandle /*ownerWindow*/, bool showError, const std::string& fileName, bool read) {
    std::error_code ec;
    if (read && !std::filesystem::exists(fileName, ec)) {
        result.clear();
        return;
    }
    IniFile file = IniFile::Load(fileName);
    if (read) {
        result = file.Read(section, key).value_or(ByteString(kIniMissingMarker));
    } else {
        file.Write(section, key, value);
        file.Save(fileName);
    }
    if (showError && result == kIniMissingMarker) {
        const std::string text = "Errore nella ricerca della chiave " + QuotedStr(key) + " della sezione " +
                                 QuotedStr(section) + " all'interno del file INI (Percorso completo: " + fileName +
                                 " Valore: " + std::string(value) + ")";
        Desktop().MessageBox(std::string(kMissingKeyCaption), text, MsgIcon::Error, MsgButtons::Ok, MsgAnswer::Ok);
        throw AbortSignal();
    }
}

}  // namespace sincrovia
