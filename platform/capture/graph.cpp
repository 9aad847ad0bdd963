// The encoding graph of a live stream on libavdevice, libavcodec and
// libavformat: one thread per source reads, decodes, converts and encodes;
// the packets meet in the ASF writer, whose output is cut into the header
// and whole data packets for the sink.
#include "platform/capture/capture.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavdevice/avdevice.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <system_error>

namespace capture {

namespace {

void init_libav() {
    static std::once_flag once;
    std::call_once(once, [] {
        // The library's own messages would go to standard error, which a
        // server does not show anyone; failures come back as codes.
        av_log_set_level(AV_LOG_QUIET);
        avdevice_register_all();
    });
}

int64_t steady_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

struct source {
    AVFormatContext* fmt = nullptr;
    AVCodecContext* dec = nullptr;
    int stream = -1;
    std::thread thread;

    void close() {
        avcodec_free_context(&dec);
        avformat_close_input(&fmt);
        stream = -1;
    }
};

int field_size(unsigned type) {
    return type == 3 ? 4 : static_cast<int>(type);
}

} // namespace

bool packet_send_time(const uint8_t* p, size_t n, uint32_t& ms) {
    size_t pos = 0;
    if (n < 1) return false;
    // Error correction data comes first when its flag is set.
    if (p[0] & 0x80) {
        if (p[0] & 0x60) return false; // only the plain form is defined
        pos = 1 + (p[0] & 0x0F);
    }
    if (pos + 2 > n) return false;
    const unsigned length_flags = p[pos];
    pos += 2;                                   // length type flags, property flags
    pos += field_size((length_flags >> 5) & 3); // packet length
    pos += field_size((length_flags >> 1) & 3); // sequence
    pos += field_size((length_flags >> 3) & 3); // padding length
    if (pos + 6 > n) return false;
    ms = uint32_t(p[pos]) | uint32_t(p[pos + 1]) << 8 | uint32_t(p[pos + 2]) << 16 |
         uint32_t(p[pos + 3]) << 24;
    return true;
}

namespace {

// The position of the stream-number byte of the payload that begins a key
// frame of the stream (0: any stream); 0 when the packet has none or cannot
// be read. Positions of the stream's payloads before it go to `earlier`.
size_t key_frame_payload(const uint8_t* p, size_t n, unsigned stream_number,
                         std::vector<size_t>* earlier) {
    size_t pos = 0;
    if (n < 1) return 0;
    if (p[0] & 0x80) {
        if (p[0] & 0x60) return 0;
        pos = 1 + (p[0] & 0x0F);
    }
    if (pos + 2 > n) return 0;
    const unsigned length_flags = p[pos];
    const unsigned property_flags = p[pos + 1];
    pos += 2;
    pos += field_size((length_flags >> 5) & 3);
    pos += field_size((length_flags >> 1) & 3);
    pos += field_size((length_flags >> 3) & 3);
    pos += 6; // send time, duration
    const bool multiple = length_flags & 1;
    size_t payloads = 1;
    unsigned payload_length_type = 0;
    if (multiple) {
        if (pos + 1 > n) return 0;
        payloads = p[pos] & 0x3F;
        payload_length_type = (p[pos] >> 6) & 3;
        ++pos;
    }
    const int object_number_size = field_size((property_flags >> 4) & 3);
    const int offset_size = field_size((property_flags >> 2) & 3);
    const int replicated_size_size = field_size(property_flags & 3);
    auto read = [&](int size, uint32_t& v) {
        if (pos + size_t(size) > n) return false;
        v = 0;
        for (int i = 0; i < size; ++i)
            v |= uint32_t(p[pos + size_t(i)]) << (8 * i);
        pos += size_t(size);
        return true;
    };
    for (size_t i = 0; i < payloads; ++i) {
        if (pos + 1 > n) return 0;
        const size_t at = pos;
        const bool ours = stream_number == 0 || (p[pos] & 0x7F) == stream_number;
        const bool key = ours && (p[pos] & 0x80);
        ++pos;
        uint32_t object = 0, offset = 0, replicated = 0, length = 0;
        if (!read(object_number_size, object) || !read(offset_size, offset) ||
            !read(replicated_size_size, replicated))
            return 0;
        // A replicated length of 1 marks compressed payloads, which always
        // begin their objects.
        if (replicated == 1) offset = 0;
        if (pos + replicated > n) return 0;
        pos += replicated;
        if (key && offset == 0) return at == 0 ? 0 : at;
        if (ours && earlier) earlier->push_back(at);
        if (!multiple) return 0;
        if (!read(field_size(payload_length_type), length) || pos + length > n) return 0;
        pos += length;
    }
    return 0;
}

} // namespace

bool packet_starts_key_frame(const uint8_t* p, size_t n, unsigned stream_number) {
    return key_frame_payload(p, n, stream_number, nullptr) != 0;
}

bool hide_before_key_frame(uint8_t* p, size_t n, unsigned stream_number) {
    std::vector<size_t> earlier;
    if (key_frame_payload(p, n, stream_number, &earlier) == 0) return false;
    if (earlier.empty()) return true;
    // The pieces of the stream before its key frame (the end of the frame
    // before, whole frames that depend on it) are taken out of the packet,
    // which keeps its size with more padding at its end: a player that
    // begins here sees nothing before the key frame, and nothing of a stream
    // the header does not declare.
    size_t pos = 0;
    if (p[0] & 0x80) pos = 1 + (p[0] & 0x0F);
    const size_t flags_at = pos;
    const unsigned length_flags = p[pos];
    const unsigned property_flags = p[pos + 1];
    pos += 2;
    pos += field_size((length_flags >> 5) & 3);
    pos += field_size((length_flags >> 1) & 3);
    const size_t padding_at = pos;
    const int padding_size = field_size((length_flags >> 3) & 3);
    pos += size_t(padding_size);
    const size_t times_at = pos;
    pos += 6;
    // Only a packet of several payloads has pieces before its key frame.
    const size_t count_at = pos++;
    const unsigned payload_length_type = (p[count_at] >> 6) & 3;
    const size_t payloads = p[count_at] & 0x3F;
    const size_t header_fields = size_t(field_size((property_flags >> 4) & 3)) +
                                 size_t(field_size((property_flags >> 2) & 3));
    const int replicated_size_size = field_size(property_flags & 3);
    const auto value = [&](size_t at, int size) {
        uint32_t v = 0;
        for (int i = 0; i < size; ++i)
            v |= uint32_t(p[at + size_t(i)]) << (8 * i);
        return v;
    };
    std::vector<uint8_t> kept;
    size_t kept_count = 0;
    for (size_t i = 0; i < payloads; ++i) {
        const size_t begin = pos;
        pos += 1 + header_fields;
        const uint32_t replicated = value(pos, replicated_size_size);
        pos += size_t(replicated_size_size) + replicated;
        const uint32_t length = value(pos, field_size(payload_length_type));
        pos += size_t(field_size(payload_length_type)) + length;
        if (std::find(earlier.begin(), earlier.end(), begin) != earlier.end()) continue;
        kept.insert(kept.end(), p + begin, p + pos);
        ++kept_count;
    }
    // The new head: the padding length as a word (or a double word for a
    // packet of more than 64 KiB), the payload count lowered.
    const int new_padding_size = n > 0xFFFF ? 4 : 2;
    std::vector<uint8_t> out(p, p + padding_at);
    out[flags_at] = uint8_t((length_flags & ~0x18u) | (new_padding_size == 4 ? 0x18u : 0x10u));
    const size_t new_padding_at = out.size();
    out.resize(out.size() + size_t(new_padding_size));
    out.insert(out.end(), p + times_at, p + count_at);
    out.push_back(uint8_t((p[count_at] & 0xC0) | kept_count));
    out.insert(out.end(), kept.begin(), kept.end());
    if (out.size() > n) return false; // never: payloads went, at least 2 bytes each
    const size_t padding = n - out.size();
    for (int i = 0; i < new_padding_size; ++i)
        out[new_padding_at + size_t(i)] = uint8_t(padding >> (8 * i));
    (void)padding_size;
    out.resize(n, 0);
    std::copy(out.begin(), out.end(), p);
    return true;
}

struct graph::impl {
    profile prof;
    device audio_dev, video_dev;
    asf_sink* sink = nullptr;
    bool configured = false;

