// JPEG markers and EXIF/TIFF structure, read and edited in place.
#include "exif_block.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace qv::exif {

namespace {

constexpr int type_short = 3;
constexpr int type_long = 4;
constexpr int type_ifd = 13;
constexpr std::uint16_t orientation_tag = 0x0112;
constexpr std::uint16_t exif_ifd_tag = 0x8769;
constexpr std::uint16_t pixel_x_tag = 0xA002;
constexpr std::uint16_t pixel_y_tag = 0xA003;
constexpr std::uint16_t preview_offset_tag = 0x0201;
constexpr std::uint16_t preview_length_tag = 0x0202;
constexpr std::size_t entry_size = 12;
// A segment's length field counts itself; "Exif\0\0" precedes the block.
constexpr std::size_t max_segment = 0xFFFF;
constexpr std::string_view exif_head{"Exif\0", 5};
constexpr std::string_view xmp_head{"http://ns.adobe.com/xap/1.0/\0", 29};
constexpr std::string_view mpf_head{"MPF\0", 4};

unsigned byte_at(std::string_view d, std::size_t i) { return static_cast<unsigned char>(d[i]); }

bool starts(std::string_view data, std::string_view head) { return data.substr(0, head.size()) == head; }

// Integers in the block's byte order, each read only after its bounds were checked.
struct reader {
    std::string_view d;
    bool little;

    bool fits(std::size_t at, std::size_t n) const { return at <= d.size() && n <= d.size() - at; }
    std::uint32_t u16(std::size_t at) const {
        unsigned a = byte_at(d, at), b = byte_at(d, at + 1);
        return little ? a | b << 8 : a << 8 | b;
    }
    std::uint32_t u32(std::size_t at) const {
        std::uint32_t a = byte_at(d, at), b = byte_at(d, at + 1), c = byte_at(d, at + 2), e = byte_at(d, at + 3);
        return little ? a | b << 8 | c << 16 | e << 24 : a << 24 | b << 16 | c << 8 | e;
    }
    // The one SHORT or LONG (or, for a pointer, IFD) an entry holds, or false for any other shape.
    bool single(std::size_t entry, field& where, std::uint32_t& value, bool pointer = false) const {
        std::uint32_t type = u16(entry + 2), count = u32(entry + 4);
        if (count != 1 || (type != type_short && type != type_long && !(pointer && type == type_ifd))) return false;
        where.at = entry + 8;
        where.type = type == type_short ? type_short : type_long;
        value = type == type_short ? u16(entry + 8) : u32(entry + 8);
        return true;
    }
};

// Writes `value` where `f` says; false when that lies outside `d`.
bool put(std::string& d, bool little, const field& f, std::uint32_t value) {
    const std::size_t n = f.type == type_short ? 2 : 4;
    if (f.at + n > d.size()) return false;
    for (std::size_t i = 0; i < n; ++i) {
        int shift = little ? 8 * i : 8 * (n - 1 - i);
        d[f.at + i] = static_cast<char>((value >> shift) & 0xFF);
    }
    return true;
}

// Where the last value this editor may write ends.
std::size_t fields_end(const tiff_layout& t) {
    std::size_t end = 0;
    for (const field* f : {&t.orientation_value, &t.pixel_x, &t.pixel_y, &t.preview_offset_value,
                           &t.preview_length_value})
        if (f->at) end = std::max(end, f->at + 4);
    return end;
}

bool fits_field(const field& f, std::uint64_t value) {
    return f.type == type_long ? value <= 0xFFFFFFFFu : value <= 0xFFFFu;
}

// Calls `each(tag, entry offset)` for every entry of the IFD at `at`; the offset of the next
// IFD comes back in `next`. False when the IFD does not lie inside the block.
template <class F> bool walk_ifd(const reader& r, std::size_t at, std::uint32_t& next, F&& each) {
    if (at < 8 || !r.fits(at, 2)) return false;
    std::size_t count = r.u16(at);
    if (!r.fits(at + 2, count * entry_size + 4)) return false;
    for (std::size_t i = 0; i < count; ++i) {
        std::size_t entry = at + 2 + i * entry_size;
        if (!each(r.u16(entry), entry)) return false;
    }
    next = r.u32(at + 2 + count * entry_size);
    return true;
}

}  // namespace

jpeg_layout scan_jpeg(std::string_view file) {
    jpeg_layout found;
    if (file.size() < 4 || byte_at(file, 0) != 0xFF || byte_at(file, 1) != 0xD8 || byte_at(file, 2) != 0xFF)
        return found;
    found.is_jpeg = true;
    std::size_t pos = 2;
    while (pos < file.size()) {
        if (byte_at(file, pos) != 0xFF) return found;  // garbage between segments
        while (pos < file.size() && byte_at(file, pos) == 0xFF) ++pos;  // fill bytes
        if (pos >= file.size()) return found;
        unsigned marker = byte_at(file, pos);
        ++pos;
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8)) continue;  // no length follows
        if (marker == 0xD9 || pos + 2 > file.size()) return found;
        std::size_t length = byte_at(file, pos) << 8 | byte_at(file, pos + 1);
        if (length < 2 || length > file.size() - pos) return found;
        std::string_view payload = file.substr(pos + 2, length - 2);
        if (marker == 0xDA) {
            found.complete = true;
            return found;
        }
        if (marker == 0xC2 || marker == 0xC6 || marker == 0xCA || marker == 0xCE) found.progressive = true;
        if (marker == 0xE1 && starts(payload, exif_head) && !found.exif_found) {
            found.exif_found = true;
            found.exif_clean = payload.size() >= 6 && payload[5] == '\0';
            found.exif_at = pos + 2 + 6;
            found.exif_size = found.exif_clean ? payload.size() - 6 : 0;
        }
        if (marker == 0xE1 && starts(payload, xmp_head)) found.has_xmp = true;
        if (marker == 0xE2 && starts(payload, mpf_head)) found.multi_picture = true;
        pos += length;
    }
    return found;
}

