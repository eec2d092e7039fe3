// Runs cinepane-kelos, the player built for the target system, on this
// machine. The i386 emulator runs it with its debugger stub, and this test,
// as the debugger, stops it at every system-call instruction (int 0x80) in
// the executable, as the disassembler (objdump) lists them. A call made from
// the window binding's code is answered by the fake window server below, with
// a virtual clock that only the sleep call advances, and is never executed. A
// call from the C library (start-up, the file calls) goes on to the emulator
// and the kernel, unless it carries a window-server number, which here would
// mean something harmful: then the run stops and fails.
//
// The server reads and writes the records as raw 32-bit words at the
// interface's offsets, never through the player's structs, and logs every
// call; the tests judge the log.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <map>
#include <numeric>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "komu_test_files.h"
#include "komu_write.h"

namespace {

using words = std::vector<uint32_t>;
using testfile::bytes;

// The interface: call number, its letter in the log, the binding's function
// as the disassembler labels it.
struct call_kind { uint32_t number; char code; const char* function; };
constexpr call_kind CALLS[] = {
    {8, 'C', "<gui_create("}, {10, 'B', "<gui_begin("}, {12, 'F', "<gui_fill_rect("},
    {13, 'T', "<gui_draw_text("}, {14, 'P', "<gui_present("}, {15, 'E', "<gui_poll_event("},
    {19, 'S', "<gui_get_content_size("}, {22, 'Z', "<sleep_us("}, {109, 'M', "<time_ms("},
    {23, 'R', "<gui_set_continuous_redraw("}, {24, 'L', "<gui_blit_rgb565("},
    {0, 'W', "<gui_wait_event("},  // no call of its own: it polls, reads the clock, sleeps
};

char code_of(uint32_t n) {
    const auto k = std::ranges::find(CALLS, n, &call_kind::number);
    return k == std::end(CALLS) ? '?' : k->code;
}

// Every int 0x80 in the executable, mapped to the letter of the binding
// function it lies in (0 outside the binding); empty unless the disassembler
// finds all of the binding's functions. The disassembly is cut down to one
// line per int 0x80: its address, then the start of its function's label.
std::map<uint32_t, char> find_sites(const std::string& exe) {
    std::istringstream dis(testfile::run("objdump -dC --no-show-raw-insn '" + exe + "' | awk"
                                         " '/^[0-9a-f]+ </ {f = $2} /\\tint +\\$0x80/ {print $1, f}'").out);
    std::map<uint32_t, char> sites;
    std::set<char> found;
    for (std::string line; std::getline(dis, line);) {
        char& function = sites[static_cast<uint32_t>(std::stoul(line, nullptr, 16))];
        for (const call_kind& k : CALLS)
            if (line.find(k.function) != std::string::npos) found.insert(function = k.code);
    }
    return found.size() == std::size(CALLS) ? sites : std::map<uint32_t, char>{};
}

template <typename... A>
std::string format(const char* f, A... a) {
    char b[64];
    std::snprintf(b, sizeof b, f, a...);
    return b;
}

// Words as the stub writes memory and registers (in hexadecimal, byte by
// byte, low byte first), and back into items of T.
std::string hex(const words& v) {
    std::string out;
    for (uint32_t w : v) out += format("%08x", __builtin_bswap32(w));
    return out;
}
template <typename T = uint8_t>
std::vector<T> unhex(const std::string& s) {
    std::vector<T> out(s.size() / 2 / sizeof(T));
    for (size_t i = 0; i < out.size() * sizeof(T); ++i)
        std::sscanf(&s[2 * i], "%2hhx", reinterpret_cast<uint8_t*>(out.data()) + i);
    return out;
}

// The emulator's debugger stub over its socket: one packet out, one reply
// back, each acknowledged.
struct stub {
    FILE* in;  // the socket, its replies read through a buffer

