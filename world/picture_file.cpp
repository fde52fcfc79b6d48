// Pictures as floors: PNG through libpng's simplified reader, SVG through
// librsvg onto a cairo surface. See picture_file.hpp.
#include "picture_file.hpp"

#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <sstream>

#include "file_names.hpp"

#ifdef LINE_FOLLOWER_SVG
#include <librsvg/rsvg.h>
#endif

namespace sim {
namespace {

constexpr double DEFAULT_SVG_PIXEL = 0.001;  // [m] fine enough for the camera's millimetre footprints

// The picture's pixel side and size, or why not: `pixels` across and down,
// in `place`'s terms.
bool place_pixels(Picture& picture, const PicturePlace& place, std::string& why) {
    if (picture.width <= 0 || picture.height <= 0 ||
        std::int64_t{picture.width} * picture.height > MOST_PICTURE_PIXELS) {
        std::ostringstream text;
        text << "a picture of 1 to " << MOST_PICTURE_PIXELS << " pixels (it has " << picture.width << " x "
             << picture.height << ")";
        why = text.str();
        return false;
    }
    picture.gray.resize(static_cast<std::size_t>(picture.width) * static_cast<std::size_t>(picture.height));
    picture.low = place.low;
    return true;
}

std::shared_ptr<const Picture> read_png(const std::string& bytes, const PicturePlace& place, std::string& why) {
    if ((place.pixel > 0) == (place.size.x > 0)) {
        why = "a pixel_size = m or a size = [width, height] in m with a PNG, one of the two";
        return nullptr;
    }
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, bytes.data(), bytes.size())) {
        why = std::string("a PNG that can be read (") + image.message + ")";
        return nullptr;
    }
    auto picture = std::make_shared<Picture>();
    picture->width = static_cast<std::int32_t>(std::min<png_uint_32>(image.width, INT32_MAX));
    picture->height = static_cast<std::int32_t>(std::min<png_uint_32>(image.height, INT32_MAX));
    if (!place_pixels(*picture, place, why)) {
        png_image_free(&image);
        return nullptr;
    }
    picture->pixel = place.pixel > 0 ? place.pixel : place.size.x / picture->width;
    if (place.size.x > 0 && std::abs(picture->height * picture->pixel - place.size.y) > picture->pixel) {
        std::ostringstream text;
        text << "a size whose width and height are in the picture's proportion (" << picture->width << " x "
             << picture->height << " pixels: " << place.size.x << " m wide is " << picture->height * picture->pixel
             << " m high)";
        why = text.str();
        png_image_free(&image);
        return nullptr;
    }
    image.format = PNG_FORMAT_GRAY;
    const png_color paper{255, 255, 255};  // under transparent parts
    if (!png_image_finish_read(&image, &paper, picture->gray.data(), 0, nullptr)) {
        why = std::string("a PNG that can be read (") + image.message + ")";
        return nullptr;
    }
    picture->find_flat_squares();
    return picture;
}

#ifdef LINE_FOLLOWER_SVG
// The SVG's own width or height in m, where given in physical units; else 0.
double physical_metres(gboolean has, const RsvgLength& length) {
    if (!has) return 0.0;
    switch (length.unit) {
        case RSVG_UNIT_MM:
            return length.length / 1000;
        case RSVG_UNIT_CM:
            return length.length / 100;
        case RSVG_UNIT_IN:
            return length.length * 0.0254;
        case RSVG_UNIT_PT:
            return length.length * 0.0254 / 72;
        case RSVG_UNIT_PC:
            return length.length * 0.0254 / 6;
        default:
            return 0.0;
    }
}

// A colour's gray as libpng's reader makes it of a PNG: the luminance of
// the sRGB colour in linear light, encoded back to sRGB. Grays stay as they are.
std::uint8_t gray_of(std::uint32_t r, std::uint32_t g, std::uint32_t b) {
    if (r == g && g == b) return static_cast<std::uint8_t>(r);
    const auto linear = [](std::uint32_t c) {
        const double v = c / 255.0;
        return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    };
    const double y = 0.2126 * linear(r) + 0.7152 * linear(g) + 0.0722 * linear(b);
    const double v = y <= 0.0031308 ? 12.92 * y : 1.055 * std::pow(y, 1 / 2.4) - 0.055;
    return static_cast<std::uint8_t>(std::clamp(v, 0.0, 1.0) * 255 + 0.5);
}

