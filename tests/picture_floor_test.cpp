// Floors from pictures: the camera's every pixel against the footprint's
// mean of a picture whose bilinear gray is known in closed form, the
// picture files' orientation and colours, and their refusals.
#include <gtest/gtest.h>
#include <png.h>
#include <zlib.h>

#include <cmath>
#include <fstream>
#include <random>
#include <string>

#include "camera.hpp"
#include "picture_file.hpp"
#include "simulation.hpp"
#include "world_file.hpp"

namespace {

constexpr std::uint8_t OUTSIDE = 128;

// Where the ray through image point (u, v) [px] meets the floor, robot frame,
// worked out from the mounting alone.
sim::Vec2 ground_point_at(const sim::CameraSettings& s, double u, double v) {
    const double focal = (s.width / 2.0) / std::tan(s.field_of_view / 2);
    const double down = -(v - s.height / 2.0) / focal, cp = std::cos(s.pitch), sp = std::sin(s.pitch);
    const double t = s.mount_height / (sp + down * cp);
    return {s.mount_forward + t * (cp - down * sp), t * (u - s.width / 2.0) / focal};
}

// A picture of width x height pixels, each gray(column, row), its lower-left corner at `low`.
template <typename Gray>
sim::Picture picture_of(std::int32_t width, std::int32_t height, double pixel, sim::Vec2 low, const Gray& gray) {
    sim::Picture picture;
    picture.width = width;
    picture.height = height;
    picture.pixel = pixel;
    picture.low = low;
    for (std::int32_t row = 0; row < height; ++row)
        for (std::int32_t column = 0; column < width; ++column)
            picture.gray.push_back(static_cast<std::uint8_t>(gray(column, row)));
    return picture;
}

// A gray ramp, column + row: bilinear interpolation of it is exact, so a
// point's gray is its place in pixels from the top-left pixel's centre.
TEST(PictureFloor, EachPixelIsTheMeanGrayOfItsFootprintAndOutsideBeyondThePicture) {
    const sim::Picture picture =
        picture_of(120, 80, 0.002, {-0.1, -0.05}, [](std::int32_t column, std::int32_t row) { return column + row; });
    const sim::Floor floor{picture.low, picture.high(), &picture};
    const sim::Track track(sim::TrackSettings{});
    sim::CameraSettings settings;
    settings.width = 40;
    settings.height = 30;
    for (const int n : {1, 3}) {
        settings.antialias = n;
        sim::Camera camera(settings, sim::FloorSettings{}, track, 0.018, floor);
        std::mt19937 random(static_cast<std::uint32_t>(n));
        std::uniform_real_distribution<double> x(-0.15, 0.2), y(-0.1, 0.15), heading(-3.2, 3.2);
        int inside = 0, outside = 0;
        for (int view = 0; view < 40; ++view) {
            const sim::Pose pose{x(random), y(random), heading(random)};
            camera.render(pose);
            for (std::int32_t r = 0; r < camera.height(); ++r) {
                for (std::int32_t c = 0; c < camera.width(); ++c) {
                    double sum = 0;
                    int in = 0, out = 0;
                    for (int j = 0; j < n; ++j) {
                        for (int k = 0; k < n; ++k) {
                            const sim::Vec2 g = ground_point_at(settings, c + (k + 0.5) / n, r + (j + 0.5) / n);
                            const sim::Vec2 p{pose.x + std::cos(pose.heading) * g.x - std::sin(pose.heading) * g.y,
                                              pose.y + std::sin(pose.heading) * g.x + std::cos(pose.heading) * g.y};
                            const double u = (p.x - picture.low.x) / picture.pixel - 0.5;
                            const double v = (picture.high().y - p.y) / picture.pixel - 0.5;
                            sum += u + v;
                            const bool within = u > 0 && v > 0 && u < picture.width - 1 && v < picture.height - 1;
                            const bool beyond =
                                u < -0.5 || v < -0.5 || u > picture.width - 0.5 || v > picture.height - 0.5;
                            in += within ? 1 : 0;
                            out += beyond ? 1 : 0;
                        }
                    }
                    const std::uint8_t got = camera.image()[3 * static_cast<std::size_t>(r * camera.width() + c)];
                    const double mean = sum / (n * n);
                    if (in == n * n && std::abs(mean - std::floor(mean) - 0.5) > 1e-6) {
                        ASSERT_EQ(got, static_cast<int>(std::floor(mean + 0.5)))
                            << "pixel " << c << ", " << r << " of view " << view << ", " << n << " x " << n;
                        ++inside;
                    } else if (out == n * n) {
                        ASSERT_EQ(got, OUTSIDE) << "pixel " << c << ", " << r << " of view " << view;
                        ++outside;
                    }
                }
            }
        }
        EXPECT_GT(inside, 40 * 40 * 30 / 3);
        EXPECT_GT(outside, 40 * 40 * 30 / 20);
    }
}

// Flat squares are crossed as spans: the image must be the one sampling each
// point gives, with and without anti-aliasing and gains, on and off the picture.
void expect_every_sample_image(const sim::Picture& plain, std::mt19937& random) {
    sim::Picture squared = plain;
    squared.find_flat_squares();
    const sim::Track track(sim::TrackSettings{});
    for (const int n : {1, 3}) {
        for (const double gain : {1.0, 1.3}) {
            sim::CameraSettings settings;
            settings.width = 48;
            settings.height = 36;
            settings.antialias = n;
            settings.exposure_gain = gain;
            const sim::Floor on_squared{squared.low, squared.high(), &squared},
                on_plain{plain.low, plain.high(), &plain};
            sim::Camera fast(settings, sim::FloorSettings{}, track, 0.018, on_squared);
            sim::Camera slow(settings, sim::FloorSettings{}, track, 0.018, on_plain);
            std::uniform_real_distribution<double> x(-0.2, 0.25), y(-0.15, 0.2), heading(-3.2, 3.2);
            for (int view = 0; view < 60; ++view) {
                // Headings along the picture's rows and columns too, where a row's samples share a v or u.
                const double h = view % 4 == 0 ? view / 4 % 4 * (M_PI / 2) : heading(random);
                const sim::Pose pose{x(random), y(random), h};
                fast.render(pose);
                slow.render(pose);
                const std::size_t bytes = 3 * static_cast<std::size_t>(fast.width() * fast.height());
                ASSERT_TRUE(std::equal(fast.image(), fast.image() + bytes, slow.image()))
                    << plain.width << " x " << plain.height << " px, view " << view << ", " << n << " x " << n
                    << ", gain " << gain;
            }
        }
    }
}

// On a picture of solid blocks, hairlines, single dots and edges, and on
// pictures a pixel wide or high, whose one cell reaches past the picture's
// edge, so that no square of it may be taken.
TEST(PictureFloor, FlatSquaresGiveTheImageEverySampleGives) {
    std::mt19937 random(7);
    const auto blocks = [&](std::int32_t column, std::int32_t row) {
        const bool block = (column / 37 + row / 29) % 2 == 0, hairline = column % 41 == 3;
        return random() % 97 == 0 ? 77 : hairline ? 10 : block ? 30 : 230;
    };
    expect_every_sample_image(picture_of(203, 157, 0.0015, {-0.12, -0.1}, blocks), random);
    expect_every_sample_image(picture_of(1, 157, 0.03, {-0.12, -0.1}, blocks), random);
    expect_every_sample_image(picture_of(203, 1, 0.03, {-0.12, -0.1}, blocks), random);
}

struct TempFile {
    explicit TempFile(const std::string& name, const std::string& bytes)
        : path(::testing::TempDir() + "picture_floor_" + name) {
        std::ofstream(path, std::ios::binary) << bytes;
    }
    ~TempFile() { std::remove(path.c_str()); }
    std::string path;
};

std::string png_of(std::int32_t width, std::int32_t height, png_uint_32 format,
                   const std::vector<std::uint8_t>& pixels) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(width);
    image.height = static_cast<png_uint_32>(height);
    image.format = format;
    png_alloc_size_t size = 0;
    EXPECT_TRUE(png_image_write_to_memory(&image, nullptr, &size, 0, pixels.data(), 0, nullptr));
    std::string bytes(size, '\0');
    EXPECT_TRUE(png_image_write_to_memory(&image, bytes.data(), &size, 0, pixels.data(), 0, nullptr));
    return bytes;
}

