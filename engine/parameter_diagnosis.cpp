// The diagnosis of a parameter file's lines: which the engine skips or does not use,
// and why, in words a user can act on. Its texts are those of `tovrin check`, which
// formats strings as Python does (Python quoting, Python's notion of white space).
#include "parameter_diagnosis.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <utility>

namespace diagnosis {
namespace {

const std::vector<std::string> needed = {"nr_particles", "cell_length", "mass",  "kT",       "tau",    "sigma",
                                         "epsilon",      "rcut",        "shell", "stepsize", "nrsteps"};
const std::vector<std::string> whole_keys = {"nr_particles", "nrsteps", "seed", "sort_every"};
const std::string not_found = "Could not find parameter: ";
const std::string bad_cast = "bad lexical cast";
constexpr char32_t byte_order_mark = 0xFEFF;
constexpr char32_t replacement = 0xFFFD;

bool contains(const std::vector<std::string>& keys, const std::string& key) {
    return std::find(keys.begin(), keys.end(), key) != keys.end();
}

// UTF-8 to code points, each ill-formed part (its longest valid prefix, or one
// byte) replaced by U+FFFD, as Python decodes with errors="replace".
std::u32string decode(const std::string& bytes) {
    std::u32string text;
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        if (lead < 0x80) {
            text += lead;
            ++i;
            continue;
        }
        int need = 0;
        char32_t point = 0;
        unsigned char low = 0x80, high = 0xBF;  // the range of the next continuation byte
        if (lead >= 0xC2 && lead <= 0xDF) {
            need = 1, point = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            need = 2, point = lead & 0x0F;
            if (lead == 0xE0) low = 0xA0;
            if (lead == 0xED) high = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            need = 3, point = lead & 0x07;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;
        }
        std::size_t next = i + 1;
        int got = 0;
        for (; need > 0 && got < need && next < bytes.size(); ++got, ++next) {
            const auto byte = static_cast<unsigned char>(bytes[next]);
            if (byte < low || byte > high) break;
            point = (point << 6) | (byte & 0x3F);
            low = 0x80, high = 0xBF;
        }
        text += need > 0 && got == need ? point : replacement;
        i = next;
    }
    return text;
}

std::string encode(const std::u32string& text) {
    std::string bytes;
    for (const char32_t c : text) {
        if (c < 0x80) {
            bytes += static_cast<char>(c);
        } else if (c < 0x800) {
            bytes += static_cast<char>(0xC0 | (c >> 6));
            bytes += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            bytes += static_cast<char>(0xE0 | (c >> 12));
            bytes += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            bytes += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            bytes += static_cast<char>(0xF0 | (c >> 18));
            bytes += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            bytes += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            bytes += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return bytes;
}

std::u32string widen(const std::string& ascii) { return std::u32string(ascii.begin(), ascii.end()); }

// Python's white space (str.isspace, and \s in a pattern on text).
bool is_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20) || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// The white space of the engine's pattern, which reads bytes: ASCII only.
bool is_ascii_space(char32_t c) { return c == ' ' || (c >= 0x09 && c <= 0x0D); }

bool is_digit(char32_t c) { return c >= '0' && c <= '9'; }
bool is_number_char(char32_t c) { return is_digit(c) || c == '.'; }
bool is_key_char(char32_t c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || is_digit(c) || c == '_';
}

std::u32string strip(const std::u32string& text) {
    std::size_t first = 0, last = text.size();
    while (first < last && is_space(text[first])) ++first;
    while (last > first && is_space(text[last - 1])) --last;
    return text.substr(first, last - first);
}

// The characters that Python's repr escapes beyond ASCII's controls: those assigned
// to the categories Cc, Cf, Cs, Co, Zl, Zp and Zs (Unicode 14). Unassigned code
// points, which Python escapes too, are shown as they are.
bool is_printable(char32_t c) {
    static const std::pair<char32_t, char32_t> hidden[] = {
        {0x80, 0xa0},       {0xad, 0xad},       {0x600, 0x605},     {0x61c, 0x61c},     {0x6dd, 0x6dd},
        {0x70f, 0x70f},     {0x890, 0x891},     {0x8e2, 0x8e2},     {0x1680, 0x1680},   {0x180e, 0x180e},
        {0x2000, 0x200f},   {0x2028, 0x202f},   {0x205f, 0x2064},   {0x2066, 0x206f},   {0x3000, 0x3000},
        {0xd800, 0xf8ff},   {0xfeff, 0xfeff},   {0xfff9, 0xfffb},   {0x110bd, 0x110bd}, {0x110cd, 0x110cd},
        {0x13430, 0x13438}, {0x1bca0, 0x1bca3}, {0x1d173, 0x1d17a}, {0xe0001, 0xe0001}, {0xe0020, 0xe007f},
        {0xf0000, 0xffffd}, {0x100000, 0x10fffd}};
    if (c < 0x80) return c >= 0x20 && c < 0x7F;
    return std::none_of(std::begin(hidden), std::end(hidden),
                        [c](const auto& range) { return c >= range.first && c <= range.second; });
}

// The text quoted as Python's repr quotes a string.
std::string quoted(const std::u32string& text) {
    const bool has_single = text.find(U'\'') != std::u32string::npos;
    const bool has_double = text.find(U'"') != std::u32string::npos;
    const char32_t quote = has_single && !has_double ? U'"' : U'\'';
    std::string out(1, static_cast<char>(quote));
    for (const char32_t c : text) {
        char escape[16];
        if (c == quote || c == U'\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == U'\t') {
            out += "\\t";
        } else if (c == U'\n') {
            out += "\\n";
        } else if (c == U'\r') {
            out += "\\r";
        } else if (is_printable(c)) {
            out += encode(std::u32string(1, c));
        } else {
            const auto code = static_cast<unsigned long>(c);
            std::snprintf(escape, sizeof escape, c <= 0xFF ? "\\x%02lx" : c <= 0xFFFF ? "\\u%04lx" : "\\U%08lx", code);
            out += escape;
        }
    }
    return out + static_cast<char>(quote);
}

// The engine's assignment: the whole line is `key = value`, key of ASCII letters,
// digits and underscores, value of digits and full stops, white space ASCII.
bool assignment(const std::u32string& line, std::string& key, std::string& value) {
    std::size_t i = 0;
    const auto skip_space = [&] {
        while (i < line.size() && is_ascii_space(line[i])) ++i;
    };
    const auto take = [&](bool (*belongs)(char32_t), std::string& into) {
        const std::size_t start = i;
        while (i < line.size() && belongs(line[i])) ++i;
        into.assign(line.begin() + static_cast<std::ptrdiff_t>(start), line.begin() + static_cast<std::ptrdiff_t>(i));
        return i > start;
    };
    skip_space();
    if (!take(is_key_char, key)) return false;
    skip_space();
    if (i == line.size() || line[i] != U'=') return false;
    ++i;
    skip_space();
    if (!take(is_number_char, value)) return false;
    skip_space();
    return i == line.size();
}

// How much of SequenceMatcher(None, a, b) matches, as Python's difflib finds it:
// the longest match first, then the same on each side of it.
std::size_t matched(const std::string& a, const std::string& b) {
    std::map<char, std::vector<std::size_t>> where;  // b's positions of each character
    for (std::size_t j = 0; j < b.size(); ++j) where[b[j]].push_back(j);
    if (b.size() >= 200) {  // difflib's automatic junk: characters too common in a long b
        const std::size_t most = b.size() / 100 + 1;
        for (auto it = where.begin(); it != where.end();) it = it->second.size() > most ? where.erase(it) : std::next(it);
    }
    const auto longest = [&](std::size_t alo, std::size_t ahi, std::size_t blo, std::size_t bhi) {
        std::size_t best_i = alo, best_j = blo, best = 0;
        std::map<std::size_t, std::size_t> run;  // b position -> length of the match ending there
        for (std::size_t i = alo; i < ahi; ++i) {
            std::map<std::size_t, std::size_t> next;
            const auto found = where.find(a[i]);
            if (found != where.end()) {
                for (const std::size_t j : found->second) {
                    if (j < blo) continue;
                    if (j >= bhi) break;
                    const auto before = j > 0 ? run.find(j - 1) : run.end();
                    const std::size_t k = next[j] = (before != run.end() ? before->second : 0) + 1;
                    if (k > best) best_i = i + 1 - k, best_j = j + 1 - k, best = k;
                }
            }
            run = std::move(next);
        }
        while (best_i > alo && best_j > blo && a[best_i - 1] == b[best_j - 1]) --best_i, --best_j, ++best;
        while (best_i + best < ahi && best_j + best < bhi && a[best_i + best] == b[best_j + best]) ++best;
        return std::tuple{best_i, best_j, best};
    };
    std::size_t total = 0;
    std::vector<std::tuple<std::size_t, std::size_t, std::size_t, std::size_t>> queue{{0, a.size(), 0, b.size()}};
    while (!queue.empty()) {
        const auto [alo, ahi, blo, bhi] = queue.back();
        queue.pop_back();
        const auto [i, j, k] = longest(alo, ahi, blo, bhi);
        if (k == 0) continue;
        total += k;
        if (alo < i && blo < j) queue.emplace_back(alo, i, blo, j);
        if (i + k < ahi && j + k < bhi) queue.emplace_back(i + k, ahi, j + k, bhi);
    }
    return total;
}

std::string lower(std::string text) {
    for (char& c : text) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    return text;
}

// The known key that `key` (ASCII) was probably meant as, or "": itself, the same
// but for case, or the closest with difflib's ratio of at least 0.7.
std::string nearest_key(const std::string& key) {
    if (contains(known_keys(), key)) return key;
    for (const std::string& known : known_keys()) {
        if (lower(known) == lower(key)) return known;
    }
    std::string best;
    double best_ratio = 0.0;
    for (const std::string& known : known_keys()) {
        const std::size_t length = known.size() + key.size();
        const double ratio = length ? 2.0 * static_cast<double>(matched(known, key)) / static_cast<double>(length) : 1.0;
        if (ratio >= 0.7 && (ratio > best_ratio || (ratio == best_ratio && known > best))) best = known, best_ratio = ratio;
    }
    return best;
}

// The value written out without its exponent, as Python formats a Decimal with "f";
// nothing when the part before the exponent is no decimal number.
std::string without_exponent(const std::u32string& value) {
    const bool signed_ = value[0] == U'+' || value[0] == U'-';
    const std::string sign = value[0] == U'-' ? "-" : "";
    const std::size_t i = signed_ ? 1 : 0;
    const std::size_t e = value.find_first_of(U"eE", i);
    std::string digits;
    long fraction = 0, dots = 0;
    for (std::size_t k = i; k < e; ++k) {
        if (value[k] == U'.') {
            ++dots;
        } else {
            digits += static_cast<char>(value[k]);
            fraction += dots;
        }
    }
    if (dots > 1 || digits.empty()) return "";
    const std::string exponent_text = encode(value.substr(e + 1));
    if (exponent_text.size() > 9) return "";
    long exponent = std::stol(exponent_text) - fraction;
    digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size() - 1));
    if (digits == "0" && exponent > 0) exponent = 0;
    if (exponent >= 0) return sign + digits + std::string(static_cast<std::size_t>(exponent), '0');
    const auto places = static_cast<std::size_t>(-exponent);
    if (digits.size() > places) return sign + digits.insert(digits.size() - places, ".");
    return sign + "0." + std::string(places - digits.size(), '0') + digits;
}