    // Encoders and the writer, for the graph's whole life.
    AVCodecContext* venc = nullptr;
    AVCodecContext* aenc = nullptr;
    AVFormatContext* out = nullptr;
    AVStream* vst = nullptr;
    AVStream* ast = nullptr;
    std::mutex mux_lock;            // the writer, its output and the sink calls
    std::string pending;            // writer output not yet handed on
    std::vector<uint8_t> join_form; // a key unit as a joining player gets it
    size_t packet_size = 0;
    bool header_written = false;

    // Sources and the run state.
    std::mutex run_lock;
    bool running = false;
    std::atomic<bool> stop{false};
    source vsrc, asrc;
    int64_t run_start_ms = 0;
    int64_t offset_ms = 0; // stream time reached by earlier runs
    int64_t last_vpts = -1;
    int64_t audio_samples = 0;
    SwsContext* sws = nullptr;
    AVFrame* vframe = nullptr;
    SwrContext* swr = nullptr;
    AVAudioFifo* fifo = nullptr;
    AVFrame* aframe = nullptr;

    ~impl() {
        stop_run();
        if (out) {
            if (header_written) {
                // Ends the writer cleanly (it frees its index); nobody
                // receives what it writes now.
                std::lock_guard hold(mux_lock);
                sink = nullptr;
                av_write_trailer(out);
            }
            if (out->pb) av_freep(&out->pb->buffer);
            avio_context_free(&out->pb);
            avformat_free_context(out);
        }
        avcodec_free_context(&venc);
        avcodec_free_context(&aenc);
        av_frame_free(&vframe);
        av_frame_free(&aframe);
        if (fifo) av_audio_fifo_free(fifo);
    }

