// Runs cinepane-kelos, the player built for the target system, on this
// machine. The i386 emulator runs it with its debugger stub, and this test,
// as the debugger, stops it at every system-call instruction (int 0x80) in
// the executable. A call made from the window binding's code is answered by
// the fake window server below, with a virtual clock that only the sleep call
// advances, and is never executed. A call from the C library (start-up, the
// file calls) goes on to the emulator and the kernel, unless it carries a
// window-server number, which here would mean something harmful: then the
// run stops and fails.
//
// The server reads and writes the records as raw 32-bit words at the
// interface's offsets, never through the player's structs, and logs every
// call; the tests judge the log.
#include <elf.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
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
    const char* symbol;
};
constexpr call_kind CALLS[] = {
    {8, 'C', "_Z10gui_createPKcS0_"},
    {10, 'B', "_Z9gui_begini"},
    {12, 'F', "_Z13gui_fill_rectiPK13gui_rect_desc"},
    {13, 'T', "_Z13gui_draw_textiPK13gui_text_desc"},
    {14, 'P', "_Z11gui_presenti"},
    {15, 'E', "_Z14gui_poll_eventiP9gui_event"},
    {19, 'S', "_Z20gui_get_content_sizeiP8gui_size"},
    {22, 'Z', "_Z8sleep_usj"},
    {23, 'R', "_Z25gui_set_continuous_redrawii"},
    {24, 'L', "_Z15gui_blit_rgb565iPK13gui_blit_desc"},
    {109, 'M', "_Z7time_msv"},
};

char code_of(uint32_t number) {
    for (const call_kind& k : CALLS) {
        if (k.number == number) return k.code;
    }
    return '?';
}

template <typename T>
T at(const bytes& file, size_t offset) {
    T v{};
    if (offset + sizeof v <= file.size()) std::memcpy(&v, &file[offset], sizeof v);
    return v;
}