std::shared_ptr<const Picture> read_svg(const std::string& bytes, const PicturePlace& place, std::string& why) {
    // From memory, with no base file: the drawing cannot reach any other file.
    GError* error = nullptr;
    RsvgHandle* handle = rsvg_handle_new_from_data(reinterpret_cast<const guint8*>(bytes.data()), bytes.size(), &error);
    if (handle == nullptr) {
        why = std::string("an SVG that can be read (") + (error != nullptr ? error->message : "?") + ")";
        if (error != nullptr) g_error_free(error);
        return nullptr;
    }
    Vec2 size = place.size;
    if (!(size.x > 0)) {
        gboolean has_width = false, has_height = false, has_box = false;
        RsvgLength width{}, height{};
        RsvgRectangle box{};
        rsvg_handle_get_intrinsic_dimensions(handle, &has_width, &width, &has_height, &height, &has_box, &box);
        size = {physical_metres(has_width, width), physical_metres(has_height, height)};
    }
    const double pixel = place.pixel > 0 ? place.pixel : DEFAULT_SVG_PIXEL;
    auto picture = std::make_shared<Picture>();
    if (!(size.x > 0 && size.y > 0)) {
        why = "a size = [width, height] in m for this SVG (its own size is not in mm, cm, in, pt or pc)";
    } else if (size.x / pixel > MOST_PICTURE_PIXELS || size.y / pixel > MOST_PICTURE_PIXELS) {
        why = "a picture of at most " + std::to_string(MOST_PICTURE_PIXELS) + " pixels (a larger pixel_size)";
    } else {
        picture->width = static_cast<std::int32_t>(std::lround(size.x / pixel));
        picture->height = static_cast<std::int32_t>(std::lround(size.y / pixel));
        picture->pixel = pixel;
        place_pixels(*picture, place, why);
    }
    if (!why.empty()) {
        g_object_unref(handle);
        return nullptr;
    }
    // Drawn on white paper, then each pixel's luminance.
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, picture->width, picture->height);
    cairo_t* cr = cairo_create(surface);
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_paint(cr);
    const RsvgRectangle viewport{0, 0, static_cast<double>(picture->width), static_cast<double>(picture->height)};
    const bool drawn = cairo_surface_status(surface) == CAIRO_STATUS_SUCCESS &&
                       rsvg_handle_render_document(handle, cr, &viewport, &error);
    cairo_destroy(cr);
    cairo_surface_flush(surface);
    if (drawn) {
        const unsigned char* data = cairo_image_surface_get_data(surface);
        const int stride = cairo_image_surface_get_stride(surface);
        std::uint8_t* out = picture->gray.data();
        for (std::int32_t y = 0; y < picture->height; ++y) {
            for (std::int32_t x = 0; x < picture->width; ++x) {
                std::uint32_t rgb = 0;  // 0x00RRGGBB in the machine's order
                std::memcpy(&rgb, data + static_cast<std::ptrdiff_t>(y) * stride + 4 * x, 4);
                *out++ = gray_of((rgb >> 16) & 0xff, (rgb >> 8) & 0xff, rgb & 0xff);
            }
        }
        picture->find_flat_squares();
    } else {
        why = std::string("an SVG that can be drawn (") + (error != nullptr ? error->message : "no memory") + ")";
    }
    if (error != nullptr) g_error_free(error);
    cairo_surface_destroy(surface);
    g_object_unref(handle);
    return drawn ? picture : nullptr;
}
#endif

bool is_png(const std::string& bytes) {
    return bytes.size() >= 8 && png_sig_cmp(reinterpret_cast<png_const_bytep>(bytes.data()), 0, 8) == 0;
}

}  // namespace

const char* floor_picture_name(const std::string& bytes) { return is_png(bytes) ? FLOOR_PNG_FILE : FLOOR_SVG_FILE; }

std::shared_ptr<const Picture> read_picture(const std::string& bytes, const PicturePlace& place, std::string& why) {
    if (is_png(bytes)) {
        return read_png(bytes, place, why);
    }
    // An SVG is XML: it starts with '<', after any byte-order mark and space.
    const std::size_t first = bytes.find_first_not_of(" \t\r\n\xEF\xBB\xBF");
    if (first == std::string::npos || bytes[first] != '<') {
        why = "a PNG or an SVG file";
        return nullptr;
    }
#ifdef LINE_FOLLOWER_SVG
    return read_svg(bytes, place, why);
#else
    why = "a PNG (this build reads no SVG)";
    return nullptr;
#endif
}

}  // namespace sim
