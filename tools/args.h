// The komu tool's command line: a command, its options and its operands.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

inline constexpr int STATUS_OK = 0;
inline constexpr int STATUS_FAILED = 1;  // a bad file or input
inline constexpr int STATUS_USAGE = 2;   // bad arguments

struct option_spec {
    const char* short_name;  // "-o", or null
    const char* long_name;   // "--out"; also the key of the parsed value
    bool takes_value;
};

struct parsed_args {
    std::map<std::string, std::string> values;  // by long name; "" for flags
    std::vector<std::string> positional;
    bool help = false;

    bool has(const char* long_name) const { return values.contains(long_name); }
    // The option's value, or fallback when it was not given.
    std::string value_or(const char* long_name, const std::string& fallback) const;
};

// One subcommand: its name, the options it takes and what runs it.
struct command {
    const char* name;
    std::span<const option_spec> options;
    int (*run)(const parsed_args&);
};

// Parses argv[first..argc). Options take their value from the next argument
// or, for long names, after '='; "--" ends the options; "-" is an operand.
bool parse_args(int argc, char** argv, int first, std::span<const option_spec> specs,
                parsed_args* out, std::string* error);

// A whole decimal number in 0..max.
bool parse_uint(std::string_view text, uint64_t max, uint64_t* value);
// "A" + separator + "B", both whole numbers in 0..max.
bool parse_pair(std::string_view text, char separator, uint64_t max, uint64_t* a, uint64_t* b);

// Sizes for people: "950 B", "12.3 kB", "4.56 MB" (powers of 1000).
std::string size_text(uint64_t bytes);

// "komu: " + message, one line on standard error.
void print_error(const std::string& message);
