// The JPEG codec the module links (TurboJPEG): headers, lossless transforms, decoding at a
// reduced scale, encoding, and turning small pixel buffers. Nothing here touches a Python
// object, so all of it may run with the interpreter lock released; every failure, a warning
// of the decoder included, is a plain `false` for the caller to fall back on.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qv::jpeg {

// One of JPEG's eight lossless transforms: a left-right mirror, then quarter turns clockwise.
struct turn {
    bool mirror = false;
    int quarters = 0;  // 0 to 3

    bool identity() const { return !mirror && quarters == 0; }
    bool swaps_sides() const { return quarters % 2 == 1; }
    // This transform followed by `next`.
    turn then(turn next) const;
    // The TurboJPEG operation (TJXOP_*) that does it.
    int operation() const;
};

// What stands an image with EXIF orientation 1 to 8 upright; identity for any other value.
turn upright_turn(long orientation);
// A clockwise turn by a multiple of 90 degrees (negative counter-clockwise).
turn clockwise(long degrees);

// The frame header, as the decoder reads it.
struct header {
    int width = 0;
    int height = 0;
    int subsampling = 0;  // TJSAMP_*
    int colour_space = 0; // TJCS_*
};
bool read_header(std::string_view data, header& out);
// True for a colour space whose pixels decode to RGB as Pillow decodes them (not CMYK/YCCK).
bool decodes_as_rgb(const header& h);

// The transform of `data` when it is exact for this image (no edge block would be dropped or
// left in place), every marker copied; `progressive` keeps a progressive file progressive.
bool transform(std::string_view data, turn t, bool progressive, std::string& out);

// Packed 8-bit RGB pixels.
struct pixels {
    int width = 0;
    int height = 0;
    std::vector<unsigned char> rgb;
};

// The size the decoder gives at the smallest of its scales (1/2, 1/4, 1/8) whose longer side covers
// `min_long_side` (the full size when none does).
void scaled_size(const header& h, int min_long_side, int& width, int& height);
// Decodes to RGB at `width` by `height`, one of the sizes scaled_size() gives, into `rgb`
// (width * height * 3 bytes).
bool decode_into(std::string_view data, int width, int height, unsigned char* rgb);
// Decodes to RGB at scaled_size(); refused when the image has more than `max_pixels`.
bool decode(std::string_view data, int min_long_side, long long max_pixels, pixels& out);
// Encodes RGB pixels at `quality` with 4:2:0 chroma, as Pillow's encoder does by default.
bool encode(const unsigned char* rgb, int width, int height, int quality, std::string& out);
// The pixels transformed by `t`.
pixels turned(const pixels& in, turn t);
// RGB pixels of `width` by `height` at `from` written transformed by `t` to `to` (as large).
void turn_into(const unsigned char* from, int width, int height, turn t, unsigned char* to);

// `data` transformed by `t`: losslessly when exact, else decoded, turned and encoded at
// `quality`; refused past `max_pixels`. For small embedded previews.
bool turned_anyhow(std::string_view data, turn t, int quality, long long max_pixels, std::string& out);

}  // namespace qv::jpeg