    std::string ask(const std::string& packet) {
        send("$" + packet + format("#%02x", std::accumulate(packet.begin(), packet.end(), 0) & 0xff));
        std::string reply;
        int ch = 0;
        while (ch != '$' && ch != EOF) ch = std::fgetc(in);  // past the acknowledgement
        for (ch = std::fgetc(in); ch != '#' && ch != EOF; ch = std::fgetc(in)) reply += char(ch);
        std::fgetc(in), std::fgetc(in);  // the checksum
        send("+");
        return ch == '#' ? reply : "X";  // "X": the stub is gone
    }
    void send(const std::string& s) { ::send(fileno(in), s.data(), s.size(), MSG_NOSIGNAL); }
    // n items of the player's memory, 1 KiB a packet; all 0 where any of it
    // is not mapped (an error reply has another length).
    template <typename T = uint8_t>
    std::vector<T> peek(uint32_t addr, size_t n) {
        std::string hexed;
        for (size_t at = 0; at < n * sizeof(T); at += 1024)
            hexed += ask(format("m%zx,%zx", addr + at, std::min<size_t>(n * sizeof(T) - at, 1024)));
        return hexed.size() == 2 * n * sizeof(T) ? unhex<T>(hexed) : std::vector<T>(n);
    }
    // The text at addr, read as 128 bytes: the player's texts are shorter,
    // and each lies well inside its mapped segment.
    std::string text(uint32_t addr) {
        const bytes b = peek(addr, 128);
        return {b.begin(), std::ranges::find(b, 0)};
    }
    void poke(uint32_t at, const words& w) { ask(format("M%x,%zx:", at, 4 * w.size()) + hex(w)); }
    bool breakpoint(char z, uint32_t addr) { return ask(format("%c0,%x,1", z, addr)) == "OK"; }
};

// One call: the letters of its number ('?' if unknown) and of the binding
// function that made it, its argument registers, the virtual time, and the
// record at ecx as 32-bit words and the texts it points to.
struct logged { char code, function; uint32_t ebx, ecx, ms; words record; std::string text[2]; };

// A run: the player's exit status and output (as for any program run), then
// why the run was stopped, the calls' letters, the calls.
struct run_result : testfile::run_result {
    std::string fault, codes;
    std::vector<logged> log;
    std::vector<uint16_t> first_blit;  // the pixels of the first blit
};

// Virtual time: the clock's start, and the limit of a run (the longest ends after 1.5 s).
constexpr uint32_t CLOCK_START_MS = 5000, RUN_LIMIT_MS = 5000;

// The fake server's part: the handle it gives (negative refuses), the content
// size it stores (none leaves the record as the player preset it), and events,
// each delivered by the first poll at or after its time.
using event_at = std::pair<uint32_t, words>;  // time in ms, the record's 5 words
run_result run_player(const std::string& video, int32_t handle, const words& size,
                      const std::vector<event_at>& events) {
    const std::string exe = std::getenv("CINEPANE_KELOS_BIN"), qemu = std::getenv("QEMU_I386");
    const std::string sock = "/tmp/kelos_run_" + std::to_string(getpid());
    const std::map<uint32_t, char> sites = find_sites(exe);
    unlink(sock.c_str());  // one left by an earlier process of the same number
    auto player = std::async(std::launch::async, testfile::run,  // nothing without the whole binding
                             sites.empty() ? "true" : qemu + " -g " + sock + " '" + exe + "' '" + video + "'");
    // Not inherited by the player, started at the same time: when the test
    // ends a run, the emulator must see the connection close.
    stub gdb{fdopen(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0), "r")};
    sockaddr_un addr{AF_UNIX, {}};
    sock.copy(addr.sun_path, sizeof addr.sun_path - 1);
    bool ready = false;
    for (int i = 0; !sites.empty() && gdb.in && i < 500 && !ready; ++i, usleep(10'000))
        ready = connect(fileno(gdb.in), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    for (const auto& [site, code] : sites) ready = ready && gdb.breakpoint('Z', site);
    run_result res{};
    if (!ready) res.fault = "no executable with the whole binding or no debugger stub";

    uint64_t now_us = uint64_t{CLOCK_START_MS} * 1000;
    size_t next_event = 0;
    std::string stop = ready ? gdb.ask("c") : "";
    while (res.fault.empty() && stop.rfind("T05", 0) == 0) {
        words regs = unhex<uint32_t>(gdb.ask("g"));  // eax ecx edx ebx esp ebp esi edi eip ...
        regs.resize(std::max<size_t>(regs.size(), 9));
        const char function = sites.count(regs[8]) ? sites.at(regs[8]) : 0;
        if (function == 0 && code_of(regs[0]) != '?') {  // it must not reach the kernel
            res.fault = "call " + std::to_string(regs[0]) + " from outside the binding";
        } else if (function == 0) {  // the C library's own call goes to the kernel: step over it
            gdb.breakpoint('z', regs[8]);
            stop = gdb.ask("s");
            if (stop.rfind("T05", 0) == 0 && gdb.breakpoint('Z', regs[8])) stop = gdb.ask("c");
        }
        if (function == 0) continue;
        logged c{code_of(regs[0]), function, regs[3], regs[1], uint32_t(now_us / 1000), {}, {}};
        // The server's answer: the handle, the time, or 0 (an event's 1 below).
        regs[0] = c.code == 'C' ? uint32_t(handle) : c.code == 'M' ? uint32_t(now_us / 1000) : 0;
        if (c.code == 'C') c.text[0] = gdb.text(c.ebx), c.text[1] = gdb.text(c.ecx);
        // The records' pointers are logged as 0, what they point to beside.
        if (std::strchr("FLT", c.code)) c.record = gdb.peek<uint32_t>(c.ecx, c.code == 'T' ? 4 : 5);
        if (c.code == 'T') c.text[0] = gdb.text(std::exchange(c.record[3], 0));
        const uint32_t pixels = c.code == 'L' ? std::exchange(c.record[2], 0) : 0;
        if (pixels != 0 && res.first_blit.empty() && c.record[0] <= 320 && c.record[1] <= 200)
            res.first_blit = gdb.peek<uint16_t>(pixels, c.record[0] * c.record[1]);
        if (c.code == 'E' && next_event < events.size() && events[next_event].first <= c.ms)
            gdb.poke(c.ecx, c.record = events[next_event++].second), regs[0] = 1;
        if (c.code == 'S' && !size.empty()) gdb.poke(c.ecx, size);
        if (c.code == 'Z') now_us += c.ebx;
        res.log.push_back(c);
        res.codes += c.code;
        if (res.log.size() > 50'000 || now_us / 1000 > CLOCK_START_MS + RUN_LIMIT_MS)
            res.fault = "the player did not end";
        regs[8] += 2;  // on after the 2-byte int 0x80, which is never executed
        gdb.ask("G" + hex(regs));
        stop = gdb.ask("c");
    }
    if (res.fault.empty() && stop[0] != 'W') res.fault = "stopped: " + stop;
    if (!res.fault.empty() && gdb.in) gdb.send("$k#6b");  // the emulator ends the player at once
    if (gdb.in != nullptr) std::fclose(gdb.in);
    static_cast<testfile::run_result&>(res) = player.get();
    unlink(sock.c_str());
    return res;
}

// ---- The video, and what the player must make of it ------------------------

constexpr uint16_t VIDEO_W = 160, VIDEO_H = 120;
constexpr uint32_t FRAMES = 24, FPS = 30, HANDLE = 7;

// The 320 x 200 render buffer of picture k of the frames fitted into a w x h
// video area, from the formulas: fit the zoom, centre, map each render pixel
// to a view pixel and that to a video pixel (divisions truncate toward 0).
std::vector<uint16_t> composed(const bytes& frames, uint32_t k, int32_t w, int32_t h) {
    const uint8_t* frame = &frames.at(size_t{k} * VIDEO_W * VIDEO_H * 2);
    const int32_t z = std::clamp(std::min(w * 1000 / VIDEO_W, h * 1000 / VIDEO_H), 50, 6000);
    const int32_t pan_x = (w - (VIDEO_W * z + 999) / 1000) / 2;
    const int32_t pan_y = (h - (VIDEO_H * z + 999) / 1000) / 2;
    std::vector<uint16_t> out;
    for (int32_t i = 0; i < 320 * 200; ++i) {
        const int32_t sx = (i % 320 * w / 320 - pan_x) * 1000 / z;
        const int32_t sy = (i / 320 * h / 200 - pan_y) * 1000 / z;
        const size_t at = (size_t(sy) * VIDEO_W + size_t(sx)) * 2;
        const bool inside = sx >= 0 && sx < VIDEO_W && sy >= 0 && sy < VIDEO_H;
        out.push_back(inside ? static_cast<uint16_t>(frame[at] | frame[at + 1] << 8) : 0x18E3);
    }
    return out;
}

// The video played three times, each run checked whole: the call numbers,
// each from its own function (the wait makes the poll, clock and sleep
// calls); the handle in ebx wherever a call takes one; gui_create's texts;
// continuous redraw on right after create and off at the very end; one
// content-size call at the start of every pass, a drawing of begin, blit,
// bar, two texts and present, or none. Then the first drawing: the blit and
// its pixels, the bar, both texts at their places and colours; and every
// picture drawn once, on the frame schedule of the virtual clock.
TEST(KelosTarget, PlaysOnTheFrameScheduleDrawsEachPassInFullQuitsAndFailsWithoutAWindow) {
    // Every picture different: the test pattern cut into frames.
    const bytes frames = testfile::picture(VIDEO_W, uint16_t(VIDEO_H * FRAMES), 0);
    bytes file;
    std::string error;
    ASSERT_TRUE(komu_encode({.width = VIDEO_W, .height = VIDEO_H, .fps_num = FPS}, frames, &file,
                            &error)) << error;
    const testfile::temp_file video(file);
    // The event, the content size the server reports, the first picture drawn,
    // how many drawings, the calls' letters.
    struct row { event_at event; words size; uint32_t first, drawings; const char* calls; };
    for (const row& row : {
             // To the end in a window that reports no size, then 'q'. The
             // first pass decodes and draws picture 1; after the last, only
             // the quit redraws.
             row{{CLOCK_START_MS + 1500, {1, 'q', 0, 0, 0}}, {}, 1, FRAMES,
                 "CRMS[EMZ]*BLFTTP[EMZ]*(S[EMZ]*(BLFTTP)?[EMZ]*)*R"},
             // Esc at the first poll in a 400 x 300 window, and a close request.
             row{{0, {1, 27, 0, 0, 0}}, {400, 300}, 0, 1, "CRMSEBLFTTPR"},
             row{{0, {3, 0xDEAD, 1, 1, 1}}, {}, 0, 1, "CRMSEBLFTTPR"}}) {
        const run_result r = run_player(video.path(), HANDLE, row.size, {row.event});
        ASSERT_EQ(std::tie(r.fault, r.status, r.out), std::tuple("", 0, "")) << r.codes.substr(0, 100);
        for (const logged& c : r.log) {
            EXPECT_TRUE(c.code == c.function || (c.function == 'W' && std::strchr("EMZ", c.code)))
                << "call number " << c.code << " of the binding's function " << c.function;
            EXPECT_TRUE(!std::strchr("BFTPESRL", c.code) || c.ebx == HANDLE) << c.code << c.ebx;
        }
        ASSERT_TRUE(std::regex_match(r.codes, std::regex(row.calls))) << r.codes;
        EXPECT_EQ(std::tie(r.log[0].text[0], r.log[0].text[1]),
                  std::tuple("View (KOMU)", "Esc quit | Space play/pause | +/- zoom | wheel zoom | arrows/mouse pan"));
        EXPECT_EQ(std::pair(r.log[1].ecx, r.log.back().ecx), std::pair(1u, 0u)) << "redraw on, then off";

        // The first drawing; the window 920 x 560 unless reported.
        const size_t b = r.codes.find("BLFTTP");
        const uint32_t w = row.size.empty() ? 920 : row.size[0], h = row.size.empty() ? 560 : row.size[1];
        EXPECT_EQ(r.log[b + 1].record, (words{320, 200, 0, w, h - 18}));
        EXPECT_TRUE(r.first_blit == composed(frames, row.first, int32_t(w), int32_t(h) - 18));
        EXPECT_EQ(r.log[b + 2].record, (words{0, h - 18, w, 18, 0x262626}));
        EXPECT_EQ(r.log[b + 3].record, (words{6, h - 13, 0xDEDEDE, 0}));
        EXPECT_EQ(r.log[b + 4].record, (words{w / 2, h - 13, 0x8C8C8C, 0}));
        EXPECT_EQ(r.log[b + 4].text[0],
                  "Space play/pause  +/- zoom  wheel zoom  arrows/mouse pan  Esc quit");

        // Picture k (status "frame k+1") is drawn k intervals after t0,
        // picture 1 at t0; the quit's redraw at any time.
        const uint32_t t0 = r.log[2].ms;
        uint32_t k = row.first;
        for (const logged& c : r.log) {
            if (c.code != 'T' || c.record[2] != 0xDEDEDE) continue;
            EXPECT_NEAR(c.ms, k >= FRAMES ? c.ms : k == 1 ? t0 : t0 + k * 1000 / FPS, 1) << "picture " << k;
            ASSERT_EQ(c.text[0], format("%s | frame %u/24 | playing", video.path(), std::min(++k, FRAMES)));
        }
        EXPECT_EQ(k - row.first, row.drawings);
        EXPECT_GE(r.log.back().ms, row.event.first);
    }
    // A refused window.
    const run_result r = run_player(video.path(), -1, {}, {});
    EXPECT_EQ(std::tie(r.fault, r.codes, r.status, r.out), std::tuple("", "C", 1, "cinepane: gui_create failed\n"));
}

}  // namespace
