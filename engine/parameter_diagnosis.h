// Why a parameter file's lines do not count as they seem to: the engine reads only
// whole `key = value` lines and skips every other line without a word, so a comment
// after a value, a sign, an exponent or a misspelt key silently loses a setting.
// One implementation serves tovrin-md (under the engine's own error message) and
// Python (`tovrin check`, tovrin.paramfile), through the extension module.
#pragma once

#include <set>
#include <string>
#include <vector>

namespace diagnosis {

// A line that does not do what it seems to.
struct Finding {
    unsigned long line;  // from 1
    std::string text;    // the line, UTF-8, without the byte-order mark that starts it
    std::string reason;
    std::string key;  // the known key it concerns (the one it was probably meant for), or ""
};

struct Check {
    std::string path;
    std::vector<Finding> findings;           // in line order
    std::vector<std::string> missing;        // needed keys no line assigns
    std::vector<std::string> unconvertible;  // assigned keys whose values do not convert
    std::set<std::string> assigned;          // every assigned key
};

// The keys the engine reads; all but `seed` and `sort_every` are needed.
const std::vector<std::string>& needed_keys();
const std::vector<std::string>& known_keys();

// Reads the file at `path` and explains every line the engine skips or does not use.
// Blank lines are not listed. Throws std::ios_base::failure when it cannot be read.
Check check(const std::string& path);
// The same for the file's `contents`, read by the caller.
Check check_text(const std::string& path, const std::string& contents);

// "line N: 'text': reason", the text quoted as Python quotes a string.
std::string describe(const Finding& finding);

// Why `key` has no usable value, in one line.
std::string diagnose(const Check& report, const std::string& key);

// The lines to add under one of the engine's messages: for "Could not find parameter:
// KEY" the diagnosis of KEY, for a value that does not convert that of each such
// value, each on a line of its own that starts with two spaces; "" for other messages
// or a file that cannot be read.
std::string explain_error(const std::string& path, const std::string& message);

}  // namespace diagnosis
