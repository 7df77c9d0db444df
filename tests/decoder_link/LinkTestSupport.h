// Test support for the decoder link: a temporary folder that stands for the program's folder
// and the per-user run folder, recorders for the memo, the callback and the desktop, and a
// loop that serves the main-thread hand-over until a condition holds.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "decoder_link/SFormCOM_TestConnessione.h"
#include "util/DesktopServices.h"

namespace sincrovia::testing {

/// A fresh temporary folder, removed with its content at destruction.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    /// The folder with its trailing separator.
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

/// A memo that keeps its lines.
class MemoRecorder : public TMemoLines {
public:
    void AddLine(const ByteString& line) override { lines.push_back(line); }
    /// The lines except the one-time note about a refused process priority.
    std::vector<std::string> Lines() const;
    /// The lines of commands sent ("(*) ...").
    std::vector<std::string> CommandLines() const;
    std::vector<std::string> lines;
};

/// Texts handed to RecordCallback, in order (the callback is a plain procedure).
std::vector<ByteString>& CallbackTexts();
/// A TRxTextProc that appends to CallbackTexts().
void RecordCallback(const ByteString& text, int reserved);

/// Serves the main-thread hand-over until `done` holds or `timeout` passes; returns `done()`.
bool ServeUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);
/// Serves the hand-over for `duration`.
void ServeFor(std::chrono::milliseconds duration);

/// Everything a link test needs around it: the calling thread as the main thread, a recording
/// desktop, a temporary program folder (Lapix.ini is written there) that is also the run folder
/// of the virtual ports, and an empty callback record.
class LinkEnvironment {
public:
    LinkEnvironment();
    ~LinkEnvironment();
    LinkEnvironment(const LinkEnvironment&) = delete;
    LinkEnvironment& operator=(const LinkEnvironment&) = delete;
    /// The temporary folder.
    const std::string& Folder() const { return folder_.Path(); }
    RecordingDesktop desktop;

private:
    TempFolder folder_;
    ScopedDesktop scoped_;
    std::string savedXdg_;
    bool hadXdg_ = false;
};

/// Whether `line` is a memo line "Msg  dd.mm.yy hh:mm:ss :" followed by `rest`.
bool IsTimedMemoLine(const std::string& line, const std::string& rest);

}  // namespace sincrovia::testing
