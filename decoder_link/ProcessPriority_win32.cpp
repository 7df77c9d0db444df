// On Windows the priority classes are the system's own, set on the whole process.
#include <windows.h>

#include "decoder_link/ProcessPriority.h"

namespace sincrovia {
namespace {

DWORD SystemClassOf(int priorityClass) {
    switch (priorityClass) {
    case kPriorityIdle: return IDLE_PRIORITY_CLASS;
    case kPriorityHigh: return HIGH_PRIORITY_CLASS;
    case kPriorityRealTime: return REALTIME_PRIORITY_CLASS;
    default: return NORMAL_PRIORITY_CLASS;
    }
}

// The system's text for an error code, without its closing line break.
std::string SystemErrorText(DWORD code) {
    char* text = nullptr;
    const DWORD length =
        ::FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                         nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string result;
    if (length != 0 && text != nullptr) result.assign(text, length);
    if (text != nullptr) ::LocalFree(text);
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r' || result.back() == ' '))
        result.pop_back();
    if (result.empty()) result = "system error " + std::to_string(code);
    return result;
}

}  // namespace

bool SetProcessPriorityClass(int priorityClass, std::string& error) {
    // Without the privilege for real time the system grants high instead and still answers
    // success, as it does for every program.
    if (::SetPriorityClass(::GetCurrentProcess(), SystemClassOf(priorityClass))) return true;
    error = SystemErrorText(::GetLastError());
    return false;
}

}  // namespace sincrovia
