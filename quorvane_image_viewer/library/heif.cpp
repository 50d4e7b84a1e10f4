// HEIF and AVIF through libheif. The file is read through a descriptor of our own (never a
// FIFO or a folder), every libheif object has an owner that frees it on every way out, and
// the parsing and decoding run with the interpreter lock released.
#include "heif.hpp"

#include "files.hpp"
#include "library.hpp"
#include "metadata.hpp"

#include <libheif/heif.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace qv {

namespace {

const name n_frombuffer{"frombuffer"}, n_raw{"raw"}, n_RGBa{"RGBa"}, n_info{"info"}, n_Exif{"Exif"}, n_load{"load"},
    n_HEIF{"HEIF"}, n_AVIF{"AVIF"}, n_UnidentifiedImageError{"UnidentifiedImageError"},
    n_decompression_bomb_check{"_decompression_bomb_check"};

// ---- recognising the container ----

enum class heif_kind { none, heif, avif };

// The brands that make a file ours; AVIF's name the AV1 flavour, the rest HEVC or generic HEIF.
heif_kind brand_kind(std::string_view brand) {
    if (brand == "avif" || brand == "avis") return heif_kind::avif;
    for (std::string_view b : {"heic", "heix", "hevc", "heim", "heis", "mif1", "msf1"})
        if (brand == b) return heif_kind::heif;
    return heif_kind::none;
}

std::uint32_t big_endian_32(const unsigned char* p) {
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}

// The kind the `ftyp` box at the start of `head` names: its major brand, else (and for the
// generic mif1 and msf1) the first AVIF or HEVC brand among the compatible ones, else HEIF
// when a generic one is among them.
heif_kind sniff(const unsigned char* head, std::size_t length) {
    if (length < 12 || std::memcmp(head + 4, "ftyp", 4) != 0) return heif_kind::none;
    auto brand = [&](std::size_t at) { return std::string_view(reinterpret_cast<const char*>(head) + at, 4); };
    auto generic = [](std::string_view b) { return b == "mif1" || b == "msf1"; };
    heif_kind found = brand_kind(brand(8));
    if (found != heif_kind::none && !generic(brand(8))) return found;
    // Compatible brands follow the minor version, up to the end of the box or of what was read.
    std::size_t end = std::min<std::size_t>(big_endian_32(head), length);
    for (std::size_t at = 16; at + 4 <= end; at += 4) {
        heif_kind kind = brand_kind(brand(at));
        if (kind != heif_kind::none && !generic(brand(at))) return kind;
        if (kind != heif_kind::none) found = kind;
    }
    return found;
}

constexpr std::size_t head_length = 64;

heif_kind kind_of(handle path) {
    if (!is_path_like(path)) return heif_kind::none;
    unsigned char head[head_length];
    try {
        return sniff(head, read_head(path, reinterpret_cast<char*>(head), head_length));
    } catch (error_already_set&) {
        PyErr_Clear();  // a path the system refuses: Image.open reports it in its own words
        return heif_kind::none;
    }
}

// ---- libheif objects and their owners ----

struct context_free {
    void operator()(heif_context* c) const { heif_context_free(c); }
};
struct handle_release {
    void operator()(heif_image_handle* h) const { heif_image_handle_release(h); }
};
struct image_release {
    void operator()(heif_image* i) const { heif_image_release(i); }
};
struct options_free {
    void operator()(heif_decoding_options* o) const { heif_decoding_options_free(o); }
};
using context_ptr = std::unique_ptr<heif_context, context_free>;
using item_ptr = std::unique_ptr<heif_image_handle, handle_release>;
using pixels_ptr = std::unique_ptr<heif_image, image_release>;
using options_ptr = std::unique_ptr<heif_decoding_options, options_free>;

// libheif registers its codecs once per process; done before the first context is made.
void ensure_initialised() {
    static const bool initialised = [] {
        heif_init(nullptr);
        return true;
    }();
    (void)initialised;
}

// ---- the file as libheif reads it ----

// A regular file read by position; libheif asks for ranges as it needs them, so the pixels
// of an item it does not decode are never read.
struct file_source {
    descriptor fd;
    std::int64_t size = 0;
    std::int64_t position = 0;

