/* A preload library for bench/player.sh and bench/latency.sh: records, for
 * any program drawing through SDL2, the wall-clock time of its first
 * SDL_RenderPresent, how many presents it has made, the name of the renderer
 * it created, and, for the last key press the program took from SDL, when it
 * took it and when it next presented (the present that shows the key's
 * effect, for a program that draws after handling its input), in a small
 * shared file that the scripts read while the program runs.
 *
 * PRESENT_PROBE_FILE names the file. Layout (native endianness):
 *   0  u64  CLOCK_REALTIME of the first present, ns (0: none yet)
 *   8  u64  presents so far
 *  16  char[48] renderer name, NUL-terminated ("" until one is created)
 *  64  u64  CLOCK_REALTIME when the program last took a key press from SDL
 *           (SDL_PollEvent, SDL_WaitEvent(Timeout) or SDL_PeepEvents), ns
 *  72  u64  CLOCK_REALTIME of the first present after that, ns (0: none yet)
 * The file is mapped once, at the first call; after that a present costs a
 * few stores and one clock read. */
#define _GNU_SOURCE
#include <SDL.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

enum { PROBE_BYTES = 80, NAME_AT = 16, NAME_BYTES = 48, KEY_AT = 64, EFFECT_AT = 72 };

/* The next definition of name (SDL's own), as a function pointer: copied
 * bytewise, since C has no conversion from an object pointer. */
static void next_symbol(const char *name, void *fn, size_t fn_bytes) {
    void *p = dlsym(RTLD_NEXT, name);
    memcpy(fn, &p, fn_bytes);
}

static unsigned char *probe(void) {
    static unsigned char *map;
    static int tried;
    if (!tried) {
        tried = 1;
        const char *path = getenv("PRESENT_PROBE_FILE");
        int fd = path ? open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644) : -1;
        if (fd >= 0 && ftruncate(fd, PROBE_BYTES) == 0) {
            void *p = mmap(NULL, PROBE_BYTES, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
            if (p != MAP_FAILED) map = p;
        }
        if (fd >= 0) close(fd);
    }
    return map;
}

static uint64_t now_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

void SDL_RenderPresent(SDL_Renderer *renderer) {
    static void (*real)(SDL_Renderer *);
    if (!real) next_symbol("SDL_RenderPresent", &real, sizeof real);
    real(renderer);
    unsigned char *p = probe();
    if (!p) return;
    const uint64_t now = now_ns();
    uint64_t v;
    memcpy(&v, p, 8);
    if (v == 0) memcpy(p, &now, 8);
    memcpy(&v, p + 8, 8);
    v += 1;
    memcpy(p + 8, &v, 8);
    uint64_t key, effect;
    memcpy(&key, p + KEY_AT, 8);
    memcpy(&effect, p + EFFECT_AT, 8);
    if (key != 0 && effect == 0) memcpy(p + EFFECT_AT, &now, 8);
}

/* Notes a key press the program has just taken (an event it now holds). */
static void took(const SDL_Event *event, int got) {
    unsigned char *p = probe();
    if (!p || got <= 0 || !event || event->type != SDL_KEYDOWN) return;
    const uint64_t now = now_ns(), none = 0;
    memcpy(p + EFFECT_AT, &none, 8);
    memcpy(p + KEY_AT, &now, 8);
}

int SDL_PollEvent(SDL_Event *event) {
    static int (*real)(SDL_Event *);
    if (!real) next_symbol("SDL_PollEvent", &real, sizeof real);
    const int got = real(event);
    took(event, got);
    return got;
}

int SDL_WaitEventTimeout(SDL_Event *event, int timeout) {
    static int (*real)(SDL_Event *, int);
    if (!real) next_symbol("SDL_WaitEventTimeout", &real, sizeof real);
    const int got = real(event, timeout);
    took(event, got);
    return got;
}

int SDL_WaitEvent(SDL_Event *event) {
    static int (*real)(SDL_Event *);
    if (!real) next_symbol("SDL_WaitEvent", &real, sizeof real);
    const int got = real(event);
    took(event, got);
    return got;
}

int SDL_PeepEvents(SDL_Event *events, int numevents, SDL_eventaction action, Uint32 min_type,
                   Uint32 max_type) {
    static int (*real)(SDL_Event *, int, SDL_eventaction, Uint32, Uint32);
    if (!real) next_symbol("SDL_PeepEvents", &real, sizeof real);
    const int got = real(events, numevents, action, min_type, max_type);
    if (action == SDL_GETEVENT) {
        for (int i = 0; i < got; ++i) took(&events[i], 1);
    }
    return got;
}

SDL_Renderer *SDL_CreateRenderer(SDL_Window *window, int index, Uint32 flags) {
    static SDL_Renderer *(*real)(SDL_Window *, int, Uint32);
    if (!real) next_symbol("SDL_CreateRenderer", &real, sizeof real);
    SDL_Renderer *renderer = real(window, index, flags);
    SDL_RendererInfo info;
    unsigned char *p = probe();
    if (renderer && p && SDL_GetRendererInfo(renderer, &info) == 0 && info.name) {
        strncpy((char *)p + NAME_AT, info.name, NAME_BYTES - 1);
    }
    return renderer;
}