sim::WorldSettings world_on(const std::string& image, const std::string& place, const std::string& start = "[0, 0]") {
    const std::string text = "[track]\nclosed = false\nstart = " + start +
                             "\nsegments = [{ straight = 1.0 }]\n[floor]\nimage = \"" + image + "\"\n" + place;
    return sim::parse_world(text, ::testing::TempDir() + "mat.toml");
}

// The top-left pixel lies at the floor's high y, where a picture is seen
// from above; a colour is the gray of its luminance, alike from PNG and SVG;
// an SVG takes its size from its own millimetres.
TEST(PictureFiles, LieAsSeenFromAboveAndGiveAColourItsLuminanceAlike) {
    // 2 x 2: black top-left, red top-right, white below, from RGB.
    const TempFile png("grid.png", png_of(2, 2, PNG_FORMAT_RGB, {0, 0, 0, 255, 0, 0, 255, 255, 255, 255, 255, 255}));
    const sim::WorldSettings on_png =
        world_on("picture_floor_grid.png", "pixel_size = 0.01\norigin = [1.0, 2.0]\n", "[1.0, 2.0]");
    const sim::Picture& p = *on_png.floor.picture;
    EXPECT_EQ(p.gray_at({1.005, 2.015}), 0);
    EXPECT_EQ(p.gray_at({1.015, 2.005}), 255);
    EXPECT_EQ(p.gray_at({0.999, 2.01}), -1);
    const double red = p.gray_at({1.015, 2.015});
    EXPECT_GT(red, 100);  // in linear light red is 21 % of white: sRGB 127, not 76
    EXPECT_LT(red, 140);

    const TempFile svg("marks.svg",
                       R"(<svg xmlns="http://www.w3.org/2000/svg" width="40mm" height="20mm" viewBox="0 0 40 20">
<rect width="40" height="20" fill="white"/><rect x="10" y="0" width="10" height="10" fill="black"/>
<rect x="30" y="10" width="10" height="10" fill="#ff0000"/></svg>)");
    const sim::WorldSettings on_svg = world_on("picture_floor_marks.svg", "");
    const sim::Picture& s = *on_svg.floor.picture;
    EXPECT_EQ(s.width, 40);  // 1 mm pixels
    EXPECT_EQ(s.height, 20);
    EXPECT_EQ(s.gray_at({0.015, 0.015}), 0);            // the black square is in the top half
    EXPECT_EQ(s.gray_at({0.015, 0.005}), 255);          // and not below it
    EXPECT_NEAR(s.gray_at({0.035, 0.005}), red, 1.01);  // libpng's fixed point against doubles
}

