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
#include <cstring>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "komu_test_files.h"
#include "komu_write.h"

namespace {

using words = std::vector<uint32_t>;
using testfile::bytes;

// The interface: call number, its letter in the log, the binding's function.
struct call_kind {
    uint32_t number;
    char code;
    const char* function;
};
constexpr call_kind CALLS[] = {
    {8, 'C', "gui_create("}, {10, 'B', "gui_begin("}, {12, 'F', "gui_fill_rect("},
    {13, 'T', "gui_draw_text("}, {14, 'P', "gui_present("}, {15, 'E', "gui_poll_event("},
    {19, 'S', "gui_get_content_size("}, {22, 'Z', "sleep_us("},
    {23, 'R', "gui_set_continuous_redraw("}, {24, 'L', "gui_blit_rgb565("}, {109, 'M', "time_ms("},
    {0, 'W', "gui_wait_event("},  // no call of its own: it polls, reads the clock, sleeps
};

char code_of(uint32_t n) {
    const auto k = std::find_if(std::begin(CALLS), std::end(CALLS), [n](auto& c) { return c.number == n; });
    return k == std::end(CALLS) ? '?' : k->code;
}

// Every int 0x80 in the executable, mapped to the letter of the binding
// function it lies in (0 outside the binding); empty unless the disassembler
// finds all of the binding's functions.
std::map<uint32_t, char> find_sites(const std::string& exe) {
    std::map<uint32_t, char> sites;
    std::string found;
    FILE* dis = popen(("objdump -dC --no-show-raw-insn '" + exe + "' 2>/dev/null").c_str(), "r");
    char line[1024], function = 0;
    for (uint32_t addr; dis != nullptr && std::fgets(line, sizeof line, dis) != nullptr;) {
        int label = 0, call = 0;  // where a function's name starts; the end of an int 0x80
        std::sscanf(line, "%x <%n", &addr, &label);
        std::sscanf(line, " %x: int $0x80%n", &addr, &call);
        if (label > 0) function = 0;
        for (const call_kind& k : CALLS) {
            if (label > 0 && std::strncmp(line + label, k.function, std::strlen(k.function)) == 0)
                found += function = k.code;
        }
        if (call > 0) sites[addr] = function;
    }
    if (dis != nullptr) pclose(dis);
    return found.size() == std::size(CALLS) ? sites : std::map<uint32_t, char>{};
}

template <typename... A>
std::string format(const char* f, A... a) {
    char b[64];
    std::snprintf(b, sizeof b, f, a...);
    return b;
}

std::string hex(const void* p, size_t n) {
    std::string out;
    for (size_t i = 0; i < n; ++i) out += format("%02x", static_cast<const uint8_t*>(p)[i]);
    return out;
}

// Hexadecimal digits as the bytes of n items of T.
template <typename T = uint8_t>
std::vector<T> unhex(const std::string& s) {
    bytes b;
    for (size_t i = 0; i + 1 < s.size(); i += 2) b.push_back(uint8_t(std::stoul(s.substr(i, 2), nullptr, 16)));
    std::vector<T> out(b.size() / sizeof(T));
    if (!out.empty()) std::memcpy(out.data(), b.data(), out.size() * sizeof(T));
    return out;
}

// The emulator's debugger stub over its socket: one packet out, one reply
// back, each acknowledged.
struct stub {
    int fd;
    std::string buf;

