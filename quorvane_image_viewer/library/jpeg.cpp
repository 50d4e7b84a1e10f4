// The JPEG codec: TurboJPEG behind owning handles, and the eight lossless transforms.
#include "jpeg.hpp"

#include <turbojpeg.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>

namespace qv::jpeg {

namespace {

// Stops at the decoder's first warning (a truncated or corrupted file is refused, never
// half-decoded) and at an absurd number of progressive scans.
constexpr int strict = TJFLAG_STOPONWARNING | TJFLAG_LIMITSCANS | TJFLAG_ACCURATEDCT;

// A TurboJPEG instance, destroyed on every way out.
class instance {
public:
    explicit instance(tjhandle h) : h_(h) {}
    instance(const instance&) = delete;
    instance& operator=(const instance&) = delete;
    ~instance() {
        if (h_) tjDestroy(h_);
    }
    tjhandle get() const { return h_; }
    explicit operator bool() const { return h_ != nullptr; }

private:
    tjhandle h_;
};

// A buffer TurboJPEG allocated, freed on every way out.
class tj_bytes {
public:
    tj_bytes() = default;
    tj_bytes(const tj_bytes&) = delete;
    tj_bytes& operator=(const tj_bytes&) = delete;
    ~tj_bytes() {
        if (p_) tjFree(p_);
    }
    unsigned char** out() { return &p_; }
    const char* data() const { return reinterpret_cast<const char*>(p_); }

private:
    unsigned char* p_ = nullptr;
};

const unsigned char* bytes_of(std::string_view data) { return reinterpret_cast<const unsigned char*>(data.data()); }

// Runs `work`; running out of memory is one more way to fail, never an exception.
template <class F> bool guarded(F&& work) noexcept {
    try {
        return work();
    } catch (...) {
        return false;
    }
}

}  // namespace

turn turn::then(turn next) const {
    // A mirror reverses the sense of the quarter turns made before it.
    int q = next.mirror ? -quarters : quarters;
    return turn{mirror != next.mirror, ((q + next.quarters) % 4 + 4) % 4};
}

int turn::operation() const {
    static constexpr int plain[] = {TJXOP_NONE, TJXOP_ROT90, TJXOP_ROT180, TJXOP_ROT270};
    static constexpr int mirrored[] = {TJXOP_HFLIP, TJXOP_TRANSVERSE, TJXOP_VFLIP, TJXOP_TRANSPOSE};
    return mirror ? mirrored[quarters] : plain[quarters];
}

turn upright_turn(long orientation) {
    // Pillow's exif_transpose: 2 mirror, 3 half turn, 4 upside-down mirror, 5 transpose,
    // 6 a quarter clockwise, 7 transverse, 8 a quarter counter-clockwise.
    static constexpr turn table[] = {{false, 0}, {true, 0}, {false, 2}, {true, 2},
                                     {true, 3},  {false, 1}, {true, 1}, {false, 3}};
    return orientation >= 1 && orientation <= 8 ? table[orientation - 1] : turn{};
}

turn clockwise(long degrees) { return turn{false, static_cast<int>(((degrees / 90) % 4 + 4) % 4)}; }

bool read_header(std::string_view data, header& out) {
    return guarded([&] {
        instance tj(tjInitDecompress());
        if (!tj || data.size() > ULONG_MAX) return false;
        return tjDecompressHeader3(tj.get(), bytes_of(data), data.size(), &out.width, &out.height, &out.subsampling,
                                   &out.colour_space) == 0;
    });
}

bool decodes_as_rgb(const header& h) {
    return h.colour_space == TJCS_RGB || h.colour_space == TJCS_YCbCr || h.colour_space == TJCS_GRAY;
}

bool transform(std::string_view data, turn t, bool progressive, std::string& out) {
    return guarded([&] {
        instance tj(tjInitTransform());
        if (!tj) return false;
        tjtransform how{};
        how.op = t.operation();
        how.options = TJXOPT_PERFECT | (progressive ? TJXOPT_PROGRESSIVE : 0);
        tj_bytes result;
        unsigned long size = 0;
        if (tjTransform(tj.get(), bytes_of(data), data.size(), 1, result.out(), &size, &how, strict) != 0) return false;
        out.assign(result.data(), size);
        return true;
    });
}

void scaled_size(const header& h, int min_long_side, int& width, int& height) {
    width = h.width;
    height = h.height;
    int count = 0;
    const tjscalingfactor* factors = tjGetScalingFactors(&count);
    double chosen = 1.0;
    for (int i = 0; factors && i < count; ++i) {
        const tjscalingfactor f = factors[i];
        double ratio = double(f.num) / f.denom;
        int w = TJSCALED(h.width, f), hgt = TJSCALED(h.height, f);
        // Halvings only: the decoder's other scales shift and stretch the picture by a fraction
        // of a pixel, which a small thumbnail shows.
        if (f.num != 1 || (f.denom & (f.denom - 1)) != 0) continue;
        if (ratio >= chosen || std::max(w, hgt) < min_long_side) continue;
        chosen = ratio;
        width = w;
        height = hgt;
    }
}

bool decode_into(std::string_view data, int width, int height, unsigned char* rgb) {
    return guarded([&] {
        instance tj(tjInitDecompress());
        return tj && tjDecompress2(tj.get(), bytes_of(data), data.size(), rgb, width, 0, height, TJPF_RGB, strict) == 0;
    });
}

bool decode(std::string_view data, int min_long_side, long long max_pixels, pixels& out) {
    return guarded([&] {
        header h;
        if (!read_header(data, h) || !decodes_as_rgb(h) || static_cast<long long>(h.width) * h.height > max_pixels) return false;
        scaled_size(h, min_long_side, out.width, out.height);
        out.rgb.resize(std::size_t(out.width) * std::size_t(out.height) * 3);
        return decode_into(data, out.width, out.height, out.rgb.data());
    });
}

bool encode(const unsigned char* rgb, int width, int height, int quality, std::string& out) {
    return guarded([&] {
        instance tj(tjInitCompress());
        if (!tj) return false;
        tj_bytes result;
        unsigned long size = 0;
        if (tjCompress2(tj.get(), rgb, width, 0, height, TJPF_RGB, result.out(), &size, TJSAMP_420, quality,
                        TJFLAG_ACCURATEDCT) != 0)
            return false;
        out.assign(result.data(), size);
        return true;
    });
}

void turn_into(const unsigned char* from, int width, int height, turn t, unsigned char* to) {
    const std::size_t w = width, h = height, out_width = t.swaps_sides() ? h : w;
    for (std::size_t y = 0; y < h; ++y) {
        for (std::size_t x = 0; x < w; ++x) {
            std::size_t mx = t.mirror ? w - 1 - x : x, dx = mx, dy = y;
            switch (t.quarters) {
                case 1: dx = h - 1 - y; dy = mx; break;
                case 2: dx = w - 1 - mx; dy = h - 1 - y; break;
                case 3: dx = y; dy = w - 1 - mx; break;
                default: break;
            }
            std::memcpy(to + (dy * out_width + dx) * 3, from + (y * w + x) * 3, 3);
        }
    }
}

pixels turned(const pixels& in, turn t) {
    pixels out;
    out.width = t.swaps_sides() ? in.height : in.width;
    out.height = t.swaps_sides() ? in.width : in.height;
    out.rgb.resize(in.rgb.size());
    turn_into(in.rgb.data(), in.width, in.height, t, out.rgb.data());
    return out;
}

bool turned_anyhow(std::string_view data, turn t, int quality, long long max_pixels, std::string& out) {
    header h;
    if (!read_header(data, h) || static_cast<long long>(h.width) * h.height > max_pixels) return false;
    if (transform(data, t, false, out)) return true;
    return guarded([&] {
        pixels decoded;
        if (!decode(data, INT_MAX, max_pixels, decoded)) return false;
        pixels upright = turned(decoded, t);
        return encode(upright.rgb.data(), upright.width, upright.height, quality, out);
    });
}

}  // namespace qv::jpeg
