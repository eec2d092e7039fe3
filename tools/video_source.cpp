// Video through FFmpeg's libraries: see video_source.h.
//
// The road of a frame: packet (libavformat) -> decoded picture (libavcodec)
// -> scaled RGB24 at the output size (libswscale) -> RGB565 with dithering
// (rgb565.h) -> given out zero or more times by the retimer below.
//
// Retiming: output frame k stands for the time k / rate after the first
// picture and shows the last picture that started before the middle of
// its slot, (k + 1/2) / rate. A constant-rate source written at its own
// rate gives each picture exactly once; at a multiple m of its rate, m
// times; a variable-rate one is sampled evenly at its average rate.
#include "video_source.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cmath>
#include <vector>


__extension__ typedef unsigned __int128 u128;  // products of 32- and 64-bit time parts

struct video_source {
    AVFormatContext* format = nullptr;
    AVCodecContext* codec = nullptr;
    SwsContext* scaler = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* picture = nullptr;
    int stream = -1;
    AVRational time_base{0, 1};
    video_source_options options;
    uint16_t width = 0, height = 0;
    uint32_t rate_num = 0, rate_den = 0;        // output rate
    int64_t source_step = 0;                    // one source frame in time_base units
    std::vector<uint8_t> rgb;                   // the scaled picture, RGB24
    std::vector<int32_t> dither_errors;         // working space of error diffusion
    // Times in time_base units after the first picture (first_pts: its own).
    int64_t first_pts = AV_NOPTS_VALUE;
    std::vector<uint8_t> held;  // the picture being given out, RGB565
    bool have_held = false;
    int64_t held_pts = 0, held_end = 0;
    bool pending = false;  // the next picture waits, decoded, in `picture`
    int64_t pending_pts = 0;
    uint64_t next_output = 0;  // k of the next frame given out
    std::vector<AVPacket*> queue;  // read ahead to learn the rate; decoded first
    size_t queue_next = 0;
    bool draining = false;     // the input is read; the decoder gives out what it holds
    bool ended = false;        // and has nothing more
};

