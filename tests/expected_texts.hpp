// Console texts as a user sees them, written out independently of the
// tool's own constants so that the end-to-end tests catch a changed text.
#pragma once

#include <string>

inline const std::string BANNER = "tamberlo_orvel_verify - signed log verification";
inline const std::string EVENT_MODE = "\n\n   Validate event log\n\n";
inline const std::string USAGE =
    "\n\n   usage for transaction log: tamberlo_orvel_verify <filename>"
    "\n   usage for event log: tamberlo_orvel_verify <filename> -evl\n";
