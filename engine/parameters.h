// The run's table of named settings, read once from a plain-text parameter file.
//
// Every line of the form `key = value` (value: digits and full stops only) is an
// assignment; all other lines are skipped. The first assignment of a key wins.
// Values stay text and are converted on every lookup, so a value that does not
// convert fails at the moment it is asked for, in the type it is asked for.
#pragma once

#include <string>
#include <unordered_map>

class Parameters {
public:
    // Reads `inputfile`; a path that does not exist gives an empty table. Throws
    // std::ios_base::failure "Cannot read parameter file <name>: <why>" for a
    // directory, a FIFO, device or socket (never opened, so never waited on) and a
    // file that cannot be opened for reading.
    explicit Parameters(const std::string& inputfile);
    // An empty table, to be filled by set_param (a checkpoint's saved settings).
    Parameters() = default;

    // Stores `p` under `name` unless `name` already has a value.
    void set_param(const std::string& name, const std::string& p);

    // The value of `name` converted to T (unsigned int, int or double).
    // Throws std::runtime_error "Could not find parameter: <name>" for a missing key
    // and boost::bad_lexical_cast for a value that does not convert.
    template <typename T>
    T get_param(const std::string& name) const;

    bool contains(const std::string& name) const { return params.count(name) != 0; }
    // Every key with its value text as written, for a checkpoint to record.
    const std::unordered_map<std::string, std::string>& entries() const { return params; }

private:
    std::unordered_map<std::string, std::string> params;  // key -> value text as written
};

extern template unsigned int Parameters::get_param<unsigned int>(const std::string&) const;
extern template int Parameters::get_param<int>(const std::string&) const;
extern template double Parameters::get_param<double>(const std::string&) const;