namespace {

std::string av_error_text(int code) {
    char buf[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, buf, sizeof buf);
    return buf;
}

bool valid(AVRational r) { return r.num > 0 && r.den > 0; }

// Whether output frame k's slot middle, (k + 1/2) / rate, is at or before
// pts (time_base units after the first picture): then a picture starting
// at pts comes too late for frame k, which shows the one before.
bool middle_before(const video_source& s, uint64_t k, int64_t pts) {
    if (pts < 0) return false;
    const u128 lhs = u128{2 * k + 1} * s.rate_den * static_cast<uint32_t>(s.time_base.den);
    const u128 rhs = u128{2} * static_cast<uint64_t>(pts) * static_cast<uint32_t>(s.time_base.num) *
                     s.rate_num;
    return lhs <= rhs;
}

// Packets read ahead, before the first picture, to see how the timestamps
// step: a second or two of video.
constexpr size_t PROBE_PACKETS = 60;
constexpr size_t REORDER_SLACK = 16;  // pictures a decoder may hold back, at most

// Reads up to PROBE_PACKETS packets of the video into s->queue (they are
// decoded first) and returns their timestamps in presentation order.
std::vector<int64_t> probe_times(video_source* s) {
    std::vector<int64_t> times;
    while (s->queue.size() < PROBE_PACKETS) {
        AVPacket* p = av_packet_alloc();
        if (p == nullptr || av_read_frame(s->format, p) < 0) {
            av_packet_free(&p);
            break;  // the end, or an error the decoding loop meets again
        }
        if (p->stream_index != s->stream) {
            av_packet_free(&p);
            continue;
        }
        if (p->pts != AV_NOPTS_VALUE) times.push_back(p->pts);
        s->queue.push_back(p);
    }
    std::sort(times.begin(), times.end());
    // Packets come in decoding order: with reordered (B) pictures the last
    // ones read may be shown after pictures not read yet, leaving holes at
    // the end. Those are left out.
    times.resize(times.size() - std::min(REORDER_SLACK, times.size() / 4));
    return times;
}

// The source's rate. A stream whose timestamps step evenly has the exact
// rate its container states (r_frame_rate: 30000/1001 stays that). One
// whose steps vary is variable-rate: its average is the container's over
// the whole stream where it has one of its own (avg_frame_rate differing
// from r_frame_rate), else that of the timestamps read ahead.
AVRational source_rate(const AVStream* st, const std::vector<int64_t>& times, bool* variable) {
    std::vector<int64_t> steps;
    for (size_t i = 1; i < times.size(); ++i) {
        if (times[i] > times[i - 1]) steps.push_back(times[i] - times[i - 1]);
    }
    std::sort(steps.begin(), steps.end());
    // Even: every step within a tick (rounding to the time base) or 1 % of the median.
    const int64_t median = steps.empty() ? 0 : steps[steps.size() / 2];
    const int64_t slack = std::max<int64_t>(1, median / 100);
    *variable = !steps.empty() && (median - steps.front() > slack || steps.back() - median > slack);
    const AVRational r = st->r_frame_rate, avg = st->avg_frame_rate;
    const bool differ = valid(r) && valid(avg) && std::fabs(av_q2d(avg) / av_q2d(r) - 1) > 0.005;
    *variable = *variable || differ;
    if (!*variable) return valid(r) ? r : valid(avg) ? avg : AVRational{0, 0};
    if (differ) return avg;
    if (times.size() < 2 || times.back() <= times.front()) return valid(avg) ? avg : r;
    AVRational mean;  // (n - 1) steps over the time they span
    av_reduce(&mean.num, &mean.den, int64_t(times.size() - 1) * st->time_base.den,
              (times.back() - times.front()) * st->time_base.num, 1000000);
    return mean;
}

// Scales the decoded picture into s->rgb and reduces it to RGB565 in s->held.
bool convert(video_source* s, std::string* error) {
    const AVFrame* f = s->picture;
    s->scaler = sws_getCachedContext(s->scaler, f->width, f->height,
                                     static_cast<AVPixelFormat>(f->format), s->width, s->height,
                                     AV_PIX_FMT_RGB24,
                                     SWS_BICUBIC | SWS_FULL_CHR_H_INT | SWS_ACCURATE_RND, nullptr,
                                     nullptr, nullptr);
    if (s->scaler == nullptr) {
        *error = "cannot convert pictures of this kind";
        return false;
    }
    // The colour matrix the stream declares (BT.709 for HD, BT.601 for SD when it
    // says nothing), its range, and full-range RGB out.
    int space = f->colorspace;
    if (space == AVCOL_SPC_UNSPECIFIED || space == AVCOL_SPC_RESERVED) {
        space = f->height >= 720 ? AVCOL_SPC_BT709 : AVCOL_SPC_SMPTE170M;
    }
    const int full_range = f->color_range == AVCOL_RANGE_JPEG;
    sws_setColorspaceDetails(s->scaler, sws_getCoefficients(space), full_range,
                             sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16, 1 << 16);
    uint8_t* dst[4] = {s->rgb.data(), nullptr, nullptr, nullptr};
    const int dst_stride[4] = {int{s->width} * 3, 0, 0, 0};
    if (sws_scale(s->scaler, f->data, f->linesize, 0, f->height, dst, dst_stride) <= 0) {
        *error = "cannot scale a picture";
        return false;
    }
    rgb565_from_rgb24(s->rgb.data(), int{s->width} * 3, s->width, s->height, s->options.dither,
                      s->held.data(), &s->dither_errors);
    return true;
}

// Receives the next decoded picture into s->picture, reading and sending
// packets as the decoder asks. 0 a picture, 1 the end, -1 an error.
int decode_picture(video_source* s, std::string* error) {
    for (;;) {
        const int r = avcodec_receive_frame(s->codec, s->picture);
        if (r == 0) return 0;
        if (r == AVERROR_EOF) return 1;
        if (r != AVERROR(EAGAIN)) {
            *error = "decoding: " + av_error_text(r);
            return -1;
        }
        if (s->draining) return 1;
        int got = 0;
        if (s->queue_next < s->queue.size()) {
            av_packet_move_ref(s->packet, s->queue[s->queue_next++]);
        } else {
            got = av_read_frame(s->format, s->packet);
        }
        if (got == AVERROR_EOF) {
            s->draining = true;
            avcodec_send_packet(s->codec, nullptr);  // flush the pictures held back
            continue;
        }
        if (got < 0) {
            *error = "reading: " + av_error_text(got);
            return -1;
        }
        if (s->packet->stream_index == s->stream) {
            const int sent = avcodec_send_packet(s->codec, s->packet);
            // A damaged packet is skipped, as players do; anything else stops.
            if (sent < 0 && sent != AVERROR_INVALIDDATA) {
                av_packet_unref(s->packet);
                *error = "decoding: " + av_error_text(sent);
                return -1;
            }
        }
        av_packet_unref(s->packet);
    }
}

int64_t picture_duration(const AVFrame* f) {
#if LIBAVUTIL_VERSION_INT >= AV_VERSION_INT(57, 30, 100)
    return f->duration;
#else
    return f->pkt_duration;
#endif
}

// Makes the decoded picture, starting at pts, the held one.
bool hold_picture(video_source* s, int64_t pts, std::string* error) {
    if (!convert(s, error)) return false;
    const int64_t duration = picture_duration(s->picture);
    s->have_held = true;
    s->pending = false;
    s->held_pts = pts;
    s->held_end = pts + (duration > 0 ? duration : s->source_step);
    return true;
}

}  // namespace

