// The robot's camera, put together from its parts: see camera.hpp.
#include "camera.hpp"

namespace sim {

Camera::Camera(const CameraSettings& settings, const FloorSettings& grays, const Track& track, double line_width,
               const Floor& floor, std::uint64_t seed)
    : floor_(floor),
      rays_(settings),
      effects_(settings, grays, seed),
      drawing_(effects_.shaded() ? effects_.finer(settings) : settings,
               effects_.shaded() ? CameraEffects::labels() : grays, track, line_width, floor,
               effects_.drawing_may_keep_rows()),
      image_(&drawing_.image()) {
    if (effects_.shaded() || floor.picture != nullptr) {
        shaded_.assign(3 * static_cast<std::size_t>(width()) * static_cast<std::size_t>(height()), grays.outside_gray);
        image_ = &shaded_;
    }
}

void Camera::render(const Pose& pose) {
    ++renders_;
    const Transform robot = make_transform(pose);
    if (floor_.picture != nullptr) {
        draw_picture(drawing_.rays(), drawing_.rays().width() / width(), robot, *floor_.picture,
                     effects_.outside_gray(), effects_.gains(), shaded_.data());
        effects_.add_noise(*image_);
        return;
    }
    drawing_.draw(robot);
    if (effects_.shaded()) effects_.shade(rays_, robot, drawing_.image().data(), shaded_.data());
    effects_.add_noise(*image_);
}

}  // namespace sim