    static std::int64_t get_position(void* self) { return static_cast<file_source*>(self)->position; }
    static int read(void* data, std::size_t size, void* self) {
        auto* source = static_cast<file_source*>(self);
        auto* into = static_cast<char*>(data);
        while (size > 0) {
            ssize_t got = pread(source->fd.get(), into, size, source->position);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return 1;  // the file shrank under us, or cannot be read
            into += got;
            size -= static_cast<std::size_t>(got);
            source->position += got;
        }
        return 0;
    }
    static int seek(std::int64_t position, void* self) {
        static_cast<file_source*>(self)->position = position;
        return 0;
    }
    static heif_reader_grow_status wait_for_file_size(std::int64_t target, void* self) {
        return target > static_cast<file_source*>(self)->size ? heif_reader_grow_status_size_beyond_eof
                                                               : heif_reader_grow_status_size_reached;
    }
};

const heif_reader file_reader = {1, file_source::get_position, file_source::read, file_source::seek,
                                 file_source::wait_for_file_size};

// The module's own Pillow: the decoder hands back Pillow's images, whatever the globals hold.
handle pillow() { return own_global(n_Image); }

// type("<what> image file '<path>': <reason>"), `type` an OSError subclass. libheif's memory
// errors are mostly a hostile file's sizes refused by its limits, so they are reported alike.
[[noreturn]] void raise_broken(handle type, const char* what, handle path, const char* reason) {
    ref text = path.str();
    ref message = steal(PyUnicode_FromFormat("%s image file %R: %s", what, text.ptr(), reason));
    raise_with(type.ptr(), message);
}

// An opened container: the file, libheif's parse of it, and the path for messages.
class container {
public:
    explicit container(handle path) : path_(path) {
        ensure_initialised();
        ref encoded = fs_encoded(path);
        const char* text = PyBytes_AS_STRING(encoded.ptr());
        struct stat st{};
        unsigned char head[head_length];
        ssize_t got = 0;
        int error = 0;
        {
            gil_released lock_free;
            error = open_regular(text, st, head, got);
        }
        if (error) raise_os_error(error, path);
        source_.size = st.st_size;
        // The file this descriptor reads, which may not be the one the caller looked at.
        kind_ = sniff(head, static_cast<std::size_t>(got));
        context_.reset(heif_context_alloc());
        if (!context_) throw std::bad_alloc();
        heif_error read;
        {
            gil_released lock_free;
            read = heif_context_read_from_reader(context_.get(), &file_reader, &source_, nullptr);
        }
        if (read.code != heif_error_Ok) unidentified(read);
        heif_image_handle* primary = nullptr;
        heif_error found = heif_context_get_primary_image_handle(context_.get(), &primary);
        primary_.reset(primary);
        if (found.code != heif_error_Ok) unidentified(found);
        // Pillow's own pixel limit, as its own formats apply it when opened.
        pillow().attr(n_decompression_bomb_check)(size_of(primary_.get()));
    }

    heif_image_handle* primary() const { return primary_.get(); }
    handle format() const { return kind_ == heif_kind::avif ? n_AVIF : n_HEIF; }