    std::string ask(const std::string& packet) {
        uint8_t sum = 0;
        for (char ch : packet) sum = static_cast<uint8_t>(sum + ch);
        send("$" + packet + "#" + hex(&sum, 1));
        for (char chunk[4096];;) {
            const size_t start = buf.find('$'), end = buf.find('#', std::min(start, buf.size()));
            if (end != std::string::npos && buf.size() >= end + 3) {
                std::string reply = buf.substr(start + 1, end - start - 1);
                buf.erase(0, end + 3);
                send("+");
                return reply;
            }
            const ssize_t n = read(fd, chunk, sizeof chunk);
            if (n <= 0) return "X";  // the stub is gone
            buf.append(chunk, static_cast<size_t>(n));
        }
    }
    void send(const std::string& s) {  // a short write only happens when the stub is gone
        if (::send(fd, s.data(), s.size(), MSG_NOSIGNAL) != ssize_t(s.size())) buf = "$X#00";
    }
    // n items of the player's memory; empty where it is not mapped.
    template <typename T = uint8_t>
    std::vector<T> peek(uint32_t addr, size_t n) {
        std::string hexed;
        for (size_t done = 0, chunk; done < n * sizeof(T); done += chunk) {
            chunk = std::min<size_t>(n * sizeof(T) - done, 1024);
            const std::string got = ask(format("m%zx,%zx", addr + done, chunk));
            if (got.size() != chunk * 2) return {};
            hexed += got;
        }
        return unhex<T>(hexed);
    }
    std::string text(uint32_t addr) {
        std::string s;
        for (bytes b; s.size() < 256 && (b = peek(addr++, 1)).size() == 1 && b[0] != 0;) s += char(b[0]);
        return s;
    }
    void poke(uint32_t addr, const words& w) {
        ask(format("M%x,%zx:", addr, w.size() * 4) + hex(w.data(), w.size() * 4));
    }
    bool breakpoint(char set_or_clear, uint32_t addr) {
        return ask(format("%c0,%x,1", set_or_clear, addr)) == "OK";
    }
};

// The fake server's part: the handle it gives (negative refuses), the content
// size it stores (0 x 0 leaves the record as the player preset it), and
// events (time in ms, the record's 5 words), each delivered by the first poll
// at or after its time.
struct script {
    int32_t handle;
    uint32_t content_w, content_h;
    std::vector<std::pair<uint32_t, words>> events;
};

// One call: the letters of its number ('?' if unknown) and of the binding
// function that made it, its argument registers, the virtual time, and the
// record at ecx as 32-bit words and the texts it points to.
struct logged {
    char code, function;
    uint32_t ebx, ecx, ms;
    words record;
    std::string text[2];
};

struct run_result {
    int status = -1;
    std::string out, fault;  // standard output; why the run was stopped, if it was
    std::vector<logged> log;
    std::vector<uint16_t> first_blit;  // the pixels of the first blit
};

constexpr uint32_t CLOCK_START_MS = 5000;
constexpr uint32_t RUN_LIMIT_MS = 5000;  // virtual; the longest run ends after 1.5 s

run_result run_player(const std::string& video, const script& sc) {
    const char *exe = std::getenv("CINEPANE_KELOS_BIN"), *qemu = std::getenv("QEMU_I386");
    const std::map<uint32_t, char> sites = find_sites(exe ? exe : "");
    const std::string sock = "/tmp/kelos_run_" + std::to_string(getpid());
    FILE* player = sites.empty() || !qemu ? nullptr
        : popen((std::string(qemu) + " -g " + sock + " '" + exe + "' '" + video + "'").c_str(), "r");
    stub gdb{socket(AF_UNIX, SOCK_STREAM, 0), ""};
    sockaddr_un addr{AF_UNIX, {}};
    sock.copy(addr.sun_path, sizeof addr.sun_path - 1);
    bool ready = false;
    for (int i = 0; player && i < 500 && !ready; ++i, usleep(10'000))
        ready = connect(gdb.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    for (const auto& [site, code] : sites) ready = ready && gdb.breakpoint('Z', site);
    run_result res;
    if (!ready) res.fault = "no executable with the whole binding, no emulator or no debugger stub";

    uint64_t now_us = uint64_t{CLOCK_START_MS} * 1000;
    size_t next_event = 0;
    std::string stop = ready ? gdb.ask("c") : "";
    while (stop.rfind("T05", 0) == 0) {
        words regs = unhex<uint32_t>(gdb.ask("g"));  // eax ecx edx ebx esp ebp esi edi eip ...
        regs.resize(std::max<size_t>(regs.size(), 9));
        const char function = sites.count(regs[8]) ? sites.at(regs[8]) : 0;
        if (function == 0) {  // the C library's own call goes to the kernel: step over it
            if (code_of(regs[0]) != '?') {
                res.fault = "call " + std::to_string(regs[0]) + " from outside the binding";
                break;
            }
            gdb.breakpoint('z', regs[8]);
            stop = gdb.ask("s");
            if (stop.rfind("T05", 0) == 0 && gdb.breakpoint('Z', regs[8])) stop = gdb.ask("c");
            continue;
        }
        logged c{code_of(regs[0]), function, regs[3], regs[1], uint32_t(now_us / 1000), {}, {}};
        regs[0] = c.code == '?' ? ~0u : 0;  // the server's answer
        if (c.code == 'C') {
            c.text[0] = gdb.text(c.ebx);
            c.text[1] = gdb.text(c.ecx);
            regs[0] = static_cast<uint32_t>(sc.handle);
        }
        if (std::strchr("FLT", c.code)) c.record = gdb.peek<uint32_t>(c.ecx, c.code == 'T' ? 4 : 5);
        if (c.code == 'T' && c.record.size() == 4) c.text[0] = gdb.text(c.record[3]);
        if (c.code == 'L' && res.first_blit.empty() && c.record.size() == 5 &&
            c.record[0] * c.record[1] <= 320 * 200) {
            res.first_blit = gdb.peek<uint16_t>(c.record[2], c.record[0] * c.record[1]);
        }
        if (c.code == 'E' && next_event < sc.events.size() && sc.events[next_event].first <= c.ms) {
            gdb.poke(c.ecx, c.record = sc.events[next_event++].second);
            regs[0] = 1;
        }
        if (c.code == 'S' && sc.content_w != 0) gdb.poke(c.ecx, {sc.content_w, sc.content_h});
        if (c.code == 'Z') now_us += c.ebx;
        if (c.code == 'M') regs[0] = static_cast<uint32_t>(now_us / 1000);
        res.log.push_back(c);
        if (res.log.size() > 50'000 || now_us / 1000 > CLOCK_START_MS + RUN_LIMIT_MS) {
            res.fault = "the player did not end";
            break;
        }
        regs[8] += 2;  // on after the 2-byte int 0x80, which is never executed
        gdb.ask("G" + hex(regs.data(), regs.size() * 4));
        stop = gdb.ask("c");
    }
    if (res.fault.empty() && stop[0] != 'W') res.fault = "stopped: " + stop;
    if (!res.fault.empty()) gdb.send("$k#6b");  // the emulator ends the player at once
    close(gdb.fd);
    for (int ch; player && (ch = std::fgetc(player)) != EOF;) res.out += char(ch);
    const int status = player ? pclose(player) : -1;
    if (WIFEXITED(status)) res.status = WEXITSTATUS(status);
    unlink(sock.c_str());
    return res;
}

// ---- The video, and what the player must make of it ------------------------

constexpr uint16_t VIDEO_W = 160, VIDEO_H = 120;
constexpr uint32_t FRAMES = 24, FPS = 30, HANDLE = 7;

testfile::temp_file make_video() {
    bytes frames, file;
    for (uint32_t k = 0; k < FRAMES; ++k) {
        const bytes f = testfile::picture(VIDEO_W, VIDEO_H, k);
        frames.insert(frames.end(), f.begin(), f.end());
    }
    std::string error;
    EXPECT_TRUE(komu_encode({.width = VIDEO_W, .height = VIDEO_H, .fps_num = FPS}, frames, &file,
                            &error)) << error;
    return testfile::temp_file(file);
}

// The 320 x 200 render buffer of picture k fitted into a w x h video area,
// from the formulas: fit the zoom, centre, map each render pixel to a view
// pixel and that to a video pixel (divisions truncate toward 0).
std::vector<uint16_t> composed(uint32_t k, int32_t w, int32_t h) {
    const bytes frame = testfile::picture(VIDEO_W, VIDEO_H, k);
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

std::string codes(const run_result& r) {
    std::string s;
    for (const logged& c : r.log) s += c.code;
    return s;
}

// Each call number from its own function (the wait makes the poll, clock and
// sleep calls); the handle in ebx wherever a call takes one; gui_create's
// texts; continuous redraw on right after create and off at the very end; one
// content-size call at the start of every pass, a drawing of begin, blit,
// bar, two texts and present, or none.
void check_protocol(const run_result& r) {
    ASSERT_EQ(r.fault, "");
    for (const logged& c : r.log) {
        EXPECT_TRUE(c.function == 'W' ? std::strchr("EMZ", c.code) != nullptr : c.code == c.function)
            << "call number " << c.code << " of the binding's function " << c.function;
        EXPECT_TRUE(!std::strchr("BFTPESRL", c.code) || c.ebx == HANDLE) << c.code << " " << c.ebx;
    }
    EXPECT_TRUE(std::regex_match(codes(r), std::regex("CRM(S[EMZ]*(BLFTTP)?[EMZ]*)+R"))) << codes(r);
    ASSERT_GE(r.log.size(), 2u);
    EXPECT_EQ(r.log[1].ecx, 1u);
    EXPECT_EQ(r.log.back().ecx, 0u);
    EXPECT_EQ(r.log[0].text[0], "View (KOMU)");
    EXPECT_EQ(r.log[0].text[1],
              "Esc quit | Space play/pause | +/- zoom | wheel zoom | arrows/mouse pan");
}

// The first drawing in a w x h window showing picture k: the blit and its
// pixels, the bar, both texts at their places and colours. Returns the
// status text.
std::string check_first_drawing(const run_result& r, int32_t w, int32_t h, uint32_t k) {
    const size_t b = codes(r).find("BLFTTP");
    if (b == std::string::npos) return "nothing drawn";
    const auto u = [](int32_t v) { return static_cast<uint32_t>(v); };
    const auto ptr = [](const words& rec, size_t i) { return rec.size() > i ? rec[i] : 0; };
    const logged &blit = r.log[b + 1], &status = r.log[b + 3], &help = r.log[b + 4];
    EXPECT_EQ(blit.record, (words{320, 200, ptr(blit.record, 2), u(w), u(h - 18)}));
    EXPECT_TRUE(r.first_blit == composed(k, w, h - 18)) << "the render buffer of picture " << k;
    EXPECT_EQ(r.log[b + 2].record, (words{0, u(h - 18), u(w), 18, 0x262626}));
    EXPECT_EQ(status.record, (words{6, u(h - 13), 0xDEDEDE, ptr(status.record, 3)}));
    EXPECT_EQ(help.record, (words{u(w / 2), u(h - 13), 0x8C8C8C, ptr(help.record, 3)}));
    EXPECT_EQ(help.text[0], "Space play/pause  +/- zoom  wheel zoom  arrows/mouse pan  Esc quit");
    return status.text[0];
}

// The video to its end in a window that reports no size, then 'q'.
TEST(KelosTarget, PlaysOnTheFrameScheduleAndDrawsEachPassInFull) {
    const testfile::temp_file video = make_video();
    const run_result r =
        run_player(video.path(), {HANDLE, 0, 0, {{CLOCK_START_MS + 1500, {1, 'q', 0, 0, 0}}}});
    check_protocol(r);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    // The first pass decodes frame 1 and draws it at 920 x 560, the default.
    const std::string prefix = std::string(video.path()) + " | frame ";
    EXPECT_EQ(check_first_drawing(r, 920, 560, 1), prefix + "2/24 | playing");

    // Frame k (status "frame k+1") is drawn k intervals after t0, frame 1 at
    // t0, each once; after the last only the quit redraws.
    const uint32_t t0 = r.log[2].ms;
    uint32_t shown = 2;
    for (const logged& c : r.log) {
        if (c.code != 'T' || c.record.size() != 4 || c.record[2] != 0xDEDEDE) continue;
        ASSERT_EQ(c.text[0], prefix + std::to_string(std::min(shown, FRAMES)) + "/24 | playing");
        const uint32_t k = shown++ - 1;
        const uint32_t due = k >= FRAMES ? c.ms : k == 1 ? t0 : t0 + k * 1000 / FPS;  // the quit: any time
        EXPECT_NEAR(c.ms, due, 1) << "frame " << k;
    }
    EXPECT_EQ(shown, FRAMES + 2);
    EXPECT_GE(r.log.back().ms, CLOCK_START_MS + 1500);
}

// Esc and a close request at the first poll quit after one drawing of frame
// 0 (the Esc run in a 400 x 300 window); a refused window ends with status 1.
TEST(KelosTarget, QuitsOnEscAndCloseAndFailsWithoutAWindow) {
    const testfile::temp_file video = make_video();
    struct row {
        words event;
        uint32_t w, h;
    };
    for (const row& row : {row{{1, 27, 0, 0, 0}, 400, 300}, row{{3, 0xDEAD, 1, 1, 1}, 0, 0}}) {
        const run_result r = run_player(video.path(), {HANDLE, row.w, row.h, {{0, row.event}}});
        check_protocol(r);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(codes(r), "CRMSEBLFTTPR");
        EXPECT_EQ(check_first_drawing(r, row.w ? int32_t(row.w) : 920, row.h ? int32_t(row.h) : 560, 0),
                  std::string(video.path()) + " | frame 1/24 | playing");
    }
    const run_result r = run_player(video.path(), {-1, 0, 0, {}});
    EXPECT_EQ(r.fault, "");
    EXPECT_EQ(codes(r), "C");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "cinepane: gui_create failed\n");
}

}  // namespace
