// The parameter table: reading the file's assignments, and the typed lookups.
#include "parameters.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <ios>
#include <stdexcept>

#include <boost/lexical_cast.hpp>
#include <boost/regex.hpp>
#include <sys/stat.h>

#include "file_error.h"

namespace {

FileError unreadable(const std::string& inputfile, const std::string& reason) {
    return FileError("Cannot read parameter file " + inputfile + ": " + reason);
}

// What a path that exists is, when it is not a file to read assignments from: a
// directory, or a FIFO, device or socket, whose reading would wait for a writer or
// never end. Empty for a regular file.
std::string not_a_parameter_file(const struct stat& status) {
    if (S_ISREG(status.st_mode)) return "";
    if (S_ISDIR(status.st_mode)) return "it is a directory";
    if (S_ISFIFO(status.st_mode)) return "it is a FIFO, not a regular file";
    if (S_ISSOCK(status.st_mode)) return "it is a socket, not a regular file";
    return "it is a device, not a regular file";
}

}  // namespace

Parameters::Parameters(const std::string& inputfile) {
    struct stat status {};
    if (stat(inputfile.c_str(), &status) != 0) return;  // no such file: an empty table
    const std::string refusal = not_a_parameter_file(status);
    if (!refusal.empty()) throw unreadable(inputfile, refusal);
    std::ifstream input(inputfile);
    if (!input) throw unreadable(inputfile, std::strerror(errno));
    const boost::regex regex_keyword(R"(^\s*([a-zA-Z0-9_]+)\s*=\s*([0-9.]+)\s*$)");
    std::string line;
    while (std::getline(input, line)) {
        boost::smatch match;
        if (boost::regex_match(line, match, regex_keyword)) {
            set_param(match[1].str(), match[2].str());
        }
    }
}

void Parameters::set_param(const std::string& name, const std::string& p) {
    params.emplace(name, p);  // keeps an existing entry
}

template <typename T>
T Parameters::get_param(const std::string& name) const {
    const auto found = params.find(name);
    if (found == params.end()) {
        throw std::runtime_error("Could not find parameter: " + name);
    }
    return boost::lexical_cast<T>(found->second);
}

template unsigned int Parameters::get_param<unsigned int>(const std::string&) const;
template int Parameters::get_param<int>(const std::string&) const;
template double Parameters::get_param<double>(const std::string&) const;
