// The console's "history" command, kept apart from the decoder link's commands: it comes from
// the history library, which the link knows nothing about.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

/// Runs `sincrovia-console history ...` on the arguments after "history"; returns the exit status.
int RunConsoleHistory(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
