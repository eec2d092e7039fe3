// komu thumbnail: the first frame as a PNG picture that fits in SIZE x SIZE,
// for file managers (see data/komu.thumbnailer). Scaling is libswscale's
// area average; the PNG is written by libpng.
#include <png.h>

extern "C" {
#include <libswscale/swscale.h>
}

#include <memory>
#include <string>
#include <vector>

#include "commands.h"
#include "komu.h"
#include "output.h"

namespace {

constexpr option_spec THUMBNAIL_OPTIONS[] = {{"-s", "--size", true}};
constexpr uint64_t DEFAULT_SIZE = 256;

// w x h scaled to fit within size x size, aspect kept, never enlarged.
void fit_within(uint32_t w, uint32_t h, uint32_t size, uint32_t* out_w, uint32_t* out_h) {
    const uint32_t longer = w > h ? w : h;
    if (longer <= size) {
        *out_w = w;
        *out_h = h;
        return;
    }
    *out_w = (w * size + longer / 2) / longer;
    *out_h = (h * size + longer / 2) / longer;
    if (*out_w == 0) *out_w = 1;
    if (*out_h == 0) *out_h = 1;
}

// The RGB565 picture as RGB (3 bytes a pixel), each channel widened by
// repeating its top bits as the player shows it (0 stays 0, full is 255),
// then scaled to tw x th. Empty when the scaler cannot be made.
std::vector<uint8_t> scale_to_rgb(const komu_stream& s, uint32_t tw, uint32_t th) {
    const int w = s.width, h = s.height;
    std::vector<uint8_t> full(size_t(w) * size_t(h) * 3);
    for (size_t i = 0; i < size_t(w) * size_t(h); ++i) {
        const uint32_t p = uint32_t{s.cur_frame[2 * i]} | uint32_t{s.cur_frame[2 * i + 1]} << 8;
        const uint32_t r = p >> 11, g = (p >> 5) & 0x3F, b = p & 0x1F;
        full[3 * i] = static_cast<uint8_t>(r << 3 | r >> 2);
        full[3 * i + 1] = static_cast<uint8_t>(g << 2 | g >> 4);
        full[3 * i + 2] = static_cast<uint8_t>(b << 3 | b >> 2);
    }
    if (tw == uint32_t(w) && th == uint32_t(h)) return full;
    std::unique_ptr<SwsContext, decltype(&sws_freeContext)> sws(
        sws_getContext(w, h, AV_PIX_FMT_RGB24, int(tw), int(th), AV_PIX_FMT_RGB24, SWS_AREA,
                       nullptr, nullptr, nullptr),
        sws_freeContext);
    if (!sws) return {};
    std::vector<uint8_t> rgb(size_t{tw} * th * 3);
    const uint8_t* src[4] = {full.data(), nullptr, nullptr, nullptr};
    const int src_stride[4] = {w * 3, 0, 0, 0};
    uint8_t* dst[4] = {rgb.data(), nullptr, nullptr, nullptr};
    const int dst_stride[4] = {int(tw) * 3, 0, 0, 0};
    sws_scale(sws.get(), src, src_stride, 0, h, dst, dst_stride);
    return rgb;
}

// The PNG file of an RGB picture, in memory; empty on failure.
std::vector<uint8_t> encode_png(const std::vector<uint8_t>& rgb, uint32_t w, uint32_t h) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = w;
    image.height = h;
    image.format = PNG_FORMAT_RGB;
    png_alloc_size_t size = 0;
    if (!png_image_write_to_memory(&image, nullptr, &size, 0, rgb.data(), 0, nullptr)) return {};
    std::vector<uint8_t> png(size);
    if (!png_image_write_to_memory(&image, png.data(), &size, 0, rgb.data(), 0, nullptr)) return {};
    png.resize(size);
    return png;
}

int cmd_thumbnail(const parsed_args& args) {
    if (args.positional.size() != 2) {
        print_error("thumbnail: expected FILE OUT.png (see komu --help)");
        return STATUS_USAGE;
    }
    uint64_t size = DEFAULT_SIZE;
    if (args.has("--size") && (!parse_uint(args.value_or("--size", ""), 4096, &size) || size == 0)) {
        print_error("thumbnail: -s wants a size in pixels, 1 to 4096");
        return STATUS_USAGE;
    }
    const std::string& path = args.positional[0];
    komu_stream s;
    if (!open_or_say_why(path, &s)) return STATUS_FAILED;
    std::string error;
    int status = STATUS_FAILED;
    if (komu_decode_next(&s) != 0) {
        error = path + ": " + failure_words(s.failure);
    } else {
        uint32_t tw = 0, th = 0;
        fit_within(uint32_t(s.width), uint32_t(s.height), uint32_t(size), &tw, &th);
        const std::vector<uint8_t> rgb = scale_to_rgb(s, tw, th);
        const std::vector<uint8_t> png = rgb.empty() ? rgb : encode_png(rgb, tw, th);
        output_file out;
        if (png.empty()) {
            error = "cannot make the picture";
        } else if (open_output(args.positional[1], &out, &error)) {
            if (!write_all(out.fd, png.data(), png.size())) {
                error = args.positional[1] + ": " + errno_text();
            } else if (commit_output(&out, &error)) {
                status = STATUS_OK;
            }
        }
    }
    komu_close(&s);
    if (status != STATUS_OK) print_error("thumbnail: " + error);
    return status;
}

}  // namespace

const command THUMBNAIL_COMMAND = {"thumbnail", THUMBNAIL_OPTIONS, cmd_thumbnail};
