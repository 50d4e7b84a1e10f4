// Reading and editing the structure around a JPEG's pixels without decoding them: the
// markers before its first scan, and the TIFF structure of its EXIF block (or of a TIFF
// file): orientation, pixel dimensions and the embedded preview (IFD1). Every offset is
// checked against the data; anything out of place makes the structure unreadable rather
// than guessed at. No Python object is touched.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qv::exif {

// What a walk over a JPEG's markers, up to its first scan, finds.
struct jpeg_layout {
    bool is_jpeg = false;        // begins with a JPEG marker
    bool complete = false;       // a scan was reached, every segment before it whole
    bool progressive = false;    // a progressive frame header
    bool multi_picture = false;  // an APP2 "MPF" segment: later pictures follow the first
    bool has_xmp = false;        // an APP1 XMP packet
    bool exif_found = false;     // an APP1 segment starting "Exif\0"
    bool exif_clean = false;     // ... followed by the second NUL, as readers expect
    std::size_t exif_at = 0;     // the TIFF block of the first such segment: offset
    std::size_t exif_size = 0;   // and length
};
jpeg_layout scan_jpeg(std::string_view file);

// A value of one entry, written where the entry keeps it.
struct field {
    std::size_t at = 0;  // offset of the value in the block; 0 when the entry is absent
    int type = 0;        // SHORT (3) or LONG (4)
};

// What a TIFF structure says.
struct tiff_layout {
    bool readable = false;
    bool little_endian = false;
    long orientation = 0;            // 0 when there is no Orientation entry
    bool orientation_plain = true;   // absent, or one SHORT or LONG (what every reader agrees on)
    field orientation_value;
    field pixel_x, pixel_y;          // 0xA002, 0xA003 in the Exif sub-IFD
    bool preview_found = false;      // IFD1 names a JPEG preview (0x201 and 0x202)
    bool preview_valid = false;      // ... lying inside the block and starting as a JPEG does
    std::size_t preview_offset = 0, preview_length = 0;
    field preview_offset_value, preview_length_value;
};
tiff_layout read_tiff(std::string_view block);

// The preview's bytes, when it is valid.
std::string_view preview_of(std::string_view block, const tiff_layout& layout);

// `block` with Orientation 1, pixel dimensions `width` by `height` where it has them, and,
// when `preview` is given, that preview in place of its own. False when the result would not
// fit one JPEG segment, or a value does not fit its entry.
bool edited(std::string_view block, const tiff_layout& layout, long width, long height, const std::string* preview,
            std::string& out);

// `file` with the TIFF block that `layout` (scanned from this file) found replaced by `block`.
bool with_block(std::string_view file, const jpeg_layout& layout, std::string_view block, std::string& out);

}  // namespace qv::exif