tiff_layout read_tiff(std::string_view block) {
    tiff_layout t;
    if (block.size() < 8) return t;
    if (starts(block, {"II*\0", 4})) t.little_endian = true;
    else if (!starts(block, {"MM\0*", 4})) return t;
    reader r{block, t.little_endian};
    std::uint32_t ifd0 = r.u32(4), ifd1 = 0, exif_ifd = 0, ignored = 0;
    int orientation_entries = 0;
    bool ok = walk_ifd(r, ifd0, ifd1, [&](std::uint32_t tag, std::size_t entry) {
        std::uint32_t value = 0;
        field where;
        if (tag == orientation_tag) {
            ++orientation_entries;
            if (r.single(entry, where, value)) {
                t.orientation = value;
                t.orientation_value = where;
            } else {
                t.orientation_plain = false;
            }
        }
        if (tag == exif_ifd_tag && r.single(entry, where, value, true)) exif_ifd = value;
        return true;
    });
    if (!ok) return t;
    if (orientation_entries > 1) t.orientation_plain = false;
    // The Exif sub-IFD only matters for its pixel dimensions: one that cannot be read has none.
    if (exif_ifd) {
        field x, y;
        bool sub_ok = walk_ifd(r, exif_ifd, ignored, [&](std::uint32_t tag, std::size_t entry) {
            std::uint32_t value = 0;
            field where;
            if ((tag == pixel_x_tag || tag == pixel_y_tag) && r.single(entry, where, value))
                (tag == pixel_x_tag ? x : y) = where;
            return true;
        });
        if (sub_ok) {
            t.pixel_x = x;
            t.pixel_y = y;
        }
    }
    if (ifd1) {
        std::uint32_t offset = 0, length = 0, next = 0;
        bool has_offset = false, has_length = false;
        bool ifd1_ok = walk_ifd(r, ifd1, next, [&](std::uint32_t tag, std::size_t entry) {
            if (tag == preview_offset_tag) has_offset = r.single(entry, t.preview_offset_value, offset);
            if (tag == preview_length_tag) has_length = r.single(entry, t.preview_length_value, length);
            return true;
        });
        t.preview_found = ifd1_ok && (has_offset || has_length);
        t.preview_offset = offset;
        t.preview_length = length;
        t.preview_valid = t.preview_found && has_offset && has_length && length >= 4 && r.fits(offset, length) &&
                          byte_at(block, offset) == 0xFF && byte_at(block, offset + 1) == 0xD8;
        // An IFD1 that cannot be walked is a damaged block: nothing in it can be trusted.
        if (!ifd1_ok) t.preview_found = true;
    }
    t.readable = true;
    return t;
}

std::string_view preview_of(std::string_view block, const tiff_layout& layout) {
    if (!layout.preview_valid) return {};
    return block.substr(layout.preview_offset, layout.preview_length);
}

bool edited(std::string_view block, const tiff_layout& layout, long width, long height, const std::string* preview,
            std::string& out) {
    out.assign(block);
    const bool little = layout.little_endian;
    if (layout.orientation_value.at && !put(out, little, layout.orientation_value, 1)) return false;
    if (layout.pixel_x.at &&
        (!fits_field(layout.pixel_x, width) || !put(out, little, layout.pixel_x, static_cast<std::uint32_t>(width))))
        return false;
    if (layout.pixel_y.at && (!fits_field(layout.pixel_y, height) ||
                              !put(out, little, layout.pixel_y, static_cast<std::uint32_t>(height))))
        return false;
    if (preview) {
        if (!layout.preview_valid) return false;
        // A preview at the end of the block, after every entry, is cut off and replaced; one
        // elsewhere stays as unreferenced bytes, since something else may lie after it.
        if (layout.preview_offset + layout.preview_length == out.size() && layout.preview_offset >= fields_end(layout))
            out.resize(layout.preview_offset);
        if (out.size() % 2) out.push_back('\0');  // TIFF offsets are word aligned
        std::size_t offset = out.size();
        out += *preview;
        if (!fits_field(layout.preview_offset_value, offset) ||
            !fits_field(layout.preview_length_value, preview->size()))
            return false;
        if (!put(out, little, layout.preview_offset_value, static_cast<std::uint32_t>(offset)) ||
            !put(out, little, layout.preview_length_value, static_cast<std::uint32_t>(preview->size())))
            return false;
    }
    return out.size() + 2 + 6 <= max_segment;
}

bool with_block(std::string_view file, const jpeg_layout& layout, std::string_view block, std::string& out) {
    if (!layout.exif_found || !layout.exif_clean || block.size() + 2 + 6 > max_segment) return false;
    const std::size_t segment = layout.exif_at - 6 - 4;  // FF E1, the length, "Exif\0\0"
    const std::size_t after = layout.exif_at + layout.exif_size;
    const std::size_t length = block.size() + 2 + 6;
    out.clear();
    out.reserve(file.size() - (after - segment) + length + 2);
    out.append(file.substr(0, segment));
    out.push_back('\xFF');
    out.push_back('\xE1');
    out.push_back(static_cast<char>(length >> 8));
    out.push_back(static_cast<char>(length & 0xFF));
    out.append("Exif\0\0", 6);
    out.append(block);
    out.append(file.substr(after));
    return true;
}

}  // namespace qv::exif