// A PNG header, its chunk's CRC right, claiming `width` x `height`: nothing
// past it is read before the size is refused.
std::string png_header(std::uint32_t width, std::uint32_t height) {
    std::string chunk = "IHDR";
    for (const std::uint32_t v : {width, height})
        for (int shift = 24; shift >= 0; shift -= 8) chunk += static_cast<char>((v >> shift) & 0xff);
    chunk += std::string("\x08\x00\x00\x00\x00", 5);  // 8-bit gray
    const auto crc = static_cast<std::uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(chunk.data()), static_cast<uInt>(chunk.size())));
    std::string bytes = "\x89PNG\r\n\x1a\n" + std::string("\0\0\0\x0d", 4) + chunk;
    for (int shift = 24; shift >= 0; shift -= 8) bytes += static_cast<char>((crc >> shift) & 0xff);
    // An empty IDAT, CRC and all, where the header's reading stops.
    return bytes + std::string("\0\0\0\0IDAT\x35\xaf\x06\x1e", 12);
}

TEST(PictureFiles, RefusedWithOneLineNamingTheKeyAndWhy) {
    const TempFile huge("huge.png", png_header(20000, 20000));
    const TempFile text("text.png", "not a picture\n");
    const TempFile tiny("tiny.png", png_of(1, 1, PNG_FORMAT_GRAY, {0}));
    const TempFile pixels("px.svg", R"(<svg xmlns="http://www.w3.org/2000/svg" width="40" height="20"></svg>)");
    const struct {
        std::string image, place, expected;
    } cases[] = {
        {"picture_floor_huge.png", "pixel_size = 0.001\n",
         "key floor.image: expected a picture of 1 to 67108864 pixels"},
        {"picture_floor_text.png", "pixel_size = 0.001\n", "key floor.image: expected a PNG or an SVG file"},
        {"picture_floor_none.png", "pixel_size = 0.001\n", "key floor.image: expected a readable PNG or SVG file ("},
        {"picture_floor_px.svg", "size = [8.0, 4.0]\npixel_size = 0.0001\n",
         "expected a picture of 1 to 67108864 pixels"},
        {"picture_floor_tiny.png", "pixel_size = 0.01\ngray = 200\n", "key floor.gray: expected no gray with image"},
    };
    for (const auto& c : cases) {
        try {
            world_on(c.image, c.place);
            ADD_FAILURE() << c.image << " with " << c.place << " was read";
        } catch (const sim::WorldError& error) {
            EXPECT_NE(std::string(error.what()).find(c.expected), std::string::npos) << error.what();
            EXPECT_EQ(std::string(error.what()).find('\n'), std::string::npos);
        }
    }
}

// Without a centre line a picture world's track is only where the robot
// starts; its run measures what it can: the distance driven, and the camera
// seeing nothing dark for longer than the off-line limit ends it.
TEST(PictureFloor, WithoutACentreLineTheCameraTellsOffTheLine) {
    const TempFile black("black.png", png_of(100, 100, PNG_FORMAT_GRAY, std::vector<std::uint8_t>(10000, 0)));
    const TempFile white("white.png", png_of(100, 100, PNG_FORMAT_GRAY, std::vector<std::uint8_t>(10000, 255)));
    const auto world = [](const std::string& track, const std::string& image) {
        return sim::parse_world(
            "[run]\nduration = 2.0\n[track]\n" + track + "[floor]\nimage = \"" + image + "\"\npixel_size = 0.01\n",
            ::testing::TempDir() + "photo.toml");
    };
    const auto refusal = [&](const std::string& track, const std::string& image) {
        try {
            world(track, image);
        } catch (const sim::WorldError& error) {
            return std::string(error.what());
        }
        return std::string("read");
    };
    EXPECT_NE(refusal("start = [1.01, 0.5]\n", "picture_floor_black.png")
                  .find("key track.start: expected a start on the picture floor, from [0, 0] to [1, 1] m"),
              std::string::npos);

    // Straight ahead at 5 rad/s on 2 cm wheels: 0.1 m/s for 63 steps of 32 ms;
    // the camera switched on, or not (a controller that steers blind).
    const auto run = [](const sim::WorldSettings& w, const auto& check, bool camera = true) {
        sim::Simulation simulation(w);
        if (camera) simulation.enable_camera(32);
        simulation.set_wheel_speeds(5, 5);
        while (simulation.step(32)) {
        }
        check(simulation);
    };
    run(world("start = [0.2, 0.5]\nheading = 90.0\n", "picture_floor_black.png"), [](const sim::Simulation& on) {
        EXPECT_EQ(on.end_reason(), sim::EndReason::duration);
        EXPECT_NEAR(on.pose().y, 0.5 + 0.2016, 1e-12);
        EXPECT_NEAR(on.metrics().distance_driven, 0.2016, 1e-12);
        EXPECT_EQ(on.metrics().time_off_line, 0.0);
    });
    // The camera is over the line whether or not the controller looks through it.
    run(
        world("start = [0.2, 0.5]\nheading = 90.0\n", "picture_floor_black.png"),
        [](const sim::Simulation& blind) {
            EXPECT_EQ(blind.end_reason(), sim::EndReason::duration);
            EXPECT_EQ(blind.metrics().time_off_line, 0.0);
        },
        false);
    sim::WorldSettings on_white = world("start = [0.2, 0.5]\n", "picture_floor_white.png");
    on_white.run.off_line_limit = 0.5;
    run(on_white, [](const sim::Simulation& lost) {
        EXPECT_EQ(lost.end_reason(), sim::EndReason::off_line);
        EXPECT_GT(lost.metrics().time_off_line, 0.5);
        EXPECT_LT(lost.time(), 0.6);
    });
}

}  // namespace