    int64_t clock_ms() const { return offset_ms + (steady_ms() - run_start_ms); }

    static int write_out(void* opaque, uint8_t* buf, int size) {
        static_cast<impl*>(opaque)->pending.append(reinterpret_cast<const char*>(buf), size);
        return size;
    }

    static int interrupted(void* opaque) { return static_cast<impl*>(opaque)->stop.load(); }

    int open_encoders() {
        int r = avformat_alloc_output_context2(&out, nullptr, "asf", nullptr);
        if (r < 0) return r;
        auto* buf = static_cast<uint8_t*>(av_malloc(32768));
        if (!buf) return AVERROR(ENOMEM);
        out->pb = avio_alloc_context(buf, 32768, 1, this, nullptr, write_out, nullptr);
        if (!out->pb) {
            av_free(buf);
            return AVERROR(ENOMEM);
        }
        if (prof.video) {
            const AVCodec* c = avcodec_find_encoder(AV_CODEC_ID_WMV2);
            if (!c) return AVERROR_ENCODER_NOT_FOUND;
            venc = avcodec_alloc_context3(c);
            if (!venc) return AVERROR(ENOMEM);
            venc->width = prof.width;
            venc->height = prof.height;
            venc->pix_fmt = AV_PIX_FMT_YUV420P;
            venc->time_base = AVRational{1, prof.fps};
            venc->framerate = AVRational{prof.fps, 1};
            venc->bit_rate = prof.video_bitrate;
            // A key picture every second: a client that joins starts soon.
            venc->gop_size = prof.fps;
            if (out->oformat->flags & AVFMT_GLOBALHEADER)
                venc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
            if ((r = avcodec_open2(venc, c, nullptr)) < 0) return r;
            vst = avformat_new_stream(out, nullptr);
            if (!vst) return AVERROR(ENOMEM);
            if ((r = avcodec_parameters_from_context(vst->codecpar, venc)) < 0) return r;
            vst->time_base = venc->time_base;
            vframe = av_frame_alloc();
            if (!vframe) return AVERROR(ENOMEM);
            vframe->format = venc->pix_fmt;
            vframe->width = venc->width;
            vframe->height = venc->height;
            if ((r = av_frame_get_buffer(vframe, 0)) < 0) return r;
        }
        if (prof.audio) {
            const AVCodec* c = avcodec_find_encoder(AV_CODEC_ID_WMAV2);
            if (!c) return AVERROR_ENCODER_NOT_FOUND;
            aenc = avcodec_alloc_context3(c);
            if (!aenc) return AVERROR(ENOMEM);
            aenc->sample_fmt = AV_SAMPLE_FMT_FLTP;
            aenc->sample_rate = prof.sample_rate;
            av_channel_layout_default(&aenc->ch_layout, prof.channels);
            aenc->bit_rate = prof.audio_bitrate;
            aenc->time_base = AVRational{1, prof.sample_rate};
            if (out->oformat->flags & AVFMT_GLOBALHEADER)
                aenc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
            if ((r = avcodec_open2(aenc, c, nullptr)) < 0) return r;
            ast = avformat_new_stream(out, nullptr);
            if (!ast) return AVERROR(ENOMEM);
            if ((r = avcodec_parameters_from_context(ast->codecpar, aenc)) < 0) return r;
            ast->time_base = aenc->time_base;
            fifo = av_audio_fifo_alloc(aenc->sample_fmt, prof.channels, aenc->frame_size * 4);
            aframe = av_frame_alloc();
            if (!fifo || !aframe) return AVERROR(ENOMEM);
            aframe->format = aenc->sample_fmt;
            aframe->sample_rate = aenc->sample_rate;
            aframe->nb_samples = aenc->frame_size;
            if ((r = av_channel_layout_copy(&aframe->ch_layout, &aenc->ch_layout)) < 0) return r;
            if ((r = av_frame_get_buffer(aframe, 0)) < 0) return r;
        }
        return 0;
    }