std::size_t number_prefix(const std::u32string& text, std::size_t from = 0) {
    std::size_t i = from;
    while (i < text.size() && is_number_char(text[i])) ++i;
    return i - from;
}

bool only(const std::u32string& text, std::size_t from, bool (*belongs)(char32_t)) {
    return from < text.size() && std::all_of(text.begin() + static_cast<std::ptrdiff_t>(from), text.end(), belongs);
}

// Why a value text is not digits and full stops, in words a user can act on.
std::string value_problem(const std::u32string& value) {
    if (value.empty()) return "no value after '='";
    const std::size_t number = number_prefix(value);
    std::size_t after = number;
    while (after < value.size() && is_space(value[after])) ++after;
    if (number > 0 && after < value.size() && value[after] == U'#') {
        return "a comment after the value: the engine reads a line whole or not at all, "
               "so move the comment to a line of its own";
    }
    const bool signed_ = value[0] == U'+' || value[0] == U'-';
    if (signed_ && only(value, 1, is_number_char)) {
        return std::string("a sign: values are digits and full stops only") +
               (value[0] == U'-' ? ", and cannot be negative" : "");
    }
    const std::size_t mantissa = signed_ ? 1 : 0;
    const std::size_t e = mantissa + number_prefix(value, mantissa);
    if (e > mantissa && e < value.size() && (value[e] == U'e' || value[e] == U'E')) {
        const std::size_t power = e + 1 < value.size() && (value[e + 1] == U'+' || value[e + 1] == U'-') ? e + 2 : e + 1;
        const std::string written = only(value, power, is_digit) ? without_exponent(value) : "";
        if (!written.empty()) return "an exponent: write " + encode(value) + " out in digits, as " + written;
    }
    const std::size_t comma = value.find(U',');
    if (comma != std::u32string::npos && comma > 0 && std::all_of(value.begin(), value.begin() + static_cast<std::ptrdiff_t>(comma), is_digit) &&
        only(value, comma + 1, is_digit)) {
        std::u32string point = value;
        point[comma] = U'.';
        return "a decimal comma: write " + encode(point);
    }
    if (number > 0 && after > number && after < value.size()) {
        return "text after the value: the engine reads a line whole or not at all";
    }
    return "the value " + quoted(value) + " is not digits and full stops";
}