// Every int 0x80 in the executable's code, mapped to the letter of the
// binding function it lies in (0 outside the binding). Empty when the file is
// not a 32-bit x86 executable or the binding lacks one of the calls.
std::map<uint32_t, char> find_sites(const char* exe) {
    std::ifstream in(exe, std::ios::binary);
    const bytes file{std::istreambuf_iterator<char>(in), {}};
    const auto eh = at<Elf32_Ehdr>(file, 0);
    if (std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 || eh.e_ident[EI_CLASS] != ELFCLASS32 ||
        eh.e_machine != EM_386 || eh.e_type != ET_EXEC) {
        return {};
    }
    struct range {
        uint32_t lo, hi;
        char code;
    };
    std::vector<range> binding;
    const auto section = [&](size_t i) {
        return at<Elf32_Shdr>(file, eh.e_shoff + i * sizeof(Elf32_Shdr));
    };
    for (size_t i = 0; i < eh.e_shnum; ++i) {
        const Elf32_Shdr sh = section(i);
        const size_t names = section(sh.sh_link).sh_offset;
        for (size_t s = 0; sh.sh_type == SHT_SYMTAB && s < sh.sh_size / sizeof(Elf32_Sym); ++s) {
            const auto sym = at<Elf32_Sym>(file, sh.sh_offset + s * sizeof(Elf32_Sym));
            const size_t name = names + sym.st_name;
            for (const call_kind& k : CALLS) {
                const size_t len = std::strlen(k.symbol) + 1;
                if (name + len <= file.size() && std::memcmp(&file[name], k.symbol, len) == 0) {
                    binding.push_back({sym.st_value, sym.st_value + sym.st_size, k.code});
                }
            }
        }
    }
    if (binding.size() != std::size(CALLS)) return {};
    std::map<uint32_t, char> sites;
    for (size_t i = 0; i < eh.e_phnum; ++i) {
        const auto ph = at<Elf32_Phdr>(file, eh.e_phoff + i * sizeof(Elf32_Phdr));
        for (uint32_t o = 0; ph.p_type == PT_LOAD && (ph.p_flags & PF_X) && o + 1 < ph.p_filesz;
             ++o) {
            if (at<uint16_t>(file, ph.p_offset + o) != 0x80CD) continue;
            char& code = sites[ph.p_vaddr + o];
            for (const range& r : binding) {
                if (ph.p_vaddr + o >= r.lo && ph.p_vaddr + o < r.hi) code = r.code;
            }
        }
    }
    return sites;
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

bytes unhex(const std::string& s) {
    bytes out;
    for (size_t i = 0; i + 1 < s.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(std::stoul(s.substr(i, 2), nullptr, 16)));
    }
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
        for (size_t start, end;;) {
            start = buf.find('$');
            end = buf.find('#', start == std::string::npos ? 0 : start);
            if (start != std::string::npos && end != std::string::npos && buf.size() >= end + 3) {
                std::string reply = buf.substr(start + 1, end - start - 1);
                buf.erase(0, end + 3);
                send("+");
                return reply;
            }
            char chunk[4096];
            const ssize_t n = read(fd, chunk, sizeof chunk);
            if (n <= 0) return "X";  // the stub is gone
            buf.append(chunk, static_cast<size_t>(n));
        }
    }
    void send(const std::string& s) {  // a short write only happens when the stub is gone
        if (write(fd, s.data(), s.size()) != ssize_t(s.size())) buf = "$X#00";
    }
    // Memory of the player; empty where it is not mapped.
    bytes peek(uint32_t addr, uint32_t n) {
        bytes out;
        for (uint32_t chunk; out.size() < n; addr += chunk) {
            chunk = std::min<uint32_t>(n - static_cast<uint32_t>(out.size()), 1024);
            const bytes got = unhex(ask(format("m%x,%x", addr, chunk)));
            if (got.size() != chunk) return {};
            out.insert(out.end(), got.begin(), got.end());
        }
        return out;
    }
    words peek_words(uint32_t addr, uint32_t n) {
        const bytes b = peek(addr, n * 4);
        words w(b.size() / 4);
        if (!w.empty()) std::memcpy(w.data(), b.data(), b.size());
        return w;
    }
    std::string peek_text(uint32_t addr) {
        std::string s;
        for (bytes b; s.size() < 256 && (b = peek(addr++, 1)).size() == 1 && b[0] != 0;)
            s += char(b[0]);
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
// events, each delivered by the first poll at or after its time.
struct event_at {
    uint32_t ms;
    words record;  // the event record's 5 words
};
struct script {
    int32_t handle = 7;
    uint32_t content_w = 0, content_h = 0;
    std::vector<event_at> events;
};

struct logged {
    char code;      // letter of the call number, '?' for an unknown one
    char function;  // letter of the binding function that made the call
    uint32_t ebx, ecx, ms;
    words record;  // what ecx points to, as 32-bit words
    std::string text[2];
};

struct run_result {
    int status = -1;
    std::string out;  // standard output
    std::vector<logged> log;
    std::vector<uint16_t> first_blit;  // the pixels of the first blit
    std::string fault;                 // why the run was stopped, if it was
};

constexpr uint32_t CLOCK_START_MS = 5000;
constexpr uint32_t RUN_LIMIT_MS = 5000;  // virtual; the longest run ends after 1.5 s

// The answer to one call from the binding, logging it.
uint32_t serve(stub& gdb, const script& sc, logged& c, uint64_t* now_us, size_t* next_event,
               run_result* res) {
    switch (c.code) {
        case 'C':
            c.text[0] = gdb.peek_text(c.ebx);
            c.text[1] = gdb.peek_text(c.ecx);
            return static_cast<uint32_t>(sc.handle);
        case 'F':
        case 'L':
            c.record = gdb.peek_words(c.ecx, 5);
            if (c.code == 'L' && res->first_blit.empty() && c.record.size() == 5 &&
                c.record[0] * c.record[1] <= 320 * 200) {
                const bytes px = gdb.peek(c.record[2], c.record[0] * c.record[1] * 2);
                res->first_blit.resize(px.size() / 2);
                std::memcpy(res->first_blit.data(), px.data(), px.size());
            }
            return 0;
        case 'T':
            c.record = gdb.peek_words(c.ecx, 4);
            if (c.record.size() == 4) c.text[0] = gdb.peek_text(c.record[3]);
            return 0;
        case 'E':
            if (*next_event == sc.events.size() || sc.events[*next_event].ms > c.ms) return 0;
            c.record = sc.events[(*next_event)++].record;
            gdb.poke(c.ecx, c.record);
            return 1;
        case 'S':
            if (sc.content_w != 0) gdb.poke(c.ecx, {sc.content_w, sc.content_h});
            return 0;
        case 'Z': *now_us += c.ebx; return 0;
        case 'M': return static_cast<uint32_t>(*now_us / 1000);
        case '?': return ~0u;
        default: return 0;
    }
}

run_result run_player(const std::string& video, const script& sc) {
    const char* exe = std::getenv("CINEPANE_KELOS_BIN");
    const char* qemu = std::getenv("QEMU_I386");
    run_result res;
    const std::map<uint32_t, char> sites = find_sites(exe ? exe : "");
    char dir[] = "/tmp/kelos_run_XXXXXX";
    int out[2];
    if (sites.empty() || qemu == nullptr || mkdtemp(dir) == nullptr || pipe(out) != 0) {
        res.fault = "no 32-bit executable with the whole binding, or no emulator";
        return res;
    }
    const std::string sock = std::string(dir) + "/stub";
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        execl(qemu, qemu, "-g", sock.c_str(), exe, video.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    stub gdb{socket(AF_UNIX, SOCK_STREAM, 0), ""};
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", sock.c_str());
    bool ready = false;
    for (int i = 0; i < 500 && !ready; ++i) {
        ready = connect(gdb.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        if (!ready) usleep(10'000);
    }
    for (const auto& [site, code] : sites) ready = ready && gdb.breakpoint('Z', site);
    if (!ready) res.fault = "no debugger stub";

    uint64_t now_us = uint64_t{CLOCK_START_MS} * 1000;
    size_t next_event = 0;
    std::string stop = ready ? gdb.ask("c") : "";
    while (stop.rfind("T05", 0) == 0) {
        bytes regs = unhex(gdb.ask("g"));
        uint32_t r[9] = {};  // eax ecx edx ebx esp ebp esi edi eip
        if (regs.size() >= sizeof r) std::memcpy(r, regs.data(), sizeof r);
        const auto site = sites.find(r[8]);
        if (site == sites.end() || site->second == 0) {
            // The C library's own call goes to the kernel: step over it.
            if (code_of(r[0]) != '?') {
                res.fault = "call " + std::to_string(r[0]) + " from outside the binding";
                break;
            }
            gdb.breakpoint('z', r[8]);
            stop = gdb.ask("s");
            if (stop.rfind("T05", 0) == 0 && gdb.breakpoint('Z', r[8])) stop = gdb.ask("c");
            continue;
        }
        logged c{code_of(r[0]), site->second, r[3], r[1], uint32_t(now_us / 1000), {}, {}};
        const uint32_t result = serve(gdb, sc, c, &now_us, &next_event, &res);
        res.log.push_back(c);
        if (res.log.size() > 50'000 || now_us / 1000 > CLOCK_START_MS + RUN_LIMIT_MS) {
            res.fault = "the player did not end";
            break;
        }
        // The answer in eax, and on after the 2-byte int 0x80, which is never executed.
        const uint32_t next = r[8] + 2;
        std::memcpy(&regs[0], &result, 4);
        std::memcpy(&regs[32], &next, 4);
        gdb.ask("G" + hex(regs.data(), regs.size()));
        stop = gdb.ask("c");
    }
    if (res.fault.empty() && stop[0] != 'W') res.fault = "stopped: " + stop;
    if (!res.fault.empty()) kill(pid, SIGKILL);
    close(gdb.fd);
    char buf[4096];
    for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;) res.out.append(buf, size_t(n));
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) res.status = WEXITSTATUS(status);
    unlink(sock.c_str());
    rmdir(dir);
    return res;
}

// ---- The video, and what the player must make of it ------------------------

constexpr uint16_t VIDEO_W = 160, VIDEO_H = 120;
constexpr uint32_t FRAMES = 24, FPS = 30, HANDLE = 7;

testfile::temp_file make_video() {
    bytes frames;
    for (uint32_t k = 0; k < FRAMES; ++k) {
        const bytes f = testfile::picture(VIDEO_W, VIDEO_H, k);
        frames.insert(frames.end(), f.begin(), f.end());
    }
    komu_encode_options o;
    o.width = VIDEO_W;
    o.height = VIDEO_H;
    o.fps_num = FPS;
    bytes file;
    std::string error;
    EXPECT_TRUE(komu_encode(o, frames, &file, &error)) << error;
    return testfile::temp_file(file);
}

// The 320 x 200 render buffer of picture k fitted into a view_w x view_h
// video area, from the formulas: fit the zoom, centre, map each render pixel
// to a view pixel and that to a video pixel (divisions truncate toward 0).
std::vector<uint16_t> composed(uint32_t k, int32_t view_w, int32_t view_h) {
    const bytes frame = testfile::picture(VIDEO_W, VIDEO_H, k);
    const int32_t z =
        std::clamp(std::min(view_w * 1000 / VIDEO_W, view_h * 1000 / VIDEO_H), 50, 6000);
    const int32_t pan_x = (view_w - (VIDEO_W * z + 999) / 1000) / 2;
    const int32_t pan_y = (view_h - (VIDEO_H * z + 999) / 1000) / 2;
    std::vector<uint16_t> out;
    for (int32_t r = 0; r < 200; ++r) {
        for (int32_t c = 0; c < 320; ++c) {
            const int32_t sx = (c * view_w / 320 - pan_x) * 1000 / z;
            const int32_t sy = (r * view_h / 200 - pan_y) * 1000 / z;
            const size_t i = (size_t(sy) * VIDEO_W + size_t(sx)) * 2;
            const bool inside = sx >= 0 && sx < VIDEO_W && sy >= 0 && sy < VIDEO_H;
            out.push_back(inside ? static_cast<uint16_t>(frame[i] | frame[i + 1] << 8) : 0x18E3);
        }
    }
    return out;
}

std::string codes(const run_result& r) {
    std::string s;
    for (const logged& c : r.log) s += c.code;
    return s;
}

// Each call number from its own function; the handle in ebx wherever a call
// takes one; gui_create's texts; continuous redraw on right after create and
// off at the very end; one content-size call at the start of every pass, a
// drawing of begin, blit, bar, two texts and present, or none.
void check_protocol(const run_result& r) {
    ASSERT_EQ(r.fault, "");
    for (const logged& c : r.log) {
        EXPECT_EQ(c.code, c.function) << "call number of the binding's function";
        if (std::strchr("BFTPESRL", c.code)) {
            EXPECT_EQ(c.ebx, HANDLE) << c.code;
        }
    }
    EXPECT_TRUE(std::regex_match(codes(r), std::regex("CRM(SE+M?(BLFTTP)?[MZ]*)+R"))) << codes(r);
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
    EXPECT_EQ(r.first_blit, composed(k, w, h - 18));
    EXPECT_EQ(r.log[b + 2].record, (words{0, u(h - 18), u(w), 18, 0x262626}));
    EXPECT_EQ(status.record, (words{6, u(h - 13), 0xDEDEDE, ptr(status.record, 3)}));
    EXPECT_EQ(help.record, (words{u(w / 2), u(h - 13), 0x8C8C8C, ptr(help.record, 3)}));
    EXPECT_EQ(help.text[0], "Space play/pause  +/- zoom  wheel zoom  arrows/mouse pan  Esc quit");
    return status.text[0];
}

// The video to its end in a window that reports no size, then 'q'.
TEST(KelosTarget, PlaysOnTheFrameScheduleAndDrawsEachPassInFull) {
    const testfile::temp_file video = make_video();
    script sc;
    sc.events = {{CLOCK_START_MS + 1500, {1, 'q', 0, 0, 0}}};
    const run_result r = run_player(video.path(), sc);
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
        if (k < FRAMES) {
            EXPECT_NEAR(c.ms, k == 1 ? t0 : t0 + k * 1000 / FPS, 1) << "frame " << k;
        }
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
        const run_result r = run_player(video.path(), {7, row.w, row.h, {{0, row.event}}});
        check_protocol(r);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(codes(r), "CRMSEBLFTTPR");
        EXPECT_EQ(
            check_first_drawing(r, row.w ? int32_t(row.w) : 920, row.h ? int32_t(row.h) : 560, 0),
            std::string(video.path()) + " | frame 1/24 | playing");
    }
    const run_result r = run_player(video.path(), {-1, 0, 0, {}});
    EXPECT_EQ(r.fault, "");
    EXPECT_EQ(codes(r), "C");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "cinepane: gui_create failed\n");
}

}  // namespace