void video_fit_size(uint32_t width, uint32_t height, uint32_t sar_num, uint32_t sar_den,
                    uint32_t fit_width, uint32_t fit_height, bool upscale, uint16_t* out_width,
                    uint16_t* out_height) {
    const double shown_width = double(width) * sar_num / sar_den;  // display pixels
    double scale = std::min(fit_width / shown_width, fit_height / double(height));
    if (!upscale) scale = std::min(scale, 1.0);
    const double w = std::clamp(std::round(shown_width * scale), 1.0, double(fit_width));
    const double h = std::clamp(std::round(height * scale), 1.0, double(fit_height));
    *out_width = static_cast<uint16_t>(w);
    *out_height = static_cast<uint16_t>(h);
}

video_source* video_source_open(const std::string& path, const video_source_options& options,
                                video_source_info* info, std::string* error) {
    av_log_set_level(AV_LOG_QUIET);  // failures are reported here, in one line
    auto* s = new video_source;
    s->options = options;
    *info = video_source_info{};
    int r = avformat_open_input(&s->format, path.c_str(), nullptr, nullptr);
    if (r >= 0) r = avformat_find_stream_info(s->format, nullptr);
    if (r < 0) {
        const bool unreadable = r == AVERROR(ENOENT) || r == AVERROR(EACCES) || r == AVERROR(EISDIR);
        *error = (unreadable ? "" : "not a video FFmpeg's libraries read: ") + av_error_text(r);
        video_source_close(s);
        return nullptr;
    }
    const AVCodec* decoder = nullptr;
    s->stream = av_find_best_stream(s->format, AVMEDIA_TYPE_VIDEO, -1, -1, &decoder, 0);
    if (s->stream < 0 || decoder == nullptr) {
        *error = s->stream == AVERROR_DECODER_NOT_FOUND ? "no decoder for its video"
                                                        : "no video in it";
        video_source_close(s);
        return nullptr;
    }
    AVStream* st = s->format->streams[s->stream];
    s->time_base = valid(st->time_base) ? st->time_base : AVRational{1, AV_TIME_BASE};
    s->codec = avcodec_alloc_context3(decoder);
    s->packet = av_packet_alloc();
    s->picture = av_frame_alloc();
    r = s->codec && s->packet && s->picture ? avcodec_parameters_to_context(s->codec, st->codecpar)
                                            : AVERROR(ENOMEM);
    if (r >= 0) {
        s->codec->thread_count = 0;  // as many as the machine has
        s->codec->pkt_timebase = st->time_base;
        r = avcodec_open2(s->codec, decoder, nullptr);
    }
    if (r < 0 || s->codec->width <= 0 || s->codec->height <= 0) {
        *error = "cannot decode its video: " + av_error_text(r < 0 ? r : AVERROR_INVALIDDATA);
        video_source_close(s);
        return nullptr;
    }

    info->source_width = static_cast<uint32_t>(s->codec->width);
    info->source_height = static_cast<uint32_t>(s->codec->height);
    AVRational sar = av_guess_sample_aspect_ratio(s->format, st, nullptr);
    if (!valid(sar)) sar = AVRational{1, 1};
    info->sar_num = static_cast<uint32_t>(sar.num);
    info->sar_den = static_cast<uint32_t>(sar.den);
    video_fit_size(info->source_width, info->source_height, info->sar_num, info->sar_den,
                   options.fit_width, options.fit_height, options.upscale, &s->width, &s->height);

    AVRational rate = source_rate(st, probe_times(s), &info->variable_rate);
    if (valid(rate)) {
        info->source_rate_num = static_cast<uint32_t>(rate.num);
        info->source_rate_den = static_cast<uint32_t>(rate.den);
    } else {
        rate = AVRational{25, 1};  // a stream that says nothing: the common default
    }
    s->source_step = std::max<int64_t>(1, av_rescale_q(1, av_inv_q(rate), s->time_base));
    info->wanted_num = options.rate_num ? options.rate_num : uint32_t(rate.num);
    info->wanted_den = options.rate_num ? options.rate_den : uint32_t(rate.den);
    info->fit = komu_playable_rate(info->wanted_num, info->wanted_den);
    s->rate_num = info->fit.num;
    s->rate_den = info->fit.den;

    if (s->format->duration > 0) {
        info->duration_s = double(s->format->duration) / AV_TIME_BASE;
    } else if (st->duration > 0) {
        info->duration_s = double(st->duration) * av_q2d(st->time_base);
    }
    info->width = s->width;
    info->height = s->height;
    info->expected_frames =
        static_cast<uint64_t>(std::llround(info->duration_s * s->rate_num / s->rate_den));
    s->rgb.resize(size_t{s->width} * s->height * 3);
    s->held.resize(size_t{s->width} * s->height * 2);
    return s;
}

