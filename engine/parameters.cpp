#include "parameters.h"

#include <fstream>
#include <stdexcept>

#include <boost/lexical_cast.hpp>
#include <boost/regex.hpp>

Parameters::Parameters(const std::string& inputfile) {
    std::ifstream input(inputfile);
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