    int open_source(source& s, const device& d, bool video) {
        const AVInputFormat* f = av_find_input_format(d.format.c_str());
        if (!f) return AVERROR_DEMUXER_NOT_FOUND;
        std::string url = d.url;
        if (d.format == "lavfi") {
            // A test source runs at the profile's own size and rate, paced to
            // the wall clock as a device would be.
            char text[160];
            if (video)
                std::snprintf(text, sizeof text, "%s=size=%dx%d:rate=%d,realtime", d.url.c_str(),
                              prof.width, prof.height, prof.fps);
            else
                std::snprintf(text, sizeof text, "%s=frequency=440:sample_rate=%d,arealtime",
                              d.url.c_str(), prof.sample_rate);
            url = text;
        }
        s.fmt = avformat_alloc_context();
        if (!s.fmt) return AVERROR(ENOMEM);
        s.fmt->interrupt_callback = AVIOInterruptCB{interrupted, this};
        int r = avformat_open_input(&s.fmt, url.c_str(), f, nullptr);
        if (r < 0) return r; // the context is freed on failure
        r = av_find_best_stream(s.fmt, video ? AVMEDIA_TYPE_VIDEO : AVMEDIA_TYPE_AUDIO, -1, -1,
                                nullptr, 0);
        if (r < 0) return r;
        s.stream = r;
        const AVCodecParameters* par = s.fmt->streams[s.stream]->codecpar;
        const AVCodec* c = avcodec_find_decoder(par->codec_id);
        if (!c) return AVERROR_DECODER_NOT_FOUND;
        s.dec = avcodec_alloc_context3(c);
        if (!s.dec) return AVERROR(ENOMEM);
        if ((r = avcodec_parameters_to_context(s.dec, par)) < 0) return r;
        s.dec->time_base = s.fmt->streams[s.stream]->time_base;
        return avcodec_open2(s.dec, c, nullptr);
    }

