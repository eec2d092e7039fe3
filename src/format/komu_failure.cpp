// A reader's failure in words. One sentence for each KOMU_FAIL_* code, with
// its figures; the program that prints it adds its own name and the file's.
// Built with plain appends (no formatted output), cut to the buffer.
#include "komu.h"

namespace {

struct text_out {
    char* text;
    uint32_t cap;  // bytes, the NUL included
    uint32_t len;

    void add(const char* piece) {
        while (*piece != '\0' && len + 1 < cap) text[len++] = *piece++;
        text[len] = '\0';
    }
    // Decimal, with a comma between thousands (614,400).
    void add(uint64_t value) {
        char digits[32];
        int n = 0;
        do {
            if (n % 4 == 3) digits[n++] = ',';
            digits[n++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0);
        char piece[2] = {0, 0};
        while (n > 0) {
            piece[0] = digits[--n];
            add(piece);
        }
    }
};

// The words of everything but the frame's prefix.
void describe(const komu_failure& f, text_out* out) {
    const auto say = [out](auto... pieces) { (out->add(pieces), ...); };
    switch (f.code) {
        case KOMU_FAIL_NONE: say("no failure"); break;
        case KOMU_FAIL_PATH_TOO_LONG: say("the path is longer than 255 characters"); break;
        case KOMU_FAIL_NO_SUCH_FILE: say("does not exist"); break;
        case KOMU_FAIL_NO_PERMISSION: say("cannot be read: permission denied"); break;
        case KOMU_FAIL_CANNOT_OPEN: say("cannot be opened"); break;
        case KOMU_FAIL_DIRECTORY: say("is a directory"); break;
        case KOMU_FAIL_READ_ERROR: say("cannot be read"); break;
        case KOMU_FAIL_TOO_SHORT:
            if (f.a == KOMU_SIZE_UNKNOWN) say("is not a KOMU file: it ends before a whole header");
            else say("is not a KOMU file: ", f.a, " bytes, too short for a header");
            break;
        case KOMU_FAIL_NOT_KOMU: say("is not a KOMU file"); break;
        case KOMU_FAIL_MODE: say("mode ", f.a, " is not 1, 2 or 3"); break;
        case KOMU_FAIL_WIDTH:
            say("width ", f.a, f.a == 0 ? " is not allowed" : " is over 640");
            break;
        case KOMU_FAIL_HEIGHT:
            say("height ", f.a, f.a == 0 ? " is not allowed" : " is over 480");
            break;
        case KOMU_FAIL_PIXEL_FORMAT: say("pixel format ", f.a, " is not RGB565 (1)"); break;
        case KOMU_FAIL_NO_FRAMES: say("it declares no frames"); break;
        case KOMU_FAIL_HEADER_SIZE: say("header size ", f.a, " is under 28"); break;
        case KOMU_FAIL_HEADER_PAST_END:
            say("the header of ", f.a, " bytes does not fit in the file");
            if (f.b != KOMU_SIZE_UNKNOWN) say(" (", f.b, " bytes)");
            break;
        case KOMU_FAIL_TOO_MANY_FRAMES:
            say(f.a, " frames: an index holds at most ", uint64_t{KOMU_MAX_INDEXED_FRAMES});
            break;
        case KOMU_FAIL_INDEX_PAST_END:
            say("the index does not fit in the file: it needs ", f.a, " bytes");
            if (f.b != KOMU_SIZE_UNKNOWN) say(", ", f.b, " follow the header");
            break;
        case KOMU_FAIL_CHANGED: say("the file changed: it no longer holds the same video"); break;
        case KOMU_FAIL_NO_MEMORY: say("out of memory"); break;
        case KOMU_FAIL_NOT_OPEN: say("the stream is not open"); break;
        case KOMU_FAIL_CANNOT_REOPEN: say("the file cannot be read again to loop"); break;
        case KOMU_FAIL_FRAME_CUT: say("the file ends inside it"); break;
        case KOMU_FAIL_OVERLAP:
            say("it overlaps frame ", uint64_t{f.frame - 1}, " (its payload starts at ", f.a,
                ", the one before ends at ", f.b, ")");
            break;
        case KOMU_FAIL_PAYLOAD_PAST_END:
            say("its payload ends at byte ", f.a, ", past the end of the file (", f.b, " bytes)");
            break;
        case KOMU_FAIL_PAYLOAD_CUT: say("the file ends inside its payload"); break;
        case KOMU_FAIL_RAW_SIZE:
            say("its payload is ", f.a, " bytes, a raw frame needs ", f.b);
            break;
        case KOMU_FAIL_RAW_MASK_SIZE:
            say("its payload is ", f.a, " bytes, a raw delta needs ", f.b);
            break;
        case KOMU_FAIL_RLE_PICTURE:
            say("its run-length payload (", f.a, " bytes) does not make exactly one picture");
            break;
        case KOMU_FAIL_RLE_MASK:
            say("its run-length delta (", f.a, " bytes) does not make exactly one picture");
            break;
        case KOMU_FAIL_PIPE_PAYLOAD:
            say("its payload of ", f.a, " bytes is more than any frame needs (", f.b,
                " from a pipe)");
            break;
        case KOMU_FAIL_CANNOT_SEEK: say("it is read from a pipe, which cannot seek"); break;
        case KOMU_FAIL_NO_SUCH_FRAME: say("there is no frame ", f.a, ": the video has ", f.b); break;
        default: say("failure ", uint64_t{f.code}); break;
    }
}

}  // namespace

void komu_failure_text(const komu_failure* failure, char* text, uint32_t cap) {
    if (cap == 0) return;
    text_out out{text, cap, 0};
    out.add("");
    if (failure->frame != 0) {
        out.add("frame ");
        out.add(uint64_t{failure->frame});
        out.add(" cannot be decoded: ");
    }
    describe(*failure, &out);
}