// Why the engine skips `line`, if it does: false when it is an assignment or blank.
bool line_finding(unsigned long number, const std::u32string& line, Finding& finding) {
    const bool bom = !line.empty() && line[0] == byte_order_mark;
    const std::u32string body = bom ? line.substr(1) : line;
    if (strip(body).empty()) return false;
    const std::size_t equals = body.find(U'=');
    const bool loose = equals != std::u32string::npos;
    const std::u32string key = loose ? strip(body.substr(0, equals)) : U"";
    std::string ignored_key, ignored_value;
    const bool counts = assignment(body, ignored_key, ignored_value);
    finding = Finding{number, encode(body), "", ""};
    std::string prefix;
    if (bom) {
        const std::string reason = "begins with a byte-order mark (U+FEFF): save the file as UTF-8 without one";
        if (counts) {
            finding.reason = reason;
            finding.key = nearest_key(encode(key));
            return true;
        }
        prefix = reason + "; and ";
    }
    if (counts) return false;
    const std::u32string left = strip(body);
    if (left[0] == U'#') {
        finding.reason = prefix + "a comment";
    } else if (!loose) {
        finding.reason = prefix + "no '=': not an assignment";
    } else if (key.empty() || !std::all_of(key.begin(), key.end(), is_key_char)) {
        std::string mended;
        for (const char32_t c : key) mended += is_key_char(c) ? static_cast<char>(c) : '_';
        finding.key = nearest_key(mended);
        finding.reason = prefix + "the key " + quoted(key) + " may hold only ASCII letters, digits and underscores" +
                         (finding.key.empty() ? "" : " (did you mean " + finding.key + "?)");
    } else {
        finding.key = nearest_key(encode(key));
        finding.reason = prefix + encode(key) + ": " + value_problem(strip(body.substr(equals + 1)));
    }
    return true;
}