    // The item decoded upright by its irot/imir/clap properties into a Pillow image.
    ref decode(heif_image_handle* item) const {
        bool alpha = heif_image_handle_has_alpha_channel(item);
        options_ptr options(heif_decoding_options_alloc());
        if (!options) throw std::bad_alloc();
        options->convert_hdr_to_8bit = 1;  // 10 and 12 bits come out as 8
        heif_image* decoded = nullptr;
        heif_error error;
        {
            gil_released lock_free;
            heif_chroma chroma = alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB;
            error = heif_decode_image(item, &decoded, heif_colorspace_RGB, chroma, options.get());
        }
        pixels_ptr pixels(decoded);
        if (error.code != heif_error_Ok) raise_broken(PyExc_OSError, "cannot decode", path_, error.message);
        int stride = 0;
        const std::uint8_t* plane = heif_image_get_plane_readonly(pixels.get(), heif_channel_interleaved, &stride);
        int width = heif_image_get_width(pixels.get(), heif_channel_interleaved);
        int height = heif_image_get_height(pixels.get(), heif_channel_interleaved);
        if (!plane || width <= 0 || height <= 0 || stride < width * (alpha ? 4 : 3))
            raise_broken(PyExc_OSError, "cannot decode", path_, "no pixels");
        // The rows packed into a bytes object, which Image.frombuffer(mode, size, data, "raw",
        // mode, 0, 1) then holds as the pixels themselves (RGBA) or unpacks (RGB).
        std::size_t row = std::size_t(width) * (alpha ? 4 : 3);
        ref data = steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(row * std::size_t(height))));
        char* into = PyBytes_AS_STRING(data.ptr());
        {
            gil_released lock_free;
            for (int y = 0; y < height; ++y)
                std::memcpy(into + row * std::size_t(y), plane + std::ptrdiff_t(stride) * y, row);
        }
        handle mode = alpha ? n_RGBA : n_RGB;
        // Colours stored multiplied by their alpha are divided back, as Pillow keeps them.
        handle raw_mode = alpha && heif_image_is_premultiplied_alpha(pixels.get()) ? n_RGBa : mode;
        pixels.reset();  // libheif's copy goes before Pillow makes its own
        ref image = pillow().attr(n_frombuffer)(mode, pair(number(width), number(height)), data, n_raw, raw_mode,
                                                number(0), number(1));
        image.set_attr(n_format, format());
        ref info = image.attr(n_info);
        if (ref exif = exif_bytes()) info.set_item(n_exif, exif);
        if (ref profile = icc_profile()) info.set_item(n_icc_profile, profile);
        return image;
    }

    // The smallest thumbnail item whose long edge covers `edge` and which stands like the
    // primary image once turned; empty when there is none. One larger than the primary image
    // is no thumbnail (and escaped the pixel limit).
    item_ptr thumbnail_for(long edge) const {
        int count = heif_image_handle_get_number_of_thumbnails(primary());
        if (count <= 0) return {};
        std::vector<heif_item_id> ids(static_cast<std::size_t>(count));
        count = heif_image_handle_get_list_of_thumbnail_IDs(primary(), ids.data(), count);
        int width = heif_image_handle_get_width(primary()), height = heif_image_handle_get_height(primary());
        item_ptr best;
        for (int i = 0; i < count; ++i) {
            heif_image_handle* found = nullptr;
            heif_error error = heif_image_handle_get_thumbnail(primary(), ids[static_cast<std::size_t>(i)], &found);
            item_ptr item(found);
            if (error.code != heif_error_Ok || !item) continue;
            int w = heif_image_handle_get_width(item.get()), h = heif_image_handle_get_height(item.get());
            // A thumbnail without the primary's turn would come out sideways.
            bool same_stance = (w > h) == (width > height) && (w < h) == (width < height);
            if (!same_stance || std::max(w, h) < edge || w > width || h > height) continue;
            if (!best || std::max(w, h) < std::max(heif_image_handle_get_width(best.get()),
                                                    heif_image_handle_get_height(best.get())))
                best = std::move(item);
        }
        return best;
    }

    // The primary image's Exif item as stored, or nothing.
    std::vector<unsigned char> exif_item() const;
    // The primary image's irot and imir properties in the order libheif applies them, read
    // from the file's meta box; false when that cannot be read. Touches no Python object.
    bool primary_transforms(std::vector<heif_transform>& out) const;
    // The EXIF block as Pillow keeps it, or an empty ref.
    ref exif_bytes() const;
    ref icc_profile() const;