    // Hands on what the writer has written: whole data packets only.
    void deliver() {
        avio_flush(out->pb);
        size_t done = 0;
        while (pending.size() - done >= packet_size) {
            const auto* p = reinterpret_cast<const uint8_t*>(pending.data() + done);
            uint32_t ms = 0;
            packet_send_time(p, packet_size, ms);
            // With a picture, a player can begin only at one of its key
            // frames; sound alone begins anywhere.
            const unsigned video = vst ? unsigned(vst->index + 1) : 0;
            const bool key = vst ? packet_starts_key_frame(p, packet_size, video) : true;
            const uint8_t* join = p;
            if (vst && key) {
                join_form.assign(p, p + packet_size);
                hide_before_key_frame(join_form.data(), packet_size, video);
                join = join_form.data();
            }
            if (sink) sink->on_data_unit(p, packet_size, ms, key, join);
            done += packet_size;
        }
        pending.erase(0, done);
    }

    void encode(AVCodecContext* enc, AVFrame* frame, AVStream* st) {
        if (avcodec_send_frame(enc, frame) < 0) return;
        AVPacket* pkt = av_packet_alloc();
        if (!pkt) return;
        while (avcodec_receive_packet(enc, pkt) >= 0) {
            std::lock_guard hold(mux_lock);
            av_packet_rescale_ts(pkt, enc->time_base, st->time_base);
            pkt->stream_index = st->index;
            av_interleaved_write_frame(out, pkt);
            deliver();
        }
        av_packet_free(&pkt);
    }

    void encode_video(const AVFrame* in) {
        const int64_t pts = clock_ms() * prof.fps / 1000;
        // A source faster than the profile's rate: the extra picture is dropped.
        if (pts <= last_vpts) return;
        sws = sws_getCachedContext(sws, in->width, in->height, AVPixelFormat(in->format),
                                   venc->width, venc->height, venc->pix_fmt, SWS_BILINEAR, nullptr,
                                   nullptr, nullptr);
        if (!sws || av_frame_make_writable(vframe) < 0) return;
        sws_scale(sws, in->data, in->linesize, 0, in->height, vframe->data, vframe->linesize);
        last_vpts = pts;
        vframe->pts = pts;
        encode(venc, vframe, vst);
    }

