// Pulls the text matched by a regular expression out of a larger text: the firmware version out
// of a decoder banner, or every match joined with commas.
#pragma once

#include <string>
#include <string_view>

namespace sincrovia {

/// Extraction of matches of a pattern from a text.
class TRegExExtract {
public:
    /// With firstOnly: the first match of pattern in input (empty when none). Otherwise every
    /// match, each followed by a comma ("1.2,3.4,"). Engine errors propagate as ERegExpr.
    static std::string ExtractMatches(std::string_view input, std::string_view pattern, bool firstOnly);
};

}  // namespace sincrovia
