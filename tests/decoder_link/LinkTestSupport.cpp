#include "LinkTestSupport.h"

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <stdexcept>

#include "util/MainThread.h"

namespace sincrovia::testing {

TempFolder::TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "sincrovia-link-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("no temporary folder");
    path_ = pattern + "/";
}

TempFolder::~TempFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::vector<std::string> MemoRecorder::Lines() const {
    std::vector<std::string> out;
    for (const std::string& line : lines)
        if (line.find("Priorita' del processo") == std::string::npos) out.push_back(line);
    return out;
}

std::vector<std::string> MemoRecorder::CommandLines() const {
    std::vector<std::string> out;
    for (const std::string& line : lines)
        if (line.rfind("(*) ", 0) == 0) out.push_back(line);
    return out;
}

std::vector<ByteString>& CallbackTexts() {
    static std::vector<ByteString> texts;
    return texts;
}

void RecordCallback(const ByteString& text, int reserved) {
    if (reserved == 0) CallbackTexts().push_back(text);
}

bool ServeUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        WaitAndServeMainThreadCalls(std::chrono::milliseconds(20));
    }
    return true;
}

void ServeFor(std::chrono::milliseconds duration) {
    ServeUntil([] { return false; }, duration);
}

LinkEnvironment::LinkEnvironment() : scoped_(desktop) {
    ResetMainThread();
    SetMainThread();
    if (const char* xdg = std::getenv("XDG_RUNTIME_DIR")) {
        hadXdg_ = true;
        savedXdg_ = xdg;
    }
    setenv("XDG_RUNTIME_DIR", folder_.Path().c_str(), 1);
    SetLinkProgramFolder(folder_.Path());
    CallbackTexts().clear();
}

LinkEnvironment::~LinkEnvironment() {
    // Calls still queued (a deferred request of a destroyed link) are served harmlessly.
    ServeMainThreadCalls();
    SetLinkProgramFolder("");
    if (hadXdg_)
        setenv("XDG_RUNTIME_DIR", savedXdg_.c_str(), 1);
    else
        unsetenv("XDG_RUNTIME_DIR");
    CallbackTexts().clear();
}

bool IsTimedMemoLine(const std::string& line, const std::string& rest) {
    static const std::regex head(R"(^Msg  \d\d\.\d\d\.\d\d \d\d:\d\d:\d\d :)");
    std::smatch m;
    if (!std::regex_search(line, m, head)) return false;
    return line.substr(static_cast<size_t>(m.length(0))) == rest;
}

}  // namespace sincrovia::testing
