#include "HistoryCommand.h"

#include "history/HistoryCsv.h"

int RunConsoleHistory(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    return sincrovia::history::RunHistoryConsole(args, out, err);
}