int video_source_next(video_source* s, std::span<uint8_t> frame, std::string* error) {
    if (frame.size() != s->held.size()) {
        *error = "a frame buffer of the wrong size";
        return -1;
    }
    for (;;) {
        // The held picture fills each slot whose middle comes before the next
        // picture starts, or, after the last one, before the held one ends.
        if (s->have_held && (s->pending || s->ended)) {
            if (middle_before(*s, s->next_output, s->ended ? s->held_end : s->pending_pts)) {
                std::copy(s->held.begin(), s->held.end(), frame.begin());
                ++s->next_output;
                return 0;
            }
            if (s->ended) return 1;
            if (!hold_picture(s, s->pending_pts, error)) return -1;
        }
        if (s->ended) return 1;  // no picture at all
        const int got = decode_picture(s, error);
        if (got < 0) return -1;
        if (got == 1) {
            s->ended = true;
            continue;
        }
        int64_t pts = s->picture->best_effort_timestamp;
        if (pts == AV_NOPTS_VALUE) {
            pts = s->have_held ? s->first_pts + s->held_end : 0;  // right after the one before
        }
        if (s->first_pts == AV_NOPTS_VALUE) s->first_pts = pts;
        pts = std::max(pts - s->first_pts, s->have_held ? s->held_pts : int64_t{0});  // never back
        if (!s->have_held) {
            if (!hold_picture(s, pts, error)) return -1;
        } else {
            s->pending = true;
            s->pending_pts = pts;
        }
    }
}

void video_source_close(video_source* s) {
    if (s == nullptr) return;
    for (AVPacket*& p : s->queue) av_packet_free(&p);
    sws_freeContext(s->scaler);
    av_frame_free(&s->picture);
    av_packet_free(&s->packet);
    avcodec_free_context(&s->codec);
    avformat_close_input(&s->format);
    delete s;
}
