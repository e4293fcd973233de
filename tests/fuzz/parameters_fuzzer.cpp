// Fuzz target: the parameter reader on arbitrary bytes.
//
// The bytes become a parameter file; every key the engine reads, and every key the
// file assigns, is looked up as unsigned int, int and double. A lookup either
// returns, or throws std::runtime_error (key missing) or boost::bad_lexical_cast
// (value does not convert); anything else escapes and is a finding. Each outcome is
// also checked against an independent reading of the file format: a line (up to a
// line feed) is an assignment when it is blanks, a key of ASCII letters, digits and
// underscores, blanks, '=', blanks, a value of digits and full stops, blanks;
// blanks being space, tab, vertical tab, form feed and carriage return. The first
// assignment of a key wins. The diagnosis of the same bytes (what `tovrin check` and
// tovrin-md say) must finish, and agree with that reading on which keys are assigned.
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>

#include <boost/lexical_cast.hpp>

#include "fuzz_input.h"
#include "parameter_diagnosis.h"
#include "parameters.h"

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r'; }
bool is_key_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}
bool is_value_char(char c) { return (c >= '0' && c <= '9') || c == '.'; }

// The key and value of an assignment line, or nothing.
std::optional<std::pair<std::string, std::string>> assignment(const std::string& line) {
    std::size_t i = 0;
    const auto span = [&](bool (*accept)(char)) {
        const std::size_t from = i;
        while (i < line.size() && accept(line[i])) ++i;
        return line.substr(from, i - from);
    };
    span(is_blank);
    const std::string key = span(is_key_char);
    span(is_blank);
    if (key.empty() || i == line.size() || line[i] != '=') return std::nullopt;
    ++i;
    span(is_blank);
    const std::string value = span(is_value_char);
    span(is_blank);
    if (value.empty() || i != line.size()) return std::nullopt;
    return std::make_pair(key, value);
}

std::map<std::string, std::string> expected_table(const std::string& text) {
    std::map<std::string, std::string> table;
    std::size_t begin = 0;
    while (begin < text.size()) {
        std::size_t end = text.find('\n', begin);
        if (end == std::string::npos) end = text.size();
        if (const auto found = assignment(text.substr(begin, end - begin))) table.emplace(found->first, found->second);
        begin = end + 1;
    }
    return table;
}

// The number a value text stands for in type T, or nothing when it does not convert.
template <typename T>
std::optional<T> expected_value(const std::string& text);

template <>
std::optional<unsigned int> expected_value<unsigned int>(const std::string& text) {
    if (text.find('.') != std::string::npos) return std::nullopt;
    unsigned long long value = 0;
    for (const char c : text) {
        value = value * 10 + static_cast<unsigned>(c - '0');
        if (value > UINT_MAX) return std::nullopt;
    }
    return static_cast<unsigned int>(value);
}

template <>
std::optional<int> expected_value<int>(const std::string& text) {
    const auto value = expected_value<unsigned int>(text);
    if (!value || *value > static_cast<unsigned int>(INT_MAX)) return std::nullopt;
    return static_cast<int>(*value);
}

// A decimal with at most one full stop and at least one digit, read with correct
// rounding; one too large for a double does not convert.
template <>
std::optional<double> expected_value<double>(const std::string& text) {
    const auto stop = text.find('.');
    if (stop != std::string::npos && text.find('.', stop + 1) != std::string::npos) return std::nullopt;
    if (text == ".") return std::nullopt;
    const double value = std::strtod(text.c_str(), nullptr);
    if (!std::isfinite(value)) return std::nullopt;
    return value;
}

template <typename T>
void check_lookup(const Parameters& params, const std::string& key,
                  const std::map<std::string, std::string>& table, const char* type) {
    const auto entry = table.find(key);
    const std::string where = "get_param<" + std::string(type) + ">(\"" + key + "\")";
    try {
        const T value = params.get_param<T>(key);
        if (entry == table.end()) fuzz::finding(where + " found a value for a key the file does not assign");
        const auto expected = expected_value<T>(entry->second);
        if (!expected) fuzz::finding(where + " converted '" + entry->second + "', which is no " + type);
        if (!(value == *expected)) {
            fuzz::finding(where + " gave " + boost::lexical_cast<std::string>(value) + " for '" + entry->second +
                          "', not " + boost::lexical_cast<std::string>(*expected));
        }
    } catch (const boost::bad_lexical_cast&) {
        if (entry == table.end()) fuzz::finding(where + " threw bad_lexical_cast for a key the file does not assign");
        if (expected_value<T>(entry->second)) {
            fuzz::finding(where + " threw bad_lexical_cast for '" + entry->second + "', which is a " + type);
        }
    } catch (const std::runtime_error& error) {
        if (entry != table.end()) fuzz::finding(where + " missed the assignment '" + entry->second + "'");
        if (std::string(error.what()) != "Could not find parameter: " + key) {
            fuzz::finding(where + " threw the message '" + error.what() + "'");
        }
    }
}

// The diagnosis runs to the end on any bytes and finds the keys the reader finds.
void check_diagnosis(const std::string& text, const std::map<std::string, std::string>& table) {
    const diagnosis::Check report = diagnosis::check_text("fuzzed", text);
    if (report.assigned.size() != table.size()) fuzz::finding("the diagnosis counts other assignments than the reader");
    for (const auto& [key, value] : table) {
        if (!report.assigned.count(key)) fuzz::finding("the diagnosis misses the assignment of " + key);
    }
    for (const std::string& key : diagnosis::known_keys()) {
        if (diagnosis::diagnose(report, key).empty()) fuzz::finding("an empty diagnosis of " + key);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fuzz::InputFile file(data, size);
    const Parameters params(file.path());
    const std::string text(reinterpret_cast<const char*>(data), size);
    const auto table = expected_table(text);
    check_diagnosis(text, table);

    std::map<std::string, std::string> keys(table);
    for (const char* key : fuzz::engine_keys) keys.emplace(key, "");
    for (const auto& [key, unused] : keys) {
        check_lookup<unsigned int>(params, key, table, "unsigned int");
        check_lookup<int>(params, key, table, "int");
        check_lookup<double>(params, key, table, "double");
    }
    return 0;
}
