// Fair turns on a busy token: many threads, each with a handle of its own,
// make small reads on one token with a per-transfer latency, and the table
// shows how evenly the calls were shared and how long the longest wait was.
#pragma once

#include <string>

// Prints the fairness table for 1, 2, 8 and 64 callers on the virtual token of
// `node`; each row runs for `seconds`. Returns false when a call failed.
bool print_fairness_table(const std::string& node, double seconds);
