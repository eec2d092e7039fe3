// The komu tool's command line: see args.h.
#include "args.h"

#include <charconv>
#include <cstdio>

std::string parsed_args::value_or(const char* long_name, const std::string& fallback) const {
    const auto it = values.find(long_name);
    return it == values.end() ? fallback : it->second;
}

bool parse_args(int argc, char** argv, int first, std::span<const option_spec> specs,
                parsed_args* out, std::string* error) {
    bool options_done = false;
    for (int i = first; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (options_done || arg.size() < 2 || arg[0] != '-') {
            out->positional.emplace_back(arg);
            continue;
        }
        if (arg == "--") {
            options_done = true;
            continue;
        }
        if (arg == "-h" || arg == "--help") {
            out->help = true;
            continue;
        }
        const size_t eq = arg.starts_with("--") ? arg.find('=') : std::string_view::npos;
        const std::string_view name = arg.substr(0, eq);
        const option_spec* opt = nullptr;
        for (const option_spec& s : specs) {
            if ((s.short_name && name == s.short_name) || name == s.long_name) opt = &s;
        }
        if (opt == nullptr) {
            *error = "unknown option " + std::string(name);
            return false;
        }
        std::string value;
        if (opt->takes_value) {
            if (eq != std::string_view::npos) {
                value = arg.substr(eq + 1);
            } else if (i + 1 < argc) {
                value = argv[++i];
            } else {
                *error = "option " + std::string(name) + " needs a value";
                return false;
            }
        } else if (eq != std::string_view::npos) {
            *error = "option " + std::string(name) + " takes no value";
            return false;
        }
        out->values[opt->long_name] = value;
    }
    return true;
}

bool parse_uint(std::string_view text, uint64_t max, uint64_t* value) {
    uint64_t v = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, v);
    if (text.empty() || ec != std::errc{} || ptr != end || v > max) return false;
    *value = v;
    return true;
}

bool parse_pair(std::string_view text, char separator, uint64_t max, uint64_t* a, uint64_t* b) {
    const size_t at = text.find(separator);
    if (at == std::string_view::npos) return false;
    return parse_uint(text.substr(0, at), max, a) && parse_uint(text.substr(at + 1), max, b);
}

std::string size_text(uint64_t bytes) {
    char buf[32];
    if (bytes < 1000) {
        std::snprintf(buf, sizeof buf, "%llu B", static_cast<unsigned long long>(bytes));
        return buf;
    }
    const char* units[] = {"kB", "MB", "GB", "TB"};
    double v = double(bytes) / 1000;
    int u = 0;
    while (v >= 1000 && u < 3) {
        v /= 1000;
        ++u;
    }
    std::snprintf(buf, sizeof buf, "%.*f %s", v < 100 ? 2 : 1, v, units[u]);
    return buf;
}

void print_error(const std::string& message) {
    std::fprintf(stderr, "komu: %s\n", message.c_str());
}