// Why a value does not convert to what the engine asks for, or "".
std::string conversion_problem(const std::string& key, const std::string& value) {
    if (contains(whole_keys, key)) {
        const std::size_t first = std::min(value.find_first_not_of('0'), value.size());
        const std::string significant = value.substr(first);
        const bool digits = value.find('.') == std::string::npos;
        const bool fits = significant.size() < 10 || (significant.size() == 10 && significant <= "4294967295");
        return digits && fits ? "" : key + " = " + value + " is not a whole number from 0 to 4294967295";
    }
    return std::count(value.begin(), value.end(), '.') > 1 || value == "." ? key + " = " + value + " is not a number"
                                                                           : "";
}

std::string read_file(const std::string& path) {
    std::ifstream input(path, std::ios::binary);
    std::ostringstream contents;
    if (input) contents << input.rdbuf();
    if (!input || input.bad()) throw std::ios_base::failure("cannot read " + path);
    return contents.str();
}

}  // namespace

const std::vector<std::string>& needed_keys() { return needed; }

const std::vector<std::string>& known_keys() {
    static const std::vector<std::string> keys = [] {
        std::vector<std::string> all = needed;
        all.push_back("seed");
        all.push_back("sort_every");
        return all;
    }();
    return keys;
}

Check check(const std::string& path) { return check_text(path, read_file(path)); }