    void encode_audio(const AVFrame* in) {
        if (!swr) {
            AVChannelLayout layout{};
            if (in->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
                av_channel_layout_default(&layout, in->ch_layout.nb_channels);
            else if (av_channel_layout_copy(&layout, &in->ch_layout) < 0)
                return;
            const int r = swr_alloc_set_opts2(
                &swr, &aenc->ch_layout, aenc->sample_fmt, aenc->sample_rate, &layout,
                AVSampleFormat(in->format), in->sample_rate, 0, nullptr);
            av_channel_layout_uninit(&layout);
            if (r < 0 || swr_init(swr) < 0) {
                swr_free(&swr);
                return;
            }
        }
        const int room = swr_get_out_samples(swr, in->nb_samples);
        if (room <= 0) return;
        uint8_t** data = nullptr;
        if (av_samples_alloc_array_and_samples(&data, nullptr, prof.channels, room,
                                               aenc->sample_fmt, 0) < 0)
            return;
        const int n = swr_convert(swr, data, room, const_cast<const uint8_t**>(in->extended_data),
                                  in->nb_samples);
        if (n > 0) av_audio_fifo_write(fifo, reinterpret_cast<void**>(data), n);
        av_freep(&data[0]);
        av_freep(&data);
        while (av_audio_fifo_size(fifo) >= aenc->frame_size) {
            if (av_frame_make_writable(aframe) < 0) return;
            av_audio_fifo_read(fifo, reinterpret_cast<void**>(aframe->data), aenc->frame_size);
            aframe->pts = audio_samples;
            audio_samples += aenc->frame_size;
            encode(aenc, aframe, ast);
        }
    }

    void source_loop(source& s, bool video) {
        AVPacket* pkt = av_packet_alloc();
        AVFrame* frame = av_frame_alloc();
        while (pkt && frame && !stop.load()) {
            const int r = av_read_frame(s.fmt, pkt);
            if (r == AVERROR(EAGAIN)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                continue;
            }
            // A source that ends or fails stops here; the other goes on.
            if (r < 0) break;
            if (pkt->stream_index == s.stream && avcodec_send_packet(s.dec, pkt) >= 0) {
                while (avcodec_receive_frame(s.dec, frame) >= 0) {
                    if (video)
                        encode_video(frame);
                    else
                        encode_audio(frame);
                    av_frame_unref(frame);
                }
            }
            av_packet_unref(pkt);
        }
        av_frame_free(&frame);
        av_packet_free(&pkt);
    }

    void close_sources() {
        vsrc.close();
        asrc.close();
        sws_freeContext(sws);
        sws = nullptr;
        swr_free(&swr);
        if (fifo) av_audio_fifo_reset(fifo);
    }

    int start_run() {
        std::lock_guard hold(run_lock);
        if (running) return 0;
        if (!configured) return AVERROR(EINVAL);
        stop = false;
        int r = 0;
        if (prof.video) r = open_source(vsrc, video_dev, true);
        if (r >= 0 && prof.audio) r = open_source(asrc, audio_dev, false);
        if (r >= 0 && !header_written) {
            std::lock_guard mux(mux_lock);
            r = avformat_write_header(out, nullptr);
            if (r >= 0) {
                avio_flush(out->pb);
                packet_size = out->packet_size > 0 ? out->packet_size : 3200;
                if (sink)
                    sink->on_header(reinterpret_cast<const uint8_t*>(pending.data()),
                                    pending.size());
                pending.clear();
                // The writer would wait for every stream without limit; a
                // silent source must not make it hold the other's packets.
                out->max_interleave_delta = 1000000;
                header_written = true;
            }
        }
        if (r < 0) {
            close_sources();
            return r;
        }
        run_start_ms = steady_ms();
        if (prof.audio)
            audio_samples = std::max(audio_samples, offset_ms * prof.sample_rate / 1000);
        try {
            if (prof.video) vsrc.thread = std::thread([this] { source_loop(vsrc, true); });
            if (prof.audio) asrc.thread = std::thread([this] { source_loop(asrc, false); });
        } catch (const std::system_error&) {
            stop = true;
            if (vsrc.thread.joinable()) vsrc.thread.join();
            close_sources();
            return AVERROR(EAGAIN);
        }
        running = true;
        return 0;
    }

    void stop_run() {
        std::lock_guard hold(run_lock);
        if (!running) return;
        stop = true;
        if (vsrc.thread.joinable()) vsrc.thread.join();
        if (asrc.thread.joinable()) asrc.thread.join();
        offset_ms = clock_ms();
        close_sources();
        running = false;
    }
};

graph::graph() : impl_(std::make_unique<impl>()) {}

graph::~graph() = default;

int graph::configure(const profile& p, const device* audio, const device* video, asf_sink* sink) {
    init_libav();
    impl& g = *impl_;
    if (g.configured || (p.audio && !audio) || (p.video && !video) || (!p.audio && !p.video))
        return AVERROR(EINVAL);
    g.prof = p;
    if (audio) g.audio_dev = *audio;
    if (video) g.video_dev = *video;
    g.sink = sink;
    const int r = g.open_encoders();
    if (r < 0) return r;
    g.configured = true;
    return 0;
}

int graph::run() {
    return impl_->start_run();
}

void graph::stop() {
    impl_->stop_run();
}

bool graph::running() {
    std::lock_guard hold(impl_->run_lock);
    return impl_->running;
}

} // namespace capture
