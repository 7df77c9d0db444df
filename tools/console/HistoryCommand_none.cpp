// A console built without SQLite (the Windows cross build) has no history to read.
#include <ostream>

#include "HistoryCommand.h"

namespace {
constexpr int kFailed = 1;
}

int RunConsoleHistory(const std::vector<std::string>& /*args*/, std::ostream& /*out*/, std::ostream& err) {
    err << "history: this console was built without SQLite\n";
    return kFailed;
}
