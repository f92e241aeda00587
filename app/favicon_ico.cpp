// Build tool: draws the brand mark with Cairo at each icon size and writes favicon.ico, an icon container
// (type 1) of 32-bit PNG images, smallest first. Run by the build as: favicon_ico OUTPUT.
//
// Each size is drawn on its own pixel grid rather than scaled down from the largest, so the small images
// stay sharp.

#include <cairo.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <numbers>
#include <span>
#include <vector>

namespace {

constexpr std::array<int, 9> sizes_px = { 16, 20, 24, 32, 40, 48, 64, 128, 256 };

// The mark in its 24-unit box: a rounded square in the text colour crossed by the accent's zigzag.
constexpr double mark_units = 24.0;
constexpr double corner_units = 5.5;
constexpr double stroke_units = 2.1;
constexpr std::array<std::array<double, 2>, 5> zigzag = { { { 15.6, 3.4 }, { 12.3, 8.3 }, { 14.4, 11.7 },
                                                            { 10.0, 15.7 }, { 12.7, 20.6 } } };
constexpr std::array<double, 3> square_rgb = { 0x17 / 255.0, 0x18 / 255.0, 0x1b / 255.0 };
constexpr std::array<double, 3> accent_rgb = { 0xd4 / 255.0, 0x22 / 255.0, 0x2d / 255.0 };

void draw_mark(cairo_t* cr, int px)
{
    double scale = px / mark_units;
    cairo_scale(cr, scale, scale);
    double r = corner_units, w = mark_units, quarter = std::numbers::pi / 2;
    cairo_new_sub_path(cr);
    cairo_arc(cr, w - r, r, r, -quarter, 0);
    cairo_arc(cr, w - r, w - r, r, 0, quarter);
    cairo_arc(cr, r, w - r, r, quarter, 2 * quarter);
    cairo_arc(cr, r, r, r, 2 * quarter, 3 * quarter);
    cairo_close_path(cr);
    cairo_set_source_rgb(cr, square_rgb[0], square_rgb[1], square_rgb[2]);
    cairo_fill(cr);
    cairo_move_to(cr, zigzag[0][0], zigzag[0][1]);
    for (auto const& [x, y] : std::span(zigzag).subspan(1))
        cairo_line_to(cr, x, y);
    cairo_set_line_width(cr, stroke_units);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
    cairo_set_source_rgb(cr, accent_rgb[0], accent_rgb[1], accent_rgb[2]);
    cairo_stroke(cr);
}

cairo_status_t append_bytes(void* closure, unsigned char const* data, unsigned int length)
{
    auto* out = static_cast<std::vector<std::uint8_t>*>(closure);
    out->insert(out->end(), data, data + length);
    return CAIRO_STATUS_SUCCESS;
}

std::vector<std::uint8_t> png_of_size(int px)
{
    std::vector<std::uint8_t> png;
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, px, px);
    cairo_t* cr = cairo_create(surface);
    draw_mark(cr, px);
    cairo_destroy(cr);
    if (cairo_surface_write_to_png_stream(surface, append_bytes, &png) != CAIRO_STATUS_SUCCESS)
        png.clear();
    cairo_surface_destroy(surface);
    return png;
}

void put_u16(std::vector<std::uint8_t>& out, unsigned value)
{
    out.push_back(value & 0xff);
    out.push_back((value >> 8) & 0xff);
}

void put_u32(std::vector<std::uint8_t>& out, std::uint32_t value)
{
    put_u16(out, value & 0xffff);
    put_u16(out, value >> 16);
}

}

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: favicon_ico OUTPUT\n");
        return 2;
    }
    std::vector<std::vector<std::uint8_t>> images;
    for (int px : sizes_px) {
        images.push_back(png_of_size(px));
        if (images.back().empty()) {
            std::fprintf(stderr, "favicon_ico: no PNG for %d px\n", px);
            return 1;
        }
    }
    constexpr std::uint32_t header_bytes = 6, entry_bytes = 16;
    std::vector<std::uint8_t> ico;
    put_u16(ico, 0);
    put_u16(ico, 1);
    put_u16(ico, images.size());
    std::uint32_t offset = header_bytes + entry_bytes * images.size();
    for (std::size_t i = 0; i < images.size(); ++i) {
        // 256 is written as 0: the field is one byte.
        ico.push_back(sizes_px[i] & 0xff);
        ico.push_back(sizes_px[i] & 0xff);
        ico.push_back(0);
        ico.push_back(0);
        put_u16(ico, 1);
        put_u16(ico, 32);
        put_u32(ico, images[i].size());
        put_u32(ico, offset);
        offset += images[i].size();
    }
    for (auto const& image : images)
        ico.insert(ico.end(), image.begin(), image.end());

    std::FILE* file = std::fopen(argv[1], "wb");
    bool written = file && std::fwrite(ico.data(), 1, ico.size(), file) == ico.size();
    if (file && std::fclose(file) != 0)
        written = false;
    if (!written) {
        std::fprintf(stderr, "favicon_ico: cannot write %s\n", argv[1]);
        std::remove(argv[1]);
        return 1;
    }
    return 0;
}