Check check_text(const std::string& path, const std::string& contents) {
    const std::u32string text = decode(contents);
    Check report{path, {}, {}, {}, {}};
    std::map<std::string, std::pair<unsigned long, std::string>> first;  // key -> its first line and value
    std::size_t start = 0;
    for (unsigned long number = 1;; ++number) {
        const std::size_t end = std::min(text.find(U'\n', start), text.size());
        const std::u32string line = text.substr(start, end - start);
        Finding finding;
        std::string key, value;
        if (line_finding(number, line, finding)) {
            report.findings.push_back(finding);
        } else if (assignment(line, key, value)) {
            const auto [earlier, fresh] = first.emplace(key, std::pair{number, value});
            std::string reason, concerns = key;
            if (!fresh) {
                reason = key + " is assigned on line " + std::to_string(earlier->second.first) +
                         " already, and the first assignment counts";
            } else if (!contains(known_keys(), key)) {
                concerns = nearest_key(key);
                std::string keys;
                for (const std::string& known : known_keys()) keys += (keys.empty() ? "" : ", ") + known;
                reason = "the engine reads no key " + quoted(widen(key)) +
                         (concerns.empty() ? "; the keys are " + keys : ": did you mean " + concerns + "?");
            } else {
                reason = conversion_problem(key, value);
            }
            if (!reason.empty()) report.findings.push_back(Finding{number, encode(line), reason, concerns});
        }
        if (end == text.size()) break;
        start = end + 1;
    }
    for (const auto& [key, place] : first) report.assigned.insert(key);
    for (const std::string& key : needed) {
        if (!first.count(key)) report.missing.push_back(key);
    }
    for (const std::string& key : known_keys()) {
        const auto found = first.find(key);
        if (found != first.end() && !conversion_problem(key, found->second.second).empty()) {
            report.unconvertible.push_back(key);
        }
    }
    return report;
}

std::string describe(const Finding& finding) {
    return "line " + std::to_string(finding.line) + ": " + quoted(strip(decode(finding.text))) + ": " + finding.reason;
}

std::string diagnose(const Check& report, const std::string& key) {
    std::string lines;
    for (const Finding& finding : report.findings) {
        if (finding.key == key) lines += (lines.empty() ? "" : "; ") + describe(finding);
    }
    if (contains(report.unconvertible, key)) {
        return report.path + " assigns " + key + " a value that does not convert: " + lines;
    }
    if (report.assigned.count(key)) return report.path + " assigns " + key;
    if (lines.empty()) return "no line of " + report.path + " assigns " + key;
    return report.path + " does not assign " + key + ": " + lines;
}

std::string explain_error(const std::string& path, const std::string& message) {
    const bool missing = message.rfind(not_found, 0) == 0;
    if (!missing && message.rfind(bad_cast, 0) != 0) return "";
    Check report;
    try {
        report = check(path);
    } catch (const std::exception&) {
        return "";
    }
    const std::vector<std::string> keys =
        missing ? std::vector<std::string>{message.substr(not_found.size())} : report.unconvertible;
    std::string lines;
    for (const std::string& key : keys) lines += "  " + diagnose(report, key) + "\n";
    return lines;
}

}  // namespace diagnosis
