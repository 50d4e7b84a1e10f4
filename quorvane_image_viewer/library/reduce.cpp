// Thumbnails in bands. Pillow converts a whole image before it scales it (to RGB, or to
// premultiplied alpha), which for a large picture costs several copies of it. Here the image
// is cut in bands of rows; each band is laid over white and reduced by whole factors on its
// own, exactly as the whole would be, and only the small result is scaled to its size.
#include "reduce.hpp"

#include "library.hpp"
#include "metadata.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

namespace qv {

namespace {

const name n_crop{"crop"}, n_reduce{"reduce"}, n_paste{"paste"}, n_new{"new"}, n_resize{"resize"},
    n_transpose{"transpose"}, n_Resampling{"Resampling"}, n_BICUBIC{"BICUBIC"};

// thumbnail() first reduces by whole factors to no less than this many times the final size.
constexpr double reducing_gap = 2.0;
// Rows are cut in bands of about this many pixels.
constexpr long band_pixels = 1L << 20;

long whole(handle value) {
    long v = PyLong_AsLong(value.ptr());
    if (v == -1 && PyErr_Occurred()) throw_error();
    return v;
}

ref four(double a, double b, double c, double d) { return steal(Py_BuildValue("(dddd)", a, b, c, d)); }
ref box_of(long left, long top, long right, long bottom) {
    return steal(Py_BuildValue("(llll)", left, top, right, bottom));
}

// max(min(floor(n), ceil(n), key=key), 1), as thumbnail() rounds the shorter side
template <class Key> long round_aspect(double n, Key key) {
    double low = std::floor(n), high = std::ceil(n);
    return std::max(static_cast<long>(key(high) < key(low) ? high : low), 1L);
}

// The size thumbnail((edge, edge)) gives a w by h image; its own size when it fits.
std::pair<long, long> fitted(long w, long h, long edge) {
    if (edge >= w && edge >= h) return {w, h};
    const double aspect = static_cast<double>(w) / static_cast<double>(h), side = static_cast<double>(edge);
    if (1.0 >= aspect)
        return {round_aspect(side * aspect, [&](double n) { return std::fabs(aspect - n / side); }), edge};
    return {edge, round_aspect(side / aspect, [&](double n) { return n == 0 ? 0.0 : std::fabs(aspect - side / n); })};
}

// The stored image's part that becomes rows top to bottom of the image turned by `transpose`
// (w and h are the stored sides): rows or, for a quarter turn, columns, counted from the far
// side when the turn brings that side to the top.
ref stored_part(long transpose, long w, long h, long top, long bottom) {
    switch (transpose) {
        case 1: case 3: return box_of(0, h - bottom, w, h - top);   // FLIP_TOP_BOTTOM, ROTATE_180
        case 2: case 6: return box_of(w - bottom, 0, w - top, h);   // ROTATE_90, TRANSVERSE
        case 4: case 5: return box_of(top, 0, bottom, h);           // ROTATE_270, TRANSPOSE
        default: return box_of(0, top, w, bottom);
    }
}

// turned = image.transpose(transpose); turned.convert("RGB") over white, then reduce((fx, fy)),
// one band of the turned rows at a time: a band whose height is a multiple of fy reduces to
// exactly the rows the whole image would give.
ref reduced_on_white(handle image, long transpose, long w, long h, long fx, long fy) {
    const bool swapped = swaps_sides(transpose);
    const long turned_w = swapped ? h : w, turned_h = swapped ? w : h;
    const long rows = std::max(1L, band_pixels / std::max(1L, turned_w * fy)) * fy;
    ref canvas = global(n_Image).attr(n_new)(
        n_RGB, pair(number((turned_w + fx - 1) / fx), number((turned_h + fy - 1) / fy)));
    ref factors = pair(number(fx), number(fy));
    for (long top = 0; top < turned_h; top += rows) {
        ref band = image.method(n_crop, stored_part(transpose, w, h, top, std::min(turned_h, top + rows)));
        if (transpose >= 0) band = band.method(n_transpose, number(transpose));
        ref part = rgb_on_white(band).method(n_reduce, factors);
        canvas.method(n_paste, part, pair(number(0), number(top / fy)));
    }
    return canvas;
}

}  // namespace

bool swaps_sides(long transpose) { return transpose == 2 || transpose == 4 || transpose == 5 || transpose == 6; }

ref thumbnail_on_white(handle image, long edge, long transpose) {
    auto [width, height] = unpack_pair(image.attr(n_size));
    const long w = whole(width), h = whole(height);
    const bool swapped = swaps_sides(transpose);
    const long turned_w = swapped ? h : w, turned_h = swapped ? w : h;
    auto [sx, sy] = fitted(turned_w, turned_h, edge);
    const long fx = std::max(1L, static_cast<long>(turned_w / static_cast<double>(sx) / reducing_gap));
    const long fy = std::max(1L, static_cast<long>(turned_h / static_cast<double>(sy) / reducing_gap));
    ref bicubic = global(n_Image).attr(n_Resampling).attr(n_BICUBIC);
    ref size = pair(number(sx), number(sy));
    if (fx > 1 || fy > 1) {
        // The reduced image stands for the whole one: its last row and column may be partial.
        ref reduced = reduced_on_white(image, transpose, w, h, fx, fy);
        return reduced.method(n_resize, size, bicubic,
                              four(0, 0, static_cast<double>(turned_w) / fx, static_cast<double>(turned_h) / fy));
    }
    // Small enough already: no band is worth cutting.
    ref small = rgb_on_white(image);
    if (transpose >= 0) small = small.method(n_transpose, number(transpose));
    return sx == turned_w && sy == turned_h ? small : small.method(n_resize, size, bicubic);
}

}  // namespace qv
