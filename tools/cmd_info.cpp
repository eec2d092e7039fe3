// komu info: the header fields, the player's frame interval and, for
// indexed files, what the index holds.
#include <cstdio>
#include <string>

#include "commands.h"
#include "komu.h"
#include "komu_write.h"

namespace {

void print_field(const char* name, const std::string& value) {
    std::printf("%-18s %s\n", name, value.c_str());
}

void print_field(const char* name, uint64_t value) { print_field(name, std::to_string(value)); }

std::string hex(uint32_t value, int digits) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%0*X", digits, value);
    return buf;
}

// Payload kinds, counts, payload and gap bytes and the first entry that
// breaks the order, from the index of an opened indexed stream.
void print_index_summary(const komu_stream& s) {
    const uint32_t count = s.header.frame_count;
    uint64_t kinds[4] = {};
    uint64_t payload_bytes = 0;
    uint64_t gap_bytes = 0;
    uint64_t previous_end = 0;  // from the data area's start
    uint64_t furthest_end = 0;
    std::string order_break = "none";
    std::string past_end = "none";
    const uint64_t data_bytes = s.file_size - s.data_offset;
    for (uint32_t i = 0; i < count; ++i) {
        const komu_frame_entry& e = s.index[i];
        const uint64_t end = uint64_t{e.offset} + e.size;
        kinds[komu_payload_kind(e.flags)] += 1;
        payload_bytes += e.size;
        if (e.offset >= previous_end) {
            gap_bytes += e.offset - previous_end;
        } else if (order_break == "none") {
            order_break = "entry " + std::to_string(i) + ": offset " + std::to_string(e.offset) +
                          " is before the previous payload's end " + std::to_string(previous_end);
        }
        if (end > data_bytes && past_end == "none") {
            past_end = "entry " + std::to_string(i) + ": ends at " + std::to_string(end) +
                       ", the data area holds " + std::to_string(data_bytes);
        }
        previous_end = end;
        if (end > furthest_end) furthest_end = end;
    }
    print_field("raw_key", kinds[0]);
    print_field("rle_key", kinds[1]);
    print_field("raw_delta", kinds[2]);
    print_field("rle_delta", kinds[3]);
    print_field("payload_bytes", payload_bytes);
    print_field("gap_bytes", gap_bytes);
    print_field("trailing_bytes", data_bytes > furthest_end ? data_bytes - furthest_end : 0);
    print_field("order_break", order_break);
    print_field("past_end", past_end);
}

int cmd_info(const parsed_args& args) {
    if (args.positional.size() != 1) {
        print_error("info: expected one FILE (see komu --help)");
        return STATUS_USAGE;
    }
    const std::string& path = args.positional[0];
    komu_stream s;
    if (komu_open_stream(&s, path.c_str()) != 0) {
        print_error(path + ": " + failure_words(s.failure));
        return STATUS_FAILED;
    }
    const komu_header& h = s.header;
    print_field("magic", hex(h.magic, 8));
    print_field("width", h.width);
    print_field("height", h.height);
    print_field("pixel_format", h.pixel_format);
    print_field("flags", hex(h.flags, 2) + ((h.flags & KOMU_LOOP) ? " (loop)" : ""));
    print_field("mode", h.mode);
    print_field("frame_count", h.frame_count);
    print_field("fps_num", h.fps_num);
    print_field("fps_den", h.fps_den);
    print_field("header_size", h.header_size);
    print_field("frame_interval_us", komu_frame_interval_us(h.fps_num, h.fps_den));
    print_field("frame_bytes", s.frame_bytes);
    print_field("data_offset", s.data_offset);
    print_field("file_size", s.file_size);
    if (h.mode != KOMU_MODE_SEQUENTIAL) print_index_summary(s);
    komu_close(&s);
    return STATUS_OK;
}

}  // namespace

const command INFO_COMMAND = {"info", {}, cmd_info};