private:
    // Opens the file and reads its first bytes: 0, or the errno of what failed (a file that
    // is not regular counts as failing). Touches no Python object.
    int open_regular(const char* text, struct stat& st, unsigned char (&head)[head_length], ssize_t& got) {
        source_.fd = descriptor(open(text, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
        if (source_.fd.get() < 0 || fstat(source_.fd.get(), &st) != 0) return errno;
        if (!S_ISREG(st.st_mode)) return S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        got = pread(source_.fd.get(), head, sizeof head, 0);
        return got < 0 ? errno : 0;
    }

    [[noreturn]] void unidentified(const heif_error& error) const {
        raise_broken(pillow().attr(n_UnidentifiedImageError), "cannot identify", path_, error.message);
    }
    static ref size_of(heif_image_handle* item) {
        return pair(number(heif_image_handle_get_width(item)), number(heif_image_handle_get_height(item)));
    }

    handle path_;
    heif_kind kind_ = heif_kind::none;
    // Declared before the context so it outlives it: libheif reads through it until freed.
    file_source source_;
    context_ptr context_;
    item_ptr primary_;
};

// ---- the container's own turn ----

struct box {
    std::string_view type;
    std::string_view body;  // after the header
};

// The boxes that lie one after another in `data`, up to the first that does not fit.
std::vector<box> boxes_in(std::string_view data) {
    std::vector<box> found;
    std::size_t at = 0;
    while (data.size() - at >= 8) {
        auto* p = reinterpret_cast<const unsigned char*>(data.data() + at);
        std::uint64_t size = big_endian_32(p);
        std::size_t header = 8;
        if (size == 1) {  // a 64-bit size follows the type
            if (data.size() - at < 16) break;
            size = std::uint64_t(big_endian_32(p + 8)) << 32 | big_endian_32(p + 12);
            header = 16;
        } else if (size == 0) {  // to the end
            size = data.size() - at;
        }
        if (size < header || size > data.size() - at) break;
        found.push_back({data.substr(at + 4, 4), data.substr(at + header, std::size_t(size) - header)});
        at += std::size_t(size);
    }
    return found;
}

// The body of the first box of `type` in `data`, or nothing (a null view).
std::string_view child(std::string_view data, std::string_view type) {
    for (const box& b : boxes_in(data))
        if (b.type == type) return b.body;
    return {};
}

// A meta box larger than this is not a photo's.
constexpr std::uint64_t meta_most = 16 * 1024 * 1024;

// The body of the file's top-level meta box, read box header by box header; empty when absent.
std::string read_meta(int fd, std::int64_t file_size) {
    std::uint64_t at = 0;
    while (at + 8 <= std::uint64_t(file_size)) {
        unsigned char head[16];
        ssize_t got = pread(fd, head, sizeof head, off_t(at));
        if (got < 8) return {};
        std::uint64_t size = big_endian_32(head), header = 8;
        if (size == 1) {  // a 64-bit size follows the type
            if (got < 16) return {};
            size = std::uint64_t(big_endian_32(head + 8)) << 32 | big_endian_32(head + 12);
            header = 16;
        } else if (size == 0) {
            size = std::uint64_t(file_size) - at;
        }
        if (size < header || size > std::uint64_t(file_size) - at) return {};
        if (std::memcmp(head + 4, "meta", 4) == 0) {
            if (size - header > meta_most) return {};
            std::string body(std::size_t(size - header), '\0');
            std::size_t done = 0;
            while (done < body.size()) {
                ssize_t got = pread(fd, body.data() + done, body.size() - done, off_t(at + header + done));
                if (got < 0 && errno == EINTR) continue;
                if (got <= 0) return {};
                done += std::size_t(got);
            }
            return body;
        }
        at += size;
    }
    return {};
}

// The irot and imir properties item `id` is associated with, in their order (the iprp box's
// ipco holds the properties, numbered from 1, and its ipma lists each item's); false when the
// meta box does not describe the item.
bool transforms_of(std::string_view meta, std::uint32_t id, std::vector<heif_transform>& out) {
    if (meta.size() < 4) return false;
    std::string_view properties = child(meta.substr(4), "iprp");  // meta is a full box
    if (!properties.data()) return false;
    std::vector<box> listed = boxes_in(child(properties, "ipco"));
    for (const box& map : boxes_in(properties)) {
        if (map.type != "ipma" || map.body.size() < 8) continue;
        auto* p = reinterpret_cast<const unsigned char*>(map.body.data());
        const bool long_ids = p[0] >= 1, long_indices = p[3] & 1;
        std::size_t at = 8, count = big_endian_32(p + 4);
        for (std::size_t entry = 0; entry < count; ++entry) {
            std::size_t id_size = long_ids ? 4 : 2;
            if (map.body.size() - at < id_size + 1) return false;
            std::uint32_t item = long_ids ? big_endian_32(p + at) : std::uint32_t(p[at] << 8 | p[at + 1]);
            std::size_t associations = p[at + id_size], index_size = long_indices ? 2 : 1;
            at += id_size + 1;
            if (map.body.size() - at < associations * index_size) return false;
            for (std::size_t a = 0; a < associations; ++a, at += index_size) {
                if (item != id) continue;
                std::size_t index = long_indices ? (p[at] & 0x7f) << 8 | p[at + 1] : p[at] & 0x7f;
                if (index == 0 || index > listed.size() || listed[index - 1].body.empty()) continue;
                const box& property = listed[index - 1];
                int value = static_cast<unsigned char>(property.body[0]);
                if (property.type == "irot") out.push_back({false, value & 3});
                if (property.type == "imir") out.push_back({true, value & 1});
            }
            if (item == id) return true;
        }
    }
    return false;
}

// ---- EXIF ----

struct tiff_reader {
    const unsigned char* data;
    std::size_t size;
    bool little;
    bool fits(std::size_t at, std::size_t length) const { return at <= size && length <= size - at; }
    std::uint32_t u16(std::size_t at) const {
        return little ? data[at] | data[at + 1] << 8 : data[at] << 8 | data[at + 1];
    }
    std::uint32_t u32(std::size_t at) const {
        return little ? u16(at) | u16(at + 2) << 16 : u16(at) << 16 | u16(at + 2);
    }
};

constexpr std::uint32_t orientation_entry_tag = 274;
constexpr std::string_view exif_marker{"Exif\0\0", 6};

// The TIFF data of a HEIF Exif item (which begins with the 4-byte offset of the TIFF header);
// empty when the item holds no TIFF header where it says.
std::string tiff_data_of(const std::vector<unsigned char>& item) {
    if (item.size() < 4) return {};
    std::size_t start = 4 + std::size_t(big_endian_32(item.data()));
    if (start > item.size()) return {};
    std::string block(reinterpret_cast<const char*>(item.data()) + start, item.size() - start);
    // Some writers leave the JPEG marker in front of the header, whatever the offset says.
    if (std::string_view(block).starts_with(exif_marker)) block.erase(0, exif_marker.size());
    if (block.size() < 8 || !(block.starts_with(std::string_view("II*\0", 4)) || block.starts_with("MM\0*")))
        return {};
    return block;
}

// "Exif\0\0" and the TIFF data of a HEIF Exif item, with IFD0's Orientation entry taken out: the entries after it move up
// one place, and every offset in the block stays valid. Empty when the item holds no TIFF
// header where it says, or IFD0 does not fit in it.
std::string exif_without_orientation(const std::vector<unsigned char>& item) {
    std::string block = tiff_data_of(item);
    if (block.empty()) return {};
    auto* bytes = reinterpret_cast<unsigned char*>(block.data());
    tiff_reader tiff{bytes, block.size(), bytes[0] == 'I'};
    std::size_t ifd = tiff.u32(4);
    if (!tiff.fits(ifd, 2)) return {};
    std::size_t count = tiff.u16(ifd);
    if (!tiff.fits(ifd + 2, count * 12 + 4)) return {};
    for (std::size_t i = 0; i < count; ++i) {
        std::size_t entry = ifd + 2 + i * 12;
        if (tiff.u16(entry) != orientation_entry_tag) continue;
        std::size_t end = ifd + 2 + count * 12 + 4;  // past the next-IFD offset
        std::memmove(bytes + entry, bytes + entry + 12, end - entry - 12);
        std::memset(bytes + end - 12, 0, 12);
        std::size_t left = count - 1;
        bytes[ifd] = static_cast<unsigned char>(tiff.little ? left & 0xff : left >> 8);
        bytes[ifd + 1] = static_cast<unsigned char>(tiff.little ? left >> 8 : left & 0xff);
        break;
    }
    return std::string(exif_marker) + block;
}

std::vector<unsigned char> container::exif_item() const {
    heif_item_id id = 0;
    if (heif_image_handle_get_list_of_metadata_block_IDs(primary(), "Exif", &id, 1) != 1) return {};
    // A size beyond the file's is a lie; nothing is allocated for it.
    std::size_t size = heif_image_handle_get_metadata_size(primary(), id);
    if (size < 4 || size > static_cast<std::size_t>(source_.size)) return {};
    std::vector<unsigned char> item(size);
    heif_error error;
    {
        gil_released lock_free;
        error = heif_image_handle_get_metadata(primary(), id, item.data());
    }
    if (error.code != heif_error_Ok) return {};  // a block that cannot be read is no block
    return item;
}

bool container::primary_transforms(std::vector<heif_transform>& out) const {
    heif_item_id id = 0;
    if (heif_context_get_primary_image_ID(context_.get(), &id).code != heif_error_Ok) return false;
    return transforms_of(read_meta(source_.fd.get(), source_.size), id, out);
}

ref container::exif_bytes() const {
    std::string block = exif_without_orientation(exif_item());
    if (block.empty()) return ref();
    return steal(PyBytes_FromStringAndSize(block.data(), static_cast<Py_ssize_t>(block.size())));
}

ref container::icc_profile() const {
    heif_color_profile_type type = heif_image_handle_get_color_profile_type(primary());
    if (type != heif_color_profile_type_prof && type != heif_color_profile_type_rICC) return ref();
    std::size_t size = heif_image_handle_get_raw_color_profile_size(primary());
    if (size == 0 || size > static_cast<std::size_t>(source_.size)) return ref();
    ref profile = steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    heif_error error = heif_image_handle_get_raw_color_profile(primary(), PyBytes_AS_STRING(profile.ptr()));
    return error.code == heif_error_Ok ? profile : ref();
}

// Image.Exif() loaded from the block, empty for none
ref exif_mapping(handle block) {
    ref exif = pillow().attr(n_Exif)();
    if (block) exif.method(n_load, block);
    return exif;
}

}  // namespace

bool is_heif_file(handle path) { return kind_of(path) != heif_kind::none; }

ref open_heif(handle path) {
    container file(path);
    return file.decode(file.primary());
}

ref open_heif_for_thumbnail(handle path, long edge) {
    container file(path);
    if (item_ptr thumbnail = file.thumbnail_for(edge)) return file.decode(thumbnail.get());
    return file.decode(file.primary());
}

heif_header read_heif_header(handle path) {
    container file(path);
    heif_image_handle* primary = file.primary();
    return {pair(number(heif_image_handle_get_width(primary)), number(heif_image_handle_get_height(primary))),
            borrow(file.format()), exif_mapping(file.exif_bytes())};
}

heif_exif read_heif_exif(handle path) {
    container file(path);
    heif_exif out{tiff_data_of(file.exif_item()), {}, false};
    gil_released lock_free;
    out.transforms_read = file.primary_transforms(out.transforms);
    return out;
}

}  // namespace qv
